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
// `managerAccess`, the service with `serviceAccess`. Returns when the handler
// has answered (or nothing could be opened). Never from the handler itself,
// which the manager would wait for.
void SendControlToSelf(DWORD managerAccess, DWORD serviceAccess, DWORD control);

}  // namespace qorlogsvc::model::service
