// Move-only ownership of one platform handle, in the manner of WIL's unique_any:
// one alias per handle kind, each with its own "invalid" value and close call.
#pragma once

#include <windows.h>

#include <utility>

namespace Corvessan::Orwe {

// Traits: `pointer` (the handle type), `Invalid()` (the value that means "no
// handle") and `Close(pointer)`.
template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(pointer handle) noexcept : _handle(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : _handle(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  pointer get() const noexcept { return _handle; }
  bool is_valid() const noexcept { return _handle != Traits::Invalid(); }
  explicit operator bool() const noexcept { return is_valid(); }

  // Closes the handle held (if any) and takes `handle` instead.
  void reset(pointer handle = Traits::Invalid()) noexcept {
    pointer old = std::exchange(_handle, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

  // Gives the handle up without closing it.
  pointer release() noexcept { return std::exchange(_handle, Traits::Invalid()); }

 private:
  pointer _handle = Traits::Invalid();
};

// An event, a process or any other kernel object whose failure value is null,
// closed with CloseHandle.
struct EventHandleTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer handle) noexcept { ::CloseHandle(handle); }
};
using UniqueEvent = UniqueHandle<EventHandleTraits>;

// A handle from CreateFileW (a file, a folder or a device interface), whose
// failure value is INVALID_HANDLE_VALUE. Closing keeps the thread's last-error
// value, so that a handle released on an error path never hides the error the
// caller is about to read.
struct FileHandleTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(pointer handle) noexcept {
    const DWORD savedError = ::GetLastError();
    ::CloseHandle(handle);
    ::SetLastError(savedError);
  }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

// A handle of the service control manager: the manager itself or one service.
struct ServiceHandleTraits {
  using pointer = SC_HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer handle) noexcept { ::CloseServiceHandle(handle); }
};
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;

// A timer queue. Deleting it takes its timers with it, without waiting for a
// callback that is still running (that callback may be waiting for the very
// control handler that deletes the queue).
struct TimerQueueTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer queue) noexcept { ::DeleteTimerQueueEx(queue, nullptr); }
};
using UniqueTimerQueue = UniqueHandle<TimerQueueTraits>;

// A registered event source of the event log, whose failure value is null.
struct EventSourceTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer source) noexcept { ::DeregisterEventSource(source); }
};
using UniqueEventSource = UniqueHandle<EventSourceTraits>;

}  // namespace Corvessan::Orwe
