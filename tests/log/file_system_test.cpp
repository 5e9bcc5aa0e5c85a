#include <filesystem>

#include "log_test_util.h"
#include "tarn_fs/file_system.h"

namespace tarn::test {
namespace {

using FileSystemTest = MachineTest;
const std::wstring kBase = L"C:\\ProgramData\\Corvessan\\TARNLog";

TEST_F(FileSystemTest, CreatesMissingFoldersAndRefusesAFileInTheWay) {
  const std::wstring deep = kBase + L"\\a\\b";
  tarn::fs::CreateDirectories(deep);
  tarn::fs::CreateDirectories(deep);  // an existing folder is no error
  EXPECT_EQ(tarn::fs::GetFileType(deep), tarn::fs::FileType::Directory);
  WriteBytes(kBase + L"\\file", "x");
  EXPECT_THROW(tarn::fs::CreateDirectories(kBase + L"\\file"), std::filesystem::filesystem_error);
  EXPECT_THROW(tarn::fs::CreateDirectories(kBase + L"\\file\\below"), std::filesystem::filesystem_error);
}

TEST_F(FileSystemTest, SizeAndTypeTellFilesFoldersAndMissingPathsApart) {
  MakeFolder(kBase);
  WriteBytes(kBase + L"\\five", "12345");
  EXPECT_EQ(tarn::fs::FileSize(kBase + L"\\five"), 5u);
  EXPECT_THROW(tarn::fs::FileSize(kBase + L"\\missing"), std::filesystem::filesystem_error);
  EXPECT_THROW(tarn::fs::FileSize(kBase), std::filesystem::filesystem_error);
  EXPECT_EQ(tarn::fs::GetFileType(kBase + L"\\five"), tarn::fs::FileType::Other);
  EXPECT_EQ(tarn::fs::GetFileType(kBase + L"\\missing"), tarn::fs::FileType::NotFound);
  EXPECT_EQ(tarn::fs::GetFileType(kBase + L"\\missing\\deeper"), tarn::fs::FileType::NotFound);
}

TEST_F(FileSystemTest, ListsEntryNamesAndFailsForAMissingFolder) {
  MakeFolder(kBase + L"\\sub");
  WriteBytes(kBase + L"\\file.csv", "x");
  std::vector<std::wstring> names;
  EXPECT_TRUE(tarn::fs::ListFolderNames(kBase, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"file.csv", L"sub"}));
  EXPECT_THROW(tarn::fs::ListFolderNames(kBase + L"\\missing", names), std::filesystem::filesystem_error);
}

TEST_F(FileSystemTest, RemovesFilesAndEmptyFoldersOnly) {
  MakeFolder(kBase + L"\\empty");
  MakeFolder(kBase + L"\\full");
  WriteBytes(kBase + L"\\full\\file", "x");
  EXPECT_TRUE(tarn::fs::Remove(kBase + L"\\empty"));
  EXPECT_TRUE(tarn::fs::Remove(kBase + L"\\full\\file"));
  EXPECT_FALSE(tarn::fs::Remove(kBase + L"\\full\\file"));
  WriteBytes(kBase + L"\\full\\file", "x");
  EXPECT_THROW(tarn::fs::Remove(kBase + L"\\full"), std::filesystem::filesystem_error);
  EXPECT_TRUE(PathExists(kBase + L"\\full\\file"));
}

TEST_F(FileSystemTest, FileHeldOpenByTheRuntimeCannotBeRemoved) {
  MakeFolder(kBase);
  WriteBytes(kBase + L"\\held", "x");
  HeldFile holder = HoldFile(kBase + L"\\held", _SH_DENYNO);
  ASSERT_NE(holder, nullptr);
  EXPECT_THROW(tarn::fs::Remove(kBase + L"\\held"), std::filesystem::filesystem_error);
  holder.reset();
  EXPECT_TRUE(tarn::fs::Remove(kBase + L"\\held"));
}

}  // namespace
}  // namespace tarn::test
