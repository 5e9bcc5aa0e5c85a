// Linux only: what needs the simulated machine itself (failures it makes easy
// to bring about, a machine without drive C:, the demo machine's registry).
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cwchar>
#include <optional>
#include <sstream>

#include <filesystem>

#include "debug_trace.h"
#include "log_error.h"
#include "log_file_manager.h"
#include "log_setup.h"
#include "settings.h"
#include "log_test_util.h"
#include "tarn_sim/debug_sink.h"
#include "tarn_sim/faults.h"
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

using SimOnlyTest = MachineTest;

// The stand-in's injected faults for one test; none afterwards.
class InjectedFaults {
 public:
  explicit InjectedFaults(const char* list) { tarn::sim::SetFaults(list); }
  ~InjectedFaults() { tarn::sim::SetFaults(""); }
};

TEST_F(SimOnlyTest, FailedWriteLosesItsRowOnlyAndLeavesNoFragment) {
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

  const std::string bytes = ReadBytes(kCurrent);
  EXPECT_TRUE(MatchesRows(bytes, kLocalHeader, {"kept 1", "kept 2"})) << bytes;
}

// A write that ends short (half its bytes on the disk) takes the line back,
// whether it is a row or the header of a new file, for both logs.
TEST_F(SimOnlyTest, AShortWriteOfARowOrOfAHeaderLeavesNoTornLine) {
  for (const wchar_t* kind : {L"TARNLog", L"TARNLogUpload"}) {
    const std::wstring header =
        std::wstring(kind) == L"TARNLog" ? L"# LogFormatVersion:V1.00" : L"#vorla_upload LogFormatVersion:V1.00";
    const std::wstring path = InFolder(kLocalFolder, std::wstring(kind) + L".csv");
    const std::string name = std::string(kind, kind + std::wcslen(kind)) + ".csv";
    const std::string headerLine = std::string(header.begin(), header.end()) + "\r\n";
    LogFileManager log;
    log._fileSizeByte = 620000;
    log.Configure(kind, header);
    {
      // The 1st write (the header) and the 3rd (the second row) end short.
      InjectedFaults faults(("short-write:" + name + ":1:1,short-write:" + name + ":3:1").c_str());
      log.Open();
      EXPECT_EQ(ReadBytes(path), "") << "the torn header is taken back";
      log.WriteRow(L"first");   // opens anew: the 2nd write is the header, the row the 3rd
      log.WriteRow(L"second");  // the 4th write
      log.WriteRow(L"third");
    }
    const std::string bytes = ReadBytes(path);
    EXPECT_TRUE(MatchesRows(bytes, headerLine, {"second", "third"})) << bytes;
    log.Close();
  }
}

// The service reports a log's failure with the Win32 error of the call that
// failed, which the exception carries with the log's fixed text.
TEST_F(SimOnlyTest, LogFailuresCarryTheWin32ErrorOfTheCallThatFailed) {
  {
    InjectedFaults faults("mkdir:LocalLog:1:1");
    try {
      LogFileManager log;
      FAIL() << "constructed without its folder";
    } catch (const LogError& error) {
      EXPECT_STREQ(error.what(), "cannot be created");
      EXPECT_EQ(error.Win32Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
  }
  LogFileManager log;
  log.Configure(L"TARNLog", L"# LogFormatVersion:V1.00");
  InjectedFaults faults("open:TARNLog.csv:1:1");
  try {
    log.Open();
    FAIL() << "opened a file held without sharing";
  } catch (const LogError& error) {
    EXPECT_STREQ(error.what(), "Open log file failed.");
    EXPECT_EQ(error.Win32Error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
}

// A hand-over that fails with an exception costs no row and leaves the file,
// but it is no longer silent.
TEST_F(SimOnlyTest, AFailedHandOverIsSwallowedButTraced) {
  MakeFolder(kDropFolder);
  std::optional<UploadLogFileManager> slot;
  UploadLogFileManager& log = StartUploadLog(slot, 0, 5);
  log.WriteRow(L"row");
  SetTraceEnabled(true);
  tarn::sim::ClearDebugOutput();
  {
    InjectedFaults faults("throw:TARNLogUpload.csv:1:1");  // the look at the file before it is moved
    EXPECT_NO_THROW(log.RotateIfNeeded());
  }
  SetTraceEnabled(false);
  const auto trace = tarn::sim::DebugOutput();
  EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& line) {
    return line.find("The upload log could not be handed over: ") != std::string::npos;
  })) << "the failure left no trace";
  EXPECT_TRUE(PathExists(InFolder(kLocalFolder, L"TARNLogUpload.csv")));
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
