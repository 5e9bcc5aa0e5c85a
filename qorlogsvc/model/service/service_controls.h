// The service's name and the controls its timers send it.
#pragma once

#include <windows.h>

namespace qorlogsvc::model::service {

inline constexpr wchar_t kServiceName[] = L"TarnSvc";

// The service's own controls, sent by its timers to itself through the service
// control manager, so that every sampling cycle runs on the dispatcher thread.
inline constexpr DWORD SERVICE_CONTROL_LOG_TIMER = 128;
inline constexpr DWORD SERVICE_CONTROL_UPLOADLOG_TIMER = 129;

}  // namespace qorlogsvc::model::service
