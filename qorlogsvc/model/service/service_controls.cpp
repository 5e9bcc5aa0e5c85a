#include "service_controls.h"

#include "unique_handle.h"

namespace qorlogsvc::model::service {

void SendControlToSelf(DWORD managerAccess, DWORD serviceAccess, DWORD control) {
  using tarn::UniqueServiceHandle;
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, managerAccess));
  if (!manager) return;
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, serviceAccess));
  if (!service) return;
  SERVICE_STATUS status{};
  ControlService(service.get(), control, &status);
}

}  // namespace qorlogsvc::model::service
