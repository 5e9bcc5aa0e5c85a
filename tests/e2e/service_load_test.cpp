// TarnSvc under strain: stops that arrive while a start step blocks on a slow
// driver or registry, timers far faster than a cycle, and a driver read that
// keeps failing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_fixture.h"
#include "unique_handle.h"

namespace tarn::e2e {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kHour = 3600000;
constexpr milliseconds kAcknowledgeWithin{1000};

using ServiceHandle = tarn::UniqueServiceHandle;

// Sends a stop as the manager delivers it and returns how long the service
// took to answer, with the status it answered with.
milliseconds SendStop(SERVICE_STATUS& status) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_TRUE(manager);
  ServiceHandle service(manager ? OpenServiceW(manager.get(), L"TarnSvc", SERVICE_STOP) : nullptr);
  EXPECT_TRUE(service);
  const auto sent = Clock::now();
  EXPECT_TRUE(service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  return std::chrono::duration_cast<milliseconds>(Clock::now() - sent);
}

// A field of /proc/<pid>/status, such as "Threads"; -1 once the process is gone.
long ProcessStatusField(DWORD pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// User and system time the process has used, in milliseconds.
long CpuTimeMs(DWORD pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long user = 0, system = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) user = std::stol(field);
    if (index == 15) {
      system = std::stol(field);
      break;
    }
  }
  return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

class ServiceLoadTest : public ServiceTest {
 protected:
  void Create() { ASSERT_EQ(Sc({"create", "TarnSvc", "binPath=", TARN_SERVICE_EXECUTABLE}).exitCode, 0); }

  int TraceCount(const std::string& text) {
    return tarn::test::CountOccurrences(tarn::test::ReadServiceOutput(machine_, "TarnSvc"), text);
  }

  // A stop that arrives while the start blocks: answered at once with
  // stop-pending, interrogate answered meanwhile, then stopped with exit code 0
  // once the step returns, with check points and without any log.
  void ExpectStopDuringBlockedStart(DWORD pid) {
    SERVICE_STATUS status{};
    const milliseconds answeredAfter = SendStop(status);
    EXPECT_LT(answeredAfter, kAcknowledgeWithin) << "the stop waited for the start";
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(QueryState(), "3  STOP_PENDING");

    const auto asked = Clock::now();
    ToolRun interrogate = Sc({"interrogate", "TarnSvc"});
    EXPECT_LT(Clock::now() - asked, milliseconds(3000)) << "interrogate waited for the start";
    // The manager answers it for a stop-pending service without the handler.
    EXPECT_EQ(interrogate.exitCode, tarn::test::ExitCodeOf(ERROR_SERVICE_CANNOT_ACCEPT_CTRL)) << interrogate.output;
    EXPECT_NE(interrogate.output.find("1061"), std::string::npos) << interrogate.output;

    ASSERT_TRUE(WaitForProcessGone(pid));
    ToolRun query = Sc({"query", "TarnSvc"});
    EXPECT_NE(query.output.find("        STATE              : 1  STOPPED\n"), std::string::npos) << query.output;
    EXPECT_NE(query.output.find("        WIN32_EXIT_CODE    : 0  (0x0)\n"), std::string::npos) << query.output;
    int checkPoints = 0;
    for (auto& report : tarn::test::ReadReports(machine_, "TarnSvc"))
      if (report["origin"] == "service" && report["state"] == "3" && report["checkpoint"] != "0") ++checkPoints;
    EXPECT_GE(checkPoints, 1) << "no stop check point was reported";
    EXPECT_FALSE(std::filesystem::exists(LocalLog())) << "a log was made after the stop";
    EXPECT_FALSE(std::filesystem::exists(UploadLog())) << "a log was made after the stop";
  }
};

TEST_F(ServiceLoadTest, AStopDuringAFiveSecondDriverRequestIsAcknowledgedAtOnce) {
  WriteDriverIni(Device("0000", "BATTERY", {"delay = check 5000"}));
  Create();
  const auto started = Clock::now();
  DWORD pid = StartWithoutWaitingForLogs({"TARN_TRACE=stderr"});
  std::this_thread::sleep_for(milliseconds(500));  // into the check request
  ToolRun interrogate = Sc({"interrogate", "TarnSvc"});
  EXPECT_EQ(interrogate.exitCode, 0) << interrogate.output;
  EXPECT_NE(interrogate.output.find("4  RUNNING"), std::string::npos) << interrogate.output;
  ASSERT_LT(Clock::now() - started, milliseconds(4000)) << "too slow to stop before the request returns";
  ExpectStopDuringBlockedStart(pid);
  EXPECT_GE(Clock::now() - started, milliseconds(5000)) << "the process ended before the request returned";
}

TEST_F(ServiceLoadTest, AStopDuringASlowRegistryReadIsAcknowledgedAtOnce) {
  WriteDriverIni(Device("0000", "BATTERY"));
  WriteSettings({DwordValue("LogPeriodMs", 100)});
  Create();
  // Six values at 800 ms each: the start spends about five seconds on them.
  DWORD pid = StartWithoutWaitingForLogs({"TARN_SIM_REGISTRY_DELAY_MS=800"});
  std::this_thread::sleep_for(milliseconds(500));
  ExpectStopDuringBlockedStart(pid);
}

TEST_F(ServiceLoadTest, OneMillisecondPeriodsKeepTheThreadsBoundedAndTheRowsComing) {
  WriteDriverIni(Device("0000", "BATTERY", {"reading0 = counter 1 1"}) + Device("0001", "WIFI"));
  WriteSettings({DwordValue("LogPeriodMs", 1), DwordValue("UploadLogPeriodMs", 1),
                 DwordValue("LogFileSizeByte", 100000000), DwordValue("UploadLogFileSizeByte", 100000000)});
  DWORD pid = CreateAndStart({"TARN_TRACE=stderr"});

  long mostThreads = 0;
  const auto until = Clock::now() + milliseconds(3000);
  while (Clock::now() < until) {
    mostThreads = std::max(mostThreads, ProcessStatusField(pid, "Threads"));
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_EQ(QueryState(), "4  RUNNING");
  // Main, service main, the scheduler, one pool thread per waiting control
  // and a few pool threads finishing dropped ticks; never one per tick.
  EXPECT_LE(mostThreads, 24) << "threads grew with the ticks";
  const int rows = RowCount(LocalLog());
  EXPECT_GE(rows, 10) << "the service stopped sampling";
  ASSERT_TRUE(WaitForRows(LocalLog(), rows + 10)) << "the service stopped sampling";
  StopAndExpectStopped(pid);
  EXPECT_GE(TraceCount("dropped: the previous one was still waiting"), 1) << "no dropped tick was traced";
}

TEST_F(ServiceLoadTest, AReadThatKeepsFailingWithAZeroPeriodRetriesOncePerSecondWithoutSpinning) {
  WriteDriverIni(Device("0000", "BATTERY", {"fail = read 31"}));
  WriteSettings({DwordValue("LogPeriodMs", 0), DwordValue("UploadLogPeriodMs", kHour)});
  DWORD pid = CreateAndStart({"TARN_TRACE=stderr"});
  // The first local tick comes at once and fails; each one after it is a recovery's retry.
  ASSERT_TRUE(WaitUntil([&] { return TraceCount("SERVICE_CONTROL_LOG_TIMER") >= 1; }));

  const int ticksBefore = TraceCount("SERVICE_CONTROL_LOG_TIMER");
  const long cpuBefore = CpuTimeMs(pid);
  std::this_thread::sleep_for(milliseconds(3000));
  const int ticks = TraceCount("SERVICE_CONTROL_LOG_TIMER") - ticksBefore;
  const long cpuMs = CpuTimeMs(pid) - cpuBefore;
  EXPECT_GE(ticks, 2) << "the recovery gave up";
  EXPECT_LE(ticks, 4) << "the recovery re-armed sooner than once per second";
  EXPECT_LT(cpuMs, 1000) << "the service spun while its reads failed";
  EXPECT_EQ(QueryState(), "4  RUNNING");
  EXPECT_EQ(RowCount(LocalLog()), 0);

  // Once the driver answers again, the next retry samples.
  WriteDriverIni(Device("0000", "BATTERY"));
  EXPECT_TRUE(WaitForRows(LocalLog(), 1));
  StopAndExpectStopped(pid);
}

}  // namespace
}  // namespace tarn::e2e
