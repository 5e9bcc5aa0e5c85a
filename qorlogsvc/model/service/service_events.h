// What an operator sees of the service in the Application event log: when
// sampling began, a start step that failed (with what it was doing and the
// Win32 error), sampling that resumed after a failed start, a driver that
// was lost and came back, and a timer whose controls stopped arriving. The texts are in the message table compiled into
// tarnsvc.exe (tarnsvc_messages.mc); an entry holds the event id and its
// insertion strings. Each kind is written at most once a minute, so a fault
// that lasts never floods the log.
#pragma once

#include <windows.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "unique_handle.h"

namespace qorlogsvc::model::service {

// The event ids; tarnsvc_messages.mc holds the same ids with their texts
// (checked when the Windows build compiles the table).
inline constexpr DWORD kEventSamplingBegan = 1;
inline constexpr DWORD kEventStartStepFailed = 2;
inline constexpr DWORD kEventSamplingResumed = 3;
inline constexpr DWORD kEventDriverLost = 4;
inline constexpr DWORD kEventDriverRecovered = 5;
inline constexpr DWORD kEventControlsNotArriving = 6;

// The source name under HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application.
inline constexpr wchar_t kEventSourceName[] = L"TarnSvc";

class ServiceEvents {
 public:
  static constexpr std::chrono::seconds kMinInterval{60};

  // Measures the minute between two entries of a kind with `clock`, which outlives this.
  explicit ServiceEvents(const Clock& clock) : _clock(clock) {}

  void SamplingBegan();
  // `what` and `object` say which step ("opening", "the log files: ...").
  void StartStepFailed(const std::string& what, const std::string& object, DWORD win32Error, DWORD retryMs);
  void SamplingResumed();
  void DriverLost(DWORD win32Error);
  void DriverRecovered();
  // A timer's control did not reach the service: no row comes from it.
  void ControlsNotArriving(DWORD control, DWORD win32Error);

  // Closes the event source (at the stop); the next entry opens it again.
  void Close();

 private:
  enum Kind { kBegan, kFailed, kResumed, kLost, kRecovered, kNotArriving, kKinds };

  // Writes the entry unless one of the same kind was written within the last
  // minute. A log that cannot be written is only traced.
  void Report(Kind kind, WORD type, DWORD eventId, const std::vector<std::wstring>& strings);

  const Clock& _clock;
  // The start reports from the worker thread, the controls from the dispatcher.
  std::mutex _lock;
  tarn::UniqueEventSource _source;  // guarded by _lock, as is the rest
  std::array<std::optional<std::chrono::steady_clock::time_point>, kKinds> _lastReported{};
};

}  // namespace qorlogsvc::model::service
