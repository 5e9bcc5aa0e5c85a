// Shell folders, PathFileExistsW and the COM allocator.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include <shlobj.h>
#include <windows.h>

#include "tarn_sim/machine.h"

namespace {

constexpr int kCsidlFlagCreate = 0x8000;
constexpr DWORD kKnownFolderFlagCreate = 0x00008000;
constexpr HRESULT kFolderNotFound = static_cast<HRESULT>(0x80070002u);  // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
constexpr HRESULT kOutOfMemory = static_cast<HRESULT>(0x8007000Eu);

constexpr GUID kFolderIdProgramData = {0x62AB5D82, 0xFDC1, 0x4DC3, {0xA9, 0xDD, 0x07, 0x0D, 0x1D, 0x49, 0x5D, 0x97}};
constexpr GUID kFolderIdProgramFiles = {0x905E63B6, 0xC1BF, 0x494E, {0xB2, 0x9C, 0x65, 0xB7, 0x32, 0xD3, 0xD2, 0x1A}};
constexpr GUID kFolderIdProgramFilesX86 = {
    0x7C5A40EF, 0xA0FB, 0x4BFC, {0x87, 0x4A, 0xC0, 0xF2, 0xE0, 0xB9, 0xFA, 0x8E}};
constexpr GUID kFolderIdRoamingAppData = {0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3E, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};

// A service runs as LocalSystem, whose profile lives under the system folder.
constexpr const wchar_t* kSystemProfileRoaming = L"C:\\Windows\\System32\\config\\systemprofile\\AppData\\Roaming";

// The process is 32-bit, so "Program Files" is the x86 one, as on 64-bit Windows.
std::optional<std::wstring> FolderOfCsidl(int csidl) {
  switch (csidl) {
    case CSIDL_COMMON_APPDATA: return L"C:\\ProgramData";
    case CSIDL_PROGRAM_FILES: return L"C:\\Program Files (x86)";
    case CSIDL_APPDATA: return kSystemProfileRoaming;
    default: return std::nullopt;
  }
}

std::optional<std::wstring> FolderOfKnownId(const GUID& id) {
  if (id == kFolderIdProgramData) return L"C:\\ProgramData";
  if (id == kFolderIdProgramFiles || id == kFolderIdProgramFilesX86) return L"C:\\Program Files (x86)";
  if (id == kFolderIdRoamingAppData) return kSystemProfileRoaming;
  return std::nullopt;
}

// True when the folder exists on the simulated machine, after creating it if asked.
bool FolderIsThere(const std::wstring& windowsPath, bool create) {
  auto hostPath = tarn::sim::MapWindowsPath(windowsPath);
  if (!hostPath) return false;
  std::error_code error;
  if (create) std::filesystem::create_directories(*hostPath, error);
  return std::filesystem::is_directory(*hostPath, error);
}

}  // namespace

BOOL SHGetSpecialFolderPathW(HWND, LPWSTR path, int csidl, BOOL create) {
  if (path == nullptr) return FALSE;
  if ((csidl & kCsidlFlagCreate) != 0) create = TRUE;
  auto folder = FolderOfCsidl(csidl & ~kCsidlFlagCreate);
  if (!folder || !FolderIsThere(*folder, create != FALSE)) return FALSE;
  std::wmemcpy(path, folder->c_str(), folder->size() + 1);
  return TRUE;
}

HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE, PWSTR* path) {
  if (path == nullptr) return E_INVALIDARG;
  *path = nullptr;
  auto folder = FolderOfKnownId(folderId);
  if (!folder) return E_INVALIDARG;
  if (!FolderIsThere(*folder, (flags & kKnownFolderFlagCreate) != 0)) return kFolderNotFound;
  const std::size_t bytes = (folder->size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<PWSTR>(std::malloc(bytes));
  if (copy == nullptr) return kOutOfMemory;
  std::memcpy(copy, folder->c_str(), bytes);
  *path = copy;
  return S_OK;
}

void CoTaskMemFree(LPVOID memory) { std::free(memory); }

BOOL PathFileExistsW(LPCWSTR path) {
  if (path == nullptr) return FALSE;
  // The path as spelled first: one query answers for a file that is there.
  struct stat status {};
  if (auto spelled = tarn::sim::MapWindowsPathAsSpelled(path); spelled && ::stat(spelled->c_str(), &status) == 0)
    return TRUE;
  auto hostPath = tarn::sim::MapWindowsPath(path);
  std::error_code error;
  if (hostPath && std::filesystem::exists(*hostPath, error)) return TRUE;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}
