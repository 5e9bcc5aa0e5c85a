// The fakes of the service's seams: the lifecycle is tested without a service
// control manager and without waiting out real periods.
#pragma once

#include <windows.h>

#include <mutex>
#include <vector>

#include "service_controls.h"

namespace service_test {

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
