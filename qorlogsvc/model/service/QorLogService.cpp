#include "QorLogService.h"

#include <cstdint>
#include <cstring>
#include <exception>

#include "UniqueHandle.h"
#include "debug_trace.h"
#include "settings.h"

namespace qorlogsvc::model::service {
namespace {

using Corvessan::Orwe::UniqueServiceHandle;
using Corvessan::Orwe::UniqueTimerQueue;

constexpr wchar_t kServiceName[] = L"TarnSvc";
constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE |
                                    SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_TRIGGEREVENT;
static_assert(kControlsAccepted == 0x5C1);

// Access that StopOwnService asks for: standard required rights with query and
// change configuration, query status, enumerate dependents, start and stop.
constexpr DWORD kOwnServiceAccess = 0xF003F;

constexpr std::uintptr_t kLogTimerParameter = 1;
constexpr std::uintptr_t kUploadTimerParameter = 2;

// One periodic timer and the queue it lives in. The queue owns the timer:
// deleting the queue deletes the timer with it.
class IntervalTimer {
 public:
  void CreateQueue() { _queue.reset(CreateTimerQueue()); }

  // Replaces the timer (if the queue exists): first tick after one period.
  void Start(DWORD periodMs, std::uintptr_t parameter) {
    if (!_queue) return;
    DeleteTimer();
    CreateTimerQueueTimer(&_timer, _queue.get(), &QorLogService::TimerProc, reinterpret_cast<PVOID>(parameter),
                          periodMs, periodMs, WT_EXECUTEDEFAULT);
  }

  // Deletes the timer without waiting for a running callback: that callback may
  // be the one waiting for the control handler that is deleting it. FALSE with
  // ERROR_IO_PENDING only says such a callback is still finishing.
  void DeleteTimer() {
    if (_timer == nullptr) return;
    DeleteTimerQueueTimer(_queue.get(), _timer, nullptr);
    _timer = nullptr;
  }

  void DeleteQueue() {
    _timer = nullptr;
    _queue.reset();
  }

  bool HasQueue() const { return _queue.is_valid(); }
  HANDLE Timer() const { return _timer; }

 private:
  UniqueTimerQueue _queue;
  HANDLE _timer = nullptr;
};

// Process-wide, as the timers belong to the process rather than to one object.
IntervalTimer logTimer;
IntervalTimer uploadTimer;

const char* ControlTraceMessage(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return "SERVICE_CONTROL_STOP\n";
    case SERVICE_CONTROL_INTERROGATE:
      return "SERVICE_CONTROL_INTERROGATE\n";
    case SERVICE_CONTROL_POWEREVENT:
      return "SERVICE_CONTROL_POWEREVENT\n";
    case SERVICE_CONTROL_SESSIONCHANGE:
      return "SERVICE_CONTROL_SESSIONCHANGE\n";
    case SERVICE_CONTROL_PRESHUTDOWN:
      return "SERVICE_CONTROL_PRESHUTDOWN\n";
    case SERVICE_CONTROL_LOG_TIMER:
      return "SERVICE_CONTROL_LOG_TIMER\n";
    case SERVICE_CONTROL_UPLOADLOG_TIMER:
      return "SERVICE_CONTROL_UPLOADLOG_TIMER\n";
    default:
      return nullptr;
  }
}

// The two lower-case hexadecimal digits of every byte value.
struct HexPairs {
  wchar_t digits[256][2];
  constexpr HexPairs() : digits() {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (int value = 0; value < 256; ++value) {
      digits[value][0] = kDigits[value >> 4];
      digits[value][1] = kDigits[value & 0xF];
    }
  }
};
constexpr HexPairs kHexPairs;

// Writes the value's lowest `bytes` bytes as 2 * `bytes` hexadecimal digits,
// ending just before `end`.
void PutHexBefore(wchar_t* end, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i, value >>= 8) {
    end -= 2;
    std::memcpy(end, kHexPairs.digits[value & 0xFF], sizeof(kHexPairs.digits[0]));  // both digits at once
  }
}

// Writes one sample to a log and rotates it. A log that cannot be written
// loses this row only: the timers keep running and the next tick tries again.
template <class Log>
void WriteSample(Log& log, const DriverChannel::DeviceMap& devices) {
  try {
    log.WriteRow(BuildRow(devices));
    log.RotateIfNeeded();
  } catch (const std::exception& error) {
    DebugTrace("Writing the log failed: %s\n", error.what());
  }
}

}  // namespace

std::wstring BuildRow(const DriverChannel::DeviceMap& devices) {
  // "ii,rrrrrrrrrrrrrrrr,rrrrrrrrrrrrrrrr" per entry and a comma between entries:
  // the row's length is known, so the digits go straight into their places.
  constexpr std::size_t kEntryLength = 2 + 1 + 16 + 1 + 16;
  if (devices.empty()) return std::wstring();
  std::wstring row(devices.size() * (kEntryLength + 1) - 1, L',');
  std::size_t start = 0;
  for (const auto& [path, device] : devices) {
    wchar_t* entry = row.data() + start;
    PutHexBefore(entry + 2, device.componentId, 1);
    PutHexBefore(entry + 19, device.reading1, 8);
    PutHexBefore(entry + 36, device.reading0, 8);
    start += kEntryLength + 1;
  }
  return row;
}

QorLogService::QorLogService() : _name(kServiceName) { CopySettings(ServiceSettings{}); }

void QorLogService::CopySettings(const ServiceSettings& settings) {
  _logPeriodMs = settings.logPeriodMs;
  _logFileSizeByte = settings.logFileSizeByte;
  _logFileBackupNum = settings.logFileBackupNum;
  _uploadLogPeriodMs = settings.uploadLogPeriodMs;
  _uploadLogFileSizeByte = settings.uploadLogFileSizeByte;
  _uploadLogFileBackupNum = settings.uploadLogFileBackupNum;
}

DWORD QorLogService::Initialize(DWORD* serviceSpecificExitCode) {
  *serviceSpecificExitCode = 0;
  return NO_ERROR;
}

DWORD QorLogService::GetControlsAccepted() { return kControlsAccepted; }

std::wstring QorLogService::GetServiceName(int, LPWSTR*) { return _name; }

DWORD QorLogService::HandleControl(DWORD control, DWORD, LPVOID, SERVICE_STATUS* status) {
  const char* message = ControlTraceMessage(control);
  if (message == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  DebugTrace("%s", message);

  const bool stopping = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_PRESHUTDOWN;
  const bool sampling = control == SERVICE_CONTROL_LOG_TIMER || control == SERVICE_CONTROL_UPLOADLOG_TIMER;
  if (!stopping && !sampling) return NO_ERROR;  // interrogate, power and session events change nothing

  if (stopping) _stopRequested = true;
  std::lock_guard<std::mutex> guard(_lifecycleLock);
  try {
    if (stopping) {
      Shutdown(*status);
    } else if (control == SERVICE_CONTROL_LOG_TIMER) {
      OnLogTimer();
    } else {
      OnUploadLogTimer();
    }
  } catch (const std::exception& error) {
    DebugTrace("Handling control %u failed: %s\n", static_cast<unsigned>(control), error.what());
  }
  if (_stopAfterThisControl) {
    _stopAfterThisControl = false;
    _stopRequested = true;
    Shutdown(*status);
  }
  return NO_ERROR;
}

DWORD QorLogService::Run(HANDLE, SERVICE_STATUS_HANDLE) {
  std::unique_lock<std::mutex> guard(_lifecycleLock);
  if (StopHandled()) return NO_ERROR;
  if (_channel.Discover() != NO_ERROR) {
    // The stop arrives through the handler, which needs this lock.
    guard.unlock();
    StopOwnService();
    return NO_ERROR;
  }
  if (const DWORD error = StartDriver(); error != NO_ERROR) return error;
  if (StopHandled()) return NO_ERROR;

  CopySettings(ProcessSettings());
  if (const DWORD error = CreateLogs(); error != NO_ERROR) return error;
  if (StopHandled()) return NO_ERROR;

  logTimer.CreateQueue();
  uploadTimer.CreateQueue();
  StartTimers(_logPeriodMs, _uploadLogPeriodMs);
  return NO_ERROR;
}

DWORD QorLogService::StartDriver() {
  if (const DWORD error = _channel.OpenAll(); error != NO_ERROR) return error;
  if (const DWORD error = _channel.CheckAll(); error != NO_ERROR) return error;
  return _channel.IdentifyAll();
}

// Creates, configures and opens both logs; the local log is pruned and rotated
// first. 1 when a folder or file fails (what was made before stays).
DWORD QorLogService::CreateLogs() {
  try {
    _localLog = std::make_unique<LogFileManager>();
    _localLog->_fileSizeByte = _logFileSizeByte;
    _localLog->_fileBackupNum = _logFileBackupNum;
    auto uploadLog = std::make_unique<UploadLogFileManager>();
    uploadLog->_fileSizeByte = _uploadLogFileSizeByte;
    uploadLog->_fileBackupNum = _uploadLogFileBackupNum;
    _uploadLog = std::move(uploadLog);
  } catch (const std::exception&) {
    return 1;
  }
  _localLog->Configure(L"TARNLog", std::wstring(L"# LogFormatVersion:") + L"V1.00");
  _uploadLog->Configure(L"TARNLogUpload", std::wstring(L"#vorla_upload LogFormatVersion:") + L"V1.00");
  try {
    _localLog->RemoveOldBackups(_localLog->Folder());
    _localLog->RotateIfNeeded();
    _localLog->Open();
    _uploadLog->Open();
  } catch (const std::exception&) {
    return 1;
  }
  return NO_ERROR;
}

void QorLogService::StartTimers(DWORD logPeriodMs, DWORD uploadPeriodMs) {
  logTimer.Start(logPeriodMs, kLogTimerParameter);
  uploadTimer.Start(uploadPeriodMs, kUploadTimerParameter);
}

void QorLogService::Shutdown(SERVICE_STATUS& status) {
  if (_localLog) _localLog->Close();
  if (_uploadLog) _uploadLog->Close();
  status.dwCurrentState = SERVICE_STOP_PENDING;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 0;
  logTimer.DeleteQueue();
  uploadTimer.DeleteQueue();
  _channel.CloseAll();
}

void QorLogService::StopOwnService() {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return;
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, kOwnServiceAccess));
  if (!service) return;
  SERVICE_STATUS status{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
}

void CALLBACK QorLogService::TimerProc(PVOID parameter, BOOLEAN) {
  // A callback of the system's pool must never let an exception out.
  try {
    const auto which = reinterpret_cast<std::uintptr_t>(parameter);
    if (which == 0) return;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!manager) return;
    UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_USER_DEFINED_CONTROL));
    if (!service) return;
    SERVICE_STATUS status{};
    if (which == kLogTimerParameter) {
      ControlService(service.get(), SERVICE_CONTROL_LOG_TIMER, &status);
    } else if (which == kUploadTimerParameter) {
      ControlService(service.get(), SERVICE_CONTROL_UPLOADLOG_TIMER, &status);
    }
  } catch (...) {
  }
}

QorLogService::TimerPresence QorLogService::Timers() {
  return {logTimer.HasQueue(), uploadTimer.HasQueue(), logTimer.Timer(), uploadTimer.Timer()};
}

void QorLogService::OnLogTimer() {
  // No log yet (a control from outside during or after a failed start), or a
  // stop already handled: nothing to sample for.
  if (!_localLog || StopHandled()) return;
  if (_channel.ReadAll() != NO_ERROR) {
    RecoverDriver();
    return;
  }
  WriteSample(*_localLog, _channel.devices);
}

void QorLogService::OnUploadLogTimer() {
  if (!_uploadLog || StopHandled()) return;
  if (_channel.ReadAll() != NO_ERROR) return;  // the next local tick repairs the channel
  WriteSample(*_uploadLog, _channel.devices);
}

// Rebuilds the channel after a failed read. Both timers start a new period
// afterwards. When no driver is left at all the service stops itself, in this
// handler, once the recovery is done.
void QorLogService::RecoverDriver() {
  logTimer.DeleteTimer();
  uploadTimer.DeleteTimer();
  _channel.CloseAll();
  if (_channel.Discover() != NO_ERROR) {
    _stopAfterThisControl = true;
  } else if (_channel.OpenAll() == NO_ERROR && _channel.CheckAll() == NO_ERROR) {
    _channel.IdentifyAll();
  }
  StartTimers(_logPeriodMs, _uploadLogPeriodMs);
}

}  // namespace qorlogsvc::model::service
