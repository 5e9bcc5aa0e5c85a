#include "debug_trace.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<std::uint32_t> traceEnabled{0};
std::atomic<std::uint32_t> traceToStderr{0};
std::atomic<DWORD> cachedProcessId{0};

constexpr std::size_t kMessageBufferSize = 261;
constexpr std::size_t kLineBufferSize = 522;

DWORD ProcessId() {
  DWORD id = cachedProcessId.load(std::memory_order_relaxed);
  if (id == 0) {
    id = GetCurrentProcessId();
    cachedProcessId.store(id, std::memory_order_relaxed);
  }
  return id;
}

}  // namespace

void DebugTrace(const char* format, ...) {
  // Switched off (the usual case, on every sampling tick) the call touches
  // nothing: no clock, no formatting, and the last-error value stays as it is.
  if (traceEnabled.load(std::memory_order_relaxed) == 0) return;
  char message[kMessageBufferSize] = {};
  char line[kLineBufferSize] = {};
  const DWORD savedError = GetLastError();
  SYSTEMTIME now;
  GetLocalTime(&now);

  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof(message), format, arguments);
  va_end(arguments);

  std::snprintf(line, sizeof(line), "%lu:[%s] %04u/%02u/%02u %02u:%02u:%02u %s\n",
                static_cast<unsigned long>(ProcessId()), "QorLog", static_cast<unsigned>(now.wYear),
                static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wHour),
                static_cast<unsigned>(now.wMinute), static_cast<unsigned>(now.wSecond), message);
  OutputDebugStringA(line);
  if (traceToStderr.load(std::memory_order_relaxed) != 0) {
    std::fprintf(stderr, "%s", line);
    std::fflush(stderr);
  }
  SetLastError(savedError);
}

void SetTraceEnabled(bool enabled) { traceEnabled.store(enabled ? 1 : 0); }
void SetTraceToStderr(bool toStderr) { traceToStderr.store(toStderr ? 1 : 0); }

void ConfigureTraceFromEnvironment() {
  const char* setting = std::getenv("TARN_TRACE");
  if (setting == nullptr) return;
  if (std::strcmp(setting, "1") == 0) {
    SetTraceEnabled(true);
  } else if (std::strcmp(setting, "stderr") == 0) {
    SetTraceEnabled(true);
    SetTraceToStderr(true);
  }
}

std::string ToNarrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, wide.c_str(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, wide.c_str(), length, narrow.data(), needed, nullptr, nullptr) == 0)
    return std::string();
  return narrow;
}
