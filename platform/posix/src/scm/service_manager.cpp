// The stand-in's service control manager, as its clients see it: service
// handles, the database, starting a service process and sending controls.
//
// There is no manager process. The manager's state lives in files of the
// machine folder, and each running service process serves its own control
// endpoint:
//
//   run/scm/<NAME>.service      configuration, "key=value" lines: name, display,
//                               binPath, type, start, error, delete (1 once the
//                               service is marked for deletion while running)
//   run/scm/<NAME>.status       the last status as one line:
//                               "pid=.. origin=.. type=0x.. state=.. accepted=0x..
//                               exit=.. specific=.. checkpoint=.. waithint=.."
//   run/scm/<NAME>.reports      every status, one such line each, in order
//                               (past 256 KiB the oldest half is dropped);
//                               origin=service for the service's own
//                               SetServiceStatus reports, origin=manager for the
//                               manager's entries (start-pending at start, stopped
//                               with ERROR_PROCESS_ABORTED when the process ended
//                               without reporting stopped, a failed start)
//   run/scm/<NAME>.out          stdout and stderr of the service process (appended)
//   run/scm/<NAME>.lock         flock serialising status writes across processes
//   run/scm/<NAME>.start.lock   flock held by StartServiceW for a whole start
//   run/scm/database.lock       flock serialising create and delete
//
// <NAME> is the service name as created (UTF-8); lookups ignore case.
//
// Environment:
//   TARN_MACHINE         the machine folder (OpenSCManagerW may also name a
//                        machine folder as its machine name instead)
//   TARN_SCM_TIMEOUT_MS  the manager's time-out for starts and controls in
//                        milliseconds, read by the caller of StartServiceW or
//                        ControlService (default 30000)
//   TARN_SCM_SERVICE     set by StartServiceW for the process it starts: the
//                        name the process was started as. Its presence is what
//                        lets StartServiceCtrlDispatcherW connect.
//   TARN_SCM_START_FD    set by StartServiceW: the descriptor (3) of the start
//                        channel, a SOCK_SEQPACKET socket pair end
//
// A service process inherits the environment of the caller of StartServiceW.
//
// Starting: StartServiceW writes the start-pending status, launches the binary
// (detached, in a session of its own, output into <NAME>.out) and sends the
// start arguments over the start channel. The dispatcher answers once it has
// connected, and every status report is echoed on the channel until the first
// SERVICE_RUNNING or SERVICE_STOPPED. StartServiceW returns then, later than
// Windows' (which returns at start-pending), so that a caller sees the service
// running. It fails with ERROR_SERVICE_REQUEST_TIMEOUT when no such report
// arrives within the time-out (a process that never connected is killed then),
// and with ERROR_PROCESS_ABORTED when the process ends first.
//
// Controls: ControlService connects to the endpoint of the process recorded in
// the status (an abstract Unix socket, see ControlEndpointName), sends the
// control and waits, within the time-out, for the reply that the dispatcher
// thread sends once the handler has returned.
#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "scm_internal.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"
#include "tarn_sim/scm.h"

extern char** environ;

namespace {

using namespace tarn::sim::scm;

constexpr DWORD kMaximumAllowed = 0x02000000u;
constexpr DWORD kScManagerLock = 0x0008u;
constexpr DWORD kScManagerQueryLockStatus = 0x0010u;
constexpr DWORD kScManagerModifyBootConfig = 0x0020u;
constexpr DWORD kStartPendingWaitHint = 2000;
constexpr std::size_t kMaxArgumentBytes = 64 * 1024;

// Folds the generic rights into the specific rights they stand for.
DWORD MapGenericRights(DWORD access, DWORD read, DWORD write, DWORD execute, DWORD all) {
  if (access & kMaximumAllowed) access |= all;
  if (access & GENERIC_READ) access |= read;
  if (access & GENERIC_WRITE) access |= write;
  if (access & GENERIC_EXECUTE) access |= execute;
  if (access & GENERIC_ALL) access |= all;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kMaximumAllowed);
}

DWORD ManagerRights(DWORD desired) {
  return MapGenericRights(desired, READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | kScManagerQueryLockStatus,
                          READ_CONTROL | SC_MANAGER_CREATE_SERVICE | kScManagerModifyBootConfig,
                          READ_CONTROL | SC_MANAGER_CONNECT | kScManagerLock, SC_MANAGER_ALL_ACCESS) |
         SC_MANAGER_CONNECT;
}

DWORD ServiceRights(DWORD desired) {
  return MapGenericRights(
      desired,
      READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS,
      READ_CONTROL | SERVICE_CHANGE_CONFIG,
      READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
      SERVICE_ALL_ACCESS);
}

class ScObject : public tarn::sim::KernelObject {
 public:
  ScObject(std::shared_ptr<const Database> database, DWORD access) : database_(std::move(database)), access_(access) {}
  const Database& database() const { return *database_; }
  const std::shared_ptr<const Database>& shared_database() const { return database_; }
  bool Allows(DWORD needed) const { return (access_ & needed) == needed; }

 private:
  std::shared_ptr<const Database> database_;
  DWORD access_;
};

class ManagerObject : public ScObject {
 public:
  using ScObject::ScObject;
};

class ServiceObject : public ScObject {
 public:
  ServiceObject(std::shared_ptr<const Database> database, DWORD access, std::wstring name)
      : ScObject(std::move(database), access), name_(std::move(name)) {}
  const std::wstring& name() const { return name_; }

 private:
  std::wstring name_;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

SC_HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

SC_HANDLE Enter(std::shared_ptr<ScObject> object) {
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<SC_HANDLE>(tarn::sim::InsertHandle(std::move(object)));
}

template <class T>
std::shared_ptr<T> Lookup(SC_HANDLE handle) {
  return tarn::sim::LookupHandle<T>(reinterpret_cast<HANDLE>(handle));
}

// The service behind a handle opened with the rights `needed`; sets `error` otherwise.
std::shared_ptr<ServiceObject> ServiceFor(SC_HANDLE handle, DWORD needed, DWORD& error) {
  auto service = Lookup<ServiceObject>(handle);
  if (!service) {
    error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (!service->Allows(needed)) {
    error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return service;
}

// The right ControlService needs for a control; 0 for a control that no
// client may send.
DWORD RightForControl(DWORD control) {
  if (control >= 128 && control <= 255) return SERVICE_USER_DEFINED_CONTROL;
  switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE: return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_PAUSE_CONTINUE;
    default: return 0;
  }
}

// The errors for which ControlService still hands out the service's status.
bool ErrorCarriesStatus(DWORD error) {
  return error == ERROR_SUCCESS || error == ERROR_INVALID_SERVICE_CONTROL ||
         error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_SERVICE_NOT_ACTIVE;
}

// After the service's endpoint went away: the process is ending or gone.
DWORD NotReachable(const Database& database, const std::wstring& name, DWORD processId, Clock::time_point deadline,
                   SERVICE_STATUS& status) {
  StatusRecord record = database.RefreshStatus(name);
  if (record.status.dwCurrentState != SERVICE_STOPPED && record.processId == processId &&
      record.status.dwCurrentState != SERVICE_START_PENDING) {
    WaitForProcessExit(processId, MillisecondsUntil(deadline));
    record = database.RefreshStatus(name);
  }
  status = record.status;
  return record.status.dwCurrentState == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE : ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

// Delivers a control through the service's endpoint; returns the error code and
// the status the reply carried.
DWORD SendControl(const Database& database, const std::wstring& name, DWORD control, DWORD eventType,
                  SERVICE_STATUS& status) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ManagerTimeoutMs());
  StatusRecord record = database.RefreshStatus(name);
  status = record.status;
  if (record.status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;

  std::string endpoint = ControlEndpointName(database.MachineRoot(), name, record.processId);
  UniqueFd connection = ConnectToEndpoint(endpoint, MillisecondsUntil(deadline));
  if (!connection.is_valid()) {
    if (errno == EAGAIN || errno == ETIMEDOUT) return ERROR_SERVICE_REQUEST_TIMEOUT;
    return NotReachable(database, name, record.processId, deadline, status);
  }
  ControlRequest request;
  request.control = control;
  request.eventType = eventType;
  if (::send(connection.get(), &request, sizeof(request), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(request)))
    return NotReachable(database, name, record.processId, deadline, status);

  for (;;) {
    pollfd entry{connection.get(), POLLIN, 0};
    int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ERROR_SERVICE_REQUEST_TIMEOUT;
    break;
  }
  ControlReply reply;
  ssize_t n = ::recv(connection.get(), &reply, sizeof(reply), 0);
  if (n != static_cast<ssize_t>(sizeof(reply)) || reply.magic != kReplyMagic)
    return NotReachable(database, name, record.processId, deadline, status);
  status = reply.status;
  return reply.error;
}

BOOL FinishControl(DWORD error, const SERVICE_STATUS& result, LPSERVICE_STATUS status) {
  if (status != nullptr && ErrorCarriesStatus(error)) *status = result;
  if (error != ERROR_SUCCESS) return Fail(error);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

bool HasPrefix(const char* entry, const char* name) {
  std::size_t length = std::strlen(name);
  return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// The caller's environment, with the machine and the service's identity in place.
std::vector<std::string> ServiceEnvironment(const Database& database, const std::wstring& name) {
  std::vector<std::string> environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (HasPrefix(*entry, kMachineVariable) || HasPrefix(*entry, kServiceVariable) ||
        HasPrefix(*entry, kStartChannelVariable))
      continue;
    environment.emplace_back(*entry);
  }
  environment.push_back(std::string(kMachineVariable) + "=" + database.MachineRoot().string());
  environment.push_back(std::string(kServiceVariable) + "=" + tarn::sim::ToUtf8(name));
  environment.push_back(std::string(kStartChannelVariable) + "=" + std::to_string(kStartChannelFd));
  return environment;
}

void RecordStatus(const Database& database, const std::wstring& name, const StatusRecord& record) {
  FileLock lock(database.StatusLockPath(name));
  database.WriteStatus(name, record, ReportOrigin::kManager);
}

StatusRecord StoppedRecord(DWORD serviceType, DWORD exitCode, DWORD processId) {
  StatusRecord record;
  record.status.dwServiceType = serviceType;
  record.status.dwCurrentState = SERVICE_STOPPED;
  record.status.dwWin32ExitCode = exitCode;
  record.processId = processId;
  return record;
}

// Ends a process that never connected as a service, and records why it stopped.
void AbandonStart(const Database& database, const ServiceConfig& config, pid_t processId) {
  UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, processId, 0)));
  if (process.is_valid()) ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0);
  WaitForProcessExit(static_cast<DWORD>(processId), 1000);
  RecordStatus(database, config.name,
               StoppedRecord(config.serviceType, ERROR_SERVICE_REQUEST_TIMEOUT, static_cast<DWORD>(processId)));
}

// Waits for the started process's first SERVICE_RUNNING or SERVICE_STOPPED.
// Each report restarts the time-out, since it shows that the start progresses.
DWORD AwaitStart(const Database& database, const ServiceConfig& config, pid_t processId, int channel) {
  const auto timeout = std::chrono::milliseconds(ManagerTimeoutMs());
  auto deadline = Clock::now() + timeout;
  bool connected = false;
  for (;;) {
    pollfd entry{channel, POLLIN, 0};
    int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (!connected) AbandonStart(database, config, processId);
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    StartReport report;
    ssize_t n = ::recv(channel, &report, sizeof(report), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == static_cast<ssize_t>(sizeof(report))) {
      if (report.state == SERVICE_RUNNING || report.state == SERVICE_STOPPED) return ERROR_SUCCESS;
      connected = true;
      deadline = Clock::now() + timeout;
      continue;
    }
    // The channel closed without a final report: the process is ending.
    if (!WaitForProcessExit(static_cast<DWORD>(processId), MillisecondsUntil(deadline)))
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    StatusRecord record = database.RefreshStatus(config.name);
    return record.status.dwCurrentState == SERVICE_STOPPED ? ERROR_PROCESS_ABORTED : ERROR_SERVICE_REQUEST_TIMEOUT;
  }
}

DWORD StartService(const Database& database, const ServiceConfig& config, const std::vector<std::wstring>& arguments) {
  FileLock startLock(database.StartLockPath(config.name));
  if (database.RefreshStatus(config.name).status.dwCurrentState != SERVICE_STOPPED)
    return ERROR_SERVICE_ALREADY_RUNNING;

  std::vector<std::string> command = SplitBinaryPath(tarn::sim::ToUtf8(config.binaryPath));
  if (command.empty()) return ERROR_FILE_NOT_FOUND;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return ERROR_NOT_ENOUGH_MEMORY;
  UniqueFd managerEnd(pair[0]), serviceEnd(pair[1]);
  UniqueFd output(::open(database.OutputPath(config.name).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!output.is_valid()) return ERROR_ACCESS_DENIED;

  LaunchRequest request;
  request.executable = command.front();
  request.arguments = command;
  request.environment = ServiceEnvironment(database, config.name);
  request.outputFd = output.get();
  request.startChannelFd = serviceEnd.get();
  LaunchResult launched = Launch(request);
  serviceEnd.reset();  // so that the channel reports the end of the process
  if (launched.error != ERROR_SUCCESS) {
    RecordStatus(database, config.name, StoppedRecord(config.serviceType, launched.error, 0));
    return launched.error;
  }

  StatusRecord starting;
  starting.status.dwServiceType = config.serviceType;
  starting.status.dwCurrentState = SERVICE_START_PENDING;
  starting.status.dwWaitHint = kStartPendingWaitHint;
  starting.processId = static_cast<DWORD>(launched.processId);
  RecordStatus(database, config.name, starting);

  // The process reports nothing before it has these.
  std::string message = EncodeArguments(arguments);
  ::send(managerEnd.get(), message.data(), message.size(), MSG_NOSIGNAL);
  return AwaitStart(database, config, launched.processId, managerEnd.get());
}

bool IsSupportedServiceType(DWORD type) {
  DWORD base = type & ~SERVICE_INTERACTIVE_PROCESS;
  return base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
}

bool HasLineBreak(std::wstring_view text) { return text.find_first_of(L"\r\n") != std::wstring_view::npos; }

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
  std::optional<std::filesystem::path> root;
  if (machineName == nullptr || *machineName == 0) {
    root = tarn::sim::MachineRoot();
  } else {
    // The stand-in's machines are folders: a machine name may be one.
    std::filesystem::path folder(tarn::sim::ToUtf8(machineName));
    std::error_code error;
    if (folder.is_absolute() && std::filesystem::is_directory(folder, error)) root = folder;
  }
  if (!root) return FailHandle(kRpcServerUnavailable);
  if (databaseName != nullptr && *databaseName != 0) {
    if (EqualNamesIgnoringCase(databaseName, L"ServicesFailed")) return FailHandle(kErrorDatabaseDoesNotExist);
    if (!EqualNamesIgnoringCase(databaseName, L"ServicesActive")) return FailHandle(ERROR_INVALID_NAME);
  }
  auto database = std::make_shared<const Database>(*root);
  return Enter(std::make_shared<ManagerObject>(std::move(database), ManagerRights(desiredAccess)));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
  auto owner = Lookup<ManagerObject>(manager);
  if (!owner) return FailHandle(ERROR_INVALID_HANDLE);
  if (serviceName == nullptr || !IsValidServiceName(serviceName)) return FailHandle(ERROR_INVALID_NAME);
  auto installed = owner->database().FindService(serviceName);
  if (!installed) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  return Enter(std::make_shared<ServiceObject>(owner->shared_database(), ServiceRights(desiredAccess), *installed));
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR,
                         LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR) {
  auto owner = Lookup<ManagerObject>(manager);
  if (!owner) return FailHandle(ERROR_INVALID_HANDLE);
  if (!owner->Allows(SC_MANAGER_CREATE_SERVICE)) return FailHandle(ERROR_ACCESS_DENIED);
  if (serviceName == nullptr || !IsValidServiceName(serviceName)) return FailHandle(ERROR_INVALID_NAME);
  if (binaryPathName == nullptr || *binaryPathName == 0 || HasLineBreak(binaryPathName) ||
      (displayName != nullptr && HasLineBreak(displayName)))
    return FailHandle(ERROR_INVALID_PARAMETER);
  // Boot and system start are for drivers, which the stand-in does not run.
  if (!IsSupportedServiceType(serviceType) || startType < SERVICE_AUTO_START || startType > SERVICE_DISABLED ||
      errorControl > SERVICE_ERROR_CRITICAL)
    return FailHandle(ERROR_INVALID_PARAMETER);

  const Database& database = owner->database();
  FileLock databaseLock(database.DatabaseLockPath());
  if (auto existing = database.FindService(serviceName)) {
    auto config = database.ReadConfig(*existing);
    return FailHandle(config && config->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
  }
  ServiceConfig config;
  config.name = serviceName;
  config.displayName = displayName != nullptr && *displayName != 0 ? displayName : serviceName;
  config.binaryPath = binaryPathName;
  config.serviceType = serviceType;
  config.startType = startType;
  config.errorControl = errorControl;
  // A new service starts with a fresh record of reports and output.
  std::error_code error;
  std::filesystem::remove(database.ReportsPath(config.name), error);
  std::filesystem::remove(database.OutputPath(config.name), error);
  {
    FileLock statusLock(database.StatusLockPath(config.name));
    std::filesystem::remove(database.StatusPath(config.name), error);
  }
  if (!database.WriteConfig(config)) return FailHandle(ERROR_ACCESS_DENIED);
  return Enter(std::make_shared<ServiceObject>(owner->shared_database(), ServiceRights(desiredAccess), config.name));
}

BOOL DeleteService(SC_HANDLE handle) {
  DWORD error = ERROR_SUCCESS;
  auto service = ServiceFor(handle, DELETE, error);
  if (!service) return Fail(error);
  const Database& database = service->database();
  FileLock databaseLock(database.DatabaseLockPath());
  auto config = database.ReadConfig(service->name());
  if (!config || config->markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  database.RefreshStatus(service->name());
  // The status lock keeps a concurrent SERVICE_STOPPED report from slipping
  // between the check and the mark: whoever writes "stopped" last removes it.
  FileLock statusLock(database.StatusLockPath(service->name()));
  if (database.ReadStatus(service->name()).status.dwCurrentState == SERVICE_STOPPED) {
    database.RemoveService(service->name());
  } else {
    config->markedForDelete = true;
    database.WriteConfig(*config);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL StartServiceW(SC_HANDLE handle, DWORD argc, LPCWSTR* argv) {
  DWORD error = ERROR_SUCCESS;
  auto service = ServiceFor(handle, SERVICE_START, error);
  if (!service) return Fail(error);
  if (argc > 0 && argv == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::wstring> arguments;
  std::size_t bytes = 0;
  for (DWORD i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    arguments.emplace_back(argv[i]);
    bytes += tarn::sim::ToUtf8(argv[i]).size() + 1;
  }
  if (bytes > kMaxArgumentBytes) return Fail(ERROR_INVALID_PARAMETER);

  auto config = service->database().ReadConfig(service->name());
  if (!config) return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  if (config->markedForDelete) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  if (config->startType == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
  error = StartService(service->database(), *config, arguments);
  if (error != ERROR_SUCCESS) return Fail(error);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status) {
  DWORD needed = RightForControl(control);
  if (needed == 0) return Fail(ERROR_INVALID_PARAMETER);
  DWORD error = ERROR_SUCCESS;
  auto service = ServiceFor(handle, needed, error);
  if (!service) return Fail(error);
  SERVICE_STATUS result{};
  error = SendControl(service->database(), service->name(), control, 0, result);
  return FinishControl(error, result, status);
}

BOOL QueryServiceStatus(SC_HANDLE handle, LPSERVICE_STATUS status) {
  DWORD error = ERROR_SUCCESS;
  auto service = ServiceFor(handle, SERVICE_QUERY_STATUS, error);
  if (!service) return Fail(error);
  if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *status = service->database().RefreshStatus(service->name()).status;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE handle, SC_STATUS_TYPE infoLevel, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded) {
  DWORD error = ERROR_SUCCESS;
  auto service = ServiceFor(handle, SERVICE_QUERY_STATUS, error);
  if (!service) return Fail(error);
  if (infoLevel != SC_STATUS_PROCESS_INFO) return Fail(kErrorInvalidLevel);
  if (bytesNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (buffer == nullptr || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  StatusRecord record = service->database().RefreshStatus(service->name());
  SERVICE_STATUS_PROCESS out{};
  std::memcpy(&out, &record.status, sizeof(record.status));
  out.dwProcessId = record.status.dwCurrentState == SERVICE_STOPPED ? 0 : record.processId;
  out.dwServiceFlags = 0;
  std::memcpy(buffer, &out, sizeof(out));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (!Lookup<ScObject>(handle) || !tarn::sim::RemoveHandle(reinterpret_cast<HANDLE>(handle)))
    return Fail(ERROR_INVALID_HANDLE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace tarn::sim {

DWORD SendSystemControl(std::wstring_view serviceName, DWORD control, DWORD eventType, SERVICE_STATUS* status) {
  auto root = MachineRoot();
  if (!root) return kRpcServerUnavailable;
  Database database(*root);
  auto installed = database.FindService(serviceName);
  if (!installed) return ERROR_SERVICE_DOES_NOT_EXIST;
  SERVICE_STATUS result{};
  DWORD error = SendControl(database, *installed, control, eventType, result);
  if (status != nullptr && ErrorCarriesStatus(error)) *status = result;
  return error;
}

}  // namespace tarn::sim
