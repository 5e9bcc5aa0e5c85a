// A small service written directly against the Win32 service functions, for
// the end-to-end tests of the service control manager. It accepts stop and
// pre-shutdown, answers control 128 with 0 and reports running, then stop-pending, then
// stopped with exit code 0. Every control it receives is written to stdout
// (which the manager sends to run/scm/<NAME>.out) as "control <code>".
//
// Start arguments change its behaviour:
//   hold-start=GATE  stays start-pending until the test opens GATE
//   hold-stop=GATE   stays stop-pending until the test opens GATE
//   self-control=MS  on control 129 sends control 128 to itself from inside
//                    the handler, with a manager time-out of MS milliseconds,
//                    and writes "self-control error=<code>"
//   stop-at-start=N  reports stopped with exit code N instead of running
//   exit-at-start    ends the process without reporting anything
//   check-reports    tries two reports that must be refused, and writes
//                    "null-handle error=<code>" and "bad-state error=<code>"
//
// Control 130 reports running 4000 times, with wait hints 1 to 4000, as a
// service running for months would add reports over time.
//
// A gate is a pair of FIFOs, GATE.go and GATE.ack: the service blocks reading
// GATE.go, changes its state, then writes GATE.ack.
#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>

namespace {

struct ServiceState {
  std::mutex lock;
  SERVICE_STATUS_HANDLE handle = nullptr;
  SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  HANDLE stopEvent = nullptr;
  std::wstring name;
  std::string holdStart;
  std::string holdStop;
  bool selfControl = false;
};

ServiceState& State() {
  static ServiceState* state = new ServiceState;
  return *state;
}

void Log(const char* format, unsigned long value) {
  std::printf(format, value);
  std::printf("\n");
  std::fflush(stdout);
}

void Report(DWORD state, DWORD accepted, DWORD checkPoint, DWORD waitHint, DWORD exitCode = 0) {
  ServiceState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = accepted;
  s.status.dwCheckPoint = checkPoint;
  s.status.dwWaitHint = waitHint;
  s.status.dwWin32ExitCode = exitCode;
  if (!SetServiceStatus(s.handle, &s.status)) Log("SetServiceStatus failed %lu", GetLastError());
}

void PassGate(const std::string& gate) {
  int go = ::open((gate + ".go").c_str(), O_RDONLY | O_CLOEXEC);
  char byte = 0;
  if (go >= 0 && ::read(go, &byte, 1) != 1) Log("gate read failed %lu", 0);
  if (go >= 0) ::close(go);
}

void AcknowledgeGate(const std::string& gate) {
  int ack = ::open((gate + ".ack").c_str(), O_WRONLY | O_CLOEXEC);
  char byte = 1;
  if (ack >= 0 && ::write(ack, &byte, 1) != 1) Log("gate write failed %lu", 0);
  if (ack >= 0) ::close(ack);
}

void SendControlToSelf() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager != nullptr ? OpenServiceW(manager, State().name.c_str(), SERVICE_USER_DEFINED_CONTROL) : nullptr;
  SERVICE_STATUS status{};
  DWORD error = ERROR_SUCCESS;
  if (service == nullptr || !ControlService(service, 128, &status)) error = GetLastError();
  Log("self-control error=%lu", error);
  if (service != nullptr) CloseServiceHandle(service);
  if (manager != nullptr) CloseServiceHandle(manager);
}

DWORD Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  Log("control %lu", control);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
      Report(SERVICE_STOP_PENDING, 0, 1, 5000);
      SetEvent(State().stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
    case 128: return NO_ERROR;
    case 129:
      if (State().selfControl) SendControlToSelf();
      return NO_ERROR;
    case 130:
      for (DWORD n = 1; n <= 4000; ++n) Report(SERVICE_RUNNING, State().status.dwControlsAccepted, 0, n);
      return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

std::string Narrow(LPCWSTR wide) {
  std::string narrow;
  for (; *wide != 0; ++wide) narrow += static_cast<char>(*wide);
  return narrow;
}

void TryRefusedReports() {
  ServiceState& s = State();
  SERVICE_STATUS status = s.status;
  SetLastError(0);
  Log("null-handle error=%lu", SetServiceStatus(nullptr, &status) ? 0 : GetLastError());
  status.dwCurrentState = 0;
  SetLastError(0);
  Log("bad-state error=%lu", SetServiceStatus(s.handle, &status) ? 0 : GetLastError());
}

void ServiceMain(DWORD argc, LPWSTR* argv) {
  ServiceState& s = State();
  s.name = argv[0];
  std::printf("main argv0=%s argc=%lu\n", Narrow(argv[0]).c_str(), static_cast<unsigned long>(argc));
  std::fflush(stdout);
  s.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  s.handle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
  if (s.handle == nullptr) {
    Log("RegisterServiceCtrlHandlerExW failed %lu", GetLastError());
    return;
  }
  for (DWORD i = 1; i < argc; ++i) {
    std::string option = Narrow(argv[i]);
    if (option.rfind("hold-start=", 0) == 0) s.holdStart = option.substr(11);
    if (option.rfind("hold-stop=", 0) == 0) s.holdStop = option.substr(10);
    if (option.rfind("self-control=", 0) == 0) {
      // Set before the service reports running, so before any control arrives.
      ::setenv("TARN_SCM_TIMEOUT_MS", option.c_str() + 13, 1);
      s.selfControl = true;
    }
    if (option == "exit-at-start") std::_Exit(3);
    if (option == "check-reports") TryRefusedReports();
    if (option.rfind("stop-at-start=", 0) == 0) {
      Report(SERVICE_STOPPED, 0, 0, 0, static_cast<DWORD>(std::strtoul(option.c_str() + 14, nullptr, 10)));
      return;
    }
  }
  if (!s.holdStart.empty()) {
    Report(SERVICE_START_PENDING, 0, 1, 60000);
    PassGate(s.holdStart);
  }
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN, 0, 0);
  if (!s.holdStart.empty()) AcknowledgeGate(s.holdStart);

  WaitForSingleObject(s.stopEvent, INFINITE);
  if (!s.holdStop.empty()) PassGate(s.holdStop);
  Report(SERVICE_STOPPED, 0, 0, 0);
}

}  // namespace

int main() {
  // The table's name differs from the installed one on purpose: an
  // own-process service runs its single entry whatever the name.
  static wchar_t name[] = L"ScmTestService";
  SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD error = GetLastError();
    Log("dispatcher failed %lu", error);
    return static_cast<int>(error & 0xFF);
  }
  Log("dispatcher returned %lu", 0);
  return 0;
}
