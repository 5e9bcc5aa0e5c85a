// A clean machine for one test, and the few file, registry and time-zone
// operations the tests need, on Windows paths on both platforms.
//
// Linux: a fresh simulated machine in a temporary folder.
// Windows: the real C: and HKLM, which the tests clear and fill; only under
// Wine (or with TARN_TESTS_MAY_CLEAR_PROGRAMDATA=1), so that a run on a real
// machine never touches its logs or settings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "test_files.h"

namespace tarn::test {

inline constexpr const wchar_t* kLocalFolder = L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog";
inline constexpr const wchar_t* kDropFolder = L"C:\\ProgramData\\Corvessan\\VORLA\\upload";

class TestMachine {
 public:
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  // False where the tests may not take over the machine's folders and registry.
  bool available() const { return _available; }

 private:
  bool _available = false;
  std::string _root;
};

// The file operations take the Windows paths of the test machine (a
// std::filesystem::path is one of the host: see test_files.h).
std::string ReadBytes(const std::wstring& path);
inline std::string ReadBytes(const wchar_t* path) { return ReadBytes(std::wstring(path)); }
void WriteBytes(const std::wstring& path, std::string_view bytes);
bool PathExists(const std::wstring& path);
void MakeFolder(const std::wstring& path);
void RemoveTree(const std::wstring& path);
// A second name for an existing file (a hard link).
void MakeHardLink(const std::wstring& existing, const std::wstring& newName);
std::vector<std::wstring> FolderNames(const std::wstring& folder);  // sorted

// Sets the C runtime's time zone from a POSIX TZ text ("JST-9"); RestoreTimeZone undoes it.
void SetTimeZone(const char* posixTimeZone);
void RestoreTimeZone();

// The settings key, HKLM\SOFTWARE\Corvessan\Tarn in the 32-bit view: emptied
// (but present), or given one value of any type with raw data.
void ClearSettingsKey();
void SetSettingsValue(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data);
void SetSettingsDword(const std::wstring& name, std::uint32_t value);

}  // namespace tarn::test
