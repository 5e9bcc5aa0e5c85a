// Shared pieces of the log tests: a fixture with a clean machine, the headers
// the service gives the two logs, and helpers to look at the files.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <share.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "log_headers.h"
#include "test_machine.h"
#include "unique_handle.h"

namespace tarn::test {

// The header lines as the files hold them.
inline const std::string kLocalHeader = std::string(kLocalHeaderLine) + "\r\n";
inline const std::string kUploadHeader = std::string(kUploadHeaderLine) + "\r\n";

inline std::wstring InFolder(const wchar_t* folder, const std::wstring& name) { return folder + (L"\\" + name); }

// "<20-character stamp>,<row>\r\n", and the same for a whole file of such lines.
inline std::string RowPattern(const std::string& row) { return R"(\d{8}T\d{6}[+-]\d{4},)" + row + "\r\n"; }
inline bool MatchesRows(const std::string& bytes, const std::string& header, const std::vector<std::string>& rows) {
  std::string pattern = header;
  for (const auto& row : rows) pattern += RowPattern(row);
  return std::regex_match(bytes, std::regex(pattern));
}

// The names in a folder that match a regular expression.
inline std::vector<std::wstring> NamesMatching(const wchar_t* folder, const std::wregex& pattern) {
  std::vector<std::wstring> matching;
  for (const auto& name : FolderNames(folder))
    if (std::regex_match(name, pattern)) matching.push_back(name);
  return matching;
}

using HeldFile = tarn::UniqueStdioFile;

// Another handle on the file, as a viewer or a collector would hold it.
inline HeldFile HoldFile(const std::wstring& path, int shareFlag) {
  return HeldFile(_wfsopen(path.c_str(), L"rb", shareFlag));
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!_machine.available()) GTEST_SKIP() << "needs a machine whose C:\\ProgramData the tests may clear";
  }

 private:
  TestMachine _machine;
};

}  // namespace tarn::test
