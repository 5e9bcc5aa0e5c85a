// The service's start sequence, sampling cycles, recovery and stop over a
// simulated machine, driven as the host drives it but on the test's thread.
#include <gtest/gtest.h>

#include <windows.h>
#include <share.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <initializer_list>
#include <string>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "QorLogService.h"
#include "debug_trace.h"
#include "interval_timers.h"
#include "log_headers.h"
#include "service_fakes.h"
#include "simulated_machine.h"
#include "tarn_sim/debug_sink.h"
#include "tarn_sim/faults.h"
#include "tarn_sim/machine.h"
#include "test_files.h"
#include "wait_until.h"

namespace {

using qorlogsvc::model::service::QorLogService;
namespace fs = std::filesystem;

// Long periods: no timer fires while a test runs, every tick is a control the
// test sends. Settings are read once per process, so every test uses these.
constexpr char kRegistry[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvessan\\Tarn]\r\n"
    "\"LogPeriodMs\"=dword:0036ee80\r\n"
    "\"UploadLogPeriodMs\"=dword:0036ee80\r\n"
    "\"LogFileSizeByte\"=dword:00100000\r\n"
    "\"UploadLogFileSizeByte\"=dword:00100000\r\n";

std::string Device(int n, const std::string& component, const std::string& extra = "") {
  return device_test::DeviceSection(device_test::InterfacePath(n), component, extra);
}

// The entries of run/eventlog.log: "<time> <source> <type> <id> <strings>"
// without the time.
std::vector<std::string> Events(const fs::path& machineRoot) {
  std::ifstream in(machineRoot / "run/eventlog.log");
  std::vector<std::string> events;
  for (std::string line; std::getline(in, line);) events.push_back(line.substr(line.find(' ') + 1));
  return events;
}

bool TraceHas(const std::string& text) {
  for (const auto& line : tarn::sim::DebugOutput())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// The stand-in's injected faults for one test; none afterwards.
class InjectedFaults {
 public:
  explicit InjectedFaults(const char* list) { tarn::sim::SetFaults(list); }
  ~InjectedFaults() { tarn::sim::SetFaults(""); }
};

class ServiceOnMachine : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(machine.root() / "registry.reg", std::ios::binary) << kRegistry;
    WriteDevices(Device(2, "WIFI", "reading0 = 500\nreading1 = 7\n") + Device(1, "BATTERY", "reading0 = 0x10\n"));
    status.dwCurrentState = SERVICE_RUNNING;
  }

  void TearDown() override {
    service.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr, &status);  // leaves the process's timers deleted
  }

  void WriteDevices(const std::string& sections) { machine.WriteDriverIni(sections); }

  DWORD Control(DWORD control) { return service.HandleControl(control, 0, nullptr, &status); }

  fs::path LogFolder() const { return machine.root() / "drive_c/ProgramData/Corvessan/TARNLog/LocalLog"; }

  static std::vector<std::string> Lines(const fs::path& file) {
    const std::string bytes = tarn::test::ReadBytes(file);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(start, bytes.size()) << "a line without CR LF in " << file;
    return lines;
  }

  // A start that failed retries on the local tick, at most once a second.
  void PassTheRetryInterval() { clock.Advance(std::chrono::milliseconds(QorLogService::kMinRecoveryIntervalMs)); }

  device_test::SimulatedMachine machine;
  service_test::FakeClock clock;
  service_test::FakeSelfControl selfControl;
  QorLogService service{clock, selfControl};
  SERVICE_STATUS status{};
};

TEST_F(ServiceOnMachine, RunBringsUpTheDriverTheLogsAndBothTimers) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(service.Channel().devices.size(), 2u);
  EXPECT_EQ(service.LogPeriodMs(), 3600000u);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv"), std::vector<std::string>{tarn::test::kLocalHeaderLine});
  EXPECT_EQ(Lines(LogFolder() / "TARNLogUpload.csv"), std::vector<std::string>{tarn::test::kUploadHeaderLine});
  auto timers = QorLogService::Timers();
  EXPECT_TRUE(timers.logQueue && timers.uploadQueue);
  EXPECT_NE(timers.logTimer, nullptr);
  EXPECT_NE(timers.uploadTimer, nullptr);
}

TEST_F(ServiceOnMachine, EachControlAppendsOneRowOfFreshReadingsInPathOrder) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Control(128), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Control(129), static_cast<DWORD>(NO_ERROR));

  auto local = Lines(LogFolder() / "TARNLog.csv");
  ASSERT_EQ(local.size(), 2u);
  ASSERT_EQ(local[1].size(), 21u + 2 * 37 - 1);
  EXPECT_EQ(local[1][20], ',');
  // #0001 (BATTERY, 5) sorts before #0002 (WIFI, 6), whatever the file's order.
  EXPECT_EQ(local[1].substr(21), "05,0000000000000000,0000000000000010,06,0000000000000007,00000000000001f4");
  auto upload = Lines(LogFolder() / "TARNLogUpload.csv");
  ASSERT_EQ(upload.size(), 2u);
  EXPECT_EQ(upload[1].substr(20), local[1].substr(20));
}

TEST_F(ServiceOnMachine, AnInterfaceWithAnImpossibleInformationSizeIsLoggedAsUnknown) {
  WriteDevices(Device(1, "BATTERY", "reading0 = 0x10\n") + Device(2, "WIFI", "infosize = 0\nreading0 = 3\n"));
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  Control(128);
  auto local = Lines(LogFolder() / "TARNLog.csv");
  ASSERT_EQ(local.size(), 2u);
  EXPECT_EQ(local[1].substr(21), "05,0000000000000000,0000000000000010,ff,0000000000000000,0000000000000003");
}

TEST_F(ServiceOnMachine, StopDuringStartLeavesNothingRunning) {
  Control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  auto timers = QorLogService::Timers();
  EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
  EXPECT_EQ(service.LocalLog(), nullptr);
}

TEST_F(ServiceOnMachine, ControlsRacingTheStartNeverOverlapIt) {
  std::thread start([&] { EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR)); });
  for (int i = 0; i < 50; ++i) {
    Control(128);
    Control(129);
  }
  start.join();
  Control(SERVICE_CONTROL_STOP);
  auto timers = QorLogService::Timers();
  EXPECT_FALSE(timers.logQueue || timers.uploadQueue);  // whichever came first, the stop wins
  for (const auto& [path, entry] : service.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());
}

TEST_F(ServiceOnMachine, StopAndPreShutdownCloseTheLogsTheTimersAndTheDevices) {
  for (DWORD control : std::initializer_list<DWORD>{SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN}) {
    QorLogService fresh;
    SERVICE_STATUS record{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x5C1, 0, 0, 0, 0};
    ASSERT_EQ(fresh.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    fresh.HandleControl(control, 0, nullptr, &record);
    EXPECT_EQ(record.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    auto timers = QorLogService::Timers();
    EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
    for (const auto& [path, entry] : fresh.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());
    // The file is closed: another handle may now take it without any sharing.
    FILE* exclusive = _wfsopen(L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog\\TARNLog.csv", L"ab", _SH_DENYRW);
    EXPECT_NE(exclusive, nullptr);
    if (exclusive != nullptr) std::fclose(exclusive);
    // And no late sampling control brings anything back.
    fresh.HandleControl(128, 0, nullptr, &record);
    fresh.HandleControl(129, 0, nullptr, &record);
    EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 1u);
    for (const auto& [path, entry] : fresh.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());
    EXPECT_EQ(QorLogService::Timers().logTimer, nullptr);
  }
}

TEST_F(ServiceOnMachine, AFailedUploadReadWritesNothingAndLeavesTheTimers) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  auto before = QorLogService::Timers();
  WriteDevices(Device(2, "WIFI", "fail = read 31\n") + Device(1, "BATTERY"));
  EXPECT_EQ(Control(129), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Lines(LogFolder() / "TARNLogUpload.csv").size(), 1u);
  auto after = QorLogService::Timers();
  EXPECT_EQ(after.logTimer, before.logTimer);
  EXPECT_EQ(after.uploadTimer, before.uploadTimer);
}

TEST_F(ServiceOnMachine, AFailedLocalReadRebuildsTheChannelAndRestartsBothTimers) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  auto before = QorLogService::Timers();
  WriteDevices(Device(2, "WIFI", "fail = read 31\n") + Device(1, "BATTERY"));
  EXPECT_EQ(Control(128), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 1u);  // no row in the failed cycle

  auto after = QorLogService::Timers();
  EXPECT_TRUE(after.logQueue && after.uploadQueue);
  EXPECT_NE(after.logTimer, nullptr);
  EXPECT_NE(after.logTimer, before.logTimer);  // both timers were made anew
  EXPECT_NE(after.uploadTimer, before.uploadTimer);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // The device is repaired: the reopened channel samples again.
  WriteDevices(Device(2, "WIFI") + Device(1, "BATTERY"));
  Control(128);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
}

TEST_F(ServiceOnMachine, ARemovedDeviceStopsLocalRowsUntilItReturns) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  WriteDevices(Device(1, "BATTERY"));
  Control(128);  // fails on the removed device, recovery cannot reopen it
  Control(128);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 1u);
  EXPECT_EQ(service.Channel().devices.size(), 2u);  // the vanished entry is kept

  WriteDevices(Device(2, "WIFI") + Device(1, "BATTERY"));
  Control(128);  // the read fails on the old handles; the recovery reopens both
  Control(128);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
}

TEST_F(ServiceOnMachine, AFailedRediscoveryStopsTheServiceFromItsOwnHandler) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  WriteDevices(Device(2, "WIFI", "fail = read 31\nfail = enumerate 8\n") + Device(1, "BATTERY"));
  EXPECT_EQ(Control(128), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  auto timers = QorLogService::Timers();
  EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 1u);
}

TEST_F(ServiceOnMachine, ALogThatCannotBeWrittenLosesOnlyThatRow) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  auto before = QorLogService::Timers();
  service.LocalLog()->Close();
  FILE* holder = _wfsopen(L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog\\TARNLog.csv", L"rb", _SH_DENYRW);
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(Control(128), static_cast<DWORD>(NO_ERROR));  // "Open log file failed." stays inside
  std::fclose(holder);
  EXPECT_EQ(QorLogService::Timers().logTimer, before.logTimer);

  Control(128);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
}

TEST_F(ServiceOnMachine, NoInterfaceAtStartRunsNothing) {
  WriteDevices("");
  EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));  // it asks to be stopped
  EXPECT_EQ(selfControl.Sent(), std::vector<DWORD>{SERVICE_CONTROL_STOP});
  auto timers = QorLogService::Timers();
  EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
  EXPECT_EQ(service.LocalLog(), nullptr);
}

// Here the machine's manager has no "TarnSvc" and refuses the stop: the
// service must not stay running without a driver and without a word.
TEST_F(ServiceOnMachine, ASelfStopThatTheManagerRefusesIsRetriedOnTheNextTick) {
  WriteDevices("");
  QorLogService refused{clock, qorlogsvc::model::service::RealSelfControl::Instance()};  // the machine's manager
  SERVICE_STATUS record{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x5C1, 0, 0, 0, 0};
  EXPECT_NE(refused.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR)) << "a service without a driver runs on";
  EXPECT_NE(QorLogService::Timers().logTimer, nullptr) << "no tick retries the stop";
  PassTheRetryInterval();
  refused.HandleControl(128, 0, nullptr, &record);
  EXPECT_EQ(record.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(record.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR)) << "no driver at all ends with exit code 0";
  EXPECT_FALSE(QorLogService::Timers().logQueue);
}

// The real way to send a control names the call the manager failed.
TEST_F(ServiceOnMachine, AControlToSelfThatCannotBeSentReturnsAndTracesItsError) {
  SetTraceEnabled(true);
  tarn::sim::ClearDebugOutput();
  EXPECT_EQ(qorlogsvc::model::service::SendControlToSelf(GENERIC_READ, SERVICE_USER_DEFINED_CONTROL, 128),
            static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  SetTraceEnabled(false);
  EXPECT_TRUE(TraceHas("OpenServiceW failed (1060): control 128 did not reach the service"));
}

// Ticks whose control the manager refuses: each is traced and counted, the
// first of a run is told in the event log, and the next that arrives says so.
TEST_F(ServiceOnMachine, TicksWhoseControlIsRefusedAreTracedCountedAndToldOnce) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  auto& timer = qorlogsvc::model::service::LocalLogTimer();
  const unsigned failedBefore = timer.FailedTicks();
  SetTraceEnabled(true);
  tarn::sim::ClearDebugOutput();
  selfControl.Refuse(ERROR_ACCESS_DENIED);
  for (int i = 0; i < 3; ++i) timer.Tick();
  EXPECT_EQ(timer.FailedTicks() - failedBefore, 3u);
  EXPECT_TRUE(TraceHas("A tick of control 128 failed (5): 3 in a row"));
  selfControl.Refuse(NO_ERROR);
  timer.Tick();
  SetTraceEnabled(false);
  EXPECT_EQ(timer.FailedTicks() - failedBefore, 3u);
  EXPECT_TRUE(TraceHas("Control 128 arrives again after 3 failed ticks"));
  EXPECT_EQ(selfControl.Sent(), std::vector<DWORD>(4, 128));
  EXPECT_EQ(Events(machine.root()), (std::vector<std::string>{"TarnSvc INFORMATION 1", "TarnSvc WARNING 6 128 | 5"}));
}

TEST_F(ServiceOnMachine, ADriverThatFailsItsCheckEndsTheStartWithItsErrorAndHealsOnceItPasses) {
  WriteDevices(Device(1, "WIFI", "check = 0\n") + Device(2, "BATTERY", "check = 2\n"));
  EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(service.LocalLog(), nullptr);
  auto timers = QorLogService::Timers();
  EXPECT_NE(timers.logTimer, nullptr) << "the local timer retries the start";
  EXPECT_EQ(timers.uploadTimer, nullptr);
  Control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, static_cast<DWORD>(ERROR_INVALID_DATA));

  // Still failing: the start is tried again, the codes stay, nothing is sampled.
  PassTheRetryInterval();
  Control(129);
  Control(128);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_FALSE(fs::exists(LogFolder() / "TARNLog.csv"));

  WriteDevices(Device(1, "WIFI") + Device(2, "BATTERY"));
  PassTheRetryInterval();
  Control(128);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR)) << "the codes are cleared";
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  timers = QorLogService::Timers();
  EXPECT_NE(timers.logTimer, nullptr);
  EXPECT_NE(timers.uploadTimer, nullptr);
  Control(128);
  Control(129);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
  EXPECT_EQ(Lines(LogFolder() / "TARNLogUpload.csv").size(), 2u);
}

// A log file held for a moment (the first two opens fail): the start retries
// no more often than once a second, and never more than the failed steps.
TEST_F(ServiceOnMachine, AFailedLogOpenAtStartIsRetriedOncePerSecondUntilItSucceeds) {
  for (const char* fault : {"open:TARNLog.csv:1:2", "open:TARNLogUpload.csv:1:2"}) {
    QorLogService fresh{clock, selfControl};
    SERVICE_STATUS record{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x5C1, 0, 0, 0, 0};
    {
      InjectedFaults faults(fault);
      EXPECT_EQ(fresh.Run(nullptr, nullptr), 1u) << fault;
      const auto channel = fresh.Channel().devices.begin()->second.handle.get();
      fresh.HandleControl(128, 0, nullptr, &record);  // too soon after the first attempt: no second one
      EXPECT_EQ(record.dwServiceSpecificExitCode, 1u);
      PassTheRetryInterval();
      fresh.HandleControl(128, 0, nullptr, &record);  // the second open, which fails too
      EXPECT_EQ(record.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR)) << fault;
      PassTheRetryInterval();
      fresh.HandleControl(128, 0, nullptr, &record);
      EXPECT_EQ(record.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR)) << fault;
      EXPECT_EQ(fresh.Channel().devices.begin()->second.handle.get(), channel) << "the driver was not started again";
    }
    fresh.HandleControl(128, 0, nullptr, &record);
    fresh.HandleControl(129, 0, nullptr, &record);
    EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u) << fault;
    EXPECT_EQ(Lines(LogFolder() / "TARNLogUpload.csv").size(), 2u) << fault;
    fresh.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr, &record);
    fs::remove_all(LogFolder());
  }
}

TEST_F(ServiceOnMachine, AFolderThatCannotBeMadeAtStartIsMadeByARetry) {
  {
    InjectedFaults faults("mkdir:LocalLog:1:1");
    EXPECT_EQ(service.Run(nullptr, nullptr), 1u);
    EXPECT_FALSE(fs::exists(LogFolder()));
    PassTheRetryInterval();
    Control(128);
  }
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  Control(128);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
}

TEST_F(ServiceOnMachine, ALastingFailureKeepsTheCodesUpToTheStopWhichEndsCleanly) {
  InjectedFaults faults("open:TARNLog.csv:1:0");
  EXPECT_EQ(service.Run(nullptr, nullptr), 1u);
  for (int i = 0; i < 2; ++i) {
    PassTheRetryInterval();
    Control(128);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
  }
  Control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  auto timers = QorLogService::Timers();
  EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
  for (const auto& [path, entry] : service.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());
  EXPECT_FALSE(fs::exists(LogFolder() / "TARNLog.csv"));
}

TEST_F(ServiceOnMachine, ADriverGoneEntirelyDuringTheRetriesStopsTheServiceItself) {
  WriteDevices(Device(1, "WIFI", "check = 0\n"));
  EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
  WriteDevices("");
  PassTheRetryInterval();
  Control(128);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_FALSE(QorLogService::Timers().logQueue);
}

// An exception out of a start step (here a platform call made to throw, after
// the first interface was opened) still ends the start, and closes what it had
// made: the stop that follows is handled at once, as after any start.
TEST_F(ServiceOnMachine, AnExceptionInAStartStepLeavesTheStopItsTearDown) {
  {
    InjectedFaults faults("throw:0002:1:1");
    EXPECT_THROW(service.Run(nullptr, nullptr), std::runtime_error);
  }
  EXPECT_TRUE(service.Channel().devices.empty()) << "the abandoned start kept an interface";
  Control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(status.dwWaitHint, 0u) << "the stop took the start for one still under way";
  for (const auto& [path, entry] : service.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());
  EXPECT_FALSE(QorLogService::Timers().logQueue);
}

TEST_F(ServiceOnMachine, TheEventLogTellsOfTheStartItsFailureItsRecoveryAndTheDriver) {
  {
    InjectedFaults faults("open:TARNLog.csv:1:1");
    ASSERT_EQ(service.Run(nullptr, nullptr), 1u);
    PassTheRetryInterval();
    Control(128);
  }
  WriteDevices(Device(2, "WIFI", "fail = read 31\n") + Device(1, "BATTERY"));
  Control(128);
  Control(128);  // still lost: no second entry
  WriteDevices(Device(2, "WIFI") + Device(1, "BATTERY"));
  Control(128);  // the read fails on the old handles; the recovery reopens them
  Control(128);
  EXPECT_EQ(Events(machine.root()), (std::vector<std::string>{
                                        "TarnSvc ERROR 2 opening | the log files: Open log file failed. | 32 | 3600000",
                                        "TarnSvc INFORMATION 3",
                                        "TarnSvc WARNING 4 31",
                                        "TarnSvc INFORMATION 5",
                                    }));
}

// A recovery brings the driver up as a start does: a step that fails is told,
// not ignored, and the next local tick completes what is missing. While the
// driver is lost it is traced only: the driver-lost event already says so.
TEST_F(ServiceOnMachine, ARecoveryThatCannotOpenTheDriverSaysSoAndTheNextTickCompletesIt) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  WriteDevices(Device(2, "WIFI", "fail = read 31\nfail = open 5\n") + Device(1, "BATTERY"));
  SetTraceEnabled(true);
  tarn::sim::ClearDebugOutput();
  Control(128);
  SetTraceEnabled(false);
  EXPECT_TRUE(TraceHas("The driver is still lost: opening the driver's interfaces gave 5"));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR)) << "the start itself succeeded";
  for (const auto& [path, entry] : service.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());

  WriteDevices(Device(2, "WIFI") + Device(1, "BATTERY"));
  Control(128);  // completes the driver
  Control(128);  // samples
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
  EXPECT_EQ(Events(machine.root()), (std::vector<std::string>{
                                        "TarnSvc INFORMATION 1",
                                        "TarnSvc WARNING 4 31",
                                        "TarnSvc INFORMATION 5",
                                    }));
}

// Timers that cannot be made leave a service that would never sample: the
// start fails with the creation's error, says so once, and a retry makes them.
TEST_F(ServiceOnMachine, ATimerThatCannotBeMadeFailsTheStartAndIsMadeByARetry) {
  {
    InjectedFaults faults("timer:timer:2:1");  // the upload timer; the local one retries
    EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  }
  Control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  auto timers = QorLogService::Timers();
  EXPECT_NE(timers.logTimer, nullptr) << "the local timer retries the start";
  EXPECT_EQ(timers.uploadTimer, nullptr);
  EXPECT_EQ(Events(machine.root()), std::vector<std::string>{"TarnSvc ERROR 2 creating | the timers | 8 | 3600000"});

  PassTheRetryInterval();
  Control(128);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
  timers = QorLogService::Timers();
  EXPECT_NE(timers.logTimer, nullptr);
  EXPECT_NE(timers.uploadTimer, nullptr);
  EXPECT_EQ(Events(machine.root()).back(), "TarnSvc INFORMATION 3");
}

// The same for the timers that a recovery of the driver makes again.
TEST_F(ServiceOnMachine, ATimerThatARecoveryCannotMakeAgainIsAFailedStepRetriedLikeAnyOther) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  WriteDevices(Device(2, "WIFI", "fail = read 31\n") + Device(1, "BATTERY"));
  {
    InjectedFaults faults("timer:timer:1:1");
    Control(128);  // the read fails; the recovery's local timer cannot be made
  }
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(QorLogService::Timers().uploadTimer, nullptr);
  EXPECT_NE(QorLogService::Timers().logTimer, nullptr) << "the local timer retries";
  const auto events = Events(machine.root());
  EXPECT_EQ(std::count(events.begin(), events.end(), "TarnSvc ERROR 2 creating | the timers | 8 | 3600000"), 1);

  WriteDevices(Device(2, "WIFI") + Device(1, "BATTERY"));
  PassTheRetryInterval();
  Control(128);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
  EXPECT_NE(QorLogService::Timers().uploadTimer, nullptr);
  Control(128);
  EXPECT_EQ(Lines(LogFolder() / "TARNLog.csv").size(), 2u);
}

// A log file that cannot be opened at start: the status shows 1066 with the
// logs' code 1, and the event the Win32 error of the open itself.
TEST_F(ServiceOnMachine, AFailedLogOpenShowsItsWin32ErrorInTheEventAndOneInTheExitCode) {
  InjectedFaults faults("open:TARNLogUpload.csv:1:0");
  ASSERT_EQ(service.Run(nullptr, nullptr), 1u);
  Control(SERVICE_CONTROL_INTERROGATE);
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
  EXPECT_EQ(Events(machine.root()),
            std::vector<std::string>{"TarnSvc ERROR 2 opening | the log files: Open log file failed. | 32 | 3600000"});
}

// A fault that lasts, or that changes its code, writes one entry per kind a
// minute; a start that succeeds at once says so.
TEST_F(ServiceOnMachine, EventsOfOneKindComeAtMostOnceAMinute) {
  WriteDevices(Device(1, "WIFI", "check = 0\n"));
  EXPECT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
  WriteDevices(Device(1, "WIFI", "fail = open 5\n"));
  PassTheRetryInterval();
  Control(128);
  EXPECT_EQ(status.dwServiceSpecificExitCode, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the code follows the fault";
  EXPECT_EQ(Events(machine.root()),
            std::vector<std::string>{"TarnSvc ERROR 2 checking | the driver's interfaces | 13 | 3600000"});

  Control(SERVICE_CONTROL_STOP);
  fs::remove(machine.root() / "run/eventlog.log");
  WriteDevices(Device(1, "WIFI"));
  QorLogService fresh;
  ASSERT_EQ(fresh.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(Events(machine.root()), std::vector<std::string>{"TarnSvc INFORMATION 1"});
  fresh.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr, &status);
}

// A start whose step blocks (here a driver request or a file open that takes
// its time) while the test plays the dispatcher: the start runs on a thread of
// its own, as the host's worker runs it.
class SlowStart {
 public:
  explicit SlowStart(QorLogService& service)
      : _thread([this, &service] {
          _result = service.Run(nullptr, nullptr);
          _finished = true;
        }) {}
  ~SlowStart() {
    if (_thread.joinable()) _thread.join();
  }
  bool Finished() const { return _finished.load(); }
  DWORD Join() {
    _thread.join();
    return _result;
  }

 private:
  std::atomic<bool> _finished{false};
  DWORD _result = 0xFFFFFFFF;
  std::thread _thread;
};

TEST_F(ServiceOnMachine, AStopDuringASlowDriverRequestIsAnsweredAtOnceAndTheStartEndsWithoutLogs) {
  for (DWORD stop : std::initializer_list<DWORD>{SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN}) {
    WriteDevices(Device(1, "BATTERY", "delay = check 1500\n"));
    QorLogService slow;
    SERVICE_STATUS record{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x5C1, 0, 0, 0, 0};
    SlowStart start(slow);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the check request

    // Every control is answered while the start still waits for the driver.
    EXPECT_EQ(slow.HandleControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &record), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(slow.HandleControl(128, 0, nullptr, &record), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(slow.HandleControl(stop, 0, nullptr, &record), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(start.Finished()) << "the stop waited for the start";
    EXPECT_EQ(record.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(record.dwWaitHint, Corvessan::Orwe::CService::kStopWaitHintMs);
    EXPECT_EQ(slow.HandleControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr, &record), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(start.Finished());

    EXPECT_EQ(start.Join(), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(slow.LocalLog(), nullptr);
    EXPECT_FALSE(fs::exists(LogFolder() / "TARNLog.csv")) << "a log was made after the stop";
    auto timers = QorLogService::Timers();
    EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
    for (const auto& [path, entry] : slow.Channel().devices) EXPECT_FALSE(entry.handle.is_valid());
  }
}

TEST_F(ServiceOnMachine, AStopDuringASlowLogOpenMakesNoFurtherLogAndNoTimer) {
  ::setenv(tarn::sim::kFileOpenDelayVariable, "700", 1);
  QorLogService slow;
  SERVICE_STATUS record{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x5C1, 0, 0, 0, 0};
  {
    SlowStart start(slow);
    // The local log's folder exists once its manager is made; its open follows.
    ASSERT_TRUE(tarn::test::WaitUntil([&] { return fs::exists(LogFolder()); }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(slow.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr, &record), static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(start.Finished()) << "the stop waited for the open";
    EXPECT_EQ(start.Join(), static_cast<DWORD>(NO_ERROR));
  }
  ::unsetenv(tarn::sim::kFileOpenDelayVariable);
  EXPECT_FALSE(fs::exists(LogFolder() / "TARNLogUpload.csv")) << "the upload log was made after the stop";
  auto timers = QorLogService::Timers();
  EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
  // Whatever the open under way made is closed again.
  FILE* exclusive = _wfsopen(L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog\\TARNLog.csv", L"ab", _SH_DENYRW);
  EXPECT_NE(exclusive, nullptr);
  if (exclusive != nullptr) std::fclose(exclusive);
}

TEST_F(ServiceOnMachine, AStopAfterTheStartEndedIsHandledAtOnceAsBefore) {
  ASSERT_EQ(service.Run(nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
  Control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(status.dwWaitHint, 0u);
  EXPECT_FALSE(QorLogService::Timers().logQueue);
}

}  // namespace
