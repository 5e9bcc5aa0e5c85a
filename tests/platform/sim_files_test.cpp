// The stand-in's shell folders, sharing rules, MoveFileExW/CopyFileW and localtime_s.
#include <gtest/gtest.h>

#include <windows.h>

#include <share.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tarn_sim/machine.h"
#include "test_machine.h"
#include "unique_handle.h"

namespace tarn::test {
namespace {

using Stream = tarn::UniqueStdioFile;

Stream Open(const wchar_t* path, const wchar_t* mode, int share) { return Stream(_wfsopen(path, mode, share)); }

TEST(SimShellTest, CommonAppDataIsProgramDataOnDriveC) {
  wchar_t path[MAX_PATH] = {};
  tarn::sim::SetMachineRoot({});
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE));

  TestMachine machine;
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, FALSE));  // not there yet
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE));
  EXPECT_STREQ(path, L"C:\\ProgramData");
  EXPECT_TRUE(PathExists(L"C:\\ProgramData"));

  MakeFolder(L"C:\\ProgramData\\Vendor");
  WriteBytes(L"C:\\ProgramData\\Vendor\\File.txt", "x");
  EXPECT_TRUE(PathFileExistsW(L"C:\\ProgramData\\Vendor\\File.txt"));
  EXPECT_TRUE(PathFileExistsW(L"c:\\programdata\\VENDOR\\file.TXT"));
  EXPECT_TRUE(PathFileExistsW(L"C:\\ProgramData\\Vendor"));
  EXPECT_FALSE(PathFileExistsW(L"C:\\ProgramData\\Vendor\\Other.txt"));
}

struct SharingCase {
  const wchar_t* heldMode;
  int heldShare;
  const wchar_t* mode;
  int share;
  bool opens;
};

class SimSharingTest : public ::testing::TestWithParam<SharingCase> {};

INSTANTIATE_TEST_SUITE_P(Cases, SimSharingTest,
                         ::testing::Values(SharingCase{L"rb", _SH_DENYRW, L"rb", _SH_DENYNO, false},
                                           SharingCase{L"rb", _SH_DENYWR, L"rb", _SH_DENYNO, true},
                                           SharingCase{L"rb", _SH_DENYWR, L"ab", _SH_DENYNO, false},
                                           SharingCase{L"rb", _SH_DENYRD, L"rb", _SH_DENYNO, false},
                                           SharingCase{L"rb", _SH_DENYRD, L"ab", _SH_DENYNO, true},
                                           SharingCase{L"ab", _SH_DENYNO, L"ab", _SH_DENYNO, true},
                                           SharingCase{L"ab", _SH_DENYNO, L"rb", _SH_DENYWR,
                                                       false},  // would refuse the holder's writing
                                           SharingCase{L"a+", _SH_DENYNO, L"rb", _SH_DENYRD, false}));

TEST_P(SimSharingTest, SecondOpenFollowsWindowsSharingAndTheCloseReleasesTheFile) {
  TestMachine machine;
  WriteBytes(L"C:\\f.txt", "data");
  const SharingCase& c = GetParam();
  Stream held = Open(L"C:\\f.txt", c.heldMode, c.heldShare);
  ASSERT_NE(held, nullptr);
  errno = 0;
  Stream second = Open(L"C:\\f.txt", c.mode, c.share);
  EXPECT_EQ(second != nullptr, c.opens);
  if (!c.opens) {
    EXPECT_EQ(errno, EACCES);
  }
  second.reset();
  held.reset();
  EXPECT_NE(Open(L"C:\\f.txt", c.mode, c.share), nullptr);
}

TEST(SimFilesTest, RefusedOpenForWritingLeavesTheFileAlone) {
  TestMachine machine;
  WriteBytes(L"C:\\f.txt", "keep");
  Stream held = Open(L"C:\\f.txt", L"rb", _SH_DENYWR);
  EXPECT_EQ(Open(L"C:\\f.txt", L"wb", _SH_DENYNO), nullptr);
  EXPECT_EQ(ReadBytes(L"C:\\f.txt"), "keep");
}

TEST(SimFilesTest, AppendModeAppendsAndTextModeAddsNoCarriageReturn) {
  TestMachine machine;
  for (const char* text : {"one\n", "two\n"}) {
    Stream stream = Open(L"C:\\f.txt", L"at", _SH_DENYNO);
    ASSERT_NE(stream, nullptr);
    std::fputs(text, stream.get());
  }
  EXPECT_EQ(ReadBytes(L"C:\\f.txt"), "one\ntwo\n");
  EXPECT_EQ(Open(L"C:\\f.txt", L"a, ccs=UTF-8", _SH_DENYNO), nullptr);
  EXPECT_EQ(Open(L"C:\\missing\\f.txt", L"a", _SH_DENYNO), nullptr);
  EXPECT_EQ(Open(L"C:\\", L"r", _SH_DENYNO), nullptr);
}

DWORD MoveError(const wchar_t* from, const wchar_t* to, DWORD flags) {
  SetLastError(0);
  return MoveFileExW(from, to, flags) ? ERROR_SUCCESS : GetLastError();
}

TEST(SimFilesTest, MoveFileExReportsWhatWindowsReports) {
  TestMachine machine;
  MakeFolder(L"C:\\dir");
  WriteBytes(L"C:\\dir\\a.txt", "A");
  WriteBytes(L"C:\\dir\\b.txt", "B");
  const DWORD replace = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;
  EXPECT_EQ(MoveError(L"C:\\dir\\none.txt", L"C:\\dir\\c.txt", replace), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(MoveError(L"C:\\none\\a.txt", L"C:\\dir\\c.txt", replace), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(MoveError(L"C:\\dir\\a.txt", L"C:\\none\\c.txt", replace), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(MoveError(L"C:\\dir\\a.txt", L"C:\\dir\\b.txt", 0), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadBytes(L"C:\\dir\\b.txt"), "B");

  {
    Stream source = Open(L"C:\\dir\\a.txt", L"rb", _SH_DENYNO);  // the runtime never shares deletion
    EXPECT_EQ(MoveError(L"C:\\dir\\a.txt", L"C:\\dir\\c.txt", replace), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    Stream target = Open(L"C:\\dir\\b.txt", L"rb", _SH_DENYNO);
    source.reset();
    EXPECT_EQ(MoveError(L"C:\\dir\\a.txt", L"C:\\dir\\b.txt", replace), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(MoveError(L"C:\\DIR\\A.TXT", L"C:\\dir\\b.txt", replace), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(ReadBytes(L"C:\\dir\\b.txt"), "A");
  EXPECT_FALSE(PathExists(L"C:\\dir\\a.txt"));

  EXPECT_EQ(MoveError(L"C:\\dir\\b.txt", L"C:\\dir\\B.TXT", 0), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(FolderNames(L"C:\\dir"), std::vector<std::wstring>{L"B.TXT"});
}

// Names are found without regard to case after the stand-in's own renames and
// new files, which it notes in the folder's index, and after changes made
// behind its back, which alter the folder's times.
TEST(SimFilesTest, NamesInAnyCaseFollowRenamesNewFilesAndOutsideChanges) {
  TestMachine machine;
  MakeFolder(L"C:\\Data");
  WriteBytes(L"C:\\Data\\Old.txt", "x");
  EXPECT_TRUE(PathFileExistsW(L"C:\\data\\old.TXT"));
  EXPECT_FALSE(PathFileExistsW(L"C:\\data\\new.txt"));

  ASSERT_TRUE(MoveFileExW(L"C:\\Data\\Old.txt", L"C:\\Data\\New.txt", 0));
  EXPECT_FALSE(PathFileExistsW(L"C:\\data\\old.txt"));
  EXPECT_TRUE(PathFileExistsW(L"C:\\data\\NEW.txt"));
  ASSERT_TRUE(MoveFileExW(L"C:\\data\\new.TXT", L"C:\\Data\\Third.txt", 0));  // found in any case
  EXPECT_TRUE(PathFileExistsW(L"C:\\DATA\\third.txt"));
  EXPECT_FALSE(PathFileExistsW(L"C:\\Data\\NEW.txt"));

  Open(L"C:\\Data\\Made.txt", L"a", _SH_DENYNO).reset();
  EXPECT_TRUE(PathFileExistsW(L"C:\\DATA\\made.TXT"));
  Open(L"C:\\data\\MADE.txt", L"a", _SH_DENYNO).reset();  // the same file, no second one
  const auto data = *tarn::sim::MapWindowsPath(L"C:\\Data");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(data), std::filesystem::directory_iterator()), 2);

  // A folder's times may be as coarse as a clock tick: a change made behind the
  // stand-in's back shows once the time has moved on.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::ofstream(*tarn::sim::MapWindowsPath(L"C:\\Data") / "Outside.txt") << "x";
  EXPECT_TRUE(PathFileExistsW(L"C:\\Data\\OUTSIDE.TXT"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::filesystem::remove(*tarn::sim::MapWindowsPath(L"C:\\Data") / "Made.txt");
  EXPECT_FALSE(PathFileExistsW(L"C:\\data\\made.txt"));
}

TEST(SimFilesTest, CopyFileKeepsOrReplacesTheTarget) {
  TestMachine machine;
  WriteBytes(L"C:\\a.txt", "A");
  WriteBytes(L"C:\\b.txt", "B");
  SetLastError(0);
  EXPECT_FALSE(CopyFileW(L"C:\\a.txt", L"C:\\b.txt", TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_TRUE(CopyFileW(L"C:\\a.txt", L"C:\\b.txt", FALSE));
  EXPECT_EQ(ReadBytes(L"C:\\b.txt"), "A");
  EXPECT_EQ(ReadBytes(L"C:\\a.txt"), "A");
}

TEST(SimCrtTest, LocaltimeSRefusesWhatWindowsRefuses) {
  std::tm result{};
  const std::time_t negative = -1;
  EXPECT_EQ(localtime_s(&result, nullptr), EINVAL);
  EXPECT_EQ(result.tm_year, -1);
  EXPECT_EQ(localtime_s(&result, &negative), EINVAL);
  EXPECT_EQ(localtime_s(nullptr, &negative), EINVAL);
  const std::time_t leapDay = 951782400;  // 2000-02-29 00:00:00 UTC
  ASSERT_EQ(localtime_s(&result, &leapDay), 0);
  EXPECT_EQ(result.tm_year, 100);
}

}  // namespace
}  // namespace tarn::test
