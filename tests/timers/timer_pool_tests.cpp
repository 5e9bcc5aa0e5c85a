// The stand-in's timer pool under load: its thread bound, ticks that wait for a
// thread, threads that cannot be started, and a scheduler that ran late.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tarn_sim/timers.h"
#include "timer_test_util.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using tarn::test::Counter;
using tarn::test::Eventually;
using tarn::test::Gate;

// Threads of this process, as the kernel counts them.
int ThreadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

class TimerPoolTest : public testing::Test {
 protected:
  void SetUp() override {
    queue = CreateTimerQueue();
    ASSERT_NE(queue, nullptr);
  }
  void TearDown() override { DeleteQueue(); }

  // Before the test's own counters go: no callback runs after this.
  void DeleteQueue() {
    gate.Open();
    if (queue != nullptr) DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);
    queue = nullptr;
  }

  HANDLE queue = nullptr;
  // Members, so they outlive every callback: DeleteQueue opens the gate first.
  Gate gate;
  Counter counter;
  Counter other;
};

TEST_F(TimerPoolTest, CallbacksThatNeverReturnFillThePoolToItsLimitAndNoFurther) {
  const int threadsBefore = ThreadCount();
  HANDLE blocking = nullptr, waiting = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&blocking, queue, &Gate::Enter, &gate, 0, 1, 0));
  ASSERT_TRUE(Eventually([&] { return gate.inside.load() == static_cast<int>(tarn::sim::kTimerPoolThreadLimit); }));
  // Every pool thread is taken: another timer's ticks wait, and no thread is added.
  ASSERT_TRUE(CreateTimerQueueTimer(&waiting, queue, &Counter::Tick, &other, 0, 1, 0));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(gate.mostInside.load(), static_cast<int>(tarn::sim::kTimerPoolThreadLimit));
  EXPECT_EQ(other.calls.load(), 0);
  // The pool, the scheduler, and a few threads a sanitizer's runtime may add.
  EXPECT_LE(ThreadCount(), threadsBefore + static_cast<int>(tarn::sim::kTimerPoolThreadLimit) + 4);

  // Once the gate opens, the waiting ticks run: one per timer for the whole
  // wait, then one per period, not the 200 that passed meanwhile.
  const auto opened = Clock::now();
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return other.calls.load() >= 1; }));
  const int calls = other.calls.load();
  const auto sinceOpened = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened);
  EXPECT_LE(calls, 3 + static_cast<int>(sinceOpened.count())) << "the missed ticks all fired";
  DeleteQueue();
}

TEST_F(TimerPoolTest, ATickWhoseThreadCannotBeStartedRunsLater) {
  // Every pool thread of the earlier test has long been idle; make sure none is
  // left to take the tick, so that it needs a new one.
  std::this_thread::sleep_for(tarn::sim::kTimerPoolIdleLifetime + 500ms);
  HANDLE timer = nullptr;
  tarn::sim::FailTimerThreadStartsForTesting(3);
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Counter::Tick, &counter, 0, 0, 0));
  EXPECT_TRUE(Eventually([&] { return counter.calls.load() == 1; }));
  tarn::sim::FailTimerThreadStartsForTesting(0);
  DeleteQueue();
}

TEST_F(TimerPoolTest, AfterAStalledSchedulerAPeriodicTimerFiresOnceAndKeepsItsPeriodFromThen) {
  HANDLE timer = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Counter::Tick, &counter, 0, 10, 0));
  ASSERT_TRUE(Eventually([&] { return counter.calls.load() >= 2; }));

  tarn::sim::StallTimerSchedulerForTesting(600ms);  // 60 periods without a tick
  // The stall is on once the ticks have stopped for a while.
  int last = counter.calls.load();
  auto quietSince = Clock::now();
  ASSERT_TRUE(Eventually(
      [&] {
        if (counter.calls.load() != last) {
          last = counter.calls.load();
          quietSince = Clock::now();
        }
        return Clock::now() - quietSince > 60ms;
      },
      500ms))
      << "the scheduler did not stall";
  const int beforeStallEnds = counter.calls.load();
  ASSERT_TRUE(Eventually([&] { return counter.calls.load() > beforeStallEnds; }));
  const auto resumed = Clock::now();
  const int afterStall = counter.calls.load();
  std::this_thread::sleep_for(5ms);
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - resumed);
  // At one tick per 10 ms from the resumption, plus the one for the stall.
  EXPECT_LE(counter.calls.load() - beforeStallEnds, 3 + static_cast<int>(since.count() / 10))
      << "missed ticks were fired one after another";
  EXPECT_LE(afterStall - beforeStallEnds, 2);
  DeleteQueue();
}

TEST_F(TimerPoolTest, IdlePoolThreadsEnd) {
  HANDLE timer = nullptr;
  ASSERT_TRUE(CreateTimerQueueTimer(&timer, queue, &Gate::Enter, &gate, 0, 1, 0));
  ASSERT_TRUE(Eventually([&] { return gate.inside.load() >= 8; }));
  ASSERT_TRUE(DeleteTimerQueueTimer(queue, timer, nullptr) || GetLastError() == ERROR_IO_PENDING);
  const int busy = ThreadCount();
  gate.Open();
  EXPECT_TRUE(Eventually([&] { return ThreadCount() <= busy - 8; }, tarn::sim::kTimerPoolIdleLifetime * 3));
}

}  // namespace
