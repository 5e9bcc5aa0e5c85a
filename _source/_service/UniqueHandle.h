// Move-only ownership of one platform handle, in the manner of WIL's unique_any:
// one alias per handle kind, each with its own "invalid" value and close call.
#pragma once

#include <windows.h>

#include <utility>

namespace Corvessan::Orwe {

// Traits: `Type`, `Invalid()` and `Close(Type)`.
template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Type handle) noexcept : _handle(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : _handle(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Type get() const noexcept { return _handle; }
  bool valid() const noexcept { return _handle != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Closes the handle held (if any) and takes `handle` instead.
  void reset(Type handle = Traits::Invalid()) noexcept {
    Type old = std::exchange(_handle, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

  // Gives the handle up without closing it.
  Type release() noexcept { return std::exchange(_handle, Traits::Invalid()); }

 private:
  Type _handle = Traits::Invalid();
};

// An event (or any kernel object whose failure value is null), closed with CloseHandle.
struct EventHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type handle) noexcept { ::CloseHandle(handle); }
};
using UniqueEvent = UniqueHandle<EventHandleTraits>;

// A handle of the service control manager: the manager itself or one service.
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type handle) noexcept { ::CloseServiceHandle(handle); }
};
using UniqueServiceHandle = UniqueHandle<ServiceHandleTraits>;

// A timer queue. Deleting it takes its timers with it, without waiting for a
// callback that is still running (that callback may be waiting for the very
// control handler that deletes the queue).
struct TimerQueueTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type queue) noexcept { ::DeleteTimerQueueEx(queue, nullptr); }
};
using UniqueTimerQueue = UniqueHandle<TimerQueueTraits>;

}  // namespace Corvessan::Orwe
