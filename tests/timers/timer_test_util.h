// Pieces of the timer tests: callbacks that count their calls, or that stay
// inside until a gate opens, and waiting for what the callbacks do.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>

#include "wait_until.h"

namespace tarn::test {

// Waits until `predicate` holds, for at most `limit`.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  return WaitUntil(predicate, limit);
}

struct Counter {
  std::atomic<int> calls{0};
  static void CALLBACK Tick(PVOID parameter, BOOLEAN) { ++static_cast<Counter*>(parameter)->calls; }
};

// Callbacks that stay inside until the gate opens; counts how many are inside,
// the most there were at once, and how many started and finished.
struct Gate {
  std::atomic<int> started{0};
  std::atomic<int> inside{0};
  std::atomic<int> mostInside{0};
  std::atomic<bool> open{false};
  std::atomic<int> finished{0};

  // Lets every callback inside, and every later one, through.
  void Open() {
    open = true;
    open.notify_all();
  }

  static void CALLBACK Enter(PVOID parameter, BOOLEAN) {
    auto* gate = static_cast<Gate*>(parameter);
    ++gate->started;
    int now = ++gate->inside;
    int most = gate->mostInside.load();
    while (now > most && !gate->mostInside.compare_exchange_weak(most, now)) {
    }
    gate->open.wait(false);
    --gate->inside;
    ++gate->finished;
  }
};

}  // namespace tarn::test
