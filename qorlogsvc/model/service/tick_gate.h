// Keeps the ticks of one timer from piling up in the service control manager.
#pragma once

#include <atomic>

namespace qorlogsvc::model::service {

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

}  // namespace qorlogsvc::model::service
