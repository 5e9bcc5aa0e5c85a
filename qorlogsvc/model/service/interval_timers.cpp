#include "interval_timers.h"

#include "debug_trace.h"
#include "service_controls.h"

namespace qorlogsvc::model::service {

void IntervalTimer::CreateQueue() { _queue.reset(CreateTimerQueue()); }

void IntervalTimer::Start(DWORD dueMs, DWORD periodMs) {
  if (!_queue) return;
  DeleteTimer();
  CreateTimerQueueTimer(&_timer, _queue.get(), &IntervalTimer::OnTick, this, dueMs, periodMs, WT_EXECUTEDEFAULT);
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
