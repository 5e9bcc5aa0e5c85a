// The stand-in's service control manager end to end: a test service started
// as a process of a temporary machine, driven through tarn-sc as a user would
// and through the Win32 service functions as the service's own code does.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scm_harness.h"
#include "tarn_sim/scm.h"
#include "unique_handle.h"

namespace tarn::test {
namespace {

constexpr char kName[] = "TarnTestSvc";
constexpr wchar_t kWideName[] = L"TarnTestSvc";
// Short enough for a quick test, long enough for a process start on a busy machine.
const std::vector<std::string> kShortTimeout{"TARN_SCM_TIMEOUT_MS=1000"};
constexpr int kGateTimeoutMs = 10000;

using ServiceHandle = tarn::UniqueServiceHandle;
using KernelHandle = tarn::UniqueHandle;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ScmTest : public ::testing::Test {
 protected:
  ToolRun Sc(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
    return RunTool(machine_, arguments, environment);
  }

  void CreateTestService() {
    ToolRun created = Sc({"create", kName, "binPath=", TARN_SCM_TEST_SERVICE});
    ASSERT_EQ(created.exitCode, 0) << created.output;
    ASSERT_EQ(created.output, "[SC] CreateService SUCCESS\n");
  }

  ServiceHandle OpenTestService(DWORD access) {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return ServiceHandle();
    return ServiceHandle(OpenServiceW(manager.get(), kWideName, access));
  }

  DWORD ProcessOf(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                              &needed))
      return 0;
    return status.dwProcessId;
  }

  std::string ServiceOutput() { return ReadServiceOutput(machine_, kName); }

  // Sanitizer reports of the service processes land in their output files.
  void TearDown() override {
    std::error_code error;
    for (std::filesystem::directory_iterator it(machine_.ScmFolder(), error), end; !error && it != end;
         it.increment(error)) {
      if (it->path().extension() != ".out") continue;
      std::string output = ReadServiceOutput(machine_, it->path().stem().string());
      EXPECT_FALSE(Contains(output, "Sanitizer") || Contains(output, "runtime error:")) << output;
    }
  }

  TempMachine machine_;
};

TEST_F(ScmTest, ServiceRunsItsWholeLifeDrivenByTarnSc) {
  CreateTestService();

  ToolRun started = Sc({"start", kName});
  ASSERT_EQ(started.exitCode, 0) << started.output;
  EXPECT_TRUE(Contains(started.output, "        STATE              : 4  RUNNING\n")) << started.output;
  DWORD pid = PidInOutput(started.output);
  ASSERT_NE(pid, 0u) << started.output;

  ToolRun control = Sc({"control", kName, "128"});
  EXPECT_EQ(control.exitCode, 0) << control.output;
  EXPECT_TRUE(Contains(control.output, "STATE              : 4  RUNNING")) << control.output;
  ToolRun interrogate = Sc({"interrogate", kName});
  EXPECT_EQ(interrogate.exitCode, 0) << interrogate.output;

  ToolRun query = Sc({"query", kName});
  EXPECT_EQ(query.exitCode, 0);
  EXPECT_EQ(query.output, RunningStatusText(kName));

  ToolRun stopped = Sc({"stop", kName});
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_TRUE(Contains(stopped.output, "        STATE              : 1  STOPPED\n")) << stopped.output;
  EXPECT_TRUE(Contains(stopped.output, "        WIN32_EXIT_CODE    : 0  (0x0)\n")) << stopped.output;
  EXPECT_TRUE(ProcessGone(pid)) << "tarn-sc stop returned before the service process ended";

  ToolRun afterStop = Sc({"control", kName, "128"});
  EXPECT_EQ(afterStop.exitCode, ExitCodeOf(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(afterStop.output, "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n\n");

  std::string output = ServiceOutput();
  EXPECT_TRUE(Contains(output, "main argv0=TarnTestSvc argc=1\n")) << output;
  std::size_t control128 = output.find("control 128\n");
  std::size_t control4 = output.find("control 4\n");
  std::size_t control1 = output.find("control 1\n");
  std::size_t returned = output.find("dispatcher returned");
  ASSERT_NE(returned, std::string::npos) << output;
  EXPECT_TRUE(control128 < control4 && control4 < control1 && control1 < returned) << output;

  ToolRun deleted = Sc({"delete", kName});
  EXPECT_EQ(deleted.output, "[SC] DeleteService SUCCESS\n");
  ToolRun gone = Sc({"query", kName});
  EXPECT_EQ(gone.exitCode, ExitCodeOf(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(gone.output,
            "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed service.\n\n");
}

TEST_F(ScmTest, EveryStatusReportIsRecordedInOrder) {
  CreateTestService();
  ASSERT_EQ(Sc({"start", kName}).exitCode, 0);
  ASSERT_EQ(Sc({"stop", kName}).exitCode, 0);

  std::vector<Fields> reports = ReadReports(machine_, kName);
  ASSERT_EQ(reports.size(), 4u);
  const char* states[] = {"2", "4", "3", "1"};
  const char* origins[] = {"manager", "service", "service", "service"};
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i]["state"], states[i]) << "report " << i;
    EXPECT_EQ(reports[i]["origin"], origins[i]) << "report " << i;
    EXPECT_EQ(reports[i]["pid"], reports[0]["pid"]) << "report " << i;
    EXPECT_EQ(reports[i]["type"], "0x10") << "report " << i;
  }
  EXPECT_EQ(reports[1]["accepted"], "0x101");
  EXPECT_EQ(reports[2]["checkpoint"], "1");
  EXPECT_EQ(reports[2]["waithint"], "5000");
  EXPECT_EQ(reports[3]["exit"], "0");
}

TEST_F(ScmTest, TheRecordOfReportsStaysBoundedAndKeepsTheNewest) {
  CreateTestService();
  ASSERT_EQ(Sc({"start", kName}).exitCode, 0);
  ASSERT_EQ(Sc({"control", kName, "130"}).exitCode, 0);
  const auto file = machine_.ScmFolder() / (std::string(kName) + ".reports");
  EXPECT_LE(std::filesystem::file_size(file), 256u * 1024u);
  std::vector<Fields> reports = ReadReports(machine_, kName);
  ASSERT_GT(reports.size(), 1000u) << "the bound drops the oldest half, not everything";
  EXPECT_EQ(reports.back()["waithint"], "4000");
  EXPECT_EQ(reports.front()["state"], "4") << "the first kept line is whole";
  ASSERT_EQ(Sc({"stop", kName}).exitCode, 0);
  EXPECT_EQ(ReadReports(machine_, kName).back()["state"], "1");
}

TEST_F(ScmTest, DispatcherFailsInAProcessTheManagerDidNotStart) {
  static wchar_t name[] = L"NotStarted";
  SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR*) {}}, {nullptr, nullptr}};
  SetLastError(0);
  EXPECT_FALSE(StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

  ToolRun byHand = RunServiceByHand(machine_, TARN_SCM_TEST_SERVICE);
  EXPECT_EQ(byHand.exitCode, ExitCodeOf(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_TRUE(Contains(byHand.output, "dispatcher failed 1063")) << byHand.output;
}

TEST_F(ScmTest, ControlsAreRefusedWhileStartPending) {
  CreateTestService();
  Gate gate(machine_.Root() / "start-gate");
  ToolRun start = Sc({"start", kName, "hold-start=" + gate.Path()}, kShortTimeout);
  EXPECT_EQ(start.exitCode, ExitCodeOf(ERROR_SERVICE_REQUEST_TIMEOUT)) << start.output;
  EXPECT_TRUE(Contains(start.output, "[SC] StartService FAILED 1053:")) << start.output;
  EXPECT_TRUE(Contains(Sc({"query", kName}).output, "STATE              : 2  START_PENDING"));

  ToolRun refused = Sc({"control", kName, "128"});
  EXPECT_EQ(refused.exitCode, ExitCodeOf(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(refused.output,
            "[SC] ControlService FAILED 1061:\n\nThe service cannot accept control messages at this time.\n\n");

  gate.Release();
  ASSERT_TRUE(gate.WaitForAcknowledgement(kGateTimeoutMs));
  ToolRun accepted = Sc({"control", kName, "128"});
  EXPECT_EQ(accepted.exitCode, 0) << accepted.output;
  EXPECT_EQ(Sc({"stop", kName}).exitCode, 0);
  EXPECT_EQ(CountOccurrences(ServiceOutput(), "control 128"), 1) << "a refused control reached the handler";
}

TEST_F(ScmTest, ControlsAreRefusedWhileStopPendingAndOnceStopped) {
  CreateTestService();
  Gate gate(machine_.Root() / "stop-gate");
  ASSERT_EQ(Sc({"start", kName, "hold-stop=" + gate.Path()}).exitCode, 0);
  ServiceHandle service = OpenTestService(SERVICE_ALL_ACCESS);
  ASSERT_TRUE(service);
  KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, ProcessOf(service.get())));
  ASSERT_TRUE(process);

  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING) << "the status after the handler returned";
  status = SERVICE_STATUS{};
  EXPECT_FALSE(ControlService(service.get(), 128, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOP_PENDING);

  gate.Release();
  ASSERT_EQ(WaitForSingleObject(process.get(), kGateTimeoutMs), WAIT_OBJECT_0);
  EXPECT_FALSE(ControlService(service.get(), 128, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(CountOccurrences(ServiceOutput(), "control 128"), 0);
}

TEST_F(ScmTest, ControlToItselfFromInsideTheHandlerTimesOut) {
  CreateTestService();
  // The service's own call waits 300 ms; tarn-sc waits as long as it takes.
  ASSERT_EQ(Sc({"start", kName, "self-control=300"}).exitCode, 0);
  ToolRun control = Sc({"control", kName, "129"});
  EXPECT_EQ(control.exitCode, 0) << control.output;
  EXPECT_EQ(Sc({"interrogate", kName}).exitCode, 0);
  ASSERT_EQ(Sc({"stop", kName}).exitCode, 0);

  std::string output = ServiceOutput();
  EXPECT_TRUE(Contains(output, "self-control error=1053\n")) << output;
  EXPECT_EQ(CountOccurrences(output, "control 128"), 0) << "the abandoned control was delivered late:\n" << output;
}

TEST_F(ScmTest, ServiceThatStopsAtStartStartsSuccessfullyWithItsExitCode) {
  CreateTestService();
  ToolRun start = Sc({"start", kName, "stop-at-start=5", "extra"});
  EXPECT_EQ(start.exitCode, 0) << start.output;
  EXPECT_TRUE(Contains(start.output, "STATE              : 1  STOPPED\n")) << start.output;
  EXPECT_TRUE(Contains(start.output, "WIN32_EXIT_CODE    : 5  (0x5)\n")) << start.output;
  EXPECT_TRUE(Contains(ServiceOutput(), "argc=3")) << "start arguments reach the service main";
}

TEST_F(ScmTest, ProcessEndingWithoutReportingIsRecordedAsAborted) {
  CreateTestService();
  ToolRun start = Sc({"start", kName, "exit-at-start"});
  EXPECT_EQ(start.exitCode, ExitCodeOf(ERROR_PROCESS_ABORTED));
  EXPECT_EQ(start.output, "[SC] StartService FAILED 1067:\n\nThe process terminated unexpectedly.\n\n");
  ToolRun query = Sc({"query", kName});
  EXPECT_TRUE(Contains(query.output, "STATE              : 1  STOPPED\n")) << query.output;
  EXPECT_TRUE(Contains(query.output, "WIN32_EXIT_CODE    : 1067  (0x42b)\n")) << query.output;
  std::vector<Fields> reports = ReadReports(machine_, kName);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back()["origin"], "manager");
}

TEST_F(ScmTest, ProcessThatNeverConnectsIsEndedAfterTheTimeOut) {
  ASSERT_EQ(Sc({"create", kName, "binPath=", "/bin/sleep 30"}).exitCode, 0);
  ToolRun start = Sc({"start", kName}, kShortTimeout);
  EXPECT_EQ(start.exitCode, ExitCodeOf(ERROR_SERVICE_REQUEST_TIMEOUT)) << start.output;
  std::vector<Fields> reports = ReadReports(machine_, kName);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1]["state"], "1");
  EXPECT_EQ(reports[1]["exit"], "1053");
  EXPECT_TRUE(ProcessGone(static_cast<DWORD>(std::stoul(reports[0]["pid"]))));
}

TEST_F(ScmTest, MissingExecutableFailsTheStart) {
  ASSERT_EQ(Sc({"create", kName, "binPath=", (machine_.Root() / "no-such-service").string()}).exitCode, 0);
  ToolRun start = Sc({"start", kName});
  EXPECT_EQ(start.exitCode, ExitCodeOf(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(start.output, "[SC] StartService FAILED 2:\n\nThe system cannot find the file specified.\n\n");
  EXPECT_TRUE(Contains(Sc({"query", kName}).output, "STATE              : 1  STOPPED"));
}

TEST_F(ScmTest, RunningServiceCannotBeStartedAgainAndIsDeletedOnceStopped) {
  CreateTestService();
  ASSERT_EQ(Sc({"start", kName}).exitCode, 0);
  ToolRun again = Sc({"start", kName});
  EXPECT_EQ(again.exitCode, ExitCodeOf(ERROR_SERVICE_ALREADY_RUNNING));
  EXPECT_TRUE(Contains(again.output, "[SC] StartService FAILED 1056:")) << again.output;

  EXPECT_EQ(Sc({"delete", kName}).output, "[SC] DeleteService SUCCESS\n");
  EXPECT_EQ(Sc({"create", kName, "binPath=", TARN_SCM_TEST_SERVICE}).exitCode,
            ExitCodeOf(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_TRUE(Contains(Sc({"query", kName}).output, "STATE              : 4  RUNNING")) << "still running";
  ASSERT_EQ(Sc({"stop", kName}).exitCode, 0);
  EXPECT_EQ(Sc({"query", kName}).exitCode, ExitCodeOf(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ScmTest, ServiceRefusesInvalidReports) {
  CreateTestService();
  ASSERT_EQ(Sc({"start", kName, "check-reports"}).exitCode, 0);
  ASSERT_EQ(Sc({"stop", kName}).exitCode, 0);
  std::string output = ServiceOutput();
  EXPECT_TRUE(Contains(output, "null-handle error=6\n")) << output;
  EXPECT_TRUE(Contains(output, "bad-state error=13\n")) << output;
  for (const Fields& report : ReadReports(machine_, kName)) EXPECT_NE(report.at("state"), "0");
}

TEST_F(ScmTest, ConcurrentControlsAreAllDeliveredOneAtATime) {
  CreateTestService();
  ASSERT_EQ(Sc({"start", kName}).exitCode, 0);
  constexpr int kThreads = 4;
  constexpr int kControlsEach = 25;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([this, t, &failures] {
      ServiceHandle service = OpenTestService(SERVICE_USER_DEFINED_CONTROL);
      for (int i = 0; i < kControlsEach; ++i) {
        SERVICE_STATUS status{};
        if (!service || !ControlService(service.get(), 128, &status)) ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& client : clients) client.join();
  for (int failed : failures) EXPECT_EQ(failed, 0);
  ASSERT_EQ(Sc({"stop", kName}).exitCode, 0);
  EXPECT_EQ(CountOccurrences(ServiceOutput(), "control 128\n"), kThreads * kControlsEach);
}

TEST_F(ScmTest, StartsFromSeveralThreadsStartEachServiceOnce) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  const std::wstring names[] = {L"First", L"Second"};
  const std::wstring binaryPath = std::filesystem::path(TARN_SCM_TEST_SERVICE).wstring();
  for (const auto& name : names) {
    ASSERT_TRUE(ServiceHandle(CreateServiceW(manager.get(), name.c_str(), nullptr, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)));
  }
  // Two threads race to start each service; the process-starting code runs in
  // this multi-threaded process.
  std::vector<DWORD> results(4, 0xFFFFFFFF);
  std::vector<std::thread> starters;
  for (std::size_t i = 0; i < results.size(); ++i) {
    starters.emplace_back([&, i] {
      ServiceHandle service(OpenServiceW(manager.get(), names[i % 2].c_str(), SERVICE_START));
      results[i] = service && StartServiceW(service.get(), 0, nullptr) ? ERROR_SUCCESS : GetLastError();
    });
  }
  for (auto& starter : starters) starter.join();
  for (std::size_t which = 0; which < 2; ++which) {
    std::vector<DWORD> mine{results[which], results[which + 2]};
    EXPECT_EQ(std::count(mine.begin(), mine.end(), static_cast<DWORD>(ERROR_SUCCESS)), 1);
    EXPECT_EQ(std::count(mine.begin(), mine.end(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING)), 1);

    ServiceHandle service(OpenServiceW(manager.get(), names[which].c_str(), SERVICE_ALL_ACCESS));
    KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, ProcessOf(service.get())));
    ASSERT_TRUE(process);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(WaitForSingleObject(process.get(), kGateTimeoutMs), WAIT_OBJECT_0);
  }
  EXPECT_TRUE(Contains(ReadServiceOutput(machine_, "Second"), "main argv0=Second argc=1\n"));
}

TEST_F(ScmTest, SystemControlsReachOnlyServicesThatAcceptThem) {
  CreateTestService();
  ASSERT_EQ(Sc({"start", kName}).exitCode, 0);
  ServiceHandle service = OpenTestService(SERVICE_ALL_ACCESS);
  ASSERT_TRUE(service);
  KernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, ProcessOf(service.get())));
  ASSERT_TRUE(process);

  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(service.get(), SERVICE_CONTROL_PRESHUTDOWN, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "only the system sends pre-shutdown";
  EXPECT_EQ(tarn::sim::SendSystemControl(kWideName, SERVICE_CONTROL_SESSIONCHANGE, 0, &status),
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(tarn::sim::SendSystemControl(L"tarntestsvc", SERVICE_CONTROL_PRESHUTDOWN, 0, &status),
            static_cast<DWORD>(ERROR_SUCCESS));
  // The status after the control: stop-pending, or already stopped when the
  // service main was quicker than the reply.
  EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED)
      << status.dwCurrentState;
  EXPECT_EQ(WaitForSingleObject(process.get(), kGateTimeoutMs), WAIT_OBJECT_0);
  EXPECT_TRUE(Contains(ServiceOutput(), "control 15\n"));
}

TEST_F(ScmTest, MachineOptionChoosesTheMachineFolder) {
  std::filesystem::path other = machine_.Root() / "other-machine";
  std::filesystem::create_directory(other);
  ToolRun created = Sc({"--machine", other.string(), "create", kName, "binPath=", TARN_SCM_TEST_SERVICE});
  ASSERT_EQ(created.exitCode, 0) << created.output;
  EXPECT_EQ(Sc({"query", kName}).exitCode, ExitCodeOf(ERROR_SERVICE_DOES_NOT_EXIST));
  ToolRun there = Sc({"--machine=" + other.string(), "query", kName});
  EXPECT_TRUE(Contains(there.output, "STATE              : 1  STOPPED")) << there.output;
}

TEST_F(ScmTest, ManagerFunctionsFollowWindowsRules) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  auto create = [&](LPCWSTR name, DWORD startType) {
    return ServiceHandle(CreateServiceW(manager.get(), name, nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        startType, SERVICE_ERROR_NORMAL, L"/bin/true", nullptr, nullptr, nullptr,
                                        nullptr, nullptr));
  };

  EXPECT_FALSE(OpenServiceW(manager.get(), L"NoSuchService", SERVICE_QUERY_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_FALSE(create(L"a/b", SERVICE_DEMAND_START));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  ASSERT_TRUE(create(L"ApiSvc", SERVICE_DEMAND_START));
  EXPECT_FALSE(create(L"apisvc", SERVICE_DEMAND_START));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

  ServiceHandle queryOnly(OpenServiceW(manager.get(), L"APISVC", SERVICE_QUERY_STATUS));
  ASSERT_TRUE(queryOnly) << "names match without regard to case";
  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(queryOnly.get(), SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(StartServiceW(queryOnly.get(), 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ServiceHandle all(OpenServiceW(manager.get(), L"ApiSvc", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(all);
  EXPECT_FALSE(ControlService(all.get(), SERVICE_CONTROL_SHUTDOWN, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  status = SERVICE_STATUS{};
  EXPECT_FALSE(ControlService(all.get(), 128, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED) << "the status comes with ERROR_SERVICE_NOT_ACTIVE";

  SERVICE_STATUS_PROCESS process{};
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceStatusEx(all.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                    sizeof(process) - 1, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));

  ASSERT_TRUE(create(L"DisabledSvc", SERVICE_DISABLED));
  ServiceHandle disabled(OpenServiceW(manager.get(), L"DisabledSvc", SERVICE_START));
  EXPECT_FALSE(StartServiceW(disabled.get(), 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));

  ServiceHandle connectOnly(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_FALSE(CreateServiceW(connectOnly.get(), L"Other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"/bin/true", nullptr, nullptr, nullptr,
                              nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(OpenSCManagerW(nullptr, L"NoSuchDatabase", SC_MANAGER_CONNECT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST_F(ScmTest, HandlesOfEachKindAreClosedOnlyOnce) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_FALSE(CloseServiceHandle(manager));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_FALSE(CloseServiceHandle(reinterpret_cast<SC_HANDLE>(event.get())));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the event is still open";

  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
  EXPECT_FALSE(SetServiceStatus(nullptr, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(RegisterServiceCtrlHandlerExW(
                L"Anything", [](DWORD, DWORD, LPVOID, LPVOID) -> DWORD { return 0; }, nullptr),
            nullptr)
      << "no service main runs in this process";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
}

}  // namespace
}  // namespace tarn::test
