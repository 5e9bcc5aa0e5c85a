#include "tarn_sim/machine.h"

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

bool EqualIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

// The child of `folder` named `component`: the exact spelling when it exists,
// else an entry whose name matches without regard to case, else the exact one.
std::filesystem::path ResolveComponent(const std::filesystem::path& folder, const std::wstring& component) {
  std::filesystem::path exact = folder / ToUtf8(component);
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(exact, error))) return exact;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    if (EqualIgnoringCase(FromUtf8(it->path().filename().string()), component)) return it->path();
  }
  return exact;
}

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
}

std::optional<std::filesystem::path> MapWindowsPath(std::wstring_view windowsPath) {
  auto root = MachineRoot();
  if (!root) return std::nullopt;
  std::wstring path(windowsPath);
  for (auto& c : path)
    if (c == L'/') c = L'\\';
  if (path.rfind(L"\\\\?\\", 0) == 0) path.erase(0, 4);
  if (path.size() < 3 || FoldCase(path[0]) != L'c' || path[1] != L':' || path[2] != L'\\') return std::nullopt;

  std::filesystem::path mapped = *root / "drive_c";
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring component = path.substr(start, end - start);
    if (component == L"..") {
      if (mapped != *root / "drive_c") mapped = mapped.parent_path();
    } else if (!component.empty() && component != L".") {
      mapped = ResolveComponent(mapped, component);
    }
    start = end + 1;
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

std::wstring FromUtf8(std::string_view utf8) {
  std::wstring out;
  std::size_t i = 0;
  while (i < utf8.size()) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    std::uint32_t c = lead;
    std::size_t extra = 0;
    if (lead >= 0xF0) {
      c = lead & 0x07;
      extra = 3;
    } else if (lead >= 0xE0) {
      c = lead & 0x0F;
      extra = 2;
    } else if (lead >= 0xC0) {
      c = lead & 0x1F;
      extra = 1;
    }
    ++i;
    for (std::size_t k = 0; k < extra && i < utf8.size(); ++k, ++i)
      c = (c << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
    out += static_cast<wchar_t>(c);
  }
  return out;
}

}  // namespace tarn::sim
