// Linux only: links planted in and around the log folders, with real symbolic
// links (reparse points to the stand-in) and real hard links. Whatever is
// planted, nothing outside the log folder and the drop folder may be written,
// truncated, renamed or deleted, and the logs carry on where they safely can.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <chrono>

#include "debug_trace.h"
#include "log_file_manager.h"
#include "log_setup.h"
#include "log_test_util.h"
#include "tarn_sim/debug_sink.h"
#include "tarn_sim/machine.h"
#include "time_stamp.h"
#include "upload_log_file_manager.h"

namespace tarn::test {
namespace {

namespace fs = std::filesystem;

const std::wstring kLocalCurrent = InFolder(kLocalFolder, L"TARNLog.csv");
const std::wstring kUploadCurrent = InFolder(kLocalFolder, L"TARNLogUpload.csv");
const std::wregex kLocalBackup(LR"(TARNLog_\d{8}T\d{6}[+-]\d{4}\.csv)");
const std::wregex kHandedOver(LR"(3001_TARNLogUpload_\d{8}T\d{6}[+-]\d{4}\.csv)");
const std::string kPrecious = "precious bytes that belong to someone else\n";

fs::path Host(const std::wstring& path) { return *tarn::sim::MapWindowsPath(path); }

std::string HostBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteHost(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> HostNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void WaitForTheNextSecond() {
  const std::time_t start = std::time(nullptr);
  while (std::time(nullptr) == start) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

bool TraceMentions(const std::string& text) {
  for (const auto& line : tarn::sim::DebugOutput())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

class LinkSafetyTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetTraceEnabled(true);
    tarn::sim::ClearDebugOutput();
    // Outside both log folders: what a planted link would lead to.
    _outside = *tarn::sim::MachineRoot() / "outside";
    fs::create_directories(_outside);
  }

  void TearDown() override { SetTraceEnabled(false); }

  LogFileManager& StartLocal(std::uint32_t sizeLimit, std::uint32_t backups) {
    return StartLocalLog(_local, sizeLimit, backups);
  }
  UploadLogFileManager& StartUpload(std::uint32_t sizeLimit, std::uint32_t backups) {
    return StartUploadLog(_upload, sizeLimit, backups);
  }

  fs::path Outside(const std::string& name) const { return _outside / name; }

  // The drop folder on a volume of its own, so that a hand-over is a copy and a delete.
  void DropFolderOnAnotherVolume() {
    MakeFolder(kDropFolder);
    std::ofstream(*tarn::sim::MachineRoot() / "volumes") << "C:\\ProgramData\\Corvessan\\VORLA\\upload\n";
  }

  fs::path _outside;
  std::optional<LogFileManager> _local;
  std::optional<UploadLogFileManager> _upload;
};

TEST_F(LinkSafetyTest, SymbolicLinkPlantedAsTheCurrentFileIsReplacedByARealFile) {
  WriteHost(Outside("target.txt"), kPrecious);
  fs::create_directories(Host(kLocalFolder));
  fs::create_symlink(Outside("target.txt"), Host(kLocalCurrent));

  LogFileManager& log = StartLocal(620000, 7);
  log.WriteRow(L"row");

  EXPECT_EQ(HostBytes(Outside("target.txt")), kPrecious);
  EXPECT_FALSE(fs::is_symlink(Host(kLocalCurrent)));
  EXPECT_TRUE(MatchesRows(ReadBytes(kLocalCurrent), kLocalHeader, {"row"}));
  EXPECT_TRUE(TraceMentions("is a link"));
}

TEST_F(LinkSafetyTest, DanglingLinkPlantedAsTheCurrentFileCreatesNothingOutside) {
  fs::create_directories(Host(kLocalFolder));
  fs::create_symlink(Outside("would-be-created.txt"), Host(kUploadCurrent));

  UploadLogFileManager& log = StartUpload(72000, 5);
  log.WriteRow(L"row");

  EXPECT_FALSE(fs::exists(Outside("would-be-created.txt")));
  EXPECT_TRUE(MatchesRows(ReadBytes(kUploadCurrent), kUploadHeader, {"row"}));
}

TEST_F(LinkSafetyTest, HardLinkPlantedAsTheCurrentFileLosesItsNameAndAFreshFileStarts) {
  WriteHost(Outside("target.txt"), kPrecious);
  fs::create_directories(Host(kLocalFolder));
  fs::create_hard_link(Outside("target.txt"), Host(kUploadCurrent));

  UploadLogFileManager& log = StartUpload(72000, 5);
  log.WriteRow(L"row");

  EXPECT_EQ(HostBytes(Outside("target.txt")), kPrecious);
  EXPECT_EQ(fs::hard_link_count(Outside("target.txt")), 1u);
  EXPECT_EQ(fs::hard_link_count(Host(kUploadCurrent)), 1u);
  EXPECT_TRUE(MatchesRows(ReadBytes(kUploadCurrent), kUploadHeader, {"row"}));
  EXPECT_TRUE(TraceMentions("has more than one name"));
}

TEST_F(LinkSafetyTest, LinkPlantedAfterARotationIsNotWrittenThrough) {
  MakeFolder(kDropFolder);
  WriteHost(Outside("target.txt"), kPrecious);
  UploadLogFileManager& log = StartUpload(0, 5);
  log.WriteRow(L"handed over");
  log.RotateIfNeeded();
  ASSERT_FALSE(PathExists(kUploadCurrent));
  // The name is free until the next row: a link is planted there.
  fs::create_symlink(Outside("target.txt"), Host(kUploadCurrent));

  log.WriteRow(L"next");

  EXPECT_EQ(HostBytes(Outside("target.txt")), kPrecious);
  EXPECT_TRUE(MatchesRows(ReadBytes(kUploadCurrent), kUploadHeader, {"next"}));
}

// A log folder of the chain replaced by a link to a folder elsewhere that holds
// files of the log's names: rotation and retention must not touch them.
class LinkedFolderTest : public LinkSafetyTest, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(LinkedFolderTest, NothingOutsideIsRenamedOrDeletedAndLoggingGoesOnInARealFolder) {
  LogFileManager& log = StartLocal(0, 1);
  log.WriteRow(L"before");
  log.Close();

  // The planted folder mirrors the log folder's layout below the linked one.
  const std::wstring linked = GetParam();
  const fs::path decoy = Outside("decoy");
  const std::wstring below = std::wstring(kLocalFolder).substr(linked.size());
  std::string belowOnHost = tarn::sim::ToUtf8(below);
  std::replace(belowOnHost.begin(), belowOnHost.end(), '\\', '/');
  const fs::path decoyLogFolder = fs::path(decoy.string() + belowOnHost);
  WriteHost(decoyLogFolder / "TARNLog.csv", std::string(200, 'x'));
  WriteHost(decoyLogFolder / "TARNLog_20000101T000000+0000.csv", kPrecious);
  WriteHost(decoyLogFolder / "TARNLog_20000102T000000+0000.csv", kPrecious);
  fs::rename(Host(linked), Outside("moved-away"));
  fs::create_symlink(decoy, Host(linked));
  const auto decoyNames = HostNames(decoyLogFolder);

  log.WriteRow(L"after");
  log.RotateIfNeeded();
  log.WriteRow(L"later");

  EXPECT_EQ(HostNames(decoyLogFolder), decoyNames);
  EXPECT_EQ(HostBytes(decoyLogFolder / "TARNLog.csv"), std::string(200, 'x'));
  EXPECT_EQ(HostBytes(decoyLogFolder / "TARNLog_20000101T000000+0000.csv"), kPrecious);
  EXPECT_FALSE(fs::is_symlink(Host(linked)));
  EXPECT_TRUE(MatchesRows(ReadBytes(kLocalCurrent), kLocalHeader, {"later"}));
  EXPECT_TRUE(TraceMentions("is a link"));
}

INSTANTIATE_TEST_SUITE_P(EveryFolderOfTheChain, LinkedFolderTest,
                         ::testing::Values(L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog",
                                           L"C:\\ProgramData\\Corvessan\\TARNLog", L"C:\\ProgramData\\Corvessan"));

TEST_F(LinkSafetyTest, LinkedLogFolderAtStartIsReplacedByAProtectedRealFolder) {
  WriteHost(Outside("decoy") / "TARNLog.csv", kPrecious);
  fs::create_directories(Host(L"C:\\ProgramData\\Corvessan\\TARNLog"));
  fs::create_symlink(Outside("decoy"), Host(kLocalFolder));

  LogFileManager& log = StartLocal(0, 0);
  log.WriteRow(L"row");

  EXPECT_EQ(HostBytes(Outside("decoy") / "TARNLog.csv"), kPrecious);
  EXPECT_EQ(HostNames(Outside("decoy")), std::vector<std::string>{"TARNLog.csv"});
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(Host(kLocalFolder))));
  EXPECT_EQ(fs::status(Host(kLocalFolder)).permissions() & fs::perms::others_write, fs::perms::none);
}

TEST_F(LinkSafetyTest, LooseLogFolderIsRepairedAtStart) {
  fs::create_directories(Host(kLocalFolder));
  fs::permissions(Host(kLocalFolder), fs::perms::all);
  ASSERT_EQ(::chown(Host(kLocalFolder).c_str(), 12345, 12345), 0) << "the tests run as root";

  StartLocal(620000, 7);

  struct stat status {};
  ASSERT_EQ(::lstat(Host(kLocalFolder).c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, ::geteuid());
  EXPECT_EQ(status.st_mode & 07777, 0755u);
}

TEST_F(LinkSafetyTest, DropFolderThatIsALinkCountsAsAbsent) {
  fs::create_directories(Outside("elsewhere"));
  fs::create_directories(Host(L"C:\\ProgramData\\Corvessan\\VORLA"));
  fs::create_symlink(Outside("elsewhere"), Host(kDropFolder));

  UploadLogFileManager& log = StartUpload(0, 5);
  log.WriteRow(L"dropped");
  log.RotateIfNeeded();

  EXPECT_TRUE(HostNames(Outside("elsewhere")).empty());
  EXPECT_FALSE(PathExists(kUploadCurrent));
  EXPECT_TRUE(TraceMentions("is a link: the drop folder counts as absent"));
}

TEST_F(LinkSafetyTest, DropFolderWithAForeignOwnerCountsAsAbsent) {
  MakeFolder(kDropFolder);
  ASSERT_EQ(::chown(Host(kDropFolder).c_str(), 12345, 12345), 0) << "the tests run as root";

  UploadLogFileManager& log = StartUpload(0, 5);
  log.WriteRow(L"dropped");
  log.RotateIfNeeded();

  EXPECT_TRUE(FolderNames(kDropFolder).empty());
  EXPECT_FALSE(PathExists(kUploadCurrent));
  EXPECT_TRUE(TraceMentions("untrusted owner"));

  // Owned by the service's account again: used.
  ASSERT_EQ(::chown(Host(kDropFolder).c_str(), ::geteuid(), ::getegid()), 0);
  log.WriteRow(L"handed over");
  log.RotateIfNeeded();
  EXPECT_EQ(NamesMatching(kDropFolder, kHandedOver).size(), 1u);
}

TEST_F(LinkSafetyTest, LinkUnderTheNextHandOverNameOnAnotherVolumeIsNotTruncated) {
  DropFolderOnAnotherVolume();
  WriteHost(Outside("target.txt"), kPrecious);
  // Every name the next seconds can give the hand-over.
  const std::time_t now = std::time(nullptr);
  for (std::time_t second = now; second < now + 5; ++second)
    fs::create_symlink(Outside("target.txt"),
                       Host(InFolder(kDropFolder, L"3001_TARNLogUpload_" + FormatLocalTimeStamp(second) + L".csv")));

  UploadLogFileManager& log = StartUpload(0, 10);
  log.WriteRow(L"handed over");
  log.RotateIfNeeded();

  EXPECT_EQ(HostBytes(Outside("target.txt")), kPrecious);
  const auto handedOver = NamesMatching(kDropFolder, kHandedOver);
  const auto real = std::count_if(handedOver.begin(), handedOver.end(), [](const std::wstring& name) {
    return !fs::is_symlink(Host(InFolder(kDropFolder, name)));
  });
  ASSERT_EQ(real, 1);
  EXPECT_FALSE(PathExists(kUploadCurrent));
}

TEST_F(LinkSafetyTest, LocalBackupNameTakenByALinkIsNotWrittenThrough) {
  WriteHost(Outside("target.txt"), kPrecious);
  LogFileManager& log = StartLocal(0, 10);
  const std::time_t now = std::time(nullptr);
  for (std::time_t second = now; second < now + 5; ++second)
    fs::create_symlink(Outside("target.txt"),
                       Host(InFolder(kLocalFolder, L"TARNLog_" + FormatLocalTimeStamp(second) + L".csv")));
  log.WriteRow(L"row");
  log.RotateIfNeeded();

  EXPECT_EQ(HostBytes(Outside("target.txt")), kPrecious);
  EXPECT_TRUE(MatchesRows(ReadBytes(kLocalCurrent), kLocalHeader, {}));
}

// Where open files can be deleted, the current file may vanish or be replaced
// under the open stream; the next row notices and writes to the name again.
TEST_F(LinkSafetyTest, CurrentFileDeletedWhileOpenIsMadeAnewAtTheNextRow) {
  LogFileManager& log = StartLocal(620000, 7);
  log.WriteRow(L"first");
  fs::remove(Host(kLocalCurrent));

  log.WriteRow(L"second");
  log.WriteRow(L"third");

  EXPECT_TRUE(MatchesRows(ReadBytes(kLocalCurrent), kLocalHeader, {"second", "third"}));
  EXPECT_TRUE(TraceMentions("deleted or replaced"));
}

TEST_F(LinkSafetyTest, CurrentFileReplacedWhileOpenGetsTheNextRows) {
  UploadLogFileManager& log = StartUpload(72000, 5);
  log.WriteRow(L"first");
  const std::string replacement = ReadBytes(kUploadCurrent);
  WriteHost(Host(kLocalFolder) / "replacement.tmp", replacement);
  fs::rename(Host(kLocalFolder) / "replacement.tmp", Host(kUploadCurrent));

  log.WriteRow(L"second");

  EXPECT_TRUE(MatchesRows(ReadBytes(kUploadCurrent), kUploadHeader, {"first", "second"}));
}

TEST_F(LinkSafetyTest, CurrentFileReplacedByALinkWhileOpenIsNotWrittenThrough) {
  WriteHost(Outside("target.txt"), kPrecious);
  LogFileManager& log = StartLocal(620000, 7);
  log.WriteRow(L"first");
  fs::remove(Host(kLocalCurrent));
  fs::create_symlink(Outside("target.txt"), Host(kLocalCurrent));

  log.WriteRow(L"second");

  EXPECT_EQ(HostBytes(Outside("target.txt")), kPrecious);
  EXPECT_TRUE(MatchesRows(ReadBytes(kLocalCurrent), kLocalHeader, {"second"}));
}

// A hand-over across volumes is a copy and a delete; when the delete fails the
// move still succeeds, and the rows it copied must not be handed over again.
TEST_F(LinkSafetyTest, HandOverWhoseSourceStaysStartsTheNextFileEmpty) {
  DropFolderOnAnotherVolume();
  UploadLogFileManager& log = StartUpload(0, 10);
  log.WriteRow(L"first");
  {
    // A reader that does not share deletion keeps the source from being deleted.
    HeldFile reader = HoldFile(kUploadCurrent, _SH_DENYNO);
    ASSERT_NE(reader, nullptr);
    log.RotateIfNeeded();
    ASSERT_TRUE(PathExists(kUploadCurrent)) << "the copy's source stays while held";
    log.WriteRow(L"second");
  }
  WaitForTheNextSecond();  // so that the second hand-over gets a name of its own
  log.RotateIfNeeded();

  std::vector<std::string> handedOverRows;
  for (const auto& name : NamesMatching(kDropFolder, kHandedOver))
    handedOverRows.push_back(ReadBytes(InFolder(kDropFolder, name)));
  std::sort(handedOverRows.begin(), handedOverRows.end(), [](const std::string& a, const std::string& b) {
    return a.find("first") != std::string::npos && b.find("first") == std::string::npos;
  });
  ASSERT_EQ(handedOverRows.size(), 2u);
  EXPECT_TRUE(MatchesRows(handedOverRows[0], kUploadHeader, {"first"}));
  EXPECT_TRUE(MatchesRows(handedOverRows[1], kUploadHeader, {"second"}));
  EXPECT_TRUE(TraceMentions("copied but not deleted"));
}

}  // namespace
}  // namespace tarn::test
