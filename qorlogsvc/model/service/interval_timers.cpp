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
  return NO_ERROR;
}

// FALSE with ERROR_IO_PENDING only says a callback is still finishing.
void IntervalTimer::DeleteTimer() {
  if (_timer == nullptr) return;
  DeleteTimerQueueTimer(_queue.get(), _timer, nullptr);
  _timer = nullptr;
}

void IntervalTimer::DeleteQueue() {
  _timer = nullptr;
  _queue.reset();
}

// On a thread of the system's pool, which an exception must never leave.
void CALLBACK IntervalTimer::OnTick(PVOID timer, BOOLEAN) {
  auto& self = *static_cast<IntervalTimer*>(timer);
  if (!self._ticks.TryEnter()) return;
  try {
    self.SendControl();
  } catch (...) {
  }
  self._ticks.Leave();
}

void IntervalTimer::SendControl() {
  if (const unsigned dropped = _ticks.TakeDropped(); dropped != 0)
    DebugTrace("%u ticks of control %u dropped: the previous one was still waiting\n", dropped,
               static_cast<unsigned>(_control));
  SendControlToSelf(GENERIC_READ, SERVICE_USER_DEFINED_CONTROL, _control);
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

}  // namespace qorlogsvc::model::service
