// Owning wrappers for the Win32 handles of the driver channel: one move-only
// wrapper per handle kind, which closes its handle when it is reset or destroyed.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <utility>

// Holds one handle of the kind described by Traits:
//   Traits::pointer        the handle type
//   Traits::Invalid()      the value that means "no handle"
//   Traits::Close(handle)  releases a valid handle
template <class Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept : _value(Traits::Invalid()) {}
  explicit UniqueHandle(pointer value) noexcept : _value(value) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : _value(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  pointer get() const noexcept { return _value; }
  bool is_valid() const noexcept { return _value != Traits::Invalid(); }
  explicit operator bool() const noexcept { return is_valid(); }

  // Closes the handle held so far (if any) and takes `value`.
  void reset(pointer value = Traits::Invalid()) noexcept {
    pointer old = std::exchange(_value, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

  // Gives up ownership without closing.
  pointer release() noexcept { return std::exchange(_value, Traits::Invalid()); }

 private:
  pointer _value;
};

// Closing keeps the thread's last-error value, so that a handle released on an
// error path never hides the error the caller is about to read.
struct DeviceHandleTraits {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(pointer handle) noexcept {
    const DWORD savedError = GetLastError();
    CloseHandle(handle);
    SetLastError(savedError);
  }
};

struct DeviceInfoListTraits {
  using pointer = HDEVINFO;
  static pointer Invalid() noexcept { return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE); }
  static void Close(pointer list) noexcept {
    const DWORD savedError = GetLastError();
    SetupDiDestroyDeviceInfoList(list);
    SetLastError(savedError);
  }
};

// A handle from CreateFileW on a device interface (INVALID_HANDLE_VALUE when closed).
using UniqueDeviceHandle = UniqueHandle<DeviceHandleTraits>;
// A device information list from SetupDiGetClassDevsW.
using UniqueDeviceInfoList = UniqueHandle<DeviceInfoListTraits>;
