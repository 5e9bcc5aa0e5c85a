// Injected faults of the simulated machine, for tests: a disk that fills in the
// middle of a write, a file held for a moment by another program, a folder that
// cannot be made, a platform call that misbehaves.
//
// A fault list is "KIND:NAME:FIRST:COUNT" items separated by commas:
//   KIND   short-write  a write to the file is cut short: half its bytes reach
//                       the file, the rest fails (ENOSPC), as on a disk that fills
//          open         CreateFileW for writing fails with ERROR_SHARING_VIOLATION
//          mkdir        making or protecting the folder fails (EACCES)
//          throw        CreateFileW throws std::runtime_error, which no Win32 call
//                       ever does: it plays a fault in the caller's own code
//          timer        CreateTimerQueue (NAME "queue") or CreateTimerQueueTimer
//                       (NAME "timer") fails with ERROR_NOT_ENOUGH_MEMORY, as
//                       when the system runs out of resources
//   NAME   matched against the last component of the path, ASCII letters without
//          regard to case; the component must contain NAME
//   FIRST  the first matching call that fails, counted from 1 per item
//   COUNT  how many matching calls in a row fail from FIRST on; 0: every one
// Example: "open:TARNLog.csv:1:3" fails the first three opens of TARNLog.csv.
//
// The list comes from SetFaults (tests in the same process) or else from the
// environment variable TARN_SIM_FAULTS, read once (a service process).
#pragma once

#include <string>
#include <string_view>

namespace tarn::sim {

inline constexpr char kFaultsVariable[] = "TARN_SIM_FAULTS";

enum class FaultKind { ShortWrite, Open, MakeFolder, Throw, TimerCreation };

// Replaces the fault list of this process and restarts its counts; an empty
// text clears it. Items that cannot be parsed are ignored.
void SetFaults(std::string_view list);

// Counts one call of `kind` on the path and says whether it is to fail. Costs
// one atomic load while no fault list is set.
bool FaultHits(FaultKind kind, std::string_view hostPath);

// Whether any item of that kind is set, so a caller can skip finding the path.
bool FaultsOfKindSet(FaultKind kind);

}  // namespace tarn::sim
