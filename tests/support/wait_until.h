// Waiting for something another thread or process does, with a deadline.
#pragma once

#include <chrono>
#include <thread>

namespace tarn::test {

// Polls `condition` every `poll` until it holds or `timeout` has passed; its
// value at the end. The time-outs the tests give are generous (seconds): the
// machine running them may be loaded and the build sanitized.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll = std::chrono::milliseconds(1)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace tarn::test
