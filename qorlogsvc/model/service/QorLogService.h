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
#include "driver_channel.h"
#include "log_file_manager.h"
#include "service_events.h"
#include "settings.h"
#include "upload_log_file_manager.h"

namespace qorlogsvc::model::service {

// The service's own controls, sent by its timers to itself.
inline constexpr DWORD SERVICE_CONTROL_LOG_TIMER = 128;
inline constexpr DWORD SERVICE_CONTROL_UPLOADLOG_TIMER = 129;

// The row of one sample: per device entry in path order, the component id and
// both readings in lower-case hexadecimal ("id,reading1,reading0"), joined by ",".
std::wstring BuildRow(const DriverChannel::DeviceMap& devices);

class QorLogService : public Corvessan::Orwe::IServiceImplement, public Corvessan::Orwe::IServiceNameGenerator {
 public:
  QorLogService();

  // IServiceImplement
  DWORD Initialize(DWORD* serviceSpecificExitCode) override;
  DWORD GetControlsAccepted() override;
  DWORD HandleControl(DWORD control, DWORD eventType, LPVOID eventData, SERVICE_STATUS* status) override;
  DWORD Run(HANDLE stopEvent, SERVICE_STATUS_HANDLE statusHandle) override;

  // IServiceNameGenerator: always "TarnSvc".
  std::wstring GetServiceName(int argc, LPWSTR* argv) override;

  // The timer callback: sends the control of the timer (parameter 1: 128,
  // parameter 2: 129) to "TarnSvc" through the service control manager.
  static void CALLBACK TimerProc(PVOID parameter, BOOLEAN timerFired);

  // What exists of the process-wide timers, for tests.
  struct TimerPresence {
    bool logQueue, uploadQueue;
    HANDLE logTimer, uploadTimer;  // null when there is none
  };
  static TimerPresence Timers();

  // The wait hint of the stop-pending report made while a start step is still
  // blocked: the start ends at its next step, the host's check points follow.
  static constexpr DWORD kStopDuringStartWaitHintMs = 20000;
  // A recovery of the driver re-arms the local timer no sooner than this, so a
  // read that keeps failing never makes a busy loop (LogPeriodMs 0 re-arms at
  // once); a start that failed is retried on the local period, never more often.
  static constexpr DWORD kMinRecoveryIntervalMs = 1000;

  // Read-only views for tests.
  const DriverChannel& Channel() const { return _channel; }
  std::uint32_t LogPeriodMs() const { return _logPeriodMs; }
  std::uint32_t UploadLogPeriodMs() const { return _uploadLogPeriodMs; }
  LogFileManager* LocalLog() const { return _localLog.get(); }
  UploadLogFileManager* UploadLog() const { return _uploadLog.get(); }

 private:
  // A start step that failed: what it was doing ("opening") and to what
  // ("the log files: ..."), the exit code Run reports for it (the driver's
  // error, or 1 for the logs) and the Win32 error behind it.
  struct StepFailure {
    const char* what = "";
    DWORD exitCode = NO_ERROR;
    DWORD win32Error = NO_ERROR;
    std::string detail;
  };
  static StepFailure DriverFailure(const char* what, DWORD error);

  bool BeginStart();
  DWORD StartSequence();
  bool EndStart();
  StepFailure StartSteps();
  StepFailure StartDriver();
  StepFailure CreateLogs();
  void OpenLogs();
  void ArmStartRetry(const StepFailure& failure);
  void ReportStartFailure(const StepFailure& failure);
  void RetryStart();
  DWORD RetryIntervalMs() const;
  void ReflectStartFailure(SERVICE_STATUS& status) const;
  void CopySettings(const ServiceSettings& settings);
  DWORD HandleStop(SERVICE_STATUS& status);
  DWORD HandleSampling(DWORD control);
  void Shutdown(SERVICE_STATUS& status);
  void ReleaseResources();
  void StopOwnService();
  void StartTimers(DWORD logDueMs, DWORD uploadDueMs);
  void OnLogTimer();
  void OnUploadLogTimer();
  void RecoverDriver();
  bool StopHandled() const { return _stopRequested.load(); }

  std::wstring _name;
  DriverChannel _channel;
  std::uint32_t _logPeriodMs;
  std::uint32_t _logFileSizeByte;
  std::uint32_t _logFileBackupNum;
  std::uint32_t _uploadLogPeriodMs;
  std::uint32_t _uploadLogFileSizeByte;
  std::uint32_t _uploadLogFileBackupNum;
  std::unique_ptr<UploadLogFileManager> _uploadLog;
  std::unique_ptr<LogFileManager> _localLog;

  // Run's start steps and the control handler never touch the channel, the logs
  // or the timers at the same time: each holds this lock while it works. The
  // handler never waits for it while a start is under way (a start step may
  // block on a slow driver, registry or file for as long as they take).
  std::mutex _lifecycleLock;
  // Decides who tears down after a stop: the handler, or a start that is under
  // way once its current step returns. Never held across a slow step.
  std::mutex _stopLock;
  bool _startInProgress = false;  // guarded by _stopLock
  // True while a start step that may block holds _lifecycleLock: a sampling
  // control then skips its cycle rather than wait.
  std::atomic<bool> _startStepsUnderWay{false};
  // Set under _stopLock by the first stop; a start in progress gives up at its
  // next step and never creates a log file or timer after it.
  std::atomic<bool> _stopRequested{false};
  // Set by a recovery that found no driver: the handler then stops the service
  // itself (a stop requested through the manager from inside the handler would
  // wait for this very handler).
  bool _stopAfterThisControl = false;

  // What the start has done, so that a retry redoes only what failed. Written
  // under _lifecycleLock (by the start, then by the handler).
  bool _driverReady = false;    // interfaces opened, checked and identified
  bool _settingsTaken = false;  // the process's settings copied
  bool _startAttempted = false;  // the first attempt has ended (timers made)
  std::chrono::steady_clock::time_point _lastStartAttempt;
  // The exit code of the start step that is failing (read by every control,
  // also while a start step holds the lifecycle lock); NO_ERROR otherwise.
  std::atomic<DWORD> _startFailure{NO_ERROR};
  // Set by the local cycle whose read failed, until a read succeeds again.
  bool _driverLost = false;
  ServiceEvents _events;
};

}  // namespace qorlogsvc::model::service
