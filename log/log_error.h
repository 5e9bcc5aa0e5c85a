// A folder or file of the logs that cannot be found, made or opened. The text
// is the log's fixed message; the Win32 error is the one the failing call left,
// taken where it failed, so that the service reports the real cause and not
// whatever a later call (or the unwinding) left in the thread's last error.
#pragma once

#include <windows.h>

#include <stdexcept>

class LogError : public std::runtime_error {
 public:
  LogError(const char* what, DWORD win32Error) : std::runtime_error(what), _win32Error(win32Error) {}

  // With the thread's last error, or `fallback` when the failing step left none.
  static LogError WithLastError(const char* what, DWORD fallback) {
    const DWORD error = GetLastError();
    return LogError(what, error != NO_ERROR ? error : fallback);
  }

  DWORD Win32Error() const { return _win32Error; }

 private:
  DWORD _win32Error;
};
