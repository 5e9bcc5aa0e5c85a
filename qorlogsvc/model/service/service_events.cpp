#include "service_events.h"

#include "debug_trace.h"

namespace qorlogsvc::model::service {
namespace {

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

void ServiceEvents::SamplingBegan() { Report(kBegan, EVENTLOG_INFORMATION_TYPE, kEventSamplingBegan, {}); }

void ServiceEvents::StartStepFailed(const std::string& what, const std::string& object, DWORD win32Error,
                                    DWORD retryMs) {
  Report(kFailed, EVENTLOG_ERROR_TYPE, kEventStartStepFailed,
         {Widen(what), Widen(object), std::to_wstring(win32Error), std::to_wstring(retryMs)});
}

void ServiceEvents::SamplingResumed() { Report(kResumed, EVENTLOG_INFORMATION_TYPE, kEventSamplingResumed, {}); }

void ServiceEvents::DriverLost(DWORD win32Error) {
  Report(kLost, EVENTLOG_WARNING_TYPE, kEventDriverLost, {std::to_wstring(win32Error)});
}

void ServiceEvents::DriverRecovered() { Report(kRecovered, EVENTLOG_INFORMATION_TYPE, kEventDriverRecovered, {}); }

void ServiceEvents::ControlsNotArriving(DWORD control, DWORD win32Error) {
  Report(kNotArriving, EVENTLOG_WARNING_TYPE, kEventControlsNotArriving,
         {std::to_wstring(control), std::to_wstring(win32Error)});
}

void ServiceEvents::Close() {
  std::lock_guard<std::mutex> guard(_lock);
  _source.reset();
}

void ServiceEvents::Report(Kind kind, WORD type, DWORD eventId, const std::vector<std::wstring>& strings) {
  std::lock_guard<std::mutex> guard(_lock);
  const auto now = _clock.Now();
  auto& last = _lastReported[kind];
  if (last && now - *last < kMinInterval) return;
  last = now;
  if (!_source) _source.reset(RegisterEventSourceW(nullptr, kEventSourceName));
  if (!_source) {
    DebugTrace("The event source cannot be registered (%lu)\n", static_cast<unsigned long>(GetLastError()));
    return;
  }
  std::vector<LPCWSTR> pointers;
  for (const auto& text : strings) pointers.push_back(text.c_str());
  if (!ReportEventW(_source.get(), type, 0, eventId, nullptr, static_cast<WORD>(pointers.size()), 0,
                    pointers.empty() ? nullptr : pointers.data(), nullptr))
    DebugTrace("Event %lu cannot be written (%lu)\n", static_cast<unsigned long>(eventId),
               static_cast<unsigned long>(GetLastError()));
}

}  // namespace qorlogsvc::model::service
