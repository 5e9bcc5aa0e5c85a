// The service's name, the controls its timers send it, and how the service
// sends a control to itself.
#pragma once

#include <windows.h>

namespace qorlogsvc::model::service {

inline constexpr wchar_t kServiceName[] = L"TarnSvc";

// The service's own controls, sent by its timers to itself through the service
// control manager, so that every sampling cycle runs on the dispatcher thread.
inline constexpr DWORD SERVICE_CONTROL_LOG_TIMER = 128;
inline constexpr DWORD SERVICE_CONTROL_UPLOADLOG_TIMER = 129;

// Sends `control` to "TarnSvc" through the service control manager, opened with
// `managerAccess`, the service with `serviceAccess`. NO_ERROR once the handler
// has answered; otherwise the Win32 error of the call that failed, which is
// traced. Never from the handler itself, which the manager would wait for.
DWORD SendControlToSelf(DWORD managerAccess, DWORD serviceAccess, DWORD control);

// The act of sending the service one of its own controls (a timer's tick, the
// stop of a service without a driver), so that what the service does when the
// manager refuses can be tested without a manager that refuses.
class SelfControl {
 public:
  // NO_ERROR once the handler has answered, else the Win32 error.
  virtual DWORD Send(DWORD control) = 0;

 protected:
  ~SelfControl() = default;
};

// Through the service control manager: a stop with the rights a stop needs,
// the timers' controls with the right to send user-defined controls only.
class RealSelfControl final : public SelfControl {
 public:
  DWORD Send(DWORD control) override;

  // The process's one instance, never destroyed: a tick may still send after
  // the service object is gone.
  static RealSelfControl& Instance();
};

}  // namespace qorlogsvc::model::service
