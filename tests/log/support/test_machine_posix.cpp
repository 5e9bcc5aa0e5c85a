// Linux: each test gets a simulated machine of its own in a temporary folder.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "tarn_sim/machine.h"
#include "test_machine.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

fs::path Host(const std::wstring& path) {
  auto mapped = tarn::sim::MapWindowsPath(path);
  if (!mapped) throw std::runtime_error("not a path of the test machine");
  return *mapped;
}

// The settings key's values, written out as registry.reg after each change.
std::map<std::wstring, std::pair<std::uint32_t, std::vector<std::uint8_t>>> settingsValues;

void WriteRegistryFile() {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Corvessan\\Tarn]\r\n";
  for (const auto& [name, value] : settingsValues) {
    text += "\"" + tarn::sim::ToUtf8(name) + "\"=hex(" + std::to_string(value.first) + "):";
    char byte[4];
    for (std::size_t i = 0; i < value.second.size(); ++i) {
      std::snprintf(byte, sizeof(byte), i == 0 ? "%02x" : ",%02x", value.second[i]);
      text += byte;
    }
    text += "\r\n";
  }
  std::ofstream(*tarn::sim::MachineRoot() / "registry.reg", std::ios::binary) << text;
}

}  // namespace

TestMachine::TestMachine() {
  std::string pattern = (fs::temp_directory_path() / "tarn-log-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
  _root = pattern;
  fs::create_directories(fs::path(_root) / "drive_c");
  tarn::sim::SetMachineRoot(_root);
  settingsValues.clear();
  _available = true;
}

TestMachine::~TestMachine() {
  tarn::sim::SetMachineRoot({});
  std::error_code error;
  fs::remove_all(_root, error);
}

std::string ReadBytes(const std::wstring& path) { return ReadBytes(Host(path)); }

void WriteBytes(const std::wstring& path, std::string_view bytes) {
  std::ofstream(Host(path), std::ios::binary) << bytes;
}

bool PathExists(const std::wstring& path) { return fs::exists(Host(path)); }
void MakeFolder(const std::wstring& path) { fs::create_directories(Host(path)); }
void RemoveTree(const std::wstring& path) { fs::remove_all(Host(path)); }
void MakeHardLink(const std::wstring& existing, const std::wstring& newName) {
  fs::create_hard_link(Host(existing), Host(newName));
}

std::vector<std::wstring> FolderNames(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(Host(folder)))
    names.push_back(tarn::sim::FromUtf8(entry.path().filename().string()));
  std::sort(names.begin(), names.end());
  return names;
}

void SetTimeZone(const char* posixTimeZone) {
  ::setenv("TZ", posixTimeZone, 1);
  ::tzset();
}

void RestoreTimeZone() {
  ::unsetenv("TZ");
  ::tzset();
}

void ClearSettingsKey() {
  settingsValues.clear();
  WriteRegistryFile();
}

void SetSettingsValue(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
  settingsValues[name] = {type, data};
  WriteRegistryFile();
}

}  // namespace tarn::test
