// Timer queues, as Windows' thread pool runs them.
//
// One scheduler thread sleeps until the earliest due time of all timers (never
// waking in between, so an idle process stays idle) and hands each due tick to
// a bounded pool of threads (kTimerPoolThreadLimit). A periodic timer's
// callbacks may therefore overlap when one is slow, as on Windows, but the
// threads never grow without bound:
//   - a tick that finds no idle pool thread starts one while the pool is below
//     its limit; beyond that it waits in the pool's queue;
//   - a timer has at most one tick waiting in that queue: a later tick of the
//     same timer merges into it;
//   - a pool thread that cannot be started (std::system_error) leaves the tick
//     queued for a thread that exists, or for a new attempt shortly after;
//   - when the scheduler is late by a period or more (the process stalled),
//     the timer fires once and its next tick is one period from now, not every
//     tick that was missed;
//   - a pool thread idle for kTimerPoolIdleLifetime ends.
// Deleting a timer (or a whole queue) cancels its future ticks and any tick
// still waiting in the queue; what happens to callbacks that are running
// depends on the completion argument:
//   NULL                  return at once; FALSE with ERROR_IO_PENDING while any runs
//   INVALID_HANDLE_VALUE  wait until they have returned (from inside one of them,
//                         that waits for ever, exactly as on Windows)
//   an event              return at once as with NULL; the event is signalled
//                         once they have returned
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "tarn_sim/faults.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/timers.h"

namespace {

using Clock = std::chrono::steady_clock;
using tarn::sim::kTimerPoolIdleLifetime;
using tarn::sim::kTimerPoolThreadLimit;

// How soon a pool thread that could not be started is tried again.
constexpr std::chrono::milliseconds kThreadStartRetry{10};

std::atomic<int> failThreadStarts{0};
std::atomic<long long> schedulerStallMs{0};

struct TimerState {
  WAITORTIMERCALLBACK callback = nullptr;
  PVOID parameter = nullptr;
  std::chrono::milliseconds period{0};
  bool cancelled = false;
  bool queued = false;  // a tick waits in the pool's queue
  int running = 0;
  HANDLE completionEvent = nullptr;  // signalled when `running` drops to 0 after cancel
};

// A handle to one timer; the state outlives it while callbacks run.
struct TimerObject : tarn::sim::KernelObject {
  std::shared_ptr<TimerState> state;
  HANDLE queue = nullptr;
};

struct QueueObject : tarn::sim::KernelObject {
  std::set<HANDLE> timers;  // guarded by the scheduler's lock
};

// Starts a detached thread; false when the system has none to give.
template <typename Body>
bool StartThread(Body body) {
  if (failThreadStarts.load() > 0 && failThreadStarts.fetch_sub(1) > 0) return false;
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

class Scheduler {
 public:
  static Scheduler& Instance() {
    // Leaked on purpose: callbacks may still be running while the process exits.
    static Scheduler* scheduler = new Scheduler;
    return *scheduler;
  }

  // The scheduler thread, started on first use; false when it cannot be.
  bool EnsureStarted() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!started_) started_ = StartThread([this] { RunScheduler(); });
    return started_;
  }

  void Schedule(const std::shared_ptr<TimerState>& timer, Clock::time_point due) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      schedule_.emplace(due, timer);
    }
    changed_.notify_all();
  }

  // Cancels the timers and settles their running callbacks as `completion` asks.
  BOOL Cancel(const std::vector<std::shared_ptr<TimerState>>& timers, HANDLE completion) {
    std::unique_lock<std::mutex> guard(lock_);
    for (const auto& timer : timers) timer->cancelled = true;
    auto anyRunning = [&] {
      for (const auto& timer : timers)
        if (timer->running > 0) return true;
      return false;
    };
    if (completion == INVALID_HANDLE_VALUE) {
      finished_.wait(guard, [&] { return !anyRunning(); });
      return TRUE;
    }
    if (!anyRunning()) {
      guard.unlock();
      if (completion != nullptr) SetEvent(completion);
      return TRUE;
    }
    if (completion != nullptr) {
      // The last of them to finish signals it.
      for (const auto& timer : timers)
        if (timer->running > 0) timer->completionEvent = completion;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }

  std::mutex& Lock() { return lock_; }

  void Wake() {
    { std::lock_guard<std::mutex> guard(lock_); }
    changed_.notify_all();
  }

 private:
  void RunScheduler() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      StallIfAsked(guard);
      const auto now = Clock::now();
      StartPoolThreadsFor(now);
      auto wakeAt = Clock::time_point::max();
      if (!ready_.empty() && threads_ == 0) wakeAt = retryThreadAt_;
      if (!schedule_.empty()) wakeAt = std::min(wakeAt, schedule_.begin()->first);
      if (now < wakeAt) {
        if (wakeAt == Clock::time_point::max()) {
          changed_.wait(guard);
        } else {
          changed_.wait_until(guard, wakeAt);
        }
        continue;
      }
      if (schedule_.empty() || now < schedule_.begin()->first) continue;  // only a thread to retry
      auto next = schedule_.begin();
      const auto due = next->first;
      auto timer = next->second;
      schedule_.erase(next);
      if (timer->cancelled) continue;
      if (timer->period.count() > 0) {
        // Late by a period or more: this tick stands for all that were missed.
        auto nextDue = due + timer->period;
        if (nextDue <= now) nextDue = now + timer->period;
        schedule_.emplace(nextDue, timer);
      }
      if (timer->queued) continue;  // its earlier tick still waits for a thread
      timer->queued = true;
      ready_.push_back(std::move(timer));
      if (idle_ > 0) work_.notify_one();
    }
  }

  void StallIfAsked(std::unique_lock<std::mutex>& guard) {
    const long long stallMs = schedulerStallMs.exchange(0);
    if (stallMs <= 0) return;
    guard.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
    guard.lock();
  }

  // Enough pool threads for the ticks that wait, within the limit. A failed
  // start is tried again a little later when no thread exists to take them.
  void StartPoolThreadsFor(Clock::time_point now) {
    while (ready_.size() > idle_ && threads_ < kTimerPoolThreadLimit) {
      if (threads_ == 0 && now < retryThreadAt_) return;
      if (!StartThread([this] { RunPoolThread(); })) {
        retryThreadAt_ = now + kThreadStartRetry;
        return;
      }
      ++threads_;
      ++idle_;  // counts as idle until it takes its first tick
    }
  }

  void RunPoolThread() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (ready_.empty() && !work_.wait_for(guard, kTimerPoolIdleLifetime, [this] { return !ready_.empty(); })) {
        --idle_;
        --threads_;
        return;
      }
      auto timer = std::move(ready_.front());
      ready_.pop_front();
      timer->queued = false;
      if (timer->cancelled) continue;
      --idle_;
      ++timer->running;
      guard.unlock();
      timer->callback(timer->parameter, TRUE);
      guard.lock();
      ++idle_;
      HANDLE completion = nullptr;
      if (--timer->running == 0 && timer->cancelled) completion = std::exchange(timer->completionEvent, nullptr);
      finished_.notify_all();
      if (completion != nullptr) {
        guard.unlock();
        SetEvent(completion);
        guard.lock();
      }
      // More ticks may have queued up than idle threads can take.
      if (ready_.size() > idle_) changed_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;   // the scheduler's: schedule or pool changed
  std::condition_variable finished_;  // a callback returned
  std::condition_variable work_;      // pool threads': a tick is ready
  std::multimap<Clock::time_point, std::shared_ptr<TimerState>> schedule_;
  std::deque<std::shared_ptr<TimerState>> ready_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;  // pool threads not running a callback
  Clock::time_point retryThreadAt_{};
  bool started_ = false;
};

}  // namespace

namespace tarn::sim {

void FailTimerThreadStartsForTesting(int count) { failThreadStarts = count; }

void StallTimerSchedulerForTesting(std::chrono::milliseconds pause) {
  schedulerStallMs = pause.count();
  Scheduler::Instance().Wake();
}

}  // namespace tarn::sim

namespace {

// The queue that a NULL queue handle stands for.
std::shared_ptr<QueueObject> DefaultQueue() {
  static auto* queue = new std::shared_ptr<QueueObject>(std::make_shared<QueueObject>());
  return *queue;
}

std::shared_ptr<QueueObject> FindQueue(HANDLE queue) {
  return queue == nullptr ? DefaultQueue() : tarn::sim::LookupHandle<QueueObject>(queue);
}

}  // namespace

HANDLE CreateTimerQueue() {
  if (tarn::sim::FaultHits(tarn::sim::FaultKind::TimerCreation, "queue")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return tarn::sim::InsertHandle(std::make_shared<QueueObject>());
}

BOOL CreateTimerQueueTimer(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID parameter, DWORD dueTime,
                           DWORD period, ULONG flags) {
  if (tarn::sim::FaultHits(tarn::sim::FaultKind::TimerCreation, "timer")) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  auto queueObject = FindQueue(queue);
  if (timer == nullptr || callback == nullptr || !queueObject) {
    SetLastError(queueObject ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!Scheduler::Instance().EnsureStarted()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  auto state = std::make_shared<TimerState>();
  state->callback = callback;
  state->parameter = parameter;
  state->period = std::chrono::milliseconds((flags & WT_EXECUTEONLYONCE) ? 0 : period);

  auto object = std::make_shared<TimerObject>();
  object->state = state;
  object->queue = queue;
  HANDLE handle = tarn::sim::InsertHandle(object);
  {
    std::lock_guard<std::mutex> guard(Scheduler::Instance().Lock());
    queueObject->timers.insert(handle);
  }
  *timer = handle;
  Scheduler::Instance().Schedule(state, Clock::now() + std::chrono::milliseconds(dueTime));
  return TRUE;
}

BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent) {
  auto queueObject = FindQueue(queue);
  auto timerObject = tarn::sim::LookupHandle<TimerObject>(timer);
  if (!queueObject || !timerObject || timerObject->queue != queue) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(Scheduler::Instance().Lock());
    queueObject->timers.erase(timer);
  }
  tarn::sim::RemoveHandle(timer);
  return Scheduler::Instance().Cancel({timerObject->state}, completionEvent);
}

BOOL DeleteTimerQueueEx(HANDLE queue, HANDLE completionEvent) {
  auto queueObject = tarn::sim::LookupHandle<QueueObject>(queue);
  if (!queueObject) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::set<HANDLE> timers;
  {
    std::lock_guard<std::mutex> guard(Scheduler::Instance().Lock());
    timers.swap(queueObject->timers);
  }
  std::vector<std::shared_ptr<TimerState>> states;
  for (HANDLE handle : timers) {
    if (auto timer = tarn::sim::LookupHandle<TimerObject>(handle)) states.push_back(timer->state);
    tarn::sim::RemoveHandle(handle);
  }
  tarn::sim::RemoveHandle(queue);
  return Scheduler::Instance().Cancel(states, completionEvent);
}
