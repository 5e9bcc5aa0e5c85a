#include "QorLogService.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <thread>

#include "UniqueHandle.h"
#include "debug_trace.h"
#include "settings.h"
#include "tick_gate.h"

namespace qorlogsvc::model::service {
namespace {

// The error of the call that failed last, for a step whose failure came as an
// exception; `fallback` when none was recorded.
DWORD LastErrorOr(DWORD fallback) {
  const DWORD error = GetLastError();
  return error != NO_ERROR ? error : fallback;
}

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

  // Replaces the timer (if the queue exists): first tick after `dueMs`, then
  // one every `periodMs` (none when 0).
  void Start(DWORD dueMs, DWORD periodMs, std::uintptr_t parameter) {
    if (!_queue) return;
    DeleteTimer();
    CreateTimerQueueTimer(&_timer, _queue.get(), &QorLogService::TimerProc, reinterpret_cast<PVOID>(parameter),
                          dueMs, periodMs, WT_EXECUTEDEFAULT);
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
TickGate logTicks;
TickGate uploadTicks;

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

  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_PRESHUTDOWN) {
    HandleStop(*status);
  } else if (control == SERVICE_CONTROL_LOG_TIMER || control == SERVICE_CONTROL_UPLOADLOG_TIMER) {
    HandleSampling(control);
    if (_stopAfterThisControl) {
      _stopAfterThisControl = false;
      HandleStop(*status);
    }
  }
  // Interrogate, power and session events change nothing but what the report shows of the start.
  ReflectStartFailure(*status);
  return NO_ERROR;
}

// Acknowledged at once, whatever the start is doing: the manager hears of the
// stop within its time-out even while a start step waits for a slow driver.
// When a start is under way it tears down itself after its current step (see
// Run) and the host's check points cover the wait; otherwise the handler does.
DWORD QorLogService::HandleStop(SERVICE_STATUS& status) {
  bool startInProgress = false;
  {
    std::lock_guard<std::mutex> guard(_stopLock);
    _stopRequested = true;
    startInProgress = _startInProgress;
  }
  if (startInProgress) {
    status.dwCurrentState = SERVICE_STOP_PENDING;
    status.dwCheckPoint = 0;
    status.dwWaitHint = kStopDuringStartWaitHintMs;
    DebugTrace("The start is still under way; the service stops after its current step.\n");
    return NO_ERROR;
  }
  // Uncontended but for a start that is finishing its own tear-down, which is short.
  std::lock_guard<std::mutex> guard(_lifecycleLock);
  Shutdown(status);
  return NO_ERROR;
}

// A sampling control that arrives while a start step may still block (it can
// only come from outside then: the timers do not exist yet) finds nothing to
// sample; waiting for the step would block every other control. Otherwise
// whoever holds the lock is only briefly busy (the start creating its timers,
// whose first tick may come at once, or a tear-down), and the cycle waits.
DWORD QorLogService::HandleSampling(DWORD control) {
  std::unique_lock<std::mutex> guard(_lifecycleLock, std::defer_lock);
  while (!guard.try_lock()) {
    if (_startStepsUnderWay) {
      DebugTrace("The start is still under way; control %u has nothing to sample.\n", static_cast<unsigned>(control));
      return NO_ERROR;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  try {
    if (control == SERVICE_CONTROL_LOG_TIMER) {
      OnLogTimer();
    } else {
      OnUploadLogTimer();
    }
  } catch (const std::exception& error) {
    DebugTrace("Handling control %u failed: %s\n", static_cast<unsigned>(control), error.what());
  }
  return NO_ERROR;
}

DWORD QorLogService::Run(HANDLE, SERVICE_STATUS_HANDLE) {
  if (!BeginStart()) return NO_ERROR;  // stopped before it began
  // Ends the start on every way out, an exception included: a stop that came
  // meanwhile left the tear-down to this start.
  struct StartMark {
    QorLogService& service;
    ~StartMark() {
      if (!service.EndStart()) return;
      std::lock_guard<std::mutex> guard(service._lifecycleLock);
      service.ReleaseResources();
    }
  } mark{*this};
  return StartSequence();
}

bool QorLogService::BeginStart() {
  std::lock_guard<std::mutex> guard(_stopLock);
  if (_stopRequested) return false;
  _startInProgress = true;
  _startStepsUnderWay = true;
  return true;
}

// True when a stop arrived while the start was under way.
bool QorLogService::EndStart() {
  std::lock_guard<std::mutex> guard(_stopLock);
  _startInProgress = false;
  return _stopRequested;
}

// The start steps; each may block (a slow driver request, registry or file), so
// a stop is looked for before every step that would create something. A step
// that fails leaves the service running with its error recorded, and the local
// timer retries the failed steps (RetryStart) until they succeed.
DWORD QorLogService::StartSequence() {
  std::lock_guard<std::mutex> guard(_lifecycleLock);
  // Cleared on every way out, while the lock is still held (destroyed before `guard`).
  struct StepsDone {
    std::atomic<bool>& underWay;
    ~StepsDone() { underWay = false; }
  } stepsDone{_startStepsUnderWay};
  if (_channel.Discover() != NO_ERROR) {
    // The stop comes back through the handler, which does not wait for this start.
    StopOwnService();
    return NO_ERROR;
  }
  if (StopHandled()) return NO_ERROR;
  const StepFailure failure = StartSteps();
  if (StopHandled()) return NO_ERROR;

  {
    // Created under the stop lock: a stop either comes first and no timer is
    // made, or finds the start still under way and leaves the timers to its
    // tear-down.
    std::lock_guard<std::mutex> stopGuard(_stopLock);
    if (StopHandled()) return NO_ERROR;
    _startStepsUnderWay = false;  // the first tick may come at once: it waits for this lock
    logTimer.CreateQueue();
    uploadTimer.CreateQueue();
    _lastStartAttempt = std::chrono::steady_clock::now();
    _startAttempted = true;
    if (failure.exitCode != NO_ERROR) {
      ArmStartRetry(failure);
    } else {
      StartTimers(_logPeriodMs, _uploadLogPeriodMs);
    }
  }
  // Outside the stop lock, which a stop takes: the event log may take its time.
  if (failure.exitCode != NO_ERROR) {
    ReportStartFailure(failure);
    return failure.exitCode;
  }
  _events.SamplingBegan();
  return NO_ERROR;
}

// The steps after discovery, each done only while its result is missing, so
// that a retry redoes exactly the steps that failed.
QorLogService::StepFailure QorLogService::StartSteps() {
  StepFailure driverFailure;
  if (!_driverReady) {
    driverFailure = StartDriver();
    if (StopHandled()) return {};
    _driverReady = driverFailure.exitCode == NO_ERROR;
  }
  // Taken even when the driver failed: its retries follow the local period.
  if (!_settingsTaken) {
    CopySettings(ProcessSettings());
    _settingsTaken = true;
    if (StopHandled()) return {};
  }
  if (driverFailure.exitCode != NO_ERROR) return driverFailure;
  return CreateLogs();
}

QorLogService::StepFailure QorLogService::StartDriver() {
  if (const DWORD error = _channel.OpenAll(); error != NO_ERROR) return DriverFailure("opening", error);
  if (StopHandled()) return {};
  if (const DWORD error = _channel.CheckAll(); error != NO_ERROR) return DriverFailure("checking", error);
  if (StopHandled()) return {};
  if (const DWORD error = _channel.IdentifyAll(); error != NO_ERROR) return DriverFailure("identifying", error);
  return {};
}

// A driver step's error is both Run's exit code and the Win32 error.
QorLogService::StepFailure QorLogService::DriverFailure(const char* what, DWORD error) {
  return {what, error, error, "the driver's interfaces"};
}

// Creates, configures and opens whichever log is not yet made or open; the
// local log is pruned and rotated before it is opened. Exit code 1 when a folder
// or file fails (what was made before stays, for the next attempt to go on
// from). A stop that arrives meanwhile ends it before the next file is touched.
QorLogService::StepFailure QorLogService::CreateLogs() {
  try {
    if (!_localLog) {
      auto localLog = std::make_unique<LogFileManager>();
      localLog->_fileSizeByte = _logFileSizeByte;
      localLog->_fileBackupNum = _logFileBackupNum;
      localLog->Configure(L"TARNLog", std::wstring(L"# LogFormatVersion:") + L"V1.00");
      _localLog = std::move(localLog);
    }
    if (!_uploadLog) {
      auto uploadLog = std::make_unique<UploadLogFileManager>();
      uploadLog->_fileSizeByte = _uploadLogFileSizeByte;
      uploadLog->_fileBackupNum = _uploadLogFileBackupNum;
      static_cast<LogFileManager&>(*uploadLog)
          .Configure(L"TARNLogUpload", std::wstring(L"#vorla_upload LogFormatVersion:") + L"V1.00");
      _uploadLog = std::move(uploadLog);
    }
  } catch (const std::exception& error) {
    return {"making", 1, LastErrorOr(ERROR_CANNOT_MAKE), std::string("the log folder: ") + error.what()};
  }
  try {
    OpenLogs();
  } catch (const std::exception& error) {
    return {"opening", 1, LastErrorOr(ERROR_OPEN_FAILED), std::string("the log files: ") + error.what()};
  }
  return {};
}

void QorLogService::OpenLogs() {
  if (StopHandled()) return;
  if (!_localLog->IsOpen()) {
    _localLog->RemoveOldBackups(_localLog->Folder());
    if (StopHandled()) return;
    _localLog->RotateIfNeeded();
    if (StopHandled()) return;
    _localLog->Open();
  }
  if (StopHandled() || _uploadLog->IsOpen()) return;
  _uploadLog->Open();
}

// Recorded for the status reports (see ReflectStartFailure); the local timer
// retries on its period, no more often than once a second.
void QorLogService::ArmStartRetry(const StepFailure& failure) {
  _startFailure = failure.exitCode;
  const DWORD retryMs = RetryIntervalMs();
  uploadTimer.DeleteTimer();
  logTimer.Start(retryMs, retryMs, kLogTimerParameter);
}

void QorLogService::ReportStartFailure(const StepFailure& failure) {
  DebugTrace("The start failed %s %s (%lu): retried every %lu ms\n", failure.what, failure.detail.c_str(),
             static_cast<unsigned long>(failure.win32Error), static_cast<unsigned long>(RetryIntervalMs()));
  _events.StartStepFailed(failure.what, failure.detail, failure.win32Error, RetryIntervalMs());
}

DWORD QorLogService::RetryIntervalMs() const { return std::max<DWORD>(_logPeriodMs, kMinRecoveryIntervalMs); }

// On the dispatcher thread, from a local tick while the start has not
// succeeded: redoes the failed steps, then starts sampling as a start that
// succeeded at once would have.
void QorLogService::RetryStart() {
  const auto now = std::chrono::steady_clock::now();
  if (now - _lastStartAttempt < std::chrono::milliseconds(kMinRecoveryIntervalMs)) return;
  _lastStartAttempt = now;
  if (!_driverReady) {
    // Interfaces may have come or gone meanwhile: looked for anew, as a recovery does.
    _channel.CloseAll();
    if (_channel.Discover() != NO_ERROR) {
      _stopAfterThisControl = true;  // no driver at all: the documented self-stop
      return;
    }
  }
  const StepFailure failure = StartSteps();
  if (failure.exitCode != NO_ERROR) {
    // A new reason is recorded and told; the same one again only waits for the next try.
    if (failure.exitCode != _startFailure) {
      ArmStartRetry(failure);
      ReportStartFailure(failure);
    }
    return;
  }
  _startFailure = NO_ERROR;
  StartTimers(_logPeriodMs, _uploadLogPeriodMs);
  DebugTrace("The start succeeded on a retry: sampling began.\n");
  _events.SamplingResumed();
}

// The exit codes of the status report follow the start: 1066 with the failed
// step's code while it fails, cleared once a retry has succeeded.
void QorLogService::ReflectStartFailure(SERVICE_STATUS& status) const {
  const DWORD failure = _startFailure;
  if (failure != NO_ERROR) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = failure;
  } else if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
  }
}

// Both timers anew, each with its own period; the first ticks come after the
// given due times.
void QorLogService::StartTimers(DWORD logDueMs, DWORD uploadDueMs) {
  logTimer.Start(logDueMs, _logPeriodMs, kLogTimerParameter);
  uploadTimer.Start(uploadDueMs, _uploadLogPeriodMs, kUploadTimerParameter);
}

void QorLogService::Shutdown(SERVICE_STATUS& status) {
  status.dwCurrentState = SERVICE_STOP_PENDING;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 0;
  ReleaseResources();
}

// The logs are closed before the timers go, so no late tick writes after it.
void QorLogService::ReleaseResources() {
  if (_localLog) _localLog->Close();
  if (_uploadLog) _uploadLog->Close();
  logTimer.DeleteQueue();
  uploadTimer.DeleteQueue();
  _channel.CloseAll();
  _events.Close();
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
  const auto which = reinterpret_cast<std::uintptr_t>(parameter);
  if (which != kLogTimerParameter && which != kUploadTimerParameter) return;
  const DWORD control = which == kLogTimerParameter ? SERVICE_CONTROL_LOG_TIMER : SERVICE_CONTROL_UPLOADLOG_TIMER;
  TickGate& ticks = which == kLogTimerParameter ? logTicks : uploadTicks;
  if (!ticks.TryEnter()) return;
  // A callback of the system's pool must never let an exception out.
  try {
    if (const unsigned dropped = ticks.TakeDropped(); dropped != 0)
      DebugTrace("%u ticks of control %u dropped: the previous one was still waiting\n", dropped,
                 static_cast<unsigned>(control));
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    UniqueServiceHandle service;
    if (manager) service.reset(OpenServiceW(manager.get(), kServiceName, SERVICE_USER_DEFINED_CONTROL));
    if (service) {
      SERVICE_STATUS status{};
      ControlService(service.get(), control, &status);
    }
  } catch (...) {
  }
  ticks.Leave();
}

QorLogService::TimerPresence QorLogService::Timers() {
  return {logTimer.HasQueue(), uploadTimer.HasQueue(), logTimer.Timer(), uploadTimer.Timer()};
}

void QorLogService::OnLogTimer() {
  // Before the start has ended (a control from outside), or after a stop:
  // nothing to sample for.
  if (StopHandled() || !_startAttempted) return;
  if (_startFailure != NO_ERROR) {
    RetryStart();
    return;
  }
  if (const DWORD error = _channel.ReadAll(); error != NO_ERROR) {
    if (!_driverLost) {
      _driverLost = true;
      _events.DriverLost(error);
    }
    RecoverDriver();
    return;
  }
  if (_driverLost) {
    _driverLost = false;
    _events.DriverRecovered();
  }
  WriteSample(*_localLog, _channel.devices);
}

void QorLogService::OnUploadLogTimer() {
  if (StopHandled() || !_startAttempted || _startFailure != NO_ERROR) return;
  if (_channel.ReadAll() != NO_ERROR) return;  // the next local tick repairs the channel
  WriteSample(*_uploadLog, _channel.devices);
}

// Rebuilds the channel after a failed read. Both timers start a new period
// afterwards, the local one at least kMinRecoveryIntervalMs from now. When no driver is left at all the service stops itself, in this
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
  // The next local tick, which retries the read, no sooner than the minimum
  // interval: a read that keeps failing never spins (LogPeriodMs 0 re-arms at once).
  StartTimers(std::max<DWORD>(_logPeriodMs, kMinRecoveryIntervalMs), _uploadLogPeriodMs);
}

}  // namespace qorlogsvc::model::service
