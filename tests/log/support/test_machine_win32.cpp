// Windows: the real C: and HKLM of the machine the tests run on, taken over only
// under Wine (or when TARN_TESTS_MAY_CLEAR_PROGRAMDATA=1 says so).
#include <windows.h>

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_machine.h"
#include "unique_handle.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kTestedFolders[] = {L"C:\\ProgramData\\Corvessan\\TARNLog",
                                             L"C:\\ProgramData\\Corvessan\\VORLA"};
constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Corvessan\\Tarn";

bool MayTakeOverMachine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) return true;
  const char* allowed = std::getenv("TARN_TESTS_MAY_CLEAR_PROGRAMDATA");
  return allowed != nullptr && std::string(allowed) == "1";
}

void ClearTestedFolders() {
  for (const wchar_t* folder : kTestedFolders) {
    std::error_code error;
    fs::remove_all(folder, error);
  }
}

}  // namespace

TestMachine::TestMachine() : _available(MayTakeOverMachine()) {
  if (_available) ClearTestedFolders();
}

TestMachine::~TestMachine() {
  if (_available) ClearTestedFolders();
}

std::string ReadBytes(const std::wstring& path) { return ReadBytes(fs::path(path)); }

void WriteBytes(const std::wstring& path, std::string_view bytes) {
  std::ofstream(fs::path(path), std::ios::binary) << bytes;
}

bool PathExists(const std::wstring& path) { return fs::exists(fs::path(path)); }
void MakeFolder(const std::wstring& path) { fs::create_directories(fs::path(path)); }
void RemoveTree(const std::wstring& path) { fs::remove_all(fs::path(path)); }
void MakeHardLink(const std::wstring& existing, const std::wstring& newName) {
  fs::create_hard_link(fs::path(existing), fs::path(newName));
}

std::vector<std::wstring> FolderNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(fs::path(folder))) names.push_back(entry.path().filename().wstring());
  std::sort(names.begin(), names.end());
  return names;
}

// The Microsoft runtime reads POSIX-style zones ("JST-9", "NST3:30NDT") from TZ
// and, for a zone with a daylight-saving name, moves the clock by one hour in
// summer. Wine's runtime keeps the daylight-saving bias of the system's own zone
// instead (none on a machine set to UTC), so the test sets the runtime's bias
// to what Windows gives such a zone.
void SetTimeZone(const char* posixTimeZone) {
  _putenv_s("TZ", posixTimeZone);
  _tzset();
  if (_daylight != 0) _dstbias = -3600;
}

void RestoreTimeZone() {
  _putenv_s("TZ", "");
  _tzset();
}

void ClearSettingsKey() {
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_WOW64_32KEY, 0);
  tarn::UniqueRegKey key;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key.put(),
                  nullptr);
}

void SetSettingsValue(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
  tarn::UniqueRegKey key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS)
    return;
  RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
}

}  // namespace tarn::test
