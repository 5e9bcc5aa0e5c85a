// The power-monitor service "TarnSvc": brings up the driver channel, reads the
// settings, opens the two logs and runs two interval timers whose ticks come
// back through the service control manager as the controls 128 and 129, so that
// every sampling cycle runs on the dispatcher thread, one at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "CService.h"
#include "IServiceImplement.h"
#include "IServiceNameGenerator.h"
#include "clock.h"
#include "driver_channel.h"
#include "log_file_manager.h"
#include "sample_row.h"
#include "service_controls.h"
#include "service_events.h"
#include "settings.h"
#include "upload_log_file_manager.h"

namespace qorlogsvc::model::service {

class QorLogService : public Corvessan::Orwe::IServiceImplement, public Corvessan::Orwe::IServiceNameGenerator {
 public:
  // Sends its own controls through the service control manager and measures
  // its retries with the system's clock.
  QorLogService();
  // Through `selfControl` and with `clock` instead; both outlive the service's
  // ticks.
  QorLogService(const Clock& clock, SelfControl& selfControl);

  // IServiceImplement
  DWORD Initialize(DWORD* serviceSpecificExitCode) override;
  DWORD GetControlsAccepted() override;
  DWORD HandleControl(DWORD control, DWORD eventType, LPVOID eventData, SERVICE_STATUS* status) override;
  DWORD Run(HANDLE stopEvent, SERVICE_STATUS_HANDLE statusHandle) override;

  // IServiceNameGenerator: always "TarnSvc".
  std::wstring GetServiceName(int argc, LPWSTR* argv) override;

  // What exists of the process-wide timers, for tests.
  struct TimerPresence {
    bool logQueue, uploadQueue;
    HANDLE logTimer, uploadTimer;  // null when there is none
  };
  static TimerPresence Timers();

  // A recovery of the driver re-arms the local timer no sooner than this, so a
  // read that keeps failing never makes a busy loop (LogPeriodMs 0 re-arms at
  // once); a start that failed is retried on the local period, never more often.
  static constexpr DWORD kMinRecoveryIntervalMs = 1000;

  // Read-only views of what the start published, for tests (empty or zero
  // when nothing is published), taken under the lock. What they point to is
  // the service's: a test looks at it while no control runs.
  const DriverChannel& Channel() const;
  std::uint32_t LogPeriodMs() const;
  std::uint32_t UploadLogPeriodMs() const;
  LogFileManager* LocalLog() const;
  UploadLogFileManager* UploadLog() const;

 private:
  // What a start makes: the driver's interfaces, the settings and the logs.
  // Run builds it on the worker and publishes it once; a start that is given
  // up (a stop, an exception) closes it by destruction, and a stop is its
  // reset(). What is missing (a driver whose interfaces are not all open, a
  // log not made or not open) is what the next bring-up completes.
  struct Equipment {
    DriverChannel channel;
    ServiceSettings settings;
    std::unique_ptr<LogFileManager> localLog;
    std::unique_ptr<UploadLogFileManager> uploadLog;
  };

  // Where the service stands. Guarded by _lock.
  enum class Health {
    kStopped,       // nothing published and no start under way
    kStarting,      // Run is bringing the equipment up; nothing published yet
    kRunning,       // published; both timers sample
    kStartFailing,  // published, a bring-up step failed: the local tick retries it, nothing samples
    kDriverLost,    // published, the last local read failed: each local tick brings the driver up again
  };

  // A bring-up step that failed: what it was doing ("opening") and to what
  // ("the log files: ..."), the exit code Run reports for it (the driver's or
  // the timers' error, or 1 for the logs) and the Win32 error behind it.
  struct StepFailure {
    const char* what = "";
    DWORD exitCode = NO_ERROR;
    DWORD win32Error = NO_ERROR;
    std::string detail;
    bool noDriver = false;  // no interface of the driver exists at all: a stop, not a failure
    bool driver = false;    // a step of the driver's (discover, open, check, identify)
  };

  // Which bring-up ends in Settle: it decides the timers and what is told.
  enum class BringUpOf { kStart, kRetry, kRecovery };

  // What a local cycle leaves the handler to do.
  enum class CycleOutcome { kDone, kNoDriver };

  // The start, on the worker thread.
  bool BeginStart();
  void EndStart();
  bool Publish(std::unique_ptr<Equipment> equipment, StepFailure failure);
  DWORD StopOwnService();

  // The bring-up: on the worker for the start (on its own equipment, before
  // it is published), on the dispatcher under _lock for a retry or a recovery.
  StepFailure BringUp(Equipment& equipment) const;
  StepFailure BringUpDriver(DriverChannel& channel) const;
  StepFailure CreateLogs(Equipment& equipment) const;
  void OpenLogs(Equipment& equipment) const;
  static bool DriverReady(const DriverChannel& channel);
  static StepFailure DriverFailure(const char* what, DWORD error);
  static StepFailure TimerFailure(DWORD error);
  static DWORD RetryIntervalMs(const ServiceSettings& settings);
  // Under _lock, on the worker (Publish) or the dispatcher.
  void Settle(StepFailure failure, BringUpOf origin);
  StepFailure StartTimers(DWORD logDueMs, DWORD uploadDueMs);
  void ArmStartRetry(const StepFailure& failure);
  void ReportFailure(const StepFailure& failure);
  void TraceDriverStillLost(const StepFailure& failure);

  // The controls, on the dispatcher thread, under _lock.
  void HandleStop(SERVICE_STATUS& status);
  CycleOutcome HandleSampling(DWORD control);
  CycleOutcome OnLogTimer();
  void OnUploadLogTimer();
  CycleOutcome RetryStart();
  CycleOutcome RecoverDriver(DWORD readError);
  void ReflectStartFailure(SERVICE_STATUS& status) const;
  void TearDown();

  bool Stopping() const { return _stopRequested.load(); }

  std::wstring _name;
  const Clock& _clock;
  SelfControl& _selfControl;
  // Set by the first stop. A start under way looks at it between its steps and
  // gives up at the first one that sees it, before it publishes anything.
  std::atomic<bool> _stopRequested{false};
  // Held by every control, and by the start only to begin, to publish and to
  // end: never across a step that may block.
  mutable std::mutex _lock;
  // Guarded by _lock from here on.
  Health _health = Health::kStopped;
  std::unique_ptr<Equipment> _equipment;  // what the start published; null before and after
  // The exit code the status reports show: the failing step's while the start
  // fails, kept up to the stop, NO_ERROR once a retry succeeded.
  DWORD _startFailure = NO_ERROR;
  // The code of the last bring-up step that failed, NO_ERROR after a success:
  // the same failure again is not told again.
  DWORD _lastFailure = NO_ERROR;
  std::chrono::steady_clock::time_point _lastStartAttempt;
  ServiceEvents _events{_clock};  // safe from any thread
};

}  // namespace qorlogsvc::model::service
