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

  // The wait hint of the stop-pending report made while a start step is still
  // under way: the start ends at its next step, the host's check points follow.
  static constexpr DWORD kStopDuringStartWaitHintMs = 20000;
  // A recovery of the driver re-arms the local timer no sooner than this, so a
  // read that keeps failing never makes a busy loop (LogPeriodMs 0 re-arms at
  // once); a start that failed is retried on the local period, never more often.
  static constexpr DWORD kMinRecoveryIntervalMs = 1000;

  // Read-only views of what the start published, for tests.
  const DriverChannel& Channel() const { return _equipment.channel; }
  std::uint32_t LogPeriodMs() const { return _equipment.settings.logPeriodMs; }
  std::uint32_t UploadLogPeriodMs() const { return _equipment.settings.uploadLogPeriodMs; }
  LogFileManager* LocalLog() const { return _equipment.localLog.get(); }
  UploadLogFileManager* UploadLog() const { return _equipment.uploadLog.get(); }

 private:
  // What a start makes. Run builds it in a local and publishes it once; a
  // start that is given up (a stop, an exception) closes it by destruction.
  // Each part records whether it is done, so that a start that failed is
  // completed later by redoing only the steps that failed.
  struct Equipment {
    DriverChannel channel;
    bool driverReady = false;  // interfaces opened, checked and identified
    bool settingsTaken = false;
    ServiceSettings settings;
    std::unique_ptr<LogFileManager> localLog;
    std::unique_ptr<UploadLogFileManager> uploadLog;
  };

  // A start step that failed: what it was doing ("opening") and to what
  // ("the log files: ..."), the exit code Run reports for it (the driver's
  // error, or 1 for the logs) and the Win32 error behind it.
  struct StepFailure {
    const char* what = "";
    DWORD exitCode = NO_ERROR;
    DWORD win32Error = NO_ERROR;
    std::string detail;
  };

  // What a local cycle leaves the handler to do.
  enum class CycleOutcome { kDone, kNoDriver };

  // The start, on the worker thread.
  bool BeginStart();
  void EndStart();
  StepFailure StartSteps(Equipment& equipment) const;
  StepFailure StartDriver(DriverChannel& channel) const;
  StepFailure CreateLogs(Equipment& equipment) const;
  void OpenLogs(Equipment& equipment) const;
  bool Publish(Equipment&& equipment, StepFailure& failure);
  static StepFailure DriverFailure(const char* what, DWORD error);
  static StepFailure TimerFailure(DWORD error);
  static DWORD RetryIntervalMs(const ServiceSettings& settings);
  void ReportStartFailure(const StepFailure& failure, DWORD retryMs);
  DWORD StopOwnService();

  // The controls, on the dispatcher thread, under _lock.
  void HandleStop(SERVICE_STATUS& status);
  CycleOutcome HandleSampling(DWORD control);
  CycleOutcome OnLogTimer();
  void OnUploadLogTimer();
  CycleOutcome RetryStart();
  CycleOutcome RecoverDriver();
  void ArmStartRetry(DWORD exitCode);
  StepFailure StartTimers(DWORD logDueMs, DWORD uploadDueMs);
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
  std::mutex _lock;
  // Guarded by _lock from here on.
  bool _startUnderWay = false;  // Run has begun and has neither published nor given up
  bool _published = false;      // _equipment holds the start's work, and no stop has torn it down
  Equipment _equipment;
  // The exit code of the start step that is failing; NO_ERROR otherwise.
  DWORD _startFailure = NO_ERROR;
  std::chrono::steady_clock::time_point _lastStartAttempt;
  // Set by the local cycle whose read failed, until a read succeeds again.
  bool _driverLost = false;
  ServiceEvents _events{_clock};  // safe from any thread
};

}  // namespace qorlogsvc::model::service
