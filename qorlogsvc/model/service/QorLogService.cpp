#include "QorLogService.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "debug_trace.h"
#include "interval_timers.h"
#include "log_error.h"
#include "settings.h"

namespace qorlogsvc::model::service {
namespace {

// The Win32 error that a log's failure carries from where it happened;
// `fallback` for any other exception, which has none.
DWORD Win32ErrorOf(const std::exception& error, DWORD fallback) {
  const auto* logError = dynamic_cast<const LogError*>(&error);
  return logError != nullptr ? logError->Win32Error() : fallback;
}

constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_POWEREVENT | SERVICE_ACCEPT_SESSIONCHANGE |
                                    SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_TRIGGEREVENT;
static_assert(kControlsAccepted == 0x5C1);

const char* ControlTraceMessage(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return "SERVICE_CONTROL_STOP\n";
    case SERVICE_CONTROL_INTERROGATE: return "SERVICE_CONTROL_INTERROGATE\n";
    case SERVICE_CONTROL_POWEREVENT: return "SERVICE_CONTROL_POWEREVENT\n";
    case SERVICE_CONTROL_SESSIONCHANGE: return "SERVICE_CONTROL_SESSIONCHANGE\n";
    case SERVICE_CONTROL_PRESHUTDOWN: return "SERVICE_CONTROL_PRESHUTDOWN\n";
    case SERVICE_CONTROL_LOG_TIMER: return "SERVICE_CONTROL_LOG_TIMER\n";
    case SERVICE_CONTROL_UPLOADLOG_TIMER: return "SERVICE_CONTROL_UPLOADLOG_TIMER\n";
    default: return nullptr;
  }
}

// Writes one sample to a log and rotates it. This is where a row that cannot
// be written stops: the log loses this row only, the timers keep running and
// the next tick tries again. A template because the upload log's rotation
// hides the local log's rather than overriding it.
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

QorLogService::QorLogService() : QorLogService(RealClock::Instance(), RealSelfControl::Instance()) {}

QorLogService::QorLogService(const Clock& clock, SelfControl& selfControl)
    : _name(kServiceName), _clock(clock), _selfControl(selfControl) {}

DWORD QorLogService::Initialize(DWORD* serviceSpecificExitCode) {
  *serviceSpecificExitCode = 0;
  return NO_ERROR;
}

DWORD QorLogService::GetControlsAccepted() { return kControlsAccepted; }

std::wstring QorLogService::GetServiceName(int, LPWSTR*) { return _name; }

// ---- The start (worker thread) ----

// The start works on a local Equipment, looking for a stop between its steps,
// any of which may block (a slow driver request, registry read or file open).
// It then publishes all of it at once. A step that fails still publishes what
// was made: the service keeps running with its error recorded, and the local
// timer retries the failed steps (RetryStart) until they succeed.
DWORD QorLogService::Run(HANDLE, SERVICE_STATUS_HANDLE) {
  if (!BeginStart()) return NO_ERROR;  // stopped before it began
  // Declared first, so it runs last: by the time a stop may take the start for
  // ended, whatever it gave up has been closed.
  struct StartEnd {
    QorLogService& service;
    ~StartEnd() { service.EndStart(); }
  } end{*this};

  Equipment equipment;
  StepFailure failure;
  if (const DWORD error = equipment.channel.Discover(); error != NO_ERROR) {
    // The stop comes back through the handler, which does not wait for this start.
    if (StopOwnService() == NO_ERROR) return NO_ERROR;
    // Refused: rather than run without a driver and never say so, the start
    // fails. Its retry finds no driver either and stops the service from the
    // handler, which needs no manager.
    equipment.settings = ProcessSettings();
    equipment.settingsTaken = true;
    failure = DriverFailure("discovering", error);
  } else {
    if (Stopping()) return NO_ERROR;
    failure = StartSteps(equipment);
  }
  const DWORD retryMs = RetryIntervalMs(equipment.settings);
  if (!Publish(std::move(equipment), failure)) return NO_ERROR;

  if (failure.exitCode != NO_ERROR) {
    ReportStartFailure(failure, retryMs);
    return failure.exitCode;
  }
  _events.SamplingBegan();
  return NO_ERROR;
}

bool QorLogService::BeginStart() {
  std::lock_guard<std::mutex> guard(_lock);
  if (Stopping()) return false;
  _startUnderWay = true;
  return true;
}

void QorLogService::EndStart() {
  std::lock_guard<std::mutex> guard(_lock);
  _startUnderWay = false;
}

// Under the lock, so that a stop either finds the start under way (and the
// start gives up here, its equipment closed by destruction) or finds all of it
// published, the timers included, and tears it down. Timers that cannot be
// made are the start's last step to fail (`failure`).
bool QorLogService::Publish(Equipment&& equipment, StepFailure& failure) {
  std::lock_guard<std::mutex> guard(_lock);
  _startUnderWay = false;
  if (Stopping()) return false;
  _equipment = std::move(equipment);
  _published = true;
  _lastStartAttempt = _clock.Now();
  LocalLogTimer().SendThrough(_selfControl, _events);
  UploadLogTimer().SendThrough(_selfControl, _events);
  if (failure.exitCode == NO_ERROR)
    failure = StartTimers(_equipment.settings.logPeriodMs, _equipment.settings.uploadLogPeriodMs);
  if (failure.exitCode != NO_ERROR) ArmStartRetry(failure.exitCode);
  return true;
}

// The steps after discovery, each done only while its result is missing, so
// that a retry redoes exactly the steps that failed. A stop that comes
// meanwhile ends them before the next step.
QorLogService::StepFailure QorLogService::StartSteps(Equipment& equipment) const {
  StepFailure driverFailure;
  if (!equipment.driverReady) {
    driverFailure = StartDriver(equipment.channel);
    if (Stopping()) return {};
    equipment.driverReady = driverFailure.exitCode == NO_ERROR;
  }
  // Taken even when the driver failed: its retries follow the local period.
  if (!equipment.settingsTaken) {
    equipment.settings = ProcessSettings();
    equipment.settingsTaken = true;
    if (Stopping()) return {};
  }
  if (driverFailure.exitCode != NO_ERROR) return driverFailure;
  return CreateLogs(equipment);
}

QorLogService::StepFailure QorLogService::StartDriver(DriverChannel& channel) const {
  if (const DWORD error = channel.OpenAll(); error != NO_ERROR) return DriverFailure("opening", error);
  if (Stopping()) return {};
  if (const DWORD error = channel.CheckAll(); error != NO_ERROR) return DriverFailure("checking", error);
  if (Stopping()) return {};
  if (const DWORD error = channel.IdentifyAll(); error != NO_ERROR) return DriverFailure("identifying", error);
  return {};
}

// A driver step's error is both Run's exit code and the Win32 error.
QorLogService::StepFailure QorLogService::DriverFailure(const char* what, DWORD error) {
  return {what, error, error, "the driver's interfaces"};
}

// So is the error of a timer queue or timer that could not be made.
QorLogService::StepFailure QorLogService::TimerFailure(DWORD error) { return {"creating", error, error, "the timers"}; }

// Creates, configures and opens whichever log is not yet made or open; the
// local log is pruned and rotated before it is opened. Exit code 1 when a folder
// or file fails (what was made before stays, for the next attempt to go on from).
QorLogService::StepFailure QorLogService::CreateLogs(Equipment& equipment) const {
  const ServiceSettings& settings = equipment.settings;
  try {
    if (!equipment.localLog) {
      auto localLog = std::make_unique<LogFileManager>();
      localLog->_fileSizeByte = settings.logFileSizeByte;
      localLog->_fileBackupNum = settings.logFileBackupNum;
      localLog->Configure(L"TARNLog", std::wstring(L"# LogFormatVersion:") + L"V1.00");
      equipment.localLog = std::move(localLog);
    }
    if (!equipment.uploadLog) {
      auto uploadLog = std::make_unique<UploadLogFileManager>();
      uploadLog->_fileSizeByte = settings.uploadLogFileSizeByte;
      uploadLog->_fileBackupNum = settings.uploadLogFileBackupNum;
      static_cast<LogFileManager&>(*uploadLog)
          .Configure(L"TARNLogUpload", std::wstring(L"#vorla_upload LogFormatVersion:") + L"V1.00");
      equipment.uploadLog = std::move(uploadLog);
    }
  } catch (const std::exception& error) {
    return {"making", 1, Win32ErrorOf(error, ERROR_CANNOT_MAKE), std::string("the log folder: ") + error.what()};
  }
  try {
    OpenLogs(equipment);
  } catch (const std::exception& error) {
    return {"opening", 1, Win32ErrorOf(error, ERROR_OPEN_FAILED), std::string("the log files: ") + error.what()};
  }
  return {};
}

void QorLogService::OpenLogs(Equipment& equipment) const {
  LogFileManager& localLog = *equipment.localLog;
  if (Stopping()) return;
  if (!localLog.IsOpen()) {
    localLog.RemoveOldBackups(localLog.Folder());
    if (Stopping()) return;
    localLog.RotateIfNeeded();
    if (Stopping()) return;
    localLog.Open();
  }
  if (Stopping() || equipment.uploadLog->IsOpen()) return;
  equipment.uploadLog->Open();
}

DWORD QorLogService::RetryIntervalMs(const ServiceSettings& settings) {
  return std::max<DWORD>(settings.logPeriodMs, kMinRecoveryIntervalMs);
}

void QorLogService::ReportStartFailure(const StepFailure& failure, DWORD retryMs) {
  DebugTrace("The start failed %s %s (%lu): retried every %lu ms\n", failure.what, failure.detail.c_str(),
             static_cast<unsigned long>(failure.win32Error), static_cast<unsigned long>(retryMs));
  _events.StartStepFailed(failure.what, failure.detail, failure.win32Error, retryMs);
}

DWORD QorLogService::StopOwnService() {
  const DWORD error = _selfControl.Send(SERVICE_CONTROL_STOP);
  if (error != NO_ERROR)
    DebugTrace("The service could not stop itself (%lu): the next tick tries again\n",
               static_cast<unsigned long>(error));
  return error;
}

// ---- The controls (dispatcher thread) ----

DWORD QorLogService::HandleControl(DWORD control, DWORD, LPVOID, SERVICE_STATUS* status) {
  const char* message = ControlTraceMessage(control);
  if (message == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  DebugTrace("%s", message);

  std::lock_guard<std::mutex> guard(_lock);
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_PRESHUTDOWN) {
    HandleStop(*status);
  } else if (control == SERVICE_CONTROL_LOG_TIMER || control == SERVICE_CONTROL_UPLOADLOG_TIMER) {
    // No driver left at all: the service stops itself here, as a stop asked of
    // the manager from inside the handler would wait for this very handler.
    if (HandleSampling(control) == CycleOutcome::kNoDriver) HandleStop(*status);
  }
  // Interrogate, power and session events change nothing but what the report shows of the start.
  ReflectStartFailure(*status);
  return NO_ERROR;
}

// Acknowledged at once, whatever the start is doing: the manager hears of the
// stop within its time-out even while a start step waits for a slow driver.
// A start under way gives up at its next step and the host's check points
// cover the wait; otherwise what the start published is torn down now.
void QorLogService::HandleStop(SERVICE_STATUS& status) {
  _stopRequested = true;
  status.dwCurrentState = SERVICE_STOP_PENDING;
  status.dwCheckPoint = 0;
  if (_startUnderWay) {
    status.dwWaitHint = kStopDuringStartWaitHintMs;
    DebugTrace("The start is still under way; the service stops after its current step.\n");
    return;
  }
  status.dwWaitHint = 0;
  TearDown();
}

// Before the start has published (the control came from outside: the timers do
// not exist yet) or after a stop, there is nothing to sample: a stop either tore
// down what was published or came first, and then nothing is ever published.
QorLogService::CycleOutcome QorLogService::HandleSampling(DWORD control) {
  if (!_published) return CycleOutcome::kDone;
  if (control == SERVICE_CONTROL_LOG_TIMER) return OnLogTimer();
  OnUploadLogTimer();
  return CycleOutcome::kDone;
}

QorLogService::CycleOutcome QorLogService::OnLogTimer() {
  if (_startFailure != NO_ERROR) return RetryStart();
  if (const DWORD error = _equipment.channel.ReadAll(); error != NO_ERROR) {
    if (!_driverLost) {
      _driverLost = true;
      _events.DriverLost(error);
    }
    return RecoverDriver();
  }
  if (_driverLost) {
    _driverLost = false;
    _events.DriverRecovered();
  }
  WriteSample(*_equipment.localLog, _equipment.channel.devices);
  return CycleOutcome::kDone;
}

void QorLogService::OnUploadLogTimer() {
  if (_startFailure != NO_ERROR) return;
  if (_equipment.channel.ReadAll() != NO_ERROR) return;  // the next local tick repairs the channel
  WriteSample(*_equipment.uploadLog, _equipment.channel.devices);
}

// From a local tick while the start has not succeeded: redoes the failed
// steps, then starts sampling as a start that succeeded at once would have.
QorLogService::CycleOutcome QorLogService::RetryStart() {
  const auto now = _clock.Now();
  if (now - _lastStartAttempt < std::chrono::milliseconds(kMinRecoveryIntervalMs)) return CycleOutcome::kDone;
  _lastStartAttempt = now;
  if (!_equipment.driverReady) {
    // Interfaces may have come or gone meanwhile: looked for anew, as a recovery does.
    _equipment.channel.CloseAll();
    if (_equipment.channel.Discover() != NO_ERROR) {
      // No driver at all is a stop, not a failure: the service ends with exit code 0.
      _startFailure = NO_ERROR;
      return CycleOutcome::kNoDriver;
    }
  }
  StepFailure failure = StartSteps(_equipment);
  if (failure.exitCode == NO_ERROR)
    failure = StartTimers(_equipment.settings.logPeriodMs, _equipment.settings.uploadLogPeriodMs);
  if (failure.exitCode != NO_ERROR) {
    // A new reason is told; the same one again only waits for the next try.
    const bool newReason = failure.exitCode != _startFailure;
    ArmStartRetry(failure.exitCode);
    if (newReason) ReportStartFailure(failure, RetryIntervalMs(_equipment.settings));
    return CycleOutcome::kDone;
  }
  _startFailure = NO_ERROR;
  DebugTrace("The start succeeded on a retry: sampling began.\n");
  _events.SamplingResumed();
  return CycleOutcome::kDone;
}

// Rebuilds the channel after a failed read. Both timers start a new period
// afterwards, the local one no sooner than kMinRecoveryIntervalMs from now, so
// a read that keeps failing never spins (LogPeriodMs 0 re-arms at once).
QorLogService::CycleOutcome QorLogService::RecoverDriver() {
  DriverChannel& channel = _equipment.channel;
  channel.CloseAll();
  if (channel.Discover() != NO_ERROR) return CycleOutcome::kNoDriver;
  if (channel.OpenAll() == NO_ERROR && channel.CheckAll() == NO_ERROR) channel.IdentifyAll();
  // Timers that cannot be made again leave nothing to sample with: a start step that failed.
  if (const StepFailure failure =
          StartTimers(RetryIntervalMs(_equipment.settings), _equipment.settings.uploadLogPeriodMs);
      failure.exitCode != NO_ERROR) {
    ArmStartRetry(failure.exitCode);
    ReportStartFailure(failure, RetryIntervalMs(_equipment.settings));
  }
  return CycleOutcome::kDone;
}

// Recorded for the status reports (see ReflectStartFailure); only the local
// timer runs, retrying on its period, no more often than once a second.
void QorLogService::ArmStartRetry(DWORD exitCode) {
  _startFailure = exitCode;
  const DWORD retryMs = RetryIntervalMs(_equipment.settings);
  UploadLogTimer().DeleteTimer();
  if (const DWORD error = LocalLogTimer().Start(retryMs, retryMs); error != NO_ERROR)
    DebugTrace("No timer retries the start (%lu): the next control 128 does\n", static_cast<unsigned long>(error));
}

// Both timers anew, each with its own period; the first ticks come after the
// given due times.
QorLogService::StepFailure QorLogService::StartTimers(DWORD logDueMs, DWORD uploadDueMs) {
  DWORD error = LocalLogTimer().Start(logDueMs, _equipment.settings.logPeriodMs);
  if (error == NO_ERROR) error = UploadLogTimer().Start(uploadDueMs, _equipment.settings.uploadLogPeriodMs);
  return error == NO_ERROR ? StepFailure{} : TimerFailure(error);
}

// The exit codes of the status report follow the start: 1066 with the failed
// step's code while it fails, cleared once a retry has succeeded.
void QorLogService::ReflectStartFailure(SERVICE_STATUS& status) const {
  if (_startFailure != NO_ERROR) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = _startFailure;
  } else if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
  }
}

// What the start published; the logs are closed before the timers go, so no
// late tick writes after it. Timer queues are deleted without waiting (a tick
// may be blocked in ControlService for this very handler).
void QorLogService::TearDown() {
  if (!_published) return;
  _published = false;
  if (_equipment.localLog) _equipment.localLog->Close();
  if (_equipment.uploadLog) _equipment.uploadLog->Close();
  LocalLogTimer().DeleteQueue();
  UploadLogTimer().DeleteQueue();
  _equipment.channel.CloseAll();
  _events.Close();
}

QorLogService::TimerPresence QorLogService::Timers() {
  const IntervalTimer& local = LocalLogTimer();
  const IntervalTimer& upload = UploadLogTimer();
  return {local.HasQueue(), upload.HasQueue(), local.Timer(), upload.Timer()};
}

}  // namespace qorlogsvc::model::service
