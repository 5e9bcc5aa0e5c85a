// The event log over the simulated machine: run/eventlog.log, one line per entry.
#include <windows.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"

namespace {

class EventSourceObject : public tarn::sim::KernelObject {
 public:
  explicit EventSourceObject(std::wstring name) : name(std::move(name)) {}
  const std::wstring name;
};

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "ERROR";
    case EVENTLOG_WARNING_TYPE: return "WARNING";
    case EVENTLOG_INFORMATION_TYPE: return "INFORMATION";
    case EVENTLOG_SUCCESS: return "SUCCESS";
    default: return nullptr;
  }
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Processes of one machine append whole lines; one lock keeps this process's own apart.
std::mutex appendLock;

}  // namespace

HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
  if (sourceName == nullptr || *sourceName == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (serverName != nullptr && *serverName != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return tarn::sim::InsertHandle(std::make_shared<EventSourceObject>(sourceName));
}

BOOL ReportEventW(HANDLE eventLog, WORD type, WORD, DWORD eventId, PSID, WORD numberOfStrings, DWORD dataSize,
                  LPCWSTR* strings, LPVOID rawData) {
  const auto source = tarn::sim::LookupHandle<EventSourceObject>(eventLog);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* typeName = TypeName(type);
  if (typeName == nullptr || (numberOfStrings != 0 && strings == nullptr) || (dataSize != 0 && rawData == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string line = UtcNow() + " " + tarn::sim::ToUtf8(source->name) + " " + typeName + " " + std::to_string(eventId);
  for (WORD i = 0; i < numberOfStrings; ++i)
    line += (i == 0 ? " " : " | ") + tarn::sim::ToUtf8(strings[i] != nullptr ? strings[i] : L"");
  line += "\n";
  const auto run = tarn::sim::RunFolder();
  if (!run) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(appendLock);
  std::ofstream log(*run / "eventlog.log", std::ios::app | std::ios::binary);
  log << line;
  log.flush();
  if (!log) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL DeregisterEventSource(HANDLE eventLog) {
  if (!tarn::sim::LookupHandle<EventSourceObject>(eventLog) || !tarn::sim::RemoveHandle(eventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
