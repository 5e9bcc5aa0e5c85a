// The service's two interval timers. A tick does no work of its own: it sends
// the timer's control to the service through the service control manager, so
// that every sampling cycle runs on the dispatcher thread, one at a time.
#pragma once

#include <windows.h>

#include <atomic>

#include "service_controls.h"
#include "service_events.h"
#include "unique_handle.h"

namespace qorlogsvc::model::service {

// Keeps the ticks of one timer from piling up in the service control manager.
// At most one control of a timer waits in the manager at a time. A tick that
// finds the previous one still waiting (the handler is busy, or slow) is
// dropped and counted; without this, a short period or a slow cycle would
// block one pool thread per tick until the process runs out of threads.
class TickGate {
 public:
  // True when this tick may send its control; false when it is dropped.
  bool TryEnter() {
    if (_inFlight.exchange(true)) {
      ++_dropped;
      return false;
    }
    return true;
  }

  // The ticks dropped since this was last asked; the count starts again.
  unsigned TakeDropped() { return _dropped.exchange(0); }

  // The control has been answered (or could not be sent).
  void Leave() { _inFlight = false; }

 private:
  std::atomic<bool> _inFlight{false};
  std::atomic<unsigned> _dropped{0};
};

// One periodic timer, the queue it lives in, and the control its ticks send.
// The queue owns the timer: deleting the queue deletes the timer with it.
// Its users serialise their calls (the service's lock); the ticks themselves
// touch only the gate, the failure count and what SendThrough gave them.
class IntervalTimer {
 public:
  explicit IntervalTimer(DWORD control) : _control(control) {}
  IntervalTimer(const IntervalTimer&) = delete;
  IntervalTimer& operator=(const IntervalTimer&) = delete;

  // How the ticks send their control; it must outlive every tick that may
  // still run. The manager (RealSelfControl) unless a test says otherwise.
  void SendThrough(SelfControl& sender);

  // What a tick of the timer does, on a thread of the pool: sends the control,
  // unless the previous one still waits. A control that does not arrive is
  // traced and counted; the first of a run is also told in the event log
  // (TimerEvents), unless the timer is gone by then (a tick under way at the
  // stop, whose control the stopping service refuses). Public so that tests
  // can tick without waiting out a period.
  void Tick();

  // Ticks whose control could not be sent, since the process began.
  unsigned FailedTicks() const { return _failedTicks.load(); }

  // Replaces the timer, making the queue first when there is none: first tick
  // after `dueMs`, then one every `periodMs` (none when 0). NO_ERROR, or the
  // Win32 error of the queue or timer that could not be made (then there is
  // no timer).
  DWORD Start(DWORD dueMs, DWORD periodMs);

  // Deletes the timer without waiting for a running callback: that callback may
  // be the one waiting for the control handler that is deleting it.
  void DeleteTimer();

  // Deletes the queue and its timer, also without waiting.
  void DeleteQueue();

  bool HasQueue() const { return _queue.is_valid(); }
  HANDLE Timer() const { return _timer; }

 private:
  static void CALLBACK OnTick(PVOID timer, BOOLEAN timerFired);
  void SendControl();

  const DWORD _control;
  TickGate _ticks;
  std::atomic<SelfControl*> _sender{&RealSelfControl::Instance()};
  std::atomic<bool> _armed{false};  // a timer exists that ticks
  std::atomic<unsigned> _failedTicks{0};
  unsigned _failedInRow = 0;  // only the tick that passed the gate touches it
  tarn::UniqueTimerQueue _queue;
  HANDLE _timer = nullptr;
};

// The process's timers, which belong to the process rather than to one
// service object: a callback still finishing after its queue was deleted
// finds its timer alive.
IntervalTimer& LocalLogTimer();   // control 128
IntervalTimer& UploadLogTimer();  // control 129

// Where the ticks tell that their controls stopped arriving: the process's own,
// never destroyed, as a tick may outlive the service object.
ServiceEvents& TimerEvents();

}  // namespace qorlogsvc::model::service
