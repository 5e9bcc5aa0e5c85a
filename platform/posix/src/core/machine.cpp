#include "tarn_sim/machine.h"

#include "tarn_sim/folder_index.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <system_error>
#include <vector>

namespace tarn::sim {
namespace {

struct MachineState {
  std::mutex lock;
  bool initialised = false;
  std::optional<std::filesystem::path> root;
};

// Never destroyed: timer and dispatcher threads may still ask for the machine
// while the process runs its static destructors.
MachineState& State() {
  static MachineState* state = new MachineState;
  return *state;
}

std::optional<std::filesystem::path> Absolute(const std::filesystem::path& path) {
  if (path.empty()) return std::nullopt;
  std::error_code error;
  auto absolute = std::filesystem::absolute(path, error);
  if (error) return std::nullopt;
  return absolute.lexically_normal();
}

wchar_t FoldCase(wchar_t c) {
  if (c >= L'A' && c <= L'Z') return static_cast<wchar_t>(c - L'A' + L'a');
  return c;
}

bool ExistsNoFollow(const std::filesystem::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

// The child of `folder` named `component`: the exact spelling when it exists,
// else an entry whose name matches without regard to case, else the exact one.
std::filesystem::path ResolveComponent(const std::filesystem::path& folder, const std::wstring& component) {
  const std::string name = ToUtf8(component);
  std::filesystem::path exact = folder / name;
  if (ExistsNoFollow(exact)) return exact;
  // Only A to Z are folded, and those are the same single bytes in UTF-8: the
  // folder's names are compared as the bytes it holds.
  if (auto match = FindEntryIgnoringCase(folder, name)) return folder / *match;
  return exact;
}

// The components of a Windows path below "C:\" with '/' read as '\\' and a
// leading "\\?\" dropped; nullopt when it is not an absolute C: path.
std::optional<std::vector<std::wstring>> ComponentsBelowDriveC(std::wstring_view windowsPath) {
  std::wstring path(windowsPath);
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  if (path.size() < 3 || FoldCase(path[0]) != L'c' || path[1] != L':' || path[2] != L'\\') return std::nullopt;
  std::vector<std::wstring> components;
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    components.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return components;
}

bool IsPlain(const std::vector<std::wstring>& components) {
  for (const auto& component : components)
    if (component.empty() || component == L"." || component == L"..") return false;
  return true;
}

std::atomic<std::uint64_t> machineGeneration{1};

}  // namespace

std::optional<std::filesystem::path> MachineRoot() {
  MachineState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (!state.initialised) {
    state.initialised = true;
    if (const char* env = std::getenv("TARN_MACHINE")) state.root = Absolute(env);
  }
  return state.root;
}

void SimulatedDelay(const char* variable) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') return;
  char* end = nullptr;
  const unsigned long long milliseconds = std::strtoull(text, &end, 10);
  if (*end != '\0' || milliseconds == 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SetMachineRoot(const std::filesystem::path& root) {
  MachineState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.initialised = true;
  state.root = Absolute(root);
  machineGeneration.fetch_add(1);
}

std::uint64_t MachineGeneration() { return machineGeneration.load(); }

std::optional<std::filesystem::path> MapWindowsPathAsSpelled(std::wstring_view windowsPath) {
  // Asked for every existence and size query of the logs, so it keeps the
  // machine's drive folder per thread and builds the host path in one string.
  thread_local std::uint64_t knownGeneration = 0;
  thread_local std::optional<std::string> driveC;
  if (const std::uint64_t generation = MachineGeneration(); generation != knownGeneration) {
    const auto root = MachineRoot();
    driveC = root ? std::optional<std::string>((*root / "drive_c").string()) : std::nullopt;
    knownGeneration = generation;
  }
  if (!driveC) return std::nullopt;

  std::wstring_view path = windowsPath;
  if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);
  if (path.size() < 4 || FoldCase(path[0]) != L'c' || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/'))
    return std::nullopt;
  path.remove_prefix(3);
  std::string host = *driveC;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != L'\\' && path[i] != L'/') continue;
    const std::wstring_view component = path.substr(start, i - start);
    if (component.empty() || component == L"." || component == L"..") return std::nullopt;
    host += '/';
    host += ToUtf8(component);
    start = i + 1;
  }
  return std::filesystem::path(std::move(host));
}

std::optional<std::filesystem::path> MapWindowsPath(std::wstring_view windowsPath) {
  auto root = MachineRoot();
  if (!root) return std::nullopt;
  auto components = ComponentsBelowDriveC(windowsPath);
  if (!components) return std::nullopt;

  const std::filesystem::path driveC = *root / "drive_c";
  if (IsPlain(*components)) {
    // Most paths are spelled as they are on disk. When the whole path exists with
    // this spelling, so does every folder on the way, and the walk below would
    // give the same answer with one query per component.
    std::filesystem::path exact = driveC;
    for (const auto& component : *components) exact /= ToUtf8(component);
    if (ExistsNoFollow(exact)) return exact;
    // A new file in an existing folder: only its own name needs a closer look.
    if (ExistsNoFollow(exact.parent_path())) return ResolveComponent(exact.parent_path(), components->back());
  }

  std::filesystem::path mapped = driveC;
  for (const auto& component : *components) {
    if (component == L"..") {
      if (mapped != driveC) mapped = mapped.parent_path();
    } else if (!component.empty() && component != L".") {
      mapped = ResolveComponent(mapped, component);
    }
  }
  return mapped;
}

std::optional<std::filesystem::path> RunFolder() {
  auto root = MachineRoot();
  if (!root) return std::nullopt;
  std::filesystem::path run = *root / "run";
  std::error_code error;
  std::filesystem::create_directories(run, error);
  return run;
}

std::string ToUtf8(std::wstring_view wide) {
  std::string out;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    std::uint32_t c = static_cast<std::uint32_t>(wide[i]);
    // A surrogate pair held in two wchar_t units is one code point.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) {
      std::uint32_t low = static_cast<std::uint32_t>(wide[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Malformed input (a stray continuation byte, a lead byte without its
// continuation bytes, an overlong form, a surrogate, a code point above
// U+10FFFF) becomes U+FFFD, and only the bytes that belong to the sequence are
// consumed: a lead byte just before a line end never swallows the line end.
std::wstring FromUtf8(std::string_view utf8) {
  constexpr wchar_t kReplacement = 0xFFFD;
  std::wstring out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i++]);
    if (lead < 0x80) {
      out += static_cast<wchar_t>(lead);
      continue;
    }
    std::size_t extra = 0;
    std::uint32_t c = 0;
    std::uint32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, c = lead & 0x07, minimum = 0x10000;
    } else {
      out += kReplacement;
      continue;
    }
    std::size_t taken = 0;
    while (taken < extra && i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) {
      c = (c << 6) | (static_cast<unsigned char>(utf8[i++]) & 0x3F);
      ++taken;
    }
    const bool valid = taken == extra && c >= minimum && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF);
    out += valid ? static_cast<wchar_t>(c) : kReplacement;
  }
  return out;
}

}  // namespace tarn::sim
