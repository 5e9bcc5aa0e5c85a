#include "service_controls.h"

#include "debug_trace.h"
#include "unique_handle.h"

namespace qorlogsvc::model::service {
namespace {

// Access that a self-addressed stop asks for: standard required rights with
// query and change configuration, query status, enumerate dependents, start
// and stop.
constexpr DWORD kOwnServiceAccess = 0xF003F;

DWORD TraceFailure(const char* call, DWORD control) {
  const DWORD error = GetLastError();
  DebugTrace("%s failed (%lu): control %lu did not reach the service\n", call, static_cast<unsigned long>(error),
             static_cast<unsigned long>(control));
  return error != NO_ERROR ? error : ERROR_GEN_FAILURE;
}

}  // namespace

DWORD SendControlToSelf(DWORD managerAccess, DWORD serviceAccess, DWORD control) {
  using tarn::UniqueServiceHandle;
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, managerAccess));
  if (!manager) return TraceFailure("OpenSCManagerW", control);
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, serviceAccess));
  if (!service) return TraceFailure("OpenServiceW", control);
  SERVICE_STATUS status{};
  if (!ControlService(service.get(), control, &status)) return TraceFailure("ControlService", control);
  return NO_ERROR;
}

DWORD RealSelfControl::Send(DWORD control) {
  if (control == SERVICE_CONTROL_STOP) return SendControlToSelf(SC_MANAGER_CONNECT, kOwnServiceAccess, control);
  return SendControlToSelf(GENERIC_READ, SERVICE_USER_DEFINED_CONTROL, control);
}

RealSelfControl& RealSelfControl::Instance() {
  static RealSelfControl& instance = *new RealSelfControl;
  return instance;
}

}  // namespace qorlogsvc::model::service
