#include "interval_timers.h"

#include "debug_trace.h"
#include "service_controls.h"

namespace qorlogsvc::model::service {
namespace {

// The error a failed creation left; never NO_ERROR, so a failure is never taken for success.
DWORD CreationError() {
  const DWORD error = GetLastError();
  return error != NO_ERROR ? error : ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace

DWORD IntervalTimer::Start(DWORD dueMs, DWORD periodMs) {
  DeleteTimer();
  if (!_queue) _queue.reset(CreateTimerQueue());
  if (!_queue) return CreationError();
  if (!CreateTimerQueueTimer(&_timer, _queue.get(), &IntervalTimer::OnTick, this, dueMs, periodMs, WT_EXECUTEDEFAULT)) {
    _timer = nullptr;
    return CreationError();
  }
  _armed = true;
  return NO_ERROR;
}

// FALSE with ERROR_IO_PENDING only says a callback is still finishing.
void IntervalTimer::DeleteTimer() {
  _armed = false;
  if (_timer == nullptr) return;
  DeleteTimerQueueTimer(_queue.get(), _timer, nullptr);
  _timer = nullptr;
}

void IntervalTimer::DeleteQueue() {
  _armed = false;
  _timer = nullptr;
  _queue.reset();
}

void IntervalTimer::SendThrough(SelfControl& sender) { _sender = &sender; }

void CALLBACK IntervalTimer::OnTick(PVOID timer, BOOLEAN) { static_cast<IntervalTimer*>(timer)->Tick(); }

// On a thread of the system's pool, which an exception must never leave.
void IntervalTimer::Tick() {
  if (!_ticks.TryEnter()) return;
  try {
    SendControl();
  } catch (...) {
  }
  _ticks.Leave();
}

// A control that does not arrive samples nothing and no handler would ever
// notice: the tick itself says so.
void IntervalTimer::SendControl() {
  if (const unsigned dropped = _ticks.TakeDropped(); dropped != 0)
    DebugTrace("%u ticks of control %u dropped: the previous one was still waiting\n", dropped,
               static_cast<unsigned>(_control));
  const DWORD error = _sender.load()->Send(_control);
  if (error == NO_ERROR) {
    if (_failedInRow != 0)
      DebugTrace("Control %u arrives again after %u failed ticks\n", static_cast<unsigned>(_control), _failedInRow);
    _failedInRow = 0;
    return;
  }
  ++_failedTicks;
  DebugTrace("A tick of control %u failed (%lu): %u in a row\n", static_cast<unsigned>(_control),
             static_cast<unsigned long>(error), ++_failedInRow);
  if (_failedInRow == 1 && _armed) TimerEvents().ControlsNotArriving(_control, error);
}

// Never destroyed, not even at the process's exit, when a tick may still run.
IntervalTimer& LocalLogTimer() {
  static IntervalTimer& timer = *new IntervalTimer(SERVICE_CONTROL_LOG_TIMER);
  return timer;
}

IntervalTimer& UploadLogTimer() {
  static IntervalTimer& timer = *new IntervalTimer(SERVICE_CONTROL_UPLOADLOG_TIMER);
  return timer;
}

ServiceEvents& TimerEvents() {
  static ServiceEvents& events = *new ServiceEvents(RealClock::Instance());
  return events;
}

}  // namespace qorlogsvc::model::service
