// RegOpenKeyExW, RegQueryValueExW and RegCloseKey over registry.reg of the
// simulated machine. The file is read again on every call and parsed again
// whenever its bytes have changed, so an edit takes effect at the next call.
//
// Views: the service is a 32-bit process. Unless a request asks for the 64-bit
// view (KEY_WOW64_64KEY), a key under HKEY_LOCAL_MACHINE\SOFTWARE is looked for
// first under HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node, where 64-bit Windows keeps
// the 32-bit view, and, when that key is not in the file, under
// HKEY_LOCAL_MACHINE\SOFTWARE itself. A registry.reg may be written either way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <windows.h>

#include "reg_file.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"

namespace {

using tarn::sim::registry::FoldName;
using tarn::sim::registry::Hive;
using tarn::sim::registry::Key;

constexpr LSTATUS kErrorKeyDeleted = 1018;  // ERROR_KEY_DELETED
constexpr std::wstring_view kSoftware = L"HKEY_LOCAL_MACHINE\\SOFTWARE";
constexpr std::wstring_view kWow64Node = L"WOW6432NODE";

class OpenKey : public tarn::sim::KernelObject {
 public:
  explicit OpenKey(std::wstring path) : path(std::move(path)) {}
  const std::wstring path;
};

// The bytes of registry.reg, or none when it is missing or not a regular file:
// a FIFO or a folder in its place must neither block nor fail a read, it only
// leaves the registry empty. O_NONBLOCK keeps the open of a FIFO from waiting
// for a writer; the type is checked on the open descriptor, so a swap between
// a check and the open cannot slip one through.
std::string ReadRegistryFile() {
  auto root = tarn::sim::MachineRoot();
  if (!root) return {};
  const std::filesystem::path path = *root / "registry.reg";
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  const int fd = file.fd;
  if (fd < 0) return {};
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
  }
  return bytes;
}

// The hive of the current file, parsed again only when the bytes change.
std::shared_ptr<const Hive> CurrentHive() {
  struct Cache {
    std::mutex lock;
    std::string bytes;
    std::shared_ptr<const Hive> hive;
  };
  static Cache* cache = new Cache;  // never destroyed: any thread may still ask

  std::string bytes = ReadRegistryFile();
  std::lock_guard<std::mutex> guard(cache->lock);
  if (!cache->hive || bytes != cache->bytes) {
    cache->hive = std::make_shared<const Hive>(Hive::Parse(bytes));
    cache->bytes = std::move(bytes);
  }
  return cache->hive;
}

std::optional<std::wstring> PredefinedPath(HKEY key) {
  switch (reinterpret_cast<ULONG_PTR>(key)) {
    case 0x80000000u: return L"HKEY_CLASSES_ROOT";
    case 0x80000001u: return L"HKEY_CURRENT_USER";
    case 0x80000002u: return L"HKEY_LOCAL_MACHINE";
    case 0x80000003u: return L"HKEY_USERS";
    case 0x80000005u: return L"HKEY_CURRENT_CONFIG";
    default: return std::nullopt;
  }
}

std::optional<std::wstring> PathOfKey(HKEY key) {
  if (auto predefined = PredefinedPath(key)) return predefined;
  auto open = tarn::sim::LookupHandle<OpenKey>(reinterpret_cast<HANDLE>(key));
  if (!open) return std::nullopt;
  return open->path;
}

// The 32-bit view's place of a path under HKEY_LOCAL_MACHINE\SOFTWARE, or nullopt
// when the path lies elsewhere or is already inside WOW6432Node.
std::optional<std::wstring> Wow64Path(const std::wstring& fullPath) {
  const std::wstring folded = FoldName(fullPath);
  if (!folded.starts_with(kSoftware) || (folded.size() > kSoftware.size() && folded[kSoftware.size()] != L'\\'))
    return std::nullopt;
  std::wstring_view rest = std::wstring_view(fullPath).substr(kSoftware.size());
  if (FoldName(rest).starts_with(L"\\" + std::wstring(kWow64Node))) return std::nullopt;
  return std::wstring(kSoftware) + L"\\WOW6432Node" + std::wstring(rest);
}

const Key* ResolveKey(const Hive& hive, const std::wstring& fullPath, REGSAM access) {
  if ((access & KEY_WOW64_64KEY) == 0) {
    if (auto redirected = Wow64Path(fullPath)) {
      if (const Key* key = hive.Find(*redirected)) return key;
    }
  }
  return hive.Find(fullPath);
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  auto base = PathOfKey(key);
  if (!base) return ERROR_INVALID_HANDLE;
  std::wstring fullPath = *base;
  if (subKey != nullptr && *subKey != 0) fullPath += L"\\" + std::wstring(subKey);

  auto hive = CurrentHive();
  const Key* found = ResolveKey(*hive, fullPath, desired);
  if (found == nullptr) return ERROR_FILE_NOT_FOUND;
  *result = reinterpret_cast<HKEY>(tarn::sim::InsertHandle(std::make_shared<OpenKey>(found->path)));
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return ERROR_INVALID_PARAMETER;
  tarn::sim::SimulatedDelay(tarn::sim::kRegistryDelayVariable);  // a slow registry, for tests
  auto path = PathOfKey(key);
  if (!path) return ERROR_INVALID_HANDLE;
  auto hive = CurrentHive();
  const Key* found = hive->Find(*path);
  if (found == nullptr) return kErrorKeyDeleted;
  auto value = found->values.find(FoldName(valueName == nullptr ? L"" : valueName));
  if (value == found->values.end()) return ERROR_FILE_NOT_FOUND;

  const auto& bytes = value->second.data;
  const DWORD size = static_cast<DWORD>(bytes.size());
  if (type != nullptr) *type = value->second.type;
  if (data != nullptr && *dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size > 0) std::memcpy(data, bytes.data(), size);
  if (dataSize != nullptr) *dataSize = size;
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (PredefinedPath(key)) return ERROR_SUCCESS;
  if (!tarn::sim::LookupHandle<OpenKey>(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  return tarn::sim::RemoveHandle(reinterpret_cast<HANDLE>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
