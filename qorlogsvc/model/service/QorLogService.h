// The power-monitor service "TarnSvc": brings up the driver channel, reads the
// settings, opens the two logs and runs two interval timers whose ticks come
// back through the service control manager as the controls 128 and 129, so that
// every sampling cycle runs on the dispatcher thread, one at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "IServiceImplement.h"
#include "IServiceNameGenerator.h"
#include "driver_channel.h"
#include "log_file_manager.h"
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

  // Read-only views for tests.
  const DriverChannel& Channel() const { return _channel; }
  std::uint32_t LogPeriodMs() const { return _logPeriodMs; }
  std::uint32_t UploadLogPeriodMs() const { return _uploadLogPeriodMs; }
  LogFileManager* LocalLog() const { return _localLog.get(); }
  UploadLogFileManager* UploadLog() const { return _uploadLog.get(); }

 private:
  DWORD StartDriver();
  DWORD CreateLogs();
  void CopySettings(const ServiceSettings& settings);
  void Shutdown(SERVICE_STATUS& status);
  void StopOwnService();
  void StartTimers(DWORD logPeriodMs, DWORD uploadPeriodMs);
  void OnLogTimer();
  void OnUploadLogTimer();
  void RecoverDriver();
  void AppendRow(LogFileManager& log, const wchar_t* what);
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
  // or the timers at the same time: each holds this lock while it works.
  std::mutex _lifecycleLock;
  // Set by a stop before it waits for the lock, so that a start in progress
  // gives up at its next step instead of building what the stop tears down.
  std::atomic<bool> _stopRequested{false};
  // Set by a recovery that found no driver: the handler then stops the service
  // itself (a stop requested through the manager from inside the handler would
  // wait for this very handler).
  bool _stopAfterThisControl = false;
};

}  // namespace qorlogsvc::model::service
