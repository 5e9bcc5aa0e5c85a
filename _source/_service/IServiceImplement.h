// What the service host needs of a service implementation.
#pragma once

#include <windows.h>

namespace Corvessan::Orwe {

// No virtual destructor: implementations are created together with their
// shared-ownership block and destroyed through it.
class IServiceImplement {
 public:
  // Called once in the service main after the control handler is registered.
  // Non-zero stops the start: reported as the Win32 exit code, with the out
  // value as the service-specific exit code.
  virtual DWORD Initialize(DWORD* serviceSpecificExitCode) = 0;

  // The SERVICE_ACCEPT_* mask reported for the whole run.
  virtual DWORD GetControlsAccepted() = 0;

  // Called on the dispatcher thread for every control. May change any field of
  // `status`; the host reports the record right after the call.
  virtual DWORD HandleControl(DWORD control, DWORD eventType, LPVOID eventData, SERVICE_STATUS* status) = 0;

  // Called once per start on a worker thread, after the running report. Non-zero
  // is recorded as ERROR_SERVICE_SPECIFIC_ERROR with this service-specific code.
  virtual DWORD Run(HANDLE stopEvent, SERVICE_STATUS_HANDLE statusHandle) = 0;
};

}  // namespace Corvessan::Orwe
