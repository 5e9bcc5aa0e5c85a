// The service host over a mocked platform layer: status sequences, control
// routing, the stop loop and failure paths. Events are real, so the host's
// threads synchronise exactly as they do in service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CDefaultServiceNameGenerator.h"
#include "CService.h"
#include "debug_trace.h"
#include "mock_win32_api.h"

using Corvessan::Orwe::CService;
using Corvessan::Orwe::IServiceImplement;
using Corvessan::Orwe::IServiceNameGenerator;
using testing::_;
using testing::Invoke;
using testing::NiceMock;
using testing::Return;

namespace {

SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);

// A service implementation whose behaviour each test sets.
class FakeService : public IServiceImplement {
 public:
  DWORD initializeResult = NO_ERROR;
  DWORD initializeExitCode = 0;
  DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
  DWORD runResult = NO_ERROR;
  bool runThrows = false;
  bool handleThrows = false;
  DWORD handleResult = NO_ERROR;
  DWORD checkPointOnStop = 0;
  // Clears the start's exit codes at every control, as a service does whose
  // failed start a retry has completed.
  bool startSucceededSince = false;
  std::atomic<int> runCalls{0};

  // Run blocks until this is released (if `blockRun` is set).
  bool blockRun = false;
  std::promise<void> releaseRun;
  std::shared_future<void> runReleased = releaseRun.get_future().share();

  // HandleControl of this control (if not 0) waits, up to a limit, until released.
  DWORD blockedControl = 0;
  std::atomic<bool> insideBlockedControl{false};
  std::promise<void> blockedControlEntered;
  std::promise<void> releaseControl;

  DWORD Initialize(DWORD* exitCode) override {
    *exitCode = initializeExitCode;
    return initializeResult;
  }
  DWORD GetControlsAccepted() override { return controlsAccepted; }
  DWORD HandleControl(DWORD control, DWORD, LPVOID, SERVICE_STATUS* status) override {
    if (handleThrows) throw std::runtime_error("control failed");
    if (control == blockedControl && blockedControl != 0) {
      insideBlockedControl = true;
      blockedControlEntered.set_value();
      releaseControl.get_future().wait_for(std::chrono::seconds(5));
      insideBlockedControl = false;
    }
    if (startSucceededSince && status->dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
      status->dwWin32ExitCode = NO_ERROR;
      status->dwServiceSpecificExitCode = 0;
    }
    if (control == SERVICE_CONTROL_STOP) {
      status->dwCurrentState = SERVICE_STOP_PENDING;
      status->dwCheckPoint = checkPointOnStop;
      status->dwWaitHint = 0;
    }
    return handleResult;
  }
  DWORD Run(HANDLE, SERVICE_STATUS_HANDLE) override {
    ++runCalls;
    if (blockRun) runReleased.wait();
    if (runThrows) throw std::runtime_error("run failed");
    return runResult;
  }
};

class FixedName : public IServiceNameGenerator {
 public:
  explicit FixedName(std::wstring name) : _name(std::move(name)) {}
  std::wstring GetServiceName(int, LPWSTR*) override { return _name; }

 private:
  std::wstring _name;
};

// Drives a host as the service control manager would: the service main on a
// thread of its own, controls from the test thread.
class ServiceHostTest : public testing::Test {
 protected:
  void SetUp() override {
    ON_CALL(win32, CreateEventW(_, _, _, _))
        .WillByDefault(Invoke([](LPSECURITY_ATTRIBUTES attributes, BOOL manual, BOOL initial, LPCWSTR name) {
          return ::CreateEventW(attributes, manual, initial, name);
        }));
    ON_CALL(win32, SetEvent(_)).WillByDefault(Invoke([](HANDLE event) { return ::SetEvent(event); }));
    ON_CALL(win32, WaitForSingleObject(_, _)).WillByDefault(Invoke([](HANDLE handle, DWORD timeout) {
      return ::WaitForSingleObject(handle, timeout);
    }));
    ON_CALL(win32, RegisterServiceCtrlHandlerExW(_, _, _))
        .WillByDefault(Invoke([this](LPCWSTR, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
          std::lock_guard<std::mutex> guard(lock);
          handlerRoutine = handler;
          handlerContext = context;
          return kStatusHandle;
        }));
    ON_CALL(win32, SetServiceStatus(_, _)).WillByDefault(Invoke([this](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS s) {
      {
        std::lock_guard<std::mutex> guard(lock);
        reports.push_back(*s);
      }
      reported.notify_all();
      return TRUE;
    }));
    ON_CALL(win32, StartServiceCtrlDispatcherW(_)).WillByDefault(Return(TRUE));
  }

  void TearDown() override {
    if (serviceMain.joinable()) serviceMain.join();
    SetTraceEnabled(false);
    SetTraceToStderr(false);
  }

  void RegisterService(const std::wstring& name = L"TarnSvc") {
    host.Register(name, service);
    host.SetNameGenerator(std::make_shared<FixedName>(name));
  }

  // StartDispatcher creates the stop events; the fake dispatcher then returns.
  void StartService() {
    ASSERT_EQ(host.StartDispatcher(), static_cast<DWORD>(NO_ERROR));
    serviceMain = std::thread([this] {
      wchar_t name[] = L"TarnSvc";
      LPWSTR argv[] = {name, nullptr};
      host.RunServiceMain(1, argv);
    });
  }

  // Waits until `count` reports have been made (or fails after a generous limit).
  std::vector<SERVICE_STATUS> WaitForReports(std::size_t count) {
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(reported.wait_for(guard, std::chrono::seconds(10), [&] { return reports.size() >= count; }))
        << "only " << reports.size() << " reports";
    return reports;
  }

  DWORD SendControl(DWORD control) {
    LPVOID context;
    {
      std::lock_guard<std::mutex> guard(lock);
      context = handlerContext;
    }
    return host.RouteControl(control, 0, nullptr, context);
  }

  void StopAndJoin() {
    SendControl(SERVICE_CONTROL_STOP);
    serviceMain.join();
  }

  // Starts a service whose Run is busy through the stop loop's first
  // `busyWaits` waits for the worker (each a half wait hint that passes, after
  // `duringWait` of its number), stops it and returns the reports: running,
  // the stop's, then one per check point and the stopped one.
  std::vector<SERVICE_STATUS> StopWhileRunIsBusy(int busyWaits, const std::function<void(int)>& duringWait) {
    service->blockRun = true;
    RegisterService();
    int workerWaits = 0;
    ON_CALL(win32, WaitForSingleObject(_, 10000u)).WillByDefault(Invoke([&](HANDLE handle, DWORD) -> DWORD {
      if (++workerWaits <= busyWaits) {
        duringWait(workerWaits);
        return WAIT_TIMEOUT;
      }
      service->releaseRun.set_value();
      return ::WaitForSingleObject(handle, INFINITE);
    }));
    StartService();
    WaitForReports(1);
    StopAndJoin();
    EXPECT_EQ(workerWaits, busyWaits + 1);
    return WaitForReports(4 + static_cast<std::size_t>(busyWaits));
  }

  NiceMock<MockWin32Api> win32;
  CService host{win32};
  std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
  std::thread serviceMain;

  std::mutex lock;
  std::condition_variable reported;
  std::vector<SERVICE_STATUS> reports;
  LPHANDLER_FUNCTION_EX handlerRoutine = nullptr;
  LPVOID handlerContext = nullptr;
};

MATCHER_P4(StatusIs, state, checkPoint, waitHint, exitCodes, "") {
  return arg.dwCurrentState == static_cast<DWORD>(state) && arg.dwCheckPoint == static_cast<DWORD>(checkPoint) &&
         arg.dwWaitHint == static_cast<DWORD>(waitHint) && arg.dwWin32ExitCode == static_cast<DWORD>(exitCodes.first) &&
         arg.dwServiceSpecificExitCode == static_cast<DWORD>(exitCodes.second);
}
const std::pair<DWORD, DWORD> kNoError{0, 0};

TEST_F(ServiceHostTest, DispatcherGetsOneTableEntryPerServiceAndOneStopEventEach) {
  RegisterService();
  std::vector<std::wstring> names;
  bool routinesAreServiceMain = true;
  EXPECT_CALL(win32, StartServiceCtrlDispatcherW(_)).WillOnce(Invoke([&](const SERVICE_TABLE_ENTRYW* table) {
    for (; table->lpServiceName != nullptr; ++table) {
      names.emplace_back(table->lpServiceName);
      routinesAreServiceMain &= table->lpServiceProc == &CService::ServiceMain;
    }
    return table->lpServiceProc == nullptr ? TRUE : FALSE;
  }));
  EXPECT_CALL(win32, CreateEventW(nullptr, TRUE, FALSE, nullptr)).Times(1);
  EXPECT_EQ(host.StartDispatcher(), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(names, std::vector<std::wstring>{L"TarnSvc"});
  EXPECT_TRUE(routinesAreServiceMain);
}

TEST_F(ServiceHostTest, DispatcherWithoutRegistrationIsInvalidAndCreatesNothing) {
  EXPECT_CALL(win32, CreateEventW(_, _, _, _)).Times(0);
  EXPECT_CALL(win32, StartServiceCtrlDispatcherW(_)).Times(0);
  EXPECT_EQ(host.StartDispatcher(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ServiceHostTest, DispatcherFailureIsTracedAndReturned) {
  RegisterService();
  EXPECT_CALL(win32, StartServiceCtrlDispatcherW(_)).WillOnce(Invoke([](const SERVICE_TABLE_ENTRYW*) {
    ::SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }));
  SetTraceEnabled(true);
  SetTraceToStderr(true);
  testing::internal::CaptureStderr();
  const DWORD result = host.StartDispatcher();
  const std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  EXPECT_THAT(trace, testing::HasSubstr("[QorLog] "));
  EXPECT_THAT(trace, testing::HasSubstr(" StartServiceCtrlDispatcherW failed.\n"));
  EXPECT_THAT(trace, testing::HasSubstr(" errorcode=0x427(1063), "));
}

TEST_F(ServiceHostTest, RegisteringANameAgainKeepsOnlyTheLastImplementation) {
  auto first = std::make_shared<FakeService>();
  std::weak_ptr<FakeService> firstAlive = first;
  host.Register(L"TarnSvc", first);
  first.reset();
  ASSERT_FALSE(firstAlive.expired());
  RegisterService();  // the fixture's `service`, under the same name
  EXPECT_TRUE(firstAlive.expired());

  StartService();
  WaitForReports(1);
  StopAndJoin();
  EXPECT_EQ(service->runCalls.load(), 1);
}

TEST_F(ServiceHostTest, ServiceTypeIsOwnProcessForOneServiceAndShareProcessForTwo) {
  RegisterService();
  StartService();
  EXPECT_EQ(WaitForReports(1)[0].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  StopAndJoin();

  NiceMock<MockWin32Api> otherWin32;
  ON_CALL(otherWin32, RegisterServiceCtrlHandlerExW(_, _, _)).WillByDefault(Return(kStatusHandle));
  SERVICE_STATUS first{};
  ON_CALL(otherWin32, SetServiceStatus(_, _)).WillByDefault(Invoke([&](SERVICE_STATUS_HANDLE, LPSERVICE_STATUS s) {
    first = *s;
    return FALSE;  // a failed running report ends the service main at once
  }));
  CService shared(otherWin32);
  shared.Register(L"TarnSvc", std::make_shared<FakeService>());
  shared.Register(L"Other", std::make_shared<FakeService>());
  shared.SetNameGenerator(std::make_shared<FixedName>(L"Other"));
  shared.RunServiceMain(0, nullptr);
  EXPECT_EQ(first.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS));
  EXPECT_EQ(first.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceHostTest, StopReportsHandlerStatusThenCheckPointThenStopped) {
  service->controlsAccepted = 0x5C1;
  RegisterService();
  StartService();
  WaitForReports(1);
  EXPECT_EQ(SendControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(NO_ERROR));
  serviceMain.join();

  auto all = WaitForReports(4);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_THAT(all[0], StatusIs(SERVICE_RUNNING, 0, 0, kNoError));
  EXPECT_THAT(all[1], StatusIs(SERVICE_STOP_PENDING, 0, 0, kNoError));  // as the handler left it
  EXPECT_THAT(all[2], StatusIs(SERVICE_STOP_PENDING, 1, 20000, kNoError));
  EXPECT_THAT(all[3], StatusIs(SERVICE_STOPPED, 0, 0, kNoError));
  for (const auto& report : all) EXPECT_EQ(report.dwControlsAccepted, 0x5C1u);
}

TEST_F(ServiceHostTest, CheckPointContinuesFromWhatTheHandlerLeft) {
  service->checkPointOnStop = 5;
  RegisterService();
  StartService();
  WaitForReports(1);
  StopAndJoin();
  EXPECT_THAT(WaitForReports(4)[2], StatusIs(SERVICE_STOP_PENDING, 6, 20000, kNoError));
}

TEST_F(ServiceHostTest, SlowWorkerGetsARisingCheckPointPerHalfWaitHint) {
  // Two half-hints pass with the worker busy.
  auto all = StopWhileRunIsBusy(2, [](int) {});
  ASSERT_EQ(all.size(), 6u);
  EXPECT_THAT(all[2], StatusIs(SERVICE_STOP_PENDING, 1, 20000, kNoError));
  EXPECT_THAT(all[3], StatusIs(SERVICE_STOP_PENDING, 2, 20000, kNoError));
  EXPECT_THAT(all[4], StatusIs(SERVICE_STOP_PENDING, 3, 20000, kNoError));
  EXPECT_THAT(all[5], StatusIs(SERVICE_STOPPED, 0, 0, kNoError));
}

// A control that takes its time (a slow sampling cycle) while the service main
// waits for the worker: the check points go on meanwhile.
TEST_F(ServiceHostTest, ASlowControlHoldsUpNoCheckPoint) {
  service->blockRun = true;
  service->blockedControl = 128;
  RegisterService();
  std::thread slowControl;
  bool checkPointMadeDuringTheControl = false;
  int workerWaits = 0;
  ON_CALL(win32, WaitForSingleObject(_, 10000u)).WillByDefault(Invoke([&](HANDLE handle, DWORD) -> DWORD {
    if (++workerWaits == 1) {
      slowControl = std::thread([this] { SendControl(128); });
      service->blockedControlEntered.get_future().wait();
      return WAIT_TIMEOUT;
    }
    // Check point 2 has been reported by now.
    checkPointMadeDuringTheControl = service->insideBlockedControl.load();
    service->releaseControl.set_value();
    slowControl.join();  // its report comes before the worker ends
    service->releaseRun.set_value();
    return ::WaitForSingleObject(handle, INFINITE);
  }));
  StartService();
  WaitForReports(1);
  StopAndJoin();

  EXPECT_TRUE(checkPointMadeDuringTheControl) << "the check point waited for the control";
  auto all = WaitForReports(6);
  ASSERT_EQ(all.size(), 6u);
  EXPECT_THAT(all[3], StatusIs(SERVICE_STOP_PENDING, 2, 20000, kNoError));
  EXPECT_THAT(all[4], StatusIs(SERVICE_STOP_PENDING, 2, 20000, kNoError))
      << "the control's report keeps the check point";
  EXPECT_THAT(all[5], StatusIs(SERVICE_STOPPED, 0, 0, kNoError));
}

// A stop while the service main counts its check points (a start still under
// way): the count goes on instead of starting again from the handler's 0.
TEST_F(ServiceHostTest, ASecondStopLeavesTheCheckPointsRising) {
  auto all = StopWhileRunIsBusy(1, [this](int) { SendControl(SERVICE_CONTROL_STOP); });
  ASSERT_EQ(all.size(), 6u);
  EXPECT_THAT(all[2], StatusIs(SERVICE_STOP_PENDING, 1, 20000, kNoError));
  EXPECT_THAT(all[3], StatusIs(SERVICE_STOP_PENDING, 1, 20000, kNoError)) << "the second stop reset the check point";
  EXPECT_THAT(all[4], StatusIs(SERVICE_STOP_PENDING, 2, 20000, kNoError));
  EXPECT_THAT(all[5], StatusIs(SERVICE_STOPPED, 0, 0, kNoError));
}

// Run's failure ends while a control is being handled whose handler knows the
// start has succeeded since: that control's report must not carry the stale
// 1066, nor any report after it.
TEST_F(ServiceHostTest, ARunFailureThatAHandlerKnowsToBeOverIsNeverReported) {
  service->blockRun = true;
  service->runResult = 5;
  service->blockedControl = 128;
  service->startSucceededSince = true;
  RegisterService();
  std::promise<void> workerFinished;
  int created = 0;
  HANDLE stopEvent = nullptr;
  ON_CALL(win32, CreateEventW(_, _, _, _))
      .WillByDefault(Invoke([&](LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCWSTR name) {
        HANDLE event = ::CreateEventW(a, manual, initial, name);
        if (created++ == 0) stopEvent = event;
        return event;
      }));
  ON_CALL(win32, SetEvent(_)).WillByDefault(Invoke([&](HANDLE event) {
    if (event != stopEvent) workerFinished.set_value();  // the worker's last act
    return ::SetEvent(event);
  }));
  StartService();
  WaitForReports(1);
  std::thread slowControl([this] { SendControl(128); });
  service->blockedControlEntered.get_future().wait();
  service->releaseRun.set_value();
  workerFinished.get_future().wait();
  service->releaseControl.set_value();
  slowControl.join();
  StopAndJoin();

  for (const auto& report : WaitForReports(5))
    EXPECT_NE(report.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR)) << "a stale 1066 was reported";
}

TEST_F(ServiceHostTest, ControlResultsReachTheManagerAndEveryControlIsReported) {
  RegisterService();
  StartService();
  WaitForReports(1);

  service->handleResult = ERROR_CALL_NOT_IMPLEMENTED;
  EXPECT_EQ(SendControl(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  service->handleResult = 5;
  EXPECT_EQ(SendControl(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(WaitForReports(3).size(), 3u);

  service->handleResult = NO_ERROR;
  StopAndJoin();
}

TEST_F(ServiceHostTest, FailedRunKeepsTheServiceRunningAndEndsWithItsCode) {
  service->runResult = 5;
  RegisterService();
  StartService();
  WaitForReports(1);
  while (service->runCalls.load() == 0) std::this_thread::yield();
  EXPECT_EQ(SendControl(SERVICE_CONTROL_INTERROGATE), static_cast<DWORD>(NO_ERROR));
  StopAndJoin();

  auto all = WaitForReports(5);
  EXPECT_EQ(all[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_THAT(all.back(), StatusIs(SERVICE_STOPPED, 0, 0, std::make_pair(1066u, 5u)));
}

TEST_F(ServiceHostTest, FailedInitializeReportsStoppedWithItsCodesAndRunsNothing) {
  service->initializeResult = ERROR_SERVICE_SPECIFIC_ERROR;
  service->initializeExitCode = 7;
  RegisterService();
  StartService();
  serviceMain.join();
  auto all = WaitForReports(1);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_THAT(all[0], StatusIs(SERVICE_STOPPED, 0, 0, std::make_pair(1066u, 7u)));
  EXPECT_EQ(service->runCalls.load(), 0);
}

TEST_F(ServiceHostTest, FailedHandlerRegistrationReportsNothing) {
  RegisterService();
  EXPECT_CALL(win32, RegisterServiceCtrlHandlerExW(_, _, _)).WillOnce(Return(nullptr));
  EXPECT_CALL(win32, SetServiceStatus(_, _)).Times(0);
  StartService();
  serviceMain.join();
  EXPECT_EQ(service->runCalls.load(), 0);
}

TEST_F(ServiceHostTest, FailedRunningReportStartsNoWorker) {
  RegisterService();
  EXPECT_CALL(win32, SetServiceStatus(_, _)).WillOnce(Return(FALSE));
  StartService();
  serviceMain.join();
  EXPECT_EQ(service->runCalls.load(), 0);
}

TEST_F(ServiceHostTest, UnknownNameIsTracedAsNullAndTheStartIsRejected) {
  host.Register(L"TarnSvc", service);
  host.SetNameGenerator(std::make_shared<FixedName>(L""));
  ASSERT_EQ(host.StartDispatcher(), static_cast<DWORD>(NO_ERROR));
  SetTraceEnabled(true);
  SetTraceToStderr(true);
  testing::internal::CaptureStderr();
  wchar_t name[] = L"Unknown";
  LPWSTR argv[] = {name, nullptr};
  host.RunServiceMain(1, argv);
  const std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_THAT(trace, testing::HasSubstr("No implementation found for (null)"));
  auto all = WaitForReports(1);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_THAT(all[0], StatusIs(SERVICE_STOPPED, 0, 0, std::make_pair(1083u, 0u)));
  EXPECT_EQ(service->runCalls.load(), 0);
}

TEST_F(ServiceHostTest, ExceptionsInTheCallbacksNeverLeaveThem) {
  service->runThrows = true;
  RegisterService();
  StartService();
  WaitForReports(1);
  while (service->runCalls.load() == 0) std::this_thread::yield();

  service->handleThrows = true;
  EXPECT_EQ(SendControl(128), static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE));
  EXPECT_EQ(WaitForReports(2).size(), 2u);  // reported all the same
  EXPECT_EQ(host.RouteControl(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));

  service->handleThrows = false;
  StopAndJoin();
  EXPECT_THAT(WaitForReports(5).back(),
              StatusIs(SERVICE_STOPPED, 0, 0, std::make_pair(static_cast<DWORD>(ERROR_EXCEPTION_IN_SERVICE), 0u)));
}

TEST_F(ServiceHostTest, FailedStopWaitReportsStoppedAtOnceWithoutWaitingForTheWorker) {
  service->blockRun = true;
  RegisterService();
  std::promise<void> workerFinished;
  HANDLE stopEvent = nullptr;
  int created = 0;
  ON_CALL(win32, CreateEventW(_, _, _, _))
      .WillByDefault(Invoke([&](LPSECURITY_ATTRIBUTES a, BOOL manual, BOOL initial, LPCWSTR name) {
        HANDLE event = ::CreateEventW(a, manual, initial, name);
        if (created++ == 0) stopEvent = event;
        return event;
      }));
  ON_CALL(win32, WaitForSingleObject(_, INFINITE)).WillByDefault(Invoke([&](HANDLE handle, DWORD timeout) -> DWORD {
    if (handle == stopEvent) return WAIT_FAILED;
    return ::WaitForSingleObject(handle, timeout);
  }));
  ON_CALL(win32, SetEvent(_)).WillByDefault(Invoke([&](HANDLE event) {
    if (event != stopEvent) workerFinished.set_value();  // the worker's last act
    return ::SetEvent(event);
  }));
  StartService();
  serviceMain.join();  // returns although Run is still blocked

  auto all = WaitForReports(2);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_THAT(all[1], StatusIs(SERVICE_STOPPED, 0, 0, kNoError));

  service->releaseRun.set_value();
  workerFinished.get_future().wait();
}

TEST(DefaultServiceNameGenerator, TakesTheFirstArgumentOrNothing) {
  Corvessan::Orwe::CDefaultServiceNameGenerator generator;
  wchar_t name[] = L"TarnSvc";
  LPWSTR argv[] = {name, nullptr};
  EXPECT_EQ(generator.GetServiceName(1, argv), L"TarnSvc");
  EXPECT_EQ(generator.GetServiceName(0, argv), L"");
  EXPECT_EQ(generator.GetServiceName(-1, argv), L"");
}

}  // namespace
