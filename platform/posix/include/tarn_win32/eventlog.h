// The event log calls of the system, over the simulated machine: every entry
// is one line appended to <machine>/run/eventlog.log,
//   <UTC time> <source> <type> <event id> <insertion strings separated by " | ">
// with the type as ERROR, WARNING, INFORMATION or SUCCESS. There is no message
// table here: the line holds the event id and the strings, as the event's
// XML view on Windows does.
#pragma once

#include "tarn_win32/types.h"

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004

typedef void* PSID;

// A handle of the handle table; null (ERROR_INVALID_PARAMETER) without a source
// name, or for a server other than this machine (ERROR_NOT_SUPPORTED).
HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName);
BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid, WORD numberOfStrings,
                  DWORD dataSize, LPCWSTR* strings, LPVOID rawData);
BOOL DeregisterEventSource(HANDLE eventLog);
