// The owners of the Win32 handle kinds the system uses, and of C runtime
// streams: on Windows over the system's own functions, on Linux over the
// stand-in's (platform/posix). Each alias is named after what it holds; its
// traits are named after the kind's invalid value (see unique_any.h):
//   UniqueNullInvalid<Pointer, Close>         null (or 0) means "nothing held";
//   UniqueInvalidHandleValue<Pointer, Close>  INVALID_HANDLE_VALUE does.
// Every close keeps the thread's last-error value and errno.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cerrno>
#include <cstdio>

#include "unique_any.h"

namespace tarn {

// Keeps the thread's last-error value and errno across a close.
class KeepLastError {
 public:
  KeepLastError() noexcept : _saved(::GetLastError()) {}
  ~KeepLastError() { ::SetLastError(_saved); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD _saved;
  KeepErrno _errno;
};

// Kinds whose invalid value is INVALID_HANDLE_VALUE, closed with `CloseFunction`.
template <typename Pointer, auto CloseFunction>
struct InvalidHandleValueTraits {
  using pointer = Pointer;
  static pointer Invalid() noexcept { return static_cast<pointer>(INVALID_HANDLE_VALUE); }
  static void Close(pointer value) noexcept { static_cast<void>(CloseFunction(value)); }
};

template <typename Pointer, auto CloseFunction>
using UniqueNullInvalid = UniqueAny<NullInvalidTraits<Pointer, CloseFunction>, KeepLastError>;
template <typename Pointer, auto CloseFunction>
using UniqueInvalidHandleValue = UniqueAny<InvalidHandleValueTraits<Pointer, CloseFunction>, KeepLastError>;

// Deletes a timer queue and its timers without waiting for a callback that is
// still running (that callback may be waiting for the very control handler
// that deletes the queue).
inline BOOL DeleteTimerQueueWithoutWaiting(HANDLE queue) noexcept { return ::DeleteTimerQueueEx(queue, nullptr); }

inline int CloseStdioFile(std::FILE* file) noexcept { return std::fclose(file); }

// A kernel object whose failure value is null: an event, a process, an access token.
using UniqueHandle = UniqueNullInvalid<HANDLE, &::CloseHandle>;
// A handle from CreateFileW (a file, a folder or a device interface).
using UniqueFileHandle = UniqueInvalidHandleValue<HANDLE, &::CloseHandle>;
// A handle of the service control manager: the manager itself or one service.
using UniqueServiceHandle = UniqueNullInvalid<SC_HANDLE, &::CloseServiceHandle>;
using UniqueTimerQueue = UniqueNullInvalid<HANDLE, &DeleteTimerQueueWithoutWaiting>;
// A registered event source of the event log.
using UniqueEventSource = UniqueNullInvalid<HANDLE, &::DeregisterEventSource>;
using UniqueRegKey = UniqueNullInvalid<HKEY, &::RegCloseKey>;
// Memory a call allocated with LocalAlloc for its caller (security descriptors,
// SIDs, strings), as the type the call fills in.
template <typename T>
using UniqueLocalPtr = UniqueNullInvalid<T*, &::LocalFree>;
using UniqueLocalMemory = UniqueLocalPtr<void>;
// A device information list from SetupDiGetClassDevsW.
using UniqueDeviceInfoList = UniqueInvalidHandleValue<HDEVINFO, &::SetupDiDestroyDeviceInfoList>;
// A C runtime stream (fopen, _wfsopen, _fdopen).
using UniqueStdioFile = UniqueNullInvalid<std::FILE*, &CloseStdioFile>;

}  // namespace tarn
