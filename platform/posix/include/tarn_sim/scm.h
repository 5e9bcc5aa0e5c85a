// Extensions of the stand-in's service control manager for tests.
#pragma once

#include <string_view>

#include <windows.h>

namespace tarn::sim {

// Sends a control that on Windows only the system sends (shutdown,
// pre-shutdown, power, session and time events) to a service of the machine
// folder, with the given event type and no event data. It is delivered as
// ControlService delivers a control: on the service's dispatcher thread, only
// when the service accepts it and is neither start- nor stop-pending. Returns
// the Win32 error code (0 when the handler returned 0) and fills `status` as
// ControlService does.
DWORD SendSystemControl(std::wstring_view serviceName, DWORD control, DWORD eventType, SERVICE_STATUS* status);

}  // namespace tarn::sim
