// The service process's side of the manager: the control dispatcher, the
// registration of control handlers and the status reports.
//
// The dispatcher thread (the caller of StartServiceCtrlDispatcherW) starts the
// service main on a thread of its own and then serves the service's control
// endpoint: it sleeps in poll() on the listening socket, the accepted
// connections and a wake pipe, and runs each control's handler itself, one at a
// time. A report of SERVICE_STOPPED writes to the wake pipe, so the dispatcher
// notices the end without ever waking up on a timer.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "scm_internal.h"
#include "tarn_sim/machine.h"

namespace {

using namespace tarn::sim::scm;

struct TableEntry {
  std::wstring name;
  LPSERVICE_MAIN_FUNCTIONW wideMain = nullptr;
  LPSERVICE_MAIN_FUNCTIONA narrowMain = nullptr;
};

// A service started in this process. Its address is its status handle.
struct RunningService {
  std::wstring name;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  SERVICE_STATUS status{};
};

struct ProcessState {
  std::mutex lock;
  bool dispatcherCalled = false;
  bool serving = false;  // from the start of the service main until the dispatcher returns
  std::unique_ptr<Database> database;
  // Never shrinks, so a status handle stays a valid address for the whole process.
  std::vector<std::unique_ptr<RunningService>> services;
  UniqueFd startChannel;  // open until the first final report
  UniqueFd wakeRead;
  UniqueFd wakeWrite;
};

// Never destroyed: service threads may report while the process exits.
ProcessState& State() {
  static ProcessState* state = new ProcessState;
  return *state;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

RunningService* FindByHandle(ProcessState& state, SERVICE_STATUS_HANDLE handle) {
  for (auto& service : state.services)
    if (reinterpret_cast<SERVICE_STATUS_HANDLE>(service.get()) == handle) return service.get();
  return nullptr;
}

bool IsValidReport(const SERVICE_STATUS& status) {
  DWORD type = status.dwServiceType & ~SERVICE_INTERACTIVE_PROCESS;
  bool knownType = type == SERVICE_WIN32_OWN_PROCESS || type == SERVICE_WIN32_SHARE_PROCESS;
  return knownType && status.dwCurrentState >= SERVICE_STOPPED && status.dwCurrentState <= SERVICE_PAUSED;
}

bool IsFinalStartState(DWORD state) { return state == SERVICE_RUNNING || state == SERVICE_STOPPED; }

// Records a report in the database, tells a waiting StartServiceW about it and
// wakes the dispatcher when the service has stopped. The caller holds state.lock.
void Publish(ProcessState& state, const RunningService& service, ReportOrigin origin) {
  if (state.database) {
    StatusRecord record{service.status, GetCurrentProcessId()};
    FileLock fileLock(state.database->StatusLockPath(service.name));
    state.database->WriteStatus(service.name, record, origin);
    if (service.status.dwCurrentState == SERVICE_STOPPED) state.database->FinishPendingDelete(service.name);
  }
  if (state.startChannel.is_valid()) {
    StartReport report{service.status.dwCurrentState, service.status.dwCheckPoint};
    ::send(state.startChannel.get(), &report, sizeof(report), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (IsFinalStartState(service.status.dwCurrentState)) state.startChannel.reset();
  }
  if (service.status.dwCurrentState == SERVICE_STOPPED && state.wakeWrite.is_valid()) {
    char wake = 1;
    ssize_t ignored = ::write(state.wakeWrite.get(), &wake, 1);
    (void)ignored;
  }
}

bool AllStopped(ProcessState& state) {
  std::lock_guard<std::mutex> guard(state.lock);
  for (auto& service : state.services)
    if (service->status.dwCurrentState != SERVICE_STOPPED) return false;
  return true;
}

// The start channel that StartServiceW handed to this process, if any.
UniqueFd AdoptStartChannel() {
  const char* value = std::getenv(kStartChannelVariable);
  if (value == nullptr || std::atoi(value) != kStartChannelFd) return UniqueFd();
  int flags = ::fcntl(kStartChannelFd, F_GETFD);
  if (flags < 0) return UniqueFd();
  int type = 0;
  socklen_t length = sizeof(type);
  if (::getsockopt(kStartChannelFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET)
    return UniqueFd();
  ::fcntl(kStartChannelFd, F_SETFD, flags | FD_CLOEXEC);
  return UniqueFd(kStartChannelFd);
}

// The start arguments StartServiceW sends right after writing the start-pending
// status; until they arrive the service must not report anything.
std::vector<std::wstring> ReceiveArguments(const UniqueFd& channel) {
  if (!channel.is_valid()) return {};
  pollfd entry{channel.get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(ManagerTimeoutMs() > 0x7FFFFFFF ? 0x7FFFFFFF : ManagerTimeoutMs()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return {};
  std::string message(256 * 1024, '\0');
  ssize_t n = ::recv(channel.get(), message.data(), message.size(), 0);
  if (n <= 0) return {};
  message.resize(static_cast<std::size_t>(n));
  return DecodeArguments(message);
}

// For an own-process service the single entry runs whatever its name.
const TableEntry* ChooseEntry(const std::vector<TableEntry>& entries, const std::wstring& name, DWORD type) {
  if ((type & SERVICE_WIN32_OWN_PROCESS) != 0) return &entries.front();
  for (const auto& entry : entries)
    if (EqualNamesIgnoringCase(entry.name, name)) return &entry;
  return nullptr;
}

bool AcceptsControl(DWORD accepted, DWORD control) {
  if (control >= 128 && control <= 255) return true;
  switch (control) {
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_DEVICEEVENT: return true;
    case SERVICE_CONTROL_STOP: return (accepted & SERVICE_ACCEPT_STOP) != 0;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    case SERVICE_CONTROL_SHUTDOWN: return (accepted & SERVICE_ACCEPT_SHUTDOWN) != 0;
    case SERVICE_CONTROL_PARAMCHANGE: return (accepted & SERVICE_ACCEPT_PARAMCHANGE) != 0;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return (accepted & SERVICE_ACCEPT_NETBINDCHANGE) != 0;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE: return (accepted & SERVICE_ACCEPT_HARDWAREPROFILECHANGE) != 0;
    case SERVICE_CONTROL_POWEREVENT: return (accepted & SERVICE_ACCEPT_POWEREVENT) != 0;
    case SERVICE_CONTROL_SESSIONCHANGE: return (accepted & SERVICE_ACCEPT_SESSIONCHANGE) != 0;
    case SERVICE_CONTROL_PRESHUTDOWN: return (accepted & SERVICE_ACCEPT_PRESHUTDOWN) != 0;
    case SERVICE_CONTROL_TIMECHANGE: return (accepted & SERVICE_ACCEPT_TIMECHANGE) != 0;
    case SERVICE_CONTROL_TRIGGEREVENT: return (accepted & SERVICE_ACCEPT_TRIGGEREVENT) != 0;
    default: return false;
  }
}

// Why a control cannot be delivered in the service's present state, or 0.
DWORD RefusalFor(const SERVICE_STATUS& status, bool haveHandler, DWORD control) {
  switch (status.dwCurrentState) {
    case SERVICE_STOPPED: return ERROR_SERVICE_NOT_ACTIVE;
    case SERVICE_START_PENDING:
    case SERVICE_STOP_PENDING:
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSE_PENDING: return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    default: break;
  }
  if (!haveHandler) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (!AcceptsControl(status.dwControlsAccepted, control)) return ERROR_INVALID_SERVICE_CONTROL;
  return ERROR_SUCCESS;
}

// Runs one control on this (the dispatcher) thread and answers with the status
// the service reported by the time its handler returned.
ControlReply Deliver(ProcessState& state, RunningService& service, const ControlRequest& request) {
  SERVICE_STATUS status;
  LPHANDLER_FUNCTION_EX handler;
  LPVOID context;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    status = service.status;
    handler = service.handler;
    context = service.context;
  }
  ControlReply reply;
  reply.status = status;
  reply.error = RefusalFor(status, handler != nullptr, request.control);
  if (reply.error != ERROR_SUCCESS) return reply;

  reply.error = handler(request.control, request.eventType, nullptr, context);
  std::lock_guard<std::mutex> guard(state.lock);
  reply.status = service.status;
  return reply;
}

// True once the client has closed its end: it gave up waiting (its time-out
// passed while an earlier control ran), so the control is not delivered late.
bool ClientHasGivenUp(int connection) {
  char probe;
  return ::recv(connection, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Serves one readable connection; false while its request has not arrived yet.
bool ServeConnection(ProcessState& state, RunningService& service, int connection) {
  ControlRequest request;
  ssize_t n = ::recv(connection, &request, sizeof(request), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (n != static_cast<ssize_t>(sizeof(request)) || request.magic != kRequestMagic) return true;
  if (ClientHasGivenUp(connection)) return true;
  ControlReply reply = Deliver(state, service, request);
  ::send(connection, &reply, sizeof(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
  return true;
}

void AcceptPending(int listener, std::vector<UniqueFd>& connections) {
  for (;;) {
    int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // EAGAIN: nothing more waiting
    }
    connections.emplace_back(connection);
  }
}

void DrainWakePipe(int wakeRead) {
  char buffer[64];
  while (::read(wakeRead, buffer, sizeof(buffer)) > 0) {
  }
}

// The dispatcher loop: blocks until a client connects, a request arrives or
// the service reports SERVICE_STOPPED.
void ServeControls(ProcessState& state, RunningService& service, int listener, int wakeRead) {
  std::vector<UniqueFd> connections;
  while (!AllStopped(state)) {
    std::vector<pollfd> watched{{listener, POLLIN, 0}, {wakeRead, POLLIN, 0}};
    for (auto& connection : connections) watched.push_back({connection.get(), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) DrainWakePipe(wakeRead);

    std::vector<UniqueFd> stillWaiting;
    for (std::size_t i = 0; i < connections.size(); ++i) {
      bool served = watched[i + 2].revents != 0 && ServeConnection(state, service, connections[i].get());
      if (!served) stillWaiting.push_back(std::move(connections[i]));
    }
    connections = std::move(stillWaiting);
    if (watched[0].revents != 0) AcceptPending(listener, connections);
  }
}

// The service main's arguments (the service name first), alive until its
// thread has been joined.
class MainArguments {
 public:
  MainArguments(const std::wstring& name, std::vector<std::wstring> startArguments) {
    wide_.push_back(name);
    for (auto& argument : startArguments) wide_.push_back(std::move(argument));
    for (auto& argument : wide_) {
      narrow_.push_back(tarn::sim::ToUtf8(argument));
      widePointers_.push_back(argument.data());
    }
    for (auto& argument : narrow_) narrowPointers_.push_back(argument.data());
    widePointers_.push_back(nullptr);
    narrowPointers_.push_back(nullptr);
  }

  void Call(const TableEntry& entry) {
    DWORD count = static_cast<DWORD>(wide_.size());
    if (entry.wideMain != nullptr) {
      entry.wideMain(count, widePointers_.data());
    } else {
      entry.narrowMain(count, narrowPointers_.data());
    }
  }

 private:
  std::vector<std::wstring> wide_;
  std::vector<std::string> narrow_;
  std::vector<LPWSTR> widePointers_;
  std::vector<LPSTR> narrowPointers_;
};

void SetServing(ProcessState& state, bool serving) {
  std::lock_guard<std::mutex> guard(state.lock);
  state.serving = serving;
}

// Ends a start that cannot go on: the service is recorded as stopped with `error`.
BOOL StopWithError(ProcessState& state, RunningService& service, DWORD error) {
  std::lock_guard<std::mutex> guard(state.lock);
  service.status.dwCurrentState = SERVICE_STOPPED;
  service.status.dwWin32ExitCode = error;
  Publish(state, service, ReportOrigin::kManager);
  return Fail(error);
}

// Enters the service this process was started for, start-pending, together with
// what reporting needs: the database, the start channel and the wake pipe.
RunningService* AddRunningService(ProcessState& state, const std::wstring& name, DWORD type,
                                  std::unique_ptr<Database> database, UniqueFd startChannel) {
  int wakePipe[2];
  if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  auto service = std::make_unique<RunningService>();
  service->name = name;
  service->status.dwServiceType = type;
  service->status.dwCurrentState = SERVICE_START_PENDING;
  std::lock_guard<std::mutex> guard(state.lock);
  state.database = std::move(database);
  state.startChannel = std::move(startChannel);
  state.wakeRead.reset(wakePipe[0]);
  state.wakeWrite.reset(wakePipe[1]);
  state.services.push_back(std::move(service));
  return state.services.back().get();
}

BOOL RunDispatcher(const std::vector<TableEntry>& entries) {
  if (entries.empty()) return Fail(ERROR_INVALID_PARAMETER);
  const char* startedAs = std::getenv(kServiceVariable);
  auto machine = tarn::sim::MachineRoot();
  if (startedAs == nullptr || *startedAs == '\0' || !machine) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  ProcessState& state = State();
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.dispatcherCalled) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    state.dispatcherCalled = true;
  }

  std::wstring name = tarn::sim::FromUtf8(startedAs);
  UniqueFd startChannel = AdoptStartChannel();
  MainArguments mainArguments(name, ReceiveArguments(startChannel));
  // Tells the starting manager that the process has connected as a service.
  StartReport connected{SERVICE_START_PENDING, 0};
  if (startChannel.is_valid()) ::send(startChannel.get(), &connected, sizeof(connected), MSG_NOSIGNAL | MSG_DONTWAIT);

  auto database = std::make_unique<Database>(*machine);
  auto config = database->ReadConfig(name);
  DWORD type = config ? config->serviceType : SERVICE_WIN32_OWN_PROCESS;
  std::string endpoint = ControlEndpointName(database->MachineRoot(), name, GetCurrentProcessId());
  RunningService* service = AddRunningService(state, name, type, std::move(database), std::move(startChannel));
  if (service == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  const TableEntry* entry = ChooseEntry(entries, name, type);
  if (entry == nullptr) return StopWithError(state, *service, ERROR_SERVICE_NOT_IN_EXE);
  UniqueFd listener = ListenOnEndpoint(endpoint);
  if (!listener.is_valid()) return StopWithError(state, *service, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);

  SetServing(state, true);
  std::thread serviceMain;
  try {
    serviceMain = std::thread([entry, &mainArguments] { mainArguments.Call(*entry); });
  } catch (const std::system_error&) {
    SetServing(state, false);
    return StopWithError(state, *service, ERROR_SERVICE_NO_THREAD);
  }
  ServeControls(state, *service, listener.get(), state.wakeRead.get());
  // Clients that connect from now on are refused and learn that the service stopped.
  listener.reset();
  serviceMain.join();
  SetServing(state, false);
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.startChannel.reset();
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

std::wstring WideFromNarrow(LPCSTR text) { return text == nullptr ? std::wstring() : tarn::sim::FromUtf8(text); }

}  // namespace

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  if (table == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<TableEntry> entries;
  for (const SERVICE_TABLE_ENTRYW* entry = table; entry->lpServiceName != nullptr; ++entry) {
    if (entry->lpServiceProc == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    entries.push_back({entry->lpServiceName, entry->lpServiceProc, nullptr});
  }
  return RunDispatcher(entries);
}

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (table == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<TableEntry> entries;
  for (const SERVICE_TABLE_ENTRYA* entry = table; entry->lpServiceName != nullptr; ++entry) {
    if (entry->lpServiceProc == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    entries.push_back({WideFromNarrow(entry->lpServiceName), nullptr, entry->lpServiceProc});
  }
  return RunDispatcher(entries);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  if (handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  ProcessState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  RunningService* found = nullptr;
  for (auto& service : state.services) {
    if (!state.serving) break;
    bool ownProcess = (service->status.dwServiceType & SERVICE_WIN32_OWN_PROCESS) != 0;
    if (ownProcess || (name != nullptr && EqualNamesIgnoringCase(service->name, name))) found = service.get();
  }
  if (found == nullptr) {
    // No service main of this process runs under that name.
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  found->handler = handler;
  found->context = context;
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(found);
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context) {
  std::wstring wide = WideFromNarrow(name);
  return RegisterServiceCtrlHandlerExW(name == nullptr ? nullptr : wide.c_str(), handler, context);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  ProcessState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  RunningService* service = FindByHandle(state, handle);
  if (service == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsValidReport(*status)) return Fail(ERROR_INVALID_DATA);
  service->status = *status;
  Publish(state, *service, ReportOrigin::kService);
  return TRUE;
}
