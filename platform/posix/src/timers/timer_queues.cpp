// Timer queues, as Windows' thread pool runs them.
//
// One scheduler thread sleeps until the earliest due time of all timers (never
// waking in between, so an idle process stays idle) and starts each callback on
// a pool thread of its own. A periodic timer's callbacks may therefore overlap
// when one is slow, as on Windows. Deleting a timer (or a whole queue) cancels
// its future ticks; what happens to callbacks that are running depends on the
// completion argument:
//   NULL                  return at once; FALSE with ERROR_IO_PENDING while any runs
//   INVALID_HANDLE_VALUE  wait until they have returned (from inside one of them,
//                         that waits for ever, exactly as on Windows)
//   an event              return at once as with NULL; the event is signalled
//                         once they have returned
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "tarn_sim/handles.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TimerState {
  WAITORTIMERCALLBACK callback = nullptr;
  PVOID parameter = nullptr;
  std::chrono::milliseconds period{0};
  bool cancelled = false;
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

class Scheduler {
 public:
  static Scheduler& Instance() {
    // Leaked on purpose: callbacks may still be running while the process exits.
    static Scheduler* scheduler = new Scheduler;
    return *scheduler;
  }

  void Schedule(const std::shared_ptr<TimerState>& timer, Clock::time_point due) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!started_) {
        std::thread([this] { RunScheduler(); }).detach();
        started_ = true;
      }
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

 private:
  void RunScheduler() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      if (schedule_.empty()) {
        changed_.wait(guard);
        continue;
      }
      auto next = schedule_.begin();
      if (Clock::now() < next->first) {
        changed_.wait_until(guard, next->first);
        continue;
      }
      auto due = next->first;
      auto timer = next->second;
      schedule_.erase(next);
      if (timer->cancelled) continue;
      if (timer->period.count() > 0) schedule_.emplace(due + timer->period, timer);
      ++timer->running;
      std::thread([this, timer] { RunCallback(timer); }).detach();
    }
  }

  void RunCallback(const std::shared_ptr<TimerState>& timer) {
    timer->callback(timer->parameter, TRUE);
    HANDLE completion = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (--timer->running == 0 && timer->cancelled) completion = std::exchange(timer->completionEvent, nullptr);
    }
    finished_.notify_all();
    if (completion != nullptr) SetEvent(completion);
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::condition_variable finished_;
  std::multimap<Clock::time_point, std::shared_ptr<TimerState>> schedule_;
  bool started_ = false;
};

// The queue that a NULL queue handle stands for.
std::shared_ptr<QueueObject> DefaultQueue() {
  static auto* queue = new std::shared_ptr<QueueObject>(std::make_shared<QueueObject>());
  return *queue;
}

std::shared_ptr<QueueObject> FindQueue(HANDLE queue) {
  return queue == nullptr ? DefaultQueue() : tarn::sim::LookupHandle<QueueObject>(queue);
}

}  // namespace

HANDLE CreateTimerQueue() { return tarn::sim::InsertHandle(std::make_shared<QueueObject>()); }

BOOL CreateTimerQueueTimer(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID parameter, DWORD dueTime,
                           DWORD period, ULONG flags) {
  auto queueObject = FindQueue(queue);
  if (timer == nullptr || callback == nullptr || !queueObject) {
    SetLastError(queueObject ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
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
