// The parts of the file-system interface that the log tests do not reach.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "log_test_util.h"
#include "tarn_fs/file_system.h"

namespace tarn::test {
namespace {

using FileSystemTest = MachineTest;
const std::wstring kBase = L"C:\\ProgramData\\Corvessan\\TARNLog";

TEST_F(FileSystemTest, RemovesFilesAndEmptyFoldersButNothingHeldOrFull) {
  MakeFolder(kBase + L"\\full");
  WriteBytes(kBase + L"\\full\\file", "x");
  EXPECT_THROW(tarn::fs::Remove(kBase + L"\\full"), std::filesystem::filesystem_error);
  {
    HeldFile holder = HoldFile(kBase + L"\\full\\file", _SH_DENYNO);
    ASSERT_NE(holder, nullptr);
    EXPECT_THROW(tarn::fs::Remove(kBase + L"\\full\\file"), std::filesystem::filesystem_error);
  }
  EXPECT_TRUE(tarn::fs::Remove(kBase + L"\\full\\file"));
  EXPECT_FALSE(tarn::fs::Remove(kBase + L"\\full\\file"));
  EXPECT_TRUE(tarn::fs::Remove(kBase + L"\\full"));
}

TEST_F(FileSystemTest, PrefixListingGivesOnlyTheEntriesThatBeginWithThePrefix) {
  MakeFolder(kBase + L"\\many\\TARNLog_folder");
  for (const wchar_t* name : {L"TARNLog_1.csv", L"TARNLog_2.csv", L"TARNLog.csv", L"TARNLogUpload.csv", L"other.txt"})
    WriteBytes(kBase + L"\\many\\" + name, "x");

  std::vector<std::wstring> names;
  EXPECT_TRUE(tarn::fs::ListFolderNamesWithPrefix(kBase + L"\\many", L"TARNLog_", names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"TARNLog_1.csv", L"TARNLog_2.csv", L"TARNLog_folder"}));

  names.clear();
  EXPECT_TRUE(tarn::fs::ListFolderNamesWithPrefix(kBase + L"\\many", L"3001_", names));
  EXPECT_TRUE(names.empty());
  EXPECT_THROW(tarn::fs::ListFolderNamesWithPrefix(kBase + L"\\missing", L"TARNLog_", names),
               std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace tarn::test
