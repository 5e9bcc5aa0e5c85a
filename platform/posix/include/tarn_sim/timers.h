// Extensions of the stand-in's timer queues for tests.
#pragma once

#include <chrono>
#include <cstddef>

namespace tarn::sim {

// The most pool threads that run timer callbacks at once. Windows' default
// pool allows 500; here fewer, as a simulated machine shares a small host with
// its tests. A callback that finds every pool thread busy waits in the queue
// (merged with any earlier tick of the same timer that still waits there).
inline constexpr std::size_t kTimerPoolThreadLimit = 64;

// A pool thread with nothing to run for this long ends.
inline constexpr std::chrono::milliseconds kTimerPoolIdleLifetime{2000};

// The next `count` attempts to start a pool thread fail as when the system has
// no thread left (std::thread throws std::system_error).
void FailTimerThreadStartsForTesting(int count);

// The scheduler thread sleeps `pause` before its next round, as a process
// that the system did not run for a while.
void StallTimerSchedulerForTesting(std::chrono::milliseconds pause);

}  // namespace tarn::sim
