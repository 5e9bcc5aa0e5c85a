// TarnSvc's life as the service control manager drives it: when the timers
// sample, how the service reacts to a driver that is missing, vanishes or
// cannot be opened, and stops that arrive while it samples.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"
#include "tarn_sim/scm.h"

namespace tarn::e2e {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A timer may fire a little early; the lower bounds below allow for that.
constexpr milliseconds kTimerSlack{50};
constexpr std::uint32_t kHour = 3600000;
// Event types of a power event and of a session change (PBT_APMRESUMEAUTOMATIC, WTS_SESSION_LOGON).
constexpr DWORD kResumeAutomatic = 0x12;
constexpr DWORD kSessionLogon = 5;

std::vector<std::string> Fields(const std::string& row) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t comma; (comma = row.find(',', start)) != std::string::npos; start = comma + 1)
    fields.push_back(row.substr(start, comma - start));
  fields.push_back(row.substr(start));
  return fields;
}

std::uint64_t Hex(const std::string& digits) { return std::stoull(digits, nullptr, 16); }

class ServiceLifecycleTest : public ServiceTest {};

TEST_F(ServiceLifecycleTest, FirstLocalRowComesOnePeriodAfterTheStartAndRowsFollowAtThePeriod) {
  constexpr milliseconds kPeriod{700};
  WriteDriverIni(Device("0000", "BATTERY", {"reading0 = counter 1 1"}));
  WriteSettings({DwordValue("LogPeriodMs", kPeriod.count()), DwordValue("UploadLogPeriodMs", kHour)});

  const auto begin = Clock::now();
  DWORD pid = CreateAndStart();
  EXPECT_EQ(RowCount(LocalLog()), 0) << "a row was written at once";

  ASSERT_TRUE(WaitForRows(LocalLog(), 1));
  EXPECT_GE(Clock::now() - begin, kPeriod - kTimerSlack) << "the first row came before one period";
  ASSERT_TRUE(WaitForRows(LocalLog(), 3));
  EXPECT_GE(Clock::now() - begin, 3 * kPeriod - kTimerSlack) << "rows came faster than the period";

  StopAndExpectStopped(pid);
  std::vector<std::string> rows = RowTexts(LocalLog());
  ASSERT_GE(rows.size(), 3u);
  // One read per tick: the counter advances by one from row to row.
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<std::string> fields = Fields(rows[i]);
    ASSERT_EQ(fields.size(), 3u) << rows[i];
    EXPECT_EQ(Hex(fields[2]), i + 1) << rows[i];
  }
  EXPECT_EQ(RowCount(UploadLog()), 0) << "the upload log sampled on the local period";
}

TEST_F(ServiceLifecycleTest, ZeroLogPeriodGivesExactlyOneLocalRow) {
  WriteDriverIni(Device("0000", "WIFI"));
  WriteSettings({DwordValue("LogPeriodMs", 0), DwordValue("UploadLogPeriodMs", 150)});
  DWORD pid = CreateAndStart();

  // The upload timer's rows show that time passes and timers keep firing.
  ASSERT_TRUE(WaitForRows(LocalLog(), 1)) << "a timer with period 0 fires once, at once";
  ASSERT_TRUE(WaitForRows(UploadLog(), 4));
  EXPECT_EQ(RowCount(LocalLog()), 1);
  StopAndExpectStopped(pid);
  EXPECT_EQ(RowCount(LocalLog()), 1);
}

TEST_F(ServiceLifecycleTest, WithoutAnyDriverInterfaceTheServiceStopsItself) {
  WriteDriverIni("; no power-monitor interface on this machine\n");
  ASSERT_EQ(Sc({"create", "TarnSvc", "binPath=", TARN_SERVICE_EXECUTABLE}).exitCode, 0);
  ToolRun started = Sc({"start", "TarnSvc"}, {kTimeZone});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  // The service may have stopped itself before tarn-sc printed its status (PID
  // 0 then): its process id is in its own first report.
  std::vector<tarn::test::Fields> firstReports = tarn::test::ReadReports(machine_, "TarnSvc");
  DWORD pid = tarn::test::PidInOutput(started.output);
  for (auto& report : firstReports)
    if (pid == 0 && report["origin"] == "service") pid = static_cast<DWORD>(std::stoul(report["pid"]));
  ASSERT_NE(pid, 0u) << started.output;

  ASSERT_TRUE(WaitUntil([&] { return QueryState() == "1  STOPPED"; })) << QueryState();
  ASSERT_TRUE(WaitForProcessGone(pid));
  ToolRun query = Sc({"query", "TarnSvc"});
  EXPECT_NE(query.output.find("        WIN32_EXIT_CODE    : 0  (0x0)\n"), std::string::npos) << query.output;
  EXPECT_NE(query.output.find("        SERVICE_EXIT_CODE  : 0  (0x0)\n"), std::string::npos) << query.output;
  std::vector<tarn::test::Fields> reports = tarn::test::ReadReports(machine_, "TarnSvc");
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back()["origin"], "service");
  EXPECT_EQ(reports.back()["exit"], "0");

  EXPECT_FALSE(std::filesystem::exists(LocalLog())) << "logs were created without a driver";
  ToolRun control = Sc({"control", "TarnSvc", "128"});
  EXPECT_EQ(control.exitCode, tarn::test::ExitCodeOf(ERROR_SERVICE_NOT_ACTIVE)) << control.output;
}

TEST_F(ServiceLifecycleTest, DeviceRemovedWhileRunningStopsRowsUntilItReturns) {
  const std::string kept = Device("0000", "BATTERY", {"reading0 = counter 1 1"});
  const std::string removable = Device("0001", "WIFI", {"reading0 = counter 1000 10"});
  WriteDriverIni(kept + removable);
  WriteSettings({DwordValue("LogPeriodMs", 250), DwordValue("UploadLogPeriodMs", kHour)});
  DWORD pid = CreateAndStart();
  ASSERT_TRUE(WaitForRows(LocalLog(), 2));

  WriteDriverIni(kept);
  // A tick may be sampling while the device goes; once it is done, ticks that
  // follow fail to read and rebuild the channel, each one without a row.
  const int reports = RunningReports();
  ASSERT_TRUE(WaitForRunningReports(reports + 1));
  const int rowsWhileGone = RowCount(LocalLog());
  ASSERT_TRUE(WaitForRunningReports(reports + 4)) << "the ticks stopped after the device was removed";
  EXPECT_EQ(RowCount(LocalLog()), rowsWhileGone) << "rows were written while a device was missing";
  EXPECT_EQ(QueryState(), "4  RUNNING");

  WriteDriverIni(kept + removable);
  ASSERT_TRUE(WaitForRows(LocalLog(), rowsWhileGone + 1)) << "no row after the device came back";
  StopAndExpectStopped(pid);

  std::vector<std::string> rows = RowTexts(LocalLog());
  ASSERT_GT(rows.size(), static_cast<std::size_t>(rowsWhileGone));
  std::vector<std::string> before = Fields(rows[static_cast<std::size_t>(rowsWhileGone) - 1]);
  std::vector<std::string> after = Fields(rows[static_cast<std::size_t>(rowsWhileGone)]);
  ASSERT_EQ(before.size(), 6u) << rows[static_cast<std::size_t>(rowsWhileGone) - 1];
  ASSERT_EQ(after.size(), 6u) << "both devices are in the row again: " << rows[static_cast<std::size_t>(rowsWhileGone)];
  EXPECT_EQ(after[0], "05");
  EXPECT_GT(Hex(after[2]), Hex(before[2])) << "the device that stayed goes on counting";
  EXPECT_EQ(after[3], "06") << "the returned device was identified again";
  EXPECT_EQ(Hex(after[5]), 1000u) << "a returned device starts its counter again";
}

TEST_F(ServiceLifecycleTest, StopWhileTheDriverIsGoneEndsCleanly) {
  WriteDriverIni(Device("0000", "BATTERY") + Device("0001", "WIFI"));
  WriteSettings({DwordValue("LogPeriodMs", 100), DwordValue("UploadLogPeriodMs", 150)});
  DWORD pid = CreateAndStart();
  ASSERT_TRUE(WaitForRows(LocalLog(), 1));

  // Every interface vanishes: the devices it knew are still its devices, so it
  // keeps trying to reopen them instead of stopping.
  WriteDriverIni("");
  const int reports = RunningReports();
  ASSERT_TRUE(WaitForRunningReports(reports + 4));
  EXPECT_EQ(QueryState(), "4  RUNNING");
  StopAndExpectStopped(pid);
}

TEST_F(ServiceLifecycleTest, DriverThatCannotBeOpenedLeavesTheServiceRunningWithoutLogs) {
  WriteDriverIni(Device("0000", "WIFI", {"fail = open 5"}));
  ASSERT_EQ(Sc({"create", "TarnSvc", "binPath=", TARN_SERVICE_EXECUTABLE}).exitCode, 0);
  DWORD pid = StartWithoutWaitingForLogs();
  // The failed start is recorded as a service-specific error with the driver's
  // code; the next report (here the one after a control) carries it.
  ToolRun control;
  EXPECT_TRUE(WaitUntil([&] {
    control = Sc({"control", "TarnSvc", "128"});
    return control.output.find("WIN32_EXIT_CODE    : 1066  (0x42a)\n") != std::string::npos;
  })) << control.output;
  EXPECT_EQ(control.exitCode, 0) << control.output;
  EXPECT_NE(control.output.find("STATE              : 4  RUNNING"), std::string::npos) << control.output;
  EXPECT_NE(control.output.find("SERVICE_EXIT_CODE  : 5  (0x5)"), std::string::npos) << control.output;
  EXPECT_FALSE(std::filesystem::exists(LogFolder())) << "logs were made for a driver that failed";
  StopAndExpectStopped(pid, ERROR_SERVICE_SPECIFIC_ERROR, ERROR_ACCESS_DENIED);
}

// Faults that pass at boot (a log folder that cannot be made twice, the upload
// file held once): the service keeps running with the codes recorded, retries
// once a second and samples once the start has succeeded, with the codes cleared.
TEST_F(ServiceLifecycleTest, AStartThatFailsOnAPassingFaultHealsAndSamples) {
  WriteDriverIni(Device("0000", "WIFI"));
  WriteSettings({DwordValue("LogPeriodMs", 100), DwordValue("UploadLogPeriodMs", 150)});
  ASSERT_EQ(Sc({"create", "TarnSvc", "binPath=", TARN_SERVICE_EXECUTABLE}).exitCode, 0);
  const auto begin = Clock::now();
  DWORD pid = StartWithoutWaitingForLogs({"TARN_SIM_FAULTS=mkdir:LocalLog:1:2,open:TARNLogUpload.csv:1:1"});
  ToolRun interrogated;
  EXPECT_TRUE(WaitUntil([&] {
    interrogated = Sc({"interrogate", "TarnSvc"});
    return interrogated.output.find("WIN32_EXIT_CODE    : 1066  (0x42a)\n") != std::string::npos;
  })) << interrogated.output;
  EXPECT_NE(interrogated.output.find("SERVICE_EXIT_CODE  : 1  (0x1)"), std::string::npos) << interrogated.output;

  ASSERT_TRUE(WaitForRows(LocalLog(), 2));
  ASSERT_TRUE(WaitForRows(UploadLog(), 2));
  // Four attempts, one second apart at the least.
  EXPECT_GE(Clock::now() - begin, milliseconds(3000) - kTimerSlack) << "retried more often than once a second";
  interrogated = Sc({"interrogate", "TarnSvc"});
  EXPECT_NE(interrogated.output.find("WIN32_EXIT_CODE    : 0  (0x0)\n"), std::string::npos) << interrogated.output;
  EXPECT_NE(interrogated.output.find("STATE              : 4  RUNNING"), std::string::npos) << interrogated.output;
  StopAndExpectStopped(pid);
  EXPECT_EQ(HeaderOf(LocalLog()), kLocalHeader);
  EXPECT_EQ(HeaderOf(UploadLog()), kUploadHeader);
}

TEST_F(ServiceLifecycleTest, AStartThatKeepsFailingStaysRunningWithItsCodesUntilTheStop) {
  WriteDriverIni(Device("0000", "WIFI"));
  WriteSettings({DwordValue("LogPeriodMs", 0), DwordValue("UploadLogPeriodMs", 100)});
  ASSERT_EQ(Sc({"create", "TarnSvc", "binPath=", TARN_SERVICE_EXECUTABLE}).exitCode, 0);
  DWORD pid = StartWithoutWaitingForLogs({"TARN_SIM_FAULTS=open:TARNLog.csv:1:0"});
  std::this_thread::sleep_for(milliseconds(2500));  // two retries at least
  ToolRun interrogated = Sc({"interrogate", "TarnSvc"});
  EXPECT_NE(interrogated.output.find("WIN32_EXIT_CODE    : 1066  (0x42a)\n"), std::string::npos) << interrogated.output;
  EXPECT_NE(interrogated.output.find("STATE              : 4  RUNNING"), std::string::npos) << interrogated.output;
  EXPECT_FALSE(std::filesystem::exists(LocalLog()));
  EXPECT_EQ(RowCount(UploadLog()), 0) << "sampled before the start had succeeded";
  StopAndExpectStopped(pid, ERROR_SERVICE_SPECIFIC_ERROR, 1);
}

TEST_F(ServiceLifecycleTest, StopWhileSamplingRapidlyEndsCleanlyWithNoRowAfterIt) {
  WriteDriverIni(Device("0000", "BATTERY", {"reading0 = counter 1 1"}) + Device("0001", "WIFI"));
  WriteSettings({DwordValue("LogPeriodMs", 20), DwordValue("UploadLogPeriodMs", 30)});
  DWORD pid = CreateAndStart();
  ASSERT_TRUE(WaitForRows(LocalLog(), 5));
  ASSERT_TRUE(WaitForRows(UploadLog(), 5));

  // An outside client keeps sending 128 while the stop goes in.
  std::vector<ToolRun> refused;
  std::atomic<int> sent{0};
  std::thread client([&] {
    for (int i = 0; i < 200; ++i) {
      ToolRun control = Sc({"control", "TarnSvc", "128"});
      ++sent;
      if (control.exitCode != 0) {
        refused.push_back(control);
        if (control.exitCode == tarn::test::ExitCodeOf(ERROR_SERVICE_NOT_ACTIVE)) return;
      }
    }
  });
  EXPECT_TRUE(WaitUntil([&] { return sent.load() > 0; }));
  StopAndExpectStopped(pid);
  client.join();
  for (const ToolRun& control : refused) {
    EXPECT_TRUE(control.exitCode == tarn::test::ExitCodeOf(ERROR_SERVICE_NOT_ACTIVE) ||
                control.exitCode == tarn::test::ExitCodeOf(ERROR_SERVICE_CANNOT_ACCEPT_CTRL))
        << control.output;
  }

  // Every control handled while running wrote one row; none came after the
  // stop: no running report follows the first stop-pending one.
  std::vector<tarn::test::Fields> reports = tarn::test::ReadReports(machine_, "TarnSvc");
  int runningReports = 0;
  bool stopping = false;
  for (auto& report : reports) {
    if (report["origin"] != "service") continue;
    if (report["state"] == "3") stopping = true;
    if (report["state"] == "4") {
      EXPECT_FALSE(stopping) << "a control was handled as running after the stop";
      ++runningReports;
    }
  }
  const int rows = static_cast<int>(RowTexts(LocalLog()).size() + RowTexts(UploadLog()).size());
  EXPECT_EQ(rows, runningReports - 1) << "rows and handled sampling controls differ";
}

TEST_F(ServiceLifecycleTest, RestartsAppendToTheLogsAndAStopRightAfterTheStartWritesNothing) {
  WriteDriverIni(Device("0000", "BATTERY"));
  DWORD pid = CreateAndStart();
  Control(128);
  Control(129);
  StopAndExpectStopped(pid);

  pid = StartWithoutWaitingForLogs();
  StopAndExpectStopped(pid);

  pid = StartAgain();
  Control(128);
  Control(129);
  StopAndExpectStopped(pid);

  std::vector<std::string> local = Lines(LocalLog());
  std::vector<std::string> upload = Lines(UploadLog());
  ASSERT_EQ(local.size(), 3u) << "one header, one row per run that sampled";
  ASSERT_EQ(upload.size(), 3u);
  EXPECT_EQ(local[0], kLocalHeader);
  EXPECT_EQ(upload[0], kUploadHeader);
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(local[i].find('#'), std::string::npos) << "a second header: " << local[i];
    EXPECT_EQ(upload[i].find('#'), std::string::npos) << "a second header: " << upload[i];
  }
}

TEST_F(ServiceLifecycleTest, SystemEventsLeaveItSamplingAndPreShutdownStopsIt) {
  WriteDriverIni(Device("0000", "BATTERY"));
  DWORD pid = CreateAndStart();
  SERVICE_STATUS status{};
  EXPECT_EQ(tarn::sim::SendSystemControl(L"TarnSvc", SERVICE_CONTROL_POWEREVENT, kResumeAutomatic, &status),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(tarn::sim::SendSystemControl(L"TarnSvc", SERVICE_CONTROL_SESSIONCHANGE, kSessionLogon, &status),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  Control(128);
  EXPECT_EQ(RowCount(LocalLog()), 1) << "only the sampling control writes a row";

  status = SERVICE_STATUS{};
  EXPECT_EQ(tarn::sim::SendSystemControl(L"TarnSvc", SERVICE_CONTROL_PRESHUTDOWN, 0, &status),
            static_cast<DWORD>(ERROR_SUCCESS));
  // The answer carries the latest status: the service main may already have
  // reported the stop complete by the time the handler's answer is sent.
  EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED)
      << status.dwCurrentState;
  ASSERT_TRUE(WaitForProcessGone(pid));
  ToolRun query = Sc({"query", "TarnSvc"});
  EXPECT_NE(query.output.find("        STATE              : 1  STOPPED\n"), std::string::npos) << query.output;
  EXPECT_NE(query.output.find("        WIN32_EXIT_CODE    : 0  (0x0)\n"), std::string::npos) << query.output;
  EXPECT_EQ(RowCount(LocalLog()), 1);
}

TEST_F(ServiceLifecycleTest, ServiceStartedByHandEndsWithExitCodeZero) {
  WriteDriverIni(Device("0000", "BATTERY"));
  ToolRun byHand = tarn::test::RunServiceByHand(machine_, TARN_SERVICE_EXECUTABLE);
  EXPECT_EQ(byHand.exitCode, 0) << byHand.output;
  EXPECT_FALSE(std::filesystem::exists(LogFolder())) << "a process not started as a service made logs";
}

}  // namespace
}  // namespace tarn::e2e
