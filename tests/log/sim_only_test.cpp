// Linux only: what needs the simulated machine itself (failures it makes easy
// to bring about, a machine without drive C:, the demo machine's registry).
#include <sys/resource.h>

#include <csignal>
#include <optional>
#include <sstream>

#include <filesystem>

#include "log_file_manager.h"
#include "settings.h"
#include "log_test_util.h"
#include "tarn_sim/machine.h"

namespace tarn::test {
namespace {

const std::wstring kCurrent = InFolder(kLocalFolder, L"TARNLog.csv");

// Files of this process cannot grow beyond `bytes` while it lives: a write
// beyond fails as on a full disk (EFBIG), one that crosses it is cut short.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &_saved);
    rlimit limited = _saved;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &_saved); }

 private:
  rlimit _saved{};
};

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(bytes.substr(start, end - start));
  return lines;
}

using SimOnlyTest = MachineTest;

TEST_F(SimOnlyTest, FailedWriteLosesItsRowOnlyAndTheFileIsEndedCleanly) {
  LogFileManager log;
  log._fileSizeByte = 620000;
  log.Configure(L"TARNLog", L"# LogFormatVersion:V1.00");
  log.Open();
  {
    // Room for ten more bytes: the row is cut off after them, as on a disk that fills up.
    FileSizeLimit full(kLocalHeader.size() + 10);
    log.WriteRow(L"lost");
    log.WriteRow(L"lost too");
  }
  log.WriteRow(L"kept 1");
  log.WriteRow(L"kept 2");

  const auto lines = Lines(ReadBytes(kCurrent));
  ASSERT_EQ(lines.size(), 4u) << ReadBytes(kCurrent);
  EXPECT_EQ(lines[0] + "\r\n", kLocalHeader);
  EXPECT_EQ(lines[1].size(), 10u);
  EXPECT_TRUE(std::regex_match(lines[2] + "\r\n", std::regex(RowPattern("kept 1"))));
  EXPECT_TRUE(std::regex_match(lines[3] + "\r\n", std::regex(RowPattern("kept 2"))));
}

TEST_F(SimOnlyTest, MissingApplicationDataFolderFailsConstruction) {
  tarn::sim::SetMachineRoot({});
  try {
    LogFileManager log;
    FAIL() << "constructed without a machine";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Get ProgramData path is failed.");
  }
}

TEST_F(SimOnlyTest, DemoMachineRegistryGivesTheDemoSettings) {
  std::filesystem::copy_file(std::filesystem::path(TARN_SOURCE_DIR) / "tools/demo-machine/registry.reg",
                             *tarn::sim::MachineRoot() / "registry.reg");
  const auto settings = qorlogsvc::model::service::ReadSettingsFromRegistry();
  EXPECT_EQ(settings.logPeriodMs, 2000u);
  EXPECT_EQ(settings.logFileSizeByte, 2000u);
  EXPECT_EQ(settings.logFileBackupNum, 3u);
  EXPECT_EQ(settings.uploadLogPeriodMs, 3000u);
  EXPECT_EQ(settings.uploadLogFileSizeByte, 1500u);
  EXPECT_EQ(settings.uploadLogFileBackupNum, 3u);
}

}  // namespace
}  // namespace tarn::test
