// The time the service's rate limits measure: how soon a failed start is tried
// again and how often an event of one kind is written. Behind an interface so
// that the lifecycle's tests move it on instead of waiting.
#pragma once

#include <chrono>

namespace qorlogsvc::model::service {

class Clock {
 public:
  virtual std::chrono::steady_clock::time_point Now() const = 0;

 protected:
  ~Clock() = default;
};

class RealClock final : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return std::chrono::steady_clock::now(); }

  static const RealClock& Instance() {
    static const RealClock instance;
    return instance;
  }
};

}  // namespace qorlogsvc::model::service
