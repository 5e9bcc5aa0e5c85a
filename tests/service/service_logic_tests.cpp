// The service's control table, row layout and stop handling that need no
// simulated machine; these also run under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "QorLogService.h"
#include "debug_trace.h"
#include "interval_timers.h"

namespace {

using qorlogsvc::model::service::BuildRow;
using qorlogsvc::model::service::QorLogService;
using qorlogsvc::model::service::TickGate;

DeviceEntry Entry(std::uint8_t id, std::uint64_t reading0, std::uint64_t reading1) {
  DeviceEntry entry;
  entry.componentId = id;
  entry.reading0 = reading0;
  entry.reading1 = reading1;
  return entry;
}

TEST(BuildRow, OneEntryIsIdThenSecondReadingThenFirstWithoutTrailingComma) {
  DriverChannel::DeviceMap devices;
  devices.emplace(L"\\\\?\\a", Entry(3, 0x1F4, 0));
  EXPECT_EQ(BuildRow(devices), L"03,0000000000000000,00000000000001f4");
}

TEST(BuildRow, EntriesFollowPathOrderWhateverTheirIds) {
  DriverChannel::DeviceMap devices;
  devices.emplace(L"\\\\?\\b", Entry(1, 1, 2));
  devices.emplace(L"\\\\?\\a", Entry(22, 0xFFFFFFFFFFFFFFFFull, 0xABCDEFull));
  devices.emplace(L"\\\\?\\c", Entry(255, 0, 0));
  EXPECT_EQ(BuildRow(devices),
            L"16,0000000000abcdef,ffffffffffffffff,"
            L"01,0000000000000002,0000000000000001,"
            L"ff,0000000000000000,0000000000000000");
}

TEST(BuildRow, NoEntryGivesAnEmptyRow) { EXPECT_EQ(BuildRow({}), L""); }

class ServiceControlTest : public testing::Test {
 protected:
  void TearDown() override {
    SetTraceEnabled(false);
    SetTraceToStderr(false);
  }

  // The control's result, and what the trace wrote meanwhile.
  std::pair<DWORD, std::string> Control(DWORD control, SERVICE_STATUS& status) {
    SetTraceEnabled(true);
    SetTraceToStderr(true);
    testing::internal::CaptureStderr();
    DWORD result = service.HandleControl(control, 0, nullptr, &status);
    return {result, testing::internal::GetCapturedStderr()};
  }

  QorLogService service;
};

TEST_F(ServiceControlTest, StartsWithNothingToReportAndAcceptsItsControls) {
  DWORD exitCode = 99;
  EXPECT_EQ(service.Initialize(&exitCode), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(service.GetControlsAccepted(), 0x5C1u);
  EXPECT_EQ(service.GetServiceName(0, nullptr), L"TarnSvc");
}

TEST_F(ServiceControlTest, UnhandledControlsAreNotImplementedAndNotTraced) {
  for (DWORD control : std::initializer_list<DWORD>{SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_SHUTDOWN,
                                                    SERVICE_CONTROL_TRIGGEREVENT, SERVICE_CONTROL_PARAMCHANGE, 130}) {
    SERVICE_STATUS status{};
    auto [result, trace] = Control(control, status);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << control;
    EXPECT_EQ(trace, "") << control;
  }
}

TEST_F(ServiceControlTest, HandledControlsAreTracedByName) {
  SERVICE_STATUS status{};
  status.dwCurrentState = SERVICE_RUNNING;
  for (auto [control, name] : std::initializer_list<std::pair<DWORD, const char*>>{
           {SERVICE_CONTROL_INTERROGATE, "SERVICE_CONTROL_INTERROGATE\n\n"},
           {SERVICE_CONTROL_POWEREVENT, "SERVICE_CONTROL_POWEREVENT\n\n"},
           {SERVICE_CONTROL_SESSIONCHANGE, "SERVICE_CONTROL_SESSIONCHANGE\n\n"},
           {128, "SERVICE_CONTROL_LOG_TIMER\n\n"},
           {129, "SERVICE_CONTROL_UPLOADLOG_TIMER\n\n"}}) {
    auto [result, trace] = Control(control, status);
    EXPECT_EQ(result, static_cast<DWORD>(NO_ERROR));
    ASSERT_GE(trace.size(), std::string(name).size());
    EXPECT_EQ(trace.substr(trace.size() - std::string(name).size()), name);
  }
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));  // none of them changes the state
}

TEST_F(ServiceControlTest, StopAndPreShutdownBeforeRunOnlyMakeTheRecordStopPending) {
  for (DWORD control : std::initializer_list<DWORD>{SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN}) {
    QorLogService fresh;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x5C1, 5, 6, 7, 8};
    EXPECT_EQ(fresh.HandleControl(control, 0, nullptr, &status), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 0u);
    EXPECT_EQ(status.dwWin32ExitCode, 5u);  // the rest as it stood
    EXPECT_EQ(status.dwServiceSpecificExitCode, 6u);
    EXPECT_EQ(fresh.LocalLog(), nullptr);
    auto timers = QorLogService::Timers();
    EXPECT_FALSE(timers.logQueue || timers.uploadQueue);
  }
}

TEST_F(ServiceControlTest, SamplingControlsBeforeTheLogsExistWriteNothing) {
  SERVICE_STATUS status{};
  EXPECT_EQ(service.HandleControl(128, 0, nullptr, &status), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(service.HandleControl(129, 0, nullptr, &status), static_cast<DWORD>(NO_ERROR));
  EXPECT_EQ(service.LocalLog(), nullptr);
  EXPECT_EQ(service.UploadLog(), nullptr);
  EXPECT_EQ(QorLogService::Timers().logTimer, nullptr);
}

TEST(TickGate, TicksWhileOneWaitsAreDroppedAndCountedOnceForTheNextThatGoesThrough) {
  TickGate gate;
  ASSERT_TRUE(gate.TryEnter());
  EXPECT_FALSE(gate.TryEnter());
  EXPECT_FALSE(gate.TryEnter());
  EXPECT_EQ(gate.TakeDropped(), 2u);
  EXPECT_EQ(gate.TakeDropped(), 0u) << "a dropped tick was counted twice";
  gate.Leave();
  EXPECT_TRUE(gate.TryEnter()) << "a tick after the answer was dropped";
  gate.Leave();
  EXPECT_EQ(gate.TakeDropped(), 0u);
}

TEST(TickGate, ManyConcurrentTicksLetOnlyOneThroughAtATime) {
  TickGate gate;
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  std::atomic<int> passed{0};
  std::vector<std::thread> ticks;
  for (int t = 0; t < 8; ++t) {
    ticks.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (!gate.TryEnter()) continue;
        int now = ++inside;
        int most = mostInside.load();
        while (now > most && !mostInside.compare_exchange_weak(most, now)) {
        }
        ++passed;
        --inside;
        gate.Leave();
      }
    });
  }
  for (auto& tick : ticks) tick.join();
  EXPECT_EQ(mostInside.load(), 1);
  EXPECT_EQ(static_cast<unsigned>(passed.load()) + gate.TakeDropped(), 8u * 2000u) << "ticks were lost uncounted";
}

}  // namespace
