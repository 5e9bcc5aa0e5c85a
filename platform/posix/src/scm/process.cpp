// Process handles: a Linux pidfd, which becomes readable once the process has
// ended, whether or not it is our child.
#include <windows.h>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "scm_internal.h"
#include "tarn_sim/handles.h"

namespace {

using tarn::UniqueFd;
using tarn::sim::scm::Clock;

class ProcessObject : public tarn::sim::WaitableObject {
 public:
  explicit ProcessObject(UniqueFd pidfd) : pidfd_(std::move(pidfd)) {}

  bool Wait(DWORD milliseconds) override {
    bool forever = milliseconds == INFINITE;
    auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
    for (;;) {
      pollfd entry{pidfd_.get(), POLLIN, 0};
      int ready = ::poll(&entry, 1, forever ? -1 : tarn::sim::scm::MillisecondsUntil(deadline));
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return false;
      // Time-outs beyond what poll() takes at once go round again.
      if (ready == 0 && !forever && Clock::now() >= deadline) return false;
    }
  }

 private:
  UniqueFd pidfd_;
};

}  // namespace

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  if (processId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0)));
  if (!pidfd.is_valid()) {
    // Windows answers ERROR_INVALID_PARAMETER for a process that does not exist.
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return tarn::sim::InsertHandle(std::make_shared<ProcessObject>(std::move(pidfd)));
}
