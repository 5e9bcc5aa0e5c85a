// Timer queues as the service relies on them: one-shot and periodic ticks,
// overlapping slow callbacks, and the three ways of deleting a timer. The same
// tests run against Windows' own timer queues under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "timer_test_util.h"

namespace {

using namespace std::chrono_literals;

using tarn::test::Counter;
using tarn::test::Eventually;
using tarn::test::Gate;

class TimerQueueTest : public testing::Test {
 protected:
  void SetUp() override {
    queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
  }
  void TearDown() override {
    if (queue != nullptr) DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
  }
  HANDLE queue = nullptr;
};

TEST_F(TimerQueueTest, PeriodZeroFiresOnceWhilePeriodicTimersKeepFiring) {
  Counter once, periodic;
  HANDLE onceTimer = nullptr, periodicTimer = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&onceTimer, queue, &Counter::Tick, &once, 0, 0, 0));
  ASSERT_TRUE(CreateTimerQueueTimer(&periodicTimer, queue, &Counter::Tick, &periodic, 5, 5, 0));
  ASSERT_TRUE(Eventually([&] { return periodic.calls.load() >= 6; }));
  EXPECT_EQ(once.calls.load(), 1);
}

TEST_F(TimerQueueTest, FirstTickComesOnlyAfterTheDueTime) {
  Counter counter;
  HANDLE timer = nullptr;
  auto created = std::chrono::steady_clock::now();
  std::atomic<long long> firstTickAfterMs{-1};
  struct Probe {
    std::chrono::steady_clock::time_point created;
    std::atomic<long long>* firstTick;
    static void CALLBACK Tick(PVOID parameter, BOOLEAN) {
      auto* probe = static_cast<Probe*>(parameter);
      long long expected = -1;
      auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - probe->created);
      probe->firstTick->compare_exchange_strong(expected, elapsed.count());
    }
  } probe{created, &firstTickAfterMs};
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Probe::Tick, &probe, 60, 60, 0));
  ASSERT_TRUE(Eventually([&] { return firstTickAfterMs.load() >= 0; }));
  EXPECT_GE(firstTickAfterMs.load(), 50);  // allows for a coarse system clock
  ASSERT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
  queue = nullptr;
}

TEST_F(TimerQueueTest, SlowCallbacksOfOnePeriodicTimerOverlap) {
  Gate gate;
  HANDLE timer = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Gate::Enter, &gate, 0, 5, 0));
  EXPECT_TRUE(Eventually([&] { return gate.mostInside.load() >= 2; }));
  gate.Open();
  ASSERT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));  // before `gate` goes
  queue = nullptr;
}

TEST_F(TimerQueueTest, DeletingWithInvalidHandleValueWaitsForTheRunningCallback) {
  Gate gate;
  HANDLE timer = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Gate::Enter, &gate, 0, 0, 0));
  ASSERT_TRUE(Eventually([&] { return gate.started.load() == 1; }));

  std::atomic<bool> deleted{false};
  std::atomic<int> finishedWhenDeleted{-1};
  std::thread deleter([&] {
    EXPECT_TRUE(DeleteTimerQueueTimer(queue, timer, INVALID_HANDLE_VALUE));
    finishedWhenDeleted = gate.finished.load();
    deleted = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(deleted.load());
  gate.Open();
  deleter.join();
  EXPECT_EQ(finishedWhenDeleted.load(), 1);
}

TEST_F(TimerQueueTest, DeletingWithoutWaitingReportsPendingCallbacksAndSignalsAnEvent) {
  Gate gate;
  HANDLE first = nullptr, second = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&first, queue, &Gate::Enter, &gate, 0, 0, 0));
  ASSERT_TRUE(CreateTimerQueueTimer(&second, queue, &Gate::Enter, &gate, 0, 0, 0));
  ASSERT_TRUE(Eventually([&] { return gate.started.load() == 2; }));

  SetLastError(0);
  EXPECT_FALSE(DeleteTimerQueueTimer(queue, first, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetLastError(0);
  EXPECT_FALSE(DeleteTimerQueueTimer(queue, second, done));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(done, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  gate.Open();
  EXPECT_EQ(WaitForSingleObject(done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(Eventually([&] { return gate.finished.load() == 2; }));
  CloseHandle(done);
}

TEST_F(TimerQueueTest, ADeletedQueueFiresNoMore) {
  Counter counter;
  HANDLE timer = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Counter::Tick, &counter, 0, 2, 0));
  ASSERT_TRUE(Eventually([&] { return counter.calls.load() >= 2; }));
  ASSERT_TRUE(DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE));
  queue = nullptr;
  int afterDelete = counter.calls.load();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(counter.calls.load(), afterDelete);
}

}  // namespace
