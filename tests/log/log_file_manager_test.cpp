#include <ctime>
#include <optional>
#include <stdexcept>

#include "log_file_manager.h"
#include "log_setup.h"
#include "log_test_util.h"
#include "time_stamp.h"

namespace tarn::test {
namespace {

const std::wstring kCurrent = InFolder(kLocalFolder, L"TARNLog.csv");
const std::wregex kBackupName(LR"(TARNLog_\d{8}T\d{6}[+-]\d{4}\.csv)");

class LocalLogTest : public MachineTest {
 protected:
  // Set up as the service does: limits, kind and header.
  LogFileManager& Create(std::uint32_t sizeLimit, std::uint32_t backups) {
    return MakeLocalLog(_log, sizeLimit, backups);
  }
  // The service's start: prune, rotate, open.
  LogFileManager& Start(std::uint32_t sizeLimit, std::uint32_t backups) {
    return StartLocalLog(_log, sizeLimit, backups);
  }
  void Destroy() { _log.reset(); }

 private:
  std::optional<LogFileManager> _log;
};

TEST_F(LocalLogTest, FirstStartCreatesTheFolderAndAFileWithTheHeaderLine) {
  Create(620000, 7);
  EXPECT_TRUE(PathExists(kLocalFolder));
  EXPECT_FALSE(PathExists(kCurrent));
  Start(620000, 7);
  EXPECT_EQ(ReadBytes(kCurrent), kLocalHeader);
}

TEST_F(LocalLogTest, RowsCarryTheLocalTimeStampAndEndWithCrLf) {
  LogFileManager& log = Start(620000, 7);
  const std::time_t before = std::time(nullptr);
  log.WriteRow(L"1,0000000000000001,00000000000000ff");
  const std::time_t after = std::time(nullptr);

  const std::string bytes = ReadBytes(kCurrent);
  ASSERT_TRUE(MatchesRows(bytes, kLocalHeader, {"1,0000000000000001,00000000000000ff"})) << bytes;
  const std::string stamp = bytes.substr(kLocalHeader.size(), 20);
  bool matchesClock = false;
  for (std::time_t t = before; t <= after; ++t) {
    const std::wstring expected = FormatLocalTimeStamp(t);
    matchesClock |= stamp == std::string(expected.begin(), expected.end());
  }
  EXPECT_TRUE(matchesClock) << stamp;
}

TEST_F(LocalLogTest, CharactersAreSingleBytesAndWiderOnesBecomeQuestionMarks) {
  LogFileManager& log = Start(620000, 7);
  log.WriteRow(L"a\u00e9\u00ff|\u20ac|\U0001F600|x\ny");
  log.WriteRow(L"plain\nrow");
  const std::string first = "a\xE9\xFF|?|??|x\r\ny\r\n";
  EXPECT_EQ(ReadBytes(kCurrent).substr(kLocalHeader.size() + 21, first.size()), first);
  EXPECT_EQ(ReadBytes(kCurrent).substr(kLocalHeader.size() + 21 + first.size() + 21), "plain\r\nrow\r\n");
}

TEST_F(LocalLogTest, ExistingFileBelowTheLimitIsAppendedWithoutASecondHeader) {
  MakeFolder(kLocalFolder);
  const std::string earlier = kLocalHeader + "20240101T000000+0000,old\r\n";
  WriteBytes(kCurrent, earlier);
  Start(620000, 7).WriteRow(L"new");
  const std::string bytes = ReadBytes(kCurrent);
  EXPECT_EQ(bytes.substr(0, earlier.size()), earlier);
  EXPECT_TRUE(MatchesRows(bytes.substr(earlier.size()), "", {"new"})) << bytes;
}

TEST_F(LocalLogTest, EmptyExistingFileGetsTheHeader) {
  MakeFolder(kLocalFolder);
  WriteBytes(kCurrent, "");
  Start(620000, 7);
  EXPECT_EQ(ReadBytes(kCurrent), kLocalHeader);
}

// What a write cut short or a crash leaves: the fragment goes, whole lines stay.
TEST_F(LocalLogTest, ATornLastLineIsCutBackToTheLastLineEndBeforeTheNextRow) {
  MakeFolder(kLocalFolder);
  const std::string whole = kLocalHeader + "20240101T000000+0000,old\r\n";
  // The last: a power cut that left the unflushed end of the file as zeros.
  for (const std::string& fragment :
       {std::string("20240101T0000"), std::string("\r"), std::string(5000, 'x'), std::string(600, '\0')}) {
    Destroy();
    WriteBytes(kCurrent, whole + fragment);
    Start(620000, 7).WriteRow(L"next");
    const std::string bytes = ReadBytes(kCurrent);
    EXPECT_EQ(bytes.substr(0, whole.size()), whole) << fragment.size();
    EXPECT_TRUE(MatchesRows(bytes.substr(whole.size()), "", {"next"})) << fragment.size() << bytes;
  }
  EXPECT_TRUE(NamesMatching(kLocalFolder, kBackupName).empty());
}

TEST_F(LocalLogTest, AFileHoldingOnlyATornHeaderStartsAnewWithTheHeader) {
  MakeFolder(kLocalFolder);
  WriteBytes(kCurrent, "# LogFormatVe");
  Start(620000, 7).WriteRow(L"next");
  EXPECT_TRUE(MatchesRows(ReadBytes(kCurrent), kLocalHeader, {"next"}));
  EXPECT_TRUE(NamesMatching(kLocalFolder, kBackupName).empty()) << "nothing worth keeping";
}

// A file that lost its header (a torn first line under rows, a file of another
// format) is no file of this log: kept as a backup, and a new one started.
TEST_F(LocalLogTest, AFileThatDoesNotBeginWithTheHeaderIsKeptAsABackupAndStartedAnew) {
  MakeFolder(kLocalFolder);
  for (const std::string& held :
       {std::string("# LogFormatVe\r\n20240101T000000+0000,old\r\n"), std::string("20240101T000000+0000,old\r\n"),
        std::string("# LogFormatVersion:V0.99\r\n")}) {
    Destroy();
    RemoveTree(kLocalFolder);
    MakeFolder(kLocalFolder);
    WriteBytes(kCurrent, held);
    Start(620000, 7).WriteRow(L"next");
    EXPECT_TRUE(MatchesRows(ReadBytes(kCurrent), kLocalHeader, {"next"})) << held;
    const auto backups = NamesMatching(kLocalFolder, kBackupName);
    ASSERT_EQ(backups.size(), 1u) << held;
    EXPECT_EQ(ReadBytes(InFolder(kLocalFolder, backups[0])), held);
  }
}

// A power cut can leave the end of the current file torn or read back as
// zeros. A file over the limit at the start becomes a backup, which nothing
// repairs later: it is repaired first.
TEST_F(LocalLogTest, AFileOverTheLimitAtStartIsRepairedBeforeItBecomesABackup) {
  MakeFolder(kLocalFolder);
  const std::string whole = kLocalHeader + "20240101T000000+0000,old\r\n";
  for (const std::string& cut : {std::string(600, '\0'), "20240101T000001+0000,to" + std::string(600, '\0')}) {
    Destroy();
    RemoveTree(kLocalFolder);
    MakeFolder(kLocalFolder);
    WriteBytes(kCurrent, whole + cut);
    Start(static_cast<std::uint32_t>(whole.size() - 1), 7);
    EXPECT_EQ(ReadBytes(kCurrent), kLocalHeader);
    const auto backups = NamesMatching(kLocalFolder, kBackupName);
    ASSERT_EQ(backups.size(), 1u) << cut.size();
    EXPECT_EQ(ReadBytes(InFolder(kLocalFolder, backups[0])), whole) << cut.size();
  }
}

TEST_F(LocalLogTest, FileAtTheLimitStaysAndOneByteMoreIsRotatedAtStart) {
  MakeFolder(kLocalFolder);
  const std::string content = kLocalHeader + "20240101T000000+0000,old\r\n";
  const auto limit = static_cast<std::uint32_t>(content.size());
  WriteBytes(kCurrent, content);
  Start(limit, 7);
  EXPECT_EQ(ReadBytes(kCurrent), content);
  EXPECT_TRUE(NamesMatching(kLocalFolder, kBackupName).empty());

  Destroy();
  Start(limit - 1, 7);
  EXPECT_EQ(ReadBytes(kCurrent), kLocalHeader);
  const auto backups = NamesMatching(kLocalFolder, kBackupName);
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_EQ(ReadBytes(InFolder(kLocalFolder, backups[0])), content);
}

TEST_F(LocalLogTest, LimitZeroPutsTheHeaderAndOneRowIntoTheBackup) {
  LogFileManager& log = Start(0, 7);
  log.WriteRow(L"only");
  log.RotateIfNeeded();
  const auto backups = NamesMatching(kLocalFolder, kBackupName);
  ASSERT_EQ(backups.size(), 1u);
  EXPECT_TRUE(MatchesRows(ReadBytes(InFolder(kLocalFolder, backups[0])), kLocalHeader, {"only"}));
  EXPECT_EQ(ReadBytes(kCurrent), kLocalHeader);
}

TEST_F(LocalLogTest, SecondRotationInTheSameSecondReplacesTheFirstBackup) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    Destroy();
    RemoveTree(kLocalFolder);
    LogFileManager& log = Start(0, 7);
    const std::time_t start = std::time(nullptr);
    log.WriteRow(L"first");
    log.RotateIfNeeded();
    log.WriteRow(L"second");
    log.RotateIfNeeded();
    if (std::time(nullptr) != start) continue;  // a new second began: two names are right then

    const auto backups = NamesMatching(kLocalFolder, kBackupName);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(MatchesRows(ReadBytes(InFolder(kLocalFolder, backups[0])), kLocalHeader, {"second"}));
    return;
  }
  FAIL() << "every attempt crossed a second";
}

// Backups named after the given days of January 2024, in the local folder.
void MakeBackups(int firstDay, int lastDay) {
  for (int day = firstDay; day <= lastDay; ++day) {
    const std::wstring name =
        L"TARNLog_202401" + std::wstring(day < 10 ? L"0" : L"") + std::to_wstring(day) + L"T000000+0000.csv";
    WriteBytes(InFolder(kLocalFolder, name), "x");
  }
}

TEST_F(LocalLogTest, RetentionDeletesTheBackupsWithTheSmallestNames) {
  MakeFolder(kLocalFolder);
  MakeBackups(1, 9);
  Create(620000, 7).RemoveOldBackups(kLocalFolder);
  const auto kept = NamesMatching(kLocalFolder, kBackupName);
  ASSERT_EQ(kept.size(), 7u);
  EXPECT_EQ(kept.front(), L"TARNLog_20240103T000000+0000.csv");
}

TEST_F(LocalLogTest, RetentionCountsEveryNameWithThePrefixAndNothingElse) {
  MakeFolder(kLocalFolder);
  MakeBackups(1, 9);
  for (const wchar_t* other : {L"TARNLog_notes.txt", L"TARNLogUpload.csv", L"tarnlog_20000101T000000+0000.csv"})
    WriteBytes(InFolder(kLocalFolder, other), "x");
  Create(620000, 7).RemoveOldBackups(kLocalFolder);

  const std::vector<std::wstring> expected = {L"TARNLogUpload.csv",
                                              L"TARNLog_20240104T000000+0000.csv",
                                              L"TARNLog_20240105T000000+0000.csv",
                                              L"TARNLog_20240106T000000+0000.csv",
                                              L"TARNLog_20240107T000000+0000.csv",
                                              L"TARNLog_20240108T000000+0000.csv",
                                              L"TARNLog_20240109T000000+0000.csv",
                                              L"TARNLog_notes.txt",
                                              L"tarnlog_20000101T000000+0000.csv"};
  EXPECT_EQ(FolderNames(kLocalFolder), expected);
}

TEST_F(LocalLogTest, FolderRemovedWhileClosedFailsListingAndOpening) {
  LogFileManager& log = Start(620000, 7);
  log.Close();
  RemoveTree(kLocalFolder);
  EXPECT_THROW(log.RemoveOldBackups(kLocalFolder), std::exception);
  try {
    log.WriteRow(L"lost");
    FAIL() << "opening a file in a missing folder succeeded";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Open log file failed.");
  }
  MakeFolder(kLocalFolder);
  log.WriteRow(L"back");
  EXPECT_TRUE(MatchesRows(ReadBytes(kCurrent), kLocalHeader, {"back"}));
}

TEST_F(LocalLogTest, FileHeldWithoutSharingCannotBeOpenedUntilReleased) {
  MakeFolder(kLocalFolder);
  WriteBytes(kCurrent, kLocalHeader);
  LogFileManager& log = Create(620000, 7);
  HeldFile holder = HoldFile(kCurrent, _SH_DENYRW);
  ASSERT_NE(holder, nullptr);
  EXPECT_THROW(log.WriteRow(L"lost"), std::runtime_error);
  holder.reset();
  log.WriteRow(L"kept");
  EXPECT_TRUE(MatchesRows(ReadBytes(kCurrent), kLocalHeader, {"kept"}));
}

TEST_F(LocalLogTest, RotationOfAFileHeldByAReaderKeepsAppendingToIt) {
  LogFileManager& log = Start(0, 7);
  HeldFile reader = HoldFile(kCurrent, _SH_DENYNO);  // the runtime never shares deletion
  ASSERT_NE(reader, nullptr);
  log.WriteRow(L"one");
  log.RotateIfNeeded();
  log.WriteRow(L"two");
  EXPECT_TRUE(NamesMatching(kLocalFolder, kBackupName).empty());
  EXPECT_TRUE(MatchesRows(ReadBytes(kCurrent), kLocalHeader, {"one", "two"}));
}

TEST_F(LocalLogTest, FolderThatCannotBeCreatedFailsConstruction) {
  MakeFolder(L"C:\\ProgramData\\Corvessan");
  WriteBytes(L"C:\\ProgramData\\Corvessan\\TARNLog", "a file where the folder belongs");
  try {
    LogFileManager log;
    FAIL() << "constructed over a file";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot be created");
  }
}

}  // namespace
}  // namespace tarn::test
