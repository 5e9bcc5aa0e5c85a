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

// The start brings its own Equipment up, looking for a stop between its steps,
// any of which may block (a slow driver request, registry read or file open).
// It then publishes all of it at once. A step that fails still publishes what
// was made: the service keeps running with its error recorded, and the local
// timer retries the failed steps until they succeed.
DWORD QorLogService::Run(HANDLE, SERVICE_STATUS_HANDLE) {
  if (!BeginStart()) return NO_ERROR;  // stopped before it began
  // Declared first, so it runs last: by the time a stop may take the start for
  // ended, whatever it gave up has been closed.
  struct StartEnd {
    QorLogService& service;
    ~StartEnd() { service.EndStart(); }
  } end{*this};

  auto equipment = std::make_unique<Equipment>();
  const StepFailure failure = BringUp(*equipment);
  if (Stopping()) return NO_ERROR;
  // The stop comes back through the handler, which does not wait for this start.
  // When the manager refuses it, the start fails instead: its retry finds no
  // driver either and stops the service from the handler, which needs no manager.
  if (failure.noDriver && StopOwnService() == NO_ERROR) return NO_ERROR;
  if (!Publish(std::move(equipment), failure)) return NO_ERROR;
  std::lock_guard<std::mutex> guard(_lock);
  return _startFailure;
}

bool QorLogService::BeginStart() {
  std::lock_guard<std::mutex> guard(_lock);
  if (Stopping()) return false;
  _health = Health::kStarting;
  return true;
}

// A start that published has left kStarting already.
void QorLogService::EndStart() {
  std::lock_guard<std::mutex> guard(_lock);
  if (_health == Health::kStarting) _health = Health::kStopped;
}

// Under the lock, so that a stop either finds the start under way (and the
// start gives up here, its equipment closed by destruction) or finds all of it
// published, the timers included, and tears it down.
bool QorLogService::Publish(std::unique_ptr<Equipment> equipment, StepFailure failure) {
  std::lock_guard<std::mutex> guard(_lock);
  if (Stopping()) return false;
  _equipment = std::move(equipment);
  _lastStartAttempt = _clock.Now();
  LocalLogTimer().SendThrough(_selfControl);
  UploadLogTimer().SendThrough(_selfControl);
  Settle(std::move(failure), BringUpOf::kStart);
  return true;
}

DWORD QorLogService::StopOwnService() {
  const DWORD error = _selfControl.Send(SERVICE_CONTROL_STOP);
  if (error != NO_ERROR)
    DebugTrace("The service could not stop itself (%lu): the next tick tries again\n",
               static_cast<unsigned long>(error));
  return error;
}

// ---- The bring-up (worker for the start, dispatcher for a retry or a recovery) ----

// Completes whatever of the equipment is missing: the driver, then the
// settings (taken even when the driver fails, so that its retries follow the
// local period), then the logs. A stop that comes meanwhile ends it before the
// next step. The timers follow in Settle, under the lock.
QorLogService::StepFailure QorLogService::BringUp(Equipment& equipment) const {
  StepFailure driverFailure;
  if (!DriverReady(equipment.channel)) {
    driverFailure = BringUpDriver(equipment.channel);
    if (Stopping()) return {};
  }
  equipment.settings = ProcessSettings();  // read once per process, then cached
  if (Stopping()) return {};
  if (driverFailure.exitCode != NO_ERROR || driverFailure.noDriver) return driverFailure;
  return CreateLogs(equipment);
}

// Interfaces may have come or gone since the last attempt: they are looked for
// anew, then opened, checked and identified. A failure leaves every handle
// closed, so that the driver counts as missing until a bring-up completes it.
QorLogService::StepFailure QorLogService::BringUpDriver(DriverChannel& channel) const {
  channel.CloseAll();
  if (const DWORD error = channel.Discover(); error != NO_ERROR) {
    StepFailure failure = DriverFailure("discovering", error);
    failure.noDriver = true;
    return failure;
  }
  StepFailure failure;
  if (Stopping()) return {};
  if (const DWORD error = channel.OpenAll(); error != NO_ERROR) return DriverFailure("opening", error);
  if (!Stopping()) {
    if (const DWORD error = channel.CheckAll(); error != NO_ERROR) failure = DriverFailure("checking", error);
  }
  if (!Stopping() && failure.exitCode == NO_ERROR) {
    if (const DWORD error = channel.IdentifyAll(); error != NO_ERROR) failure = DriverFailure("identifying", error);
  }
  if (failure.exitCode != NO_ERROR) channel.CloseAll();
  return failure;
}

// Every interface held and open: what a bring-up of the driver leaves, and what
// a failed read or bring-up takes away.
bool QorLogService::DriverReady(const DriverChannel& channel) {
  return !channel.devices.empty() && std::all_of(channel.devices.begin(), channel.devices.end(),
                                                 [](const auto& device) { return device.second.handle.is_valid(); });
}

// A driver step's error is both Run's exit code and the Win32 error.
QorLogService::StepFailure QorLogService::DriverFailure(const char* what, DWORD error) {
  StepFailure failure{what, error, error, "the driver's interfaces"};
  failure.driver = true;
  return failure;
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

// The end of every bring-up: the timers for what comes next, the state, and
// what is told. Timers that cannot be made are a failed step like any other.
//   start, retry: success arms both timers on their periods and samples
//     (event 1, or 3 after a retry); a failure fails the start (ArmStartRetry).
//   recovery: a failure is told and the next local tick tries again; either
//     way the local timer comes no sooner than a second, the upload timer on
//     its period, and the next read decides. A driver that is still missing
//     is only traced: the driver-lost event already tells it, and the
//     driver-back event will tell its end.
void QorLogService::Settle(StepFailure failure, BringUpOf origin) {
  const ServiceSettings& settings = _equipment->settings;
  if (origin == BringUpOf::kRecovery) {
    if (failure.exitCode == NO_ERROR) {
      _lastFailure = NO_ERROR;
    } else if (failure.driver) {
      TraceDriverStillLost(failure);
    } else {
      ReportFailure(failure);
    }
    if (const StepFailure timers = StartTimers(RetryIntervalMs(settings), settings.uploadLogPeriodMs);
        timers.exitCode != NO_ERROR)
      ArmStartRetry(timers);
    return;
  }
  if (failure.exitCode == NO_ERROR) failure = StartTimers(settings.logPeriodMs, settings.uploadLogPeriodMs);
  if (failure.exitCode != NO_ERROR) {
    ArmStartRetry(failure);
    return;
  }
  _lastFailure = NO_ERROR;
  _startFailure = NO_ERROR;
  _health = Health::kRunning;
  if (origin == BringUpOf::kStart) {
    _events.SamplingBegan();
  } else {
    DebugTrace("The start succeeded on a retry: sampling began.\n");
    _events.SamplingResumed();
  }
}

// Both timers anew, each with its own period; the first ticks come after the
// given due times.
QorLogService::StepFailure QorLogService::StartTimers(DWORD logDueMs, DWORD uploadDueMs) {
  const ServiceSettings& settings = _equipment->settings;
  DWORD error = LocalLogTimer().Start(logDueMs, settings.logPeriodMs);
  if (error == NO_ERROR) error = UploadLogTimer().Start(uploadDueMs, settings.uploadLogPeriodMs);
  return error == NO_ERROR ? StepFailure{} : TimerFailure(error);
}

// Recorded for the status reports (see ReflectStartFailure); only the local
// timer runs, retrying on its period, no more often than once a second.
void QorLogService::ArmStartRetry(const StepFailure& failure) {
  ReportFailure(failure);
  _health = Health::kStartFailing;
  _startFailure = failure.exitCode;
  const DWORD retryMs = RetryIntervalMs(_equipment->settings);
  UploadLogTimer().DeleteTimer();
  if (const DWORD error = LocalLogTimer().Start(retryMs, retryMs); error != NO_ERROR)
    DebugTrace("No timer retries the start (%lu): the next control 128 does\n", static_cast<unsigned long>(error));
}

// Traced and written to the event log when the reason is new; the same one
// again only waits for the next try.
void QorLogService::ReportFailure(const StepFailure& failure) {
  if (failure.exitCode == _lastFailure) return;
  _lastFailure = failure.exitCode;
  const DWORD retryMs = RetryIntervalMs(_equipment->settings);
  DebugTrace("The start failed %s %s (%lu): retried every %lu ms\n", failure.what, failure.detail.c_str(),
             static_cast<unsigned long>(failure.win32Error), static_cast<unsigned long>(retryMs));
  _events.StartStepFailed(failure.what, failure.detail, failure.win32Error, retryMs);
}

// While the driver is lost: traced once per reason, like a failed step.
void QorLogService::TraceDriverStillLost(const StepFailure& failure) {
  if (failure.exitCode == _lastFailure) return;
  _lastFailure = failure.exitCode;
  DebugTrace("The driver is still lost: %s %s gave %lu; the next local tick tries again\n", failure.what,
             failure.detail.c_str(), static_cast<unsigned long>(failure.win32Error));
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
  if (_health == Health::kStarting) {
    status.dwWaitHint = Corvessan::Orwe::CService::kStopWaitHintMs;
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
  if (!_equipment) return CycleOutcome::kDone;
  if (control == SERVICE_CONTROL_LOG_TIMER) return OnLogTimer();
  OnUploadLogTimer();
  return CycleOutcome::kDone;
}

QorLogService::CycleOutcome QorLogService::OnLogTimer() {
  if (_health == Health::kStartFailing) return RetryStart();
  if (const DWORD error = _equipment->channel.ReadAll(); error != NO_ERROR) return RecoverDriver(error);
  if (_health == Health::kDriverLost) {
    _health = Health::kRunning;
    _events.DriverRecovered();
  }
  WriteSample(*_equipment->localLog, _equipment->channel.devices);
  return CycleOutcome::kDone;
}

void QorLogService::OnUploadLogTimer() {
  if (_health == Health::kStartFailing) return;
  if (_equipment->channel.ReadAll() != NO_ERROR) return;  // the next local tick repairs the channel
  WriteSample(*_equipment->uploadLog, _equipment->channel.devices);
}

// From a local tick while the start has not succeeded: completes what is
// missing, then samples as a start that succeeded at once would have.
QorLogService::CycleOutcome QorLogService::RetryStart() {
  const auto now = _clock.Now();
  if (now - _lastStartAttempt < std::chrono::milliseconds(kMinRecoveryIntervalMs)) return CycleOutcome::kDone;
  _lastStartAttempt = now;
  StepFailure failure = BringUp(*_equipment);
  if (failure.noDriver) {
    // No driver at all is a stop, not a failure: the service ends with exit code 0.
    _startFailure = NO_ERROR;
    return CycleOutcome::kNoDriver;
  }
  Settle(std::move(failure), BringUpOf::kRetry);
  return CycleOutcome::kDone;
}

// After a failed read: the driver is missing and is brought up again at once.
// Both timers start a new period afterwards, the local one no sooner than
// kMinRecoveryIntervalMs from now, so a read that keeps failing never spins
// (LogPeriodMs 0 re-arms at once).
QorLogService::CycleOutcome QorLogService::RecoverDriver(DWORD readError) {
  if (_health == Health::kRunning) {
    _health = Health::kDriverLost;
    _events.DriverLost(readError);
  }
  _equipment->channel.CloseAll();
  StepFailure failure = BringUp(*_equipment);
  if (failure.noDriver) return CycleOutcome::kNoDriver;
  Settle(std::move(failure), BringUpOf::kRecovery);
  return CycleOutcome::kDone;
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

// What the start published. Its reset closes the logs and the driver's
// handles; the logs close before the timers go, so no late tick writes after
// it. Timer queues are deleted without waiting (a tick may be blocked in
// ControlService for this very handler).
void QorLogService::TearDown() {
  _health = Health::kStopped;
  if (!_equipment) return;
  _equipment.reset();
  for (IntervalTimer* timer : {&LocalLogTimer(), &UploadLogTimer()}) {
    timer->DeleteQueue();
    // A tick still under way may outlive this service object, not the process.
    timer->SendThrough(RealSelfControl::Instance());
  }
  _events.Close();
  TimerEvents().Close();
}

const DriverChannel& QorLogService::Channel() const {
  static const DriverChannel& none = *new DriverChannel;
  std::lock_guard<std::mutex> guard(_lock);
  return _equipment ? _equipment->channel : none;
}

std::uint32_t QorLogService::LogPeriodMs() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _equipment ? _equipment->settings.logPeriodMs : 0;
}

std::uint32_t QorLogService::UploadLogPeriodMs() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _equipment ? _equipment->settings.uploadLogPeriodMs : 0;
}

LogFileManager* QorLogService::LocalLog() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _equipment ? _equipment->localLog.get() : nullptr;
}

UploadLogFileManager* QorLogService::UploadLog() const {
  std::lock_guard<std::mutex> guard(_lock);
  return _equipment ? _equipment->uploadLog.get() : nullptr;
}

QorLogService::TimerPresence QorLogService::Timers() {
  const IntervalTimer& local = LocalLogTimer();
  const IntervalTimer& upload = UploadLogTimer();
  return {local.HasQueue(), upload.HasQueue(), local.Timer(), upload.Timer()};
}

}  // namespace qorlogsvc::model::service
