// Last error, events and waits, debug output, clock, process ids, string
// conversion and system messages.
#include <windows.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarn_sim/debug_sink.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

class Event : public tarn::sim::WaitableObject {
 public:
  Event(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled) {}

  void Set() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      signalled_ = true;
    }
    changed_.notify_all();
  }

  void Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    signalled_ = false;
  }

  // True when the event was signalled within the time-out. An auto-reset event
  // releases one waiter and becomes non-signalled again.
  bool Wait(DWORD milliseconds) override {
    std::unique_lock<std::mutex> guard(lock_);
    auto ready = [this] { return signalled_; };
    if (milliseconds == INFINITE) {
      changed_.wait(guard, ready);
    } else if (!changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), ready)) {
      return false;
    }
    if (!manualReset_) signalled_ = false;
    return true;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  const bool manualReset_;
  bool signalled_;
};

// A debugger shows what it is sent and forgets; the sink keeps only the newest
// lines, so a process tracing for months keeps a bounded memory.
struct DebugSink {
  static constexpr std::size_t kMaxLines = 4096;
  std::mutex lock;
  std::deque<std::string> lines;
};

// run/debug.log, for a reader outside the process. Past kMaxDebugLogBytes the
// file becomes debug.log.1 (replacing the one before), so it stays bounded too.
void AppendToDebugLog(const std::filesystem::path& path, const char* text) {
  constexpr std::streamoff kMaxDebugLogBytes = 16 * 1024 * 1024;
  std::ofstream log(path, std::ios::app | std::ios::binary);
  log << text;
  if (log.tellp() < kMaxDebugLogBytes) return;
  log.close();
  std::error_code ignored;
  std::filesystem::rename(path, std::filesystem::path(path) += ".1", ignored);
}

DebugSink& Sink() {
  static DebugSink* sink = new DebugSink;
  return *sink;
}

// Windows-1252 code points of the bytes 0x80 to 0x9F; 0 marks an unassigned byte,
// which maps to the code point of the same value as Windows does.
constexpr wchar_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                     0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

wchar_t Cp1252ToWide(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F && kCp1252High[byte - 0x80] != 0) return kCp1252High[byte - 0x80];
  return static_cast<wchar_t>(byte);
}

// The byte for a code point, or -1 when Windows-1252 lacks it.
int WideToCp1252(wchar_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i) {
    wchar_t mapped = kCp1252High[i] != 0 ? kCp1252High[i] : static_cast<wchar_t>(0x80 + i);
    if (mapped == c) return 0x80 + i;
  }
  return -1;
}

const char* SystemMessage(DWORD code) {
  switch (code) {
    case 0: return "The operation completed successfully.";
    case 1: return "Incorrect function.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 5: return "Access is denied.";
    case 6: return "The handle is invalid.";
    case 8: return "Not enough memory resources are available to process this command.";
    case 13: return "The data is invalid.";
    case 31: return "A device attached to the system is not functioning.";
    case 32: return "The process cannot access the file because it is being used by another process.";
    case 87: return "The parameter is incorrect.";
    case 120: return "This function is not supported on this system.";
    case 122: return "The data area passed to a system call is too small.";
    case 234: return "More data is available.";
    case 259: return "No more data is available.";
    case 997: return "Overlapped I/O operation is in progress.";
    case 1052: return "The requested control is not valid for this service.";
    case 1053: return "The service did not respond to the start or control request in a timely fashion.";
    case 1056: return "An instance of the service is already running.";
    case 1058:
      return "The service cannot be started, either because it is disabled or because it has no enabled devices "
             "associated with it.";
    case 1060: return "The specified service does not exist as an installed service.";
    case 1061: return "The service cannot accept control messages at this time.";
    case 1062: return "The service has not been started.";
    case 1063: return "The service process could not connect to the service controller.";
    case 1064: return "An exception occurred in the service when handling the control request.";
    case 1066: return "The service has returned a service-specific error code.";
    case 1067: return "The process terminated unexpectedly.";
    case 1072: return "The specified service has been marked for deletion.";
    case 1073: return "The specified service already exists.";
    case 1083:
      return "The executable program that this service is configured to run in does not implement the service.";
    case 1167: return "The device is not connected.";
    case 1168: return "Element not found.";
    case 1722: return "The RPC server is unavailable.";
    case 1784: return "The supplied user buffer is not valid for the requested operation.";
    default: return nullptr;
  }
}

void FillSystemTime(LPSYSTEMTIME out, bool local) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  if (local) {
    localtime_r(&seconds, &parts);
  } else {
    gmtime_r(&seconds, &parts);
  }
  out->wYear = static_cast<WORD>(parts.tm_year + 1900);
  out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
  out->wDay = static_cast<WORD>(parts.tm_mday);
  out->wHour = static_cast<WORD>(parts.tm_hour);
  out->wMinute = static_cast<WORD>(parts.tm_min);
  out->wSecond = static_cast<WORD>(parts.tm_sec);
  out->wMilliseconds = static_cast<WORD>(millis);
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

BOOL CloseHandle(HANDLE handle) {
  if (!tarn::sim::RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name != nullptr && *name != 0) {
    // Named events would be shared between processes; nothing here needs them.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return tarn::sim::InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
  if (name != nullptr && *name != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  return CreateEventW(attributes, manualReset, initialState, nullptr);
}

BOOL SetEvent(HANDLE handle) {
  auto event = tarn::sim::LookupHandle<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = tarn::sim::LookupHandle<Event>(handle);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = tarn::sim::LookupHandle<tarn::sim::WaitableObject>(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(milliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  DebugSink& sink = Sink();
  std::lock_guard<std::mutex> guard(sink.lock);
  if (sink.lines.size() == DebugSink::kMaxLines) sink.lines.pop_front();
  sink.lines.emplace_back(text);
  if (auto run = tarn::sim::RunFolder()) AppendToDebugLog(*run / "debug.log", text);
}

namespace tarn::sim {

std::vector<std::string> DebugOutput() {
  DebugSink& sink = Sink();
  std::lock_guard<std::mutex> guard(sink.lock);
  return {sink.lines.begin(), sink.lines.end()};
}

void ClearDebugOutput() {
  DebugSink& sink = Sink();
  std::lock_guard<std::mutex> guard(sink.lock);
  sink.lines.clear();
}

}  // namespace tarn::sim

void GetLocalTime(LPSYSTEMTIME time) { FillSystemTime(time, true); }
void GetSystemTime(LPSYSTEMTIME time) { FillSystemTime(time, false); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR narrow, int narrowSize,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  if (wide == nullptr || wideLength == 0 || narrowSize < 0 || (narrow == nullptr && narrowSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage != CP_ACP && codePage != CP_THREAD_ACP && codePage != CP_OEMCP && codePage != CP_UTF8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::size_t length = wideLength < 0 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wideLength);
  std::string out;
  bool usedDefault = false;
  if (codePage == CP_UTF8) {
    out = tarn::sim::ToUtf8(std::wstring_view(wide, length));
  } else {
    char fallback = defaultChar != nullptr ? *defaultChar : '?';
    for (std::size_t i = 0; i < length; ++i) {
      int byte = WideToCp1252(wide[i]);
      if (byte < 0) {
        usedDefault = true;
        out += fallback;
      } else {
        out += static_cast<char>(byte);
      }
    }
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  if (narrowSize == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<std::size_t>(narrowSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(narrow, out.data(), out.size());
  return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowLength, LPWSTR wide, int wideSize) {
  if (narrow == nullptr || narrowLength == 0 || wideSize < 0 || (wide == nullptr && wideSize != 0) || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t length = narrowLength < 0 ? std::strlen(narrow) + 1 : static_cast<std::size_t>(narrowLength);
  std::wstring out;
  if (codePage == CP_UTF8) {
    out = tarn::sim::FromUtf8(std::string_view(narrow, length));
  } else {
    for (std::size_t i = 0; i < length; ++i) out += Cp1252ToWide(static_cast<unsigned char>(narrow[i]));
  }
  if (wideSize == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<std::size_t>(wideSize)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(wide, out.data(), out.size());
  return static_cast<int>(out.size());
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, va_list*) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* message = SystemMessage(messageId);
  if (message == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  std::string text = std::string(message) + "\r\n";
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    char* allocated = static_cast<char*>(std::malloc(text.size() + 1));
    if (allocated == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(allocated, text.c_str(), text.size() + 1);
    *reinterpret_cast<LPSTR*>(buffer) = allocated;
    return static_cast<DWORD>(text.size());
  }
  if (text.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  char path[4096];
  ssize_t length = module == nullptr ? readlink("/proc/self/exe", path, sizeof(path) - 1) : -1;
  if (length < 0 || buffer == nullptr) {
    SetLastError(module == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  std::wstring wide = tarn::sim::FromUtf8(std::string_view(path, static_cast<std::size_t>(length)));
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() >= size) {
    std::wmemcpy(buffer, wide.data(), size - 1);
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::wmemcpy(buffer, wide.data(), wide.size());
  buffer[wide.size()] = 0;
  return static_cast<DWORD>(wide.size());
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  std::vector<wchar_t> wide(size == 0 ? 1 : size);
  DWORD length = GetModuleFileNameW(module, wide.data(), static_cast<DWORD>(wide.size()));
  if (length == 0) return 0;
  for (DWORD i = 0; i < length && i < size; ++i) {
    int byte = WideToCp1252(wide[i]);
    buffer[i] = byte < 0 ? '?' : static_cast<char>(byte);
  }
  if (length < size) buffer[length] = 0;
  return length;
}

int __argc = 0;
wchar_t** __wargv = nullptr;
