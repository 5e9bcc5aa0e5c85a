// The fakes of the service's seams: the lifecycle is tested without a service
// control manager and without waiting out real periods.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "clock.h"
#include "service_controls.h"

namespace service_test {

// A clock that stands still until the test moves it on.
class FakeClock final : public qorlogsvc::model::service::Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(_ticks.load()));
  }

  void Advance(std::chrono::milliseconds by) {
    _ticks += std::chrono::duration_cast<std::chrono::steady_clock::duration>(by).count();
  }

 private:
  // Far from the clock's epoch, as a real clock is.
  std::atomic<std::chrono::steady_clock::rep> _ticks{
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::hours(24)).count()};
};

// Takes the controls the service sends itself, answers each with `refusal`
// (NO_ERROR: delivered) and remembers them.
class FakeSelfControl final : public qorlogsvc::model::service::SelfControl {
 public:
  DWORD Send(DWORD control) override {
    std::lock_guard<std::mutex> guard(_lock);
    _sent.push_back(control);
    return _refusal;
  }

  void Refuse(DWORD error) {
    std::lock_guard<std::mutex> guard(_lock);
    _refusal = error;
  }

  std::vector<DWORD> Sent() const {
    std::lock_guard<std::mutex> guard(_lock);
    return _sent;
  }

 private:
  mutable std::mutex _lock;
  DWORD _refusal = NO_ERROR;
  std::vector<DWORD> _sent;
};

}  // namespace service_test
