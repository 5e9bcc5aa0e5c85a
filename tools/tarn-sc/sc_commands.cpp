#include "sc_commands.h"

#include <windows.h>
#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "sc_text.h"
#include "unique_handle.h"

namespace tarn::sc {
namespace {

using Clock = std::chrono::steady_clock;

// How long a pending start or stop may go without progress (a new check point
// or state) before tarn-sc gives up; a longer wait hint extends it.
constexpr DWORD kProgressTimeoutMs = 30000;
// How long tarn-sc waits on the service's process at a time before it looks at
// the status again (the wait ends at once when the process ends).
constexpr DWORD kProcessWaitSliceMs = 1000;

constexpr char kUsage[] =
    "DESCRIPTION:\n"
    "        tarn-sc talks to the service control manager, as sc.exe does.\n"
    "USAGE:\n"
    "        tarn-sc [--machine DIR] <command> <service name> [options]\n"
    "COMMANDS:\n"
    "        create       NAME binPath= PATH [type= own|share|interact] [start= demand|auto|disabled]\n"
    "                     [error= normal|severe|critical|ignore] [DisplayName= TEXT]\n"
    "        delete       NAME\n"
    "        start        NAME [arguments...]  (waits until the service runs or stopped)\n"
    "        stop         NAME                 (waits until it stopped and its process ended)\n"
    "        control      NAME CODE            (128-255, or paramchange, netbindadd, ...)\n"
    "        interrogate  NAME\n"
    "        query        NAME\n"
    "        queryex      NAME\n";

struct Invocation {
  std::string machine;
  std::string command;
  std::string serviceName;
  std::vector<std::string> rest;
};

bool EqualIgnoringCase(const std::string& a, const char* b) {
  std::string lowered = a;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return lowered == b;
}

std::optional<Invocation> Parse(const std::vector<std::string>& arguments) {
  Invocation invocation;
  std::size_t next = 0;
  if (next < arguments.size() && arguments[next].rfind("--machine=", 0) == 0) {
    invocation.machine = arguments[next].substr(10);
    ++next;
  } else if (next < arguments.size() && arguments[next] == "--machine") {
    if (next + 1 >= arguments.size()) return std::nullopt;
    invocation.machine = arguments[next + 1];
    next += 2;
  }
  if (next + 2 > arguments.size()) return std::nullopt;
  invocation.command = arguments[next];
  invocation.serviceName = arguments[next + 1];
  invocation.rest.assign(arguments.begin() + static_cast<std::ptrdiff_t>(next + 2), arguments.end());
  return invocation;
}

// Command-line text in the runtime's multibyte encoding, as the wide text the
// Win32 functions take.
std::wstring Widen(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  std::size_t length = std::mbstowcs(wide.data(), text.c_str(), wide.size());
  if (length == static_cast<std::size_t>(-1)) {
    wide.assign(text.begin(), text.end());
    return wide;
  }
  wide.resize(length);
  return wide;
}

std::string SystemMessage(DWORD error) {
  char buffer[1024];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buffer,
                                sizeof(buffer), nullptr);
  return length == 0 ? std::string() : std::string(buffer, length);
}

class Command {
 public:
  Command(const Invocation& invocation, std::FILE* out)
      : invocation_(invocation), out_(out), name_(Widen(invocation.serviceName)) {}

  int Execute() {
    const std::string& command = invocation_.command;
    if (EqualIgnoringCase(command, "create")) return Create();
    if (EqualIgnoringCase(command, "delete")) return Delete();
    if (EqualIgnoringCase(command, "start")) return Start();
    if (EqualIgnoringCase(command, "stop")) return Stop();
    if (EqualIgnoringCase(command, "control")) return Control();
    if (EqualIgnoringCase(command, "interrogate")) return SendControl(SERVICE_CONTROL_INTERROGATE);
    if (EqualIgnoringCase(command, "query")) return Query();
    if (EqualIgnoringCase(command, "queryex")) return QueryEx();
    return Usage("Unknown command \"" + command + "\".");
  }

 private:
  int Usage(const std::string& problem) {
    std::fprintf(out_, "%s\n%s", problem.c_str(), kUsage);
    return static_cast<int>(kInvalidCommandLine);
  }

  int Failure(const char* operation, DWORD error) {
    std::fputs(FormatFailure(operation, error, SystemMessage(error)).c_str(), out_);
    return static_cast<int>(error);
  }

  int LastFailure(const char* operation) { return Failure(operation, GetLastError()); }

  // The manager, or nothing with the failure printed to `failed`.
  UniqueServiceHandle OpenManager(DWORD access, int& failed) {
    std::wstring machine;
    if (!invocation_.machine.empty()) {
      std::error_code error;
      std::filesystem::path folder = std::filesystem::absolute(invocation_.machine, error);
      machine = error ? Widen(invocation_.machine) : folder.wstring();
    }
    UniqueServiceHandle manager(OpenSCManagerW(machine.empty() ? nullptr : machine.c_str(), nullptr, access));
    if (!manager) failed = LastFailure("OpenSCManager");
    return manager;
  }

  UniqueServiceHandle OpenNamedService(DWORD access, int& failed) {
    UniqueServiceHandle manager = OpenManager(SC_MANAGER_CONNECT, failed);
    if (!manager) return UniqueServiceHandle();
    UniqueServiceHandle service(OpenServiceW(manager.get(), name_.c_str(), access));
    if (!service) failed = LastFailure("OpenService");
    return service;
  }

  int Create() {
    std::string problem;
    auto options = ParseCreateOptions(invocation_.rest, problem);
    if (!options) return Usage(problem);
    int failed = 0;
    UniqueServiceHandle manager = OpenManager(SC_MANAGER_CREATE_SERVICE, failed);
    if (!manager) return failed;
    std::wstring binaryPath = Widen(options->binaryPath);
    std::wstring displayName = Widen(options->displayName);
    UniqueServiceHandle service(CreateServiceW(manager.get(), name_.c_str(),
                                               displayName.empty() ? nullptr : displayName.c_str(), SERVICE_ALL_ACCESS,
                                               options->serviceType, options->startType, options->errorControl,
                                               binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) return LastFailure("CreateService");
    std::fputs("[SC] CreateService SUCCESS\n", out_);
    return 0;
  }

  int Delete() {
    int failed = 0;
    UniqueServiceHandle service = OpenNamedService(DELETE, failed);
    if (!service) return failed;
    if (!DeleteService(service.get())) return LastFailure("DeleteService");
    std::fputs("[SC] DeleteService SUCCESS\n", out_);
    return 0;
  }

  bool QueryProcess(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                &needed) != FALSE;
  }

  int Start() {
    int failed = 0;
    UniqueServiceHandle service = OpenNamedService(SERVICE_START | SERVICE_QUERY_STATUS, failed);
    if (!service) return failed;
    std::vector<std::wstring> wide;
    for (const auto& argument : invocation_.rest) wide.push_back(Widen(argument));
    std::vector<LPCWSTR> pointers;
    for (const auto& argument : wide) pointers.push_back(argument.c_str());
    if (!StartServiceW(service.get(), static_cast<DWORD>(pointers.size()),
                       pointers.empty() ? nullptr : pointers.data()))
      return LastFailure("StartService");

    // Windows' StartServiceW returns while the service is still start-pending.
    SERVICE_STATUS_PROCESS status{};
    DWORD error = WaitWhilePending(service.get(), SERVICE_START_PENDING, nullptr, status);
    if (error != ERROR_SUCCESS) return Failure("StartService", error);
    std::fputs(FormatStatusProcess(invocation_.serviceName, status).c_str(), out_);
    return 0;
  }

  int Stop() {
    int failed = 0;
    UniqueServiceHandle service = OpenNamedService(SERVICE_STOP | SERVICE_QUERY_STATUS, failed);
    if (!service) return failed;
    SERVICE_STATUS_PROCESS before{};
    if (!QueryProcess(service.get(), before)) return LastFailure("QueryServiceStatusEx");
    // Opened before the stop, so the process cannot slip away unobserved.
    UniqueHandle process;
    if (before.dwProcessId != 0) process.reset(OpenProcess(SYNCHRONIZE, FALSE, before.dwProcessId));

    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return LastFailure("ControlService");
    SERVICE_STATUS_PROCESS after{};
    DWORD error = WaitWhilePending(service.get(), SERVICE_STOP_PENDING, process.get(), after);
    if (error != ERROR_SUCCESS) return Failure("StopService", error);
    std::fputs(FormatStatus(invocation_.serviceName, AsStatus(after)).c_str(), out_);
    return 0;
  }

  // Waits while the service stays start-pending, or until it has stopped and,
  // when `process` is given, that process has ended too.
  DWORD WaitWhilePending(SC_HANDLE service, DWORD pending, HANDLE process, SERVICE_STATUS_PROCESS& status) {
    if (!QueryProcess(service, status)) return GetLastError();
    auto lastProgress = Clock::now();
    DWORD lastCheckPoint = status.dwCheckPoint;
    DWORD lastState = status.dwCurrentState;
    for (;;) {
      bool processEnded = process == nullptr || WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
      bool settled = pending == SERVICE_STOP_PENDING ? status.dwCurrentState == SERVICE_STOPPED && processEnded
                                                     : status.dwCurrentState != pending;
      if (settled) return ERROR_SUCCESS;

      DWORD limit = std::max(status.dwWaitHint, kProgressTimeoutMs);
      if (Clock::now() - lastProgress > std::chrono::milliseconds(limit)) return ERROR_SERVICE_REQUEST_TIMEOUT;
      if (!processEnded) {
        WaitForSingleObject(process, kProcessWaitSliceMs);
      } else {
        // As Microsoft's samples do: a tenth of the wait hint, within 50 ms to 1 s.
        Sleep(std::clamp<DWORD>(status.dwWaitHint / 10, 50, 1000));
      }
      if (!QueryProcess(service, status)) return GetLastError();
      if (status.dwCheckPoint != lastCheckPoint || status.dwCurrentState != lastState) {
        lastProgress = Clock::now();
        lastCheckPoint = status.dwCheckPoint;
        lastState = status.dwCurrentState;
      }
    }
  }

  int Control() {
    if (invocation_.rest.size() != 1) return Usage("control needs one control code.");
    auto code = ParseControlCode(invocation_.rest.front());
    if (!code) return Usage("\"" + invocation_.rest.front() + "\" is not a control code.");
    return SendControl(*code);
  }

  static DWORD RightFor(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) return SERVICE_STOP;
    if (control == SERVICE_CONTROL_INTERROGATE) return SERVICE_INTERROGATE;
    if (control >= 128 && control <= 255) return SERVICE_USER_DEFINED_CONTROL;
    return SERVICE_PAUSE_CONTINUE;
  }

  int SendControl(DWORD control) {
    int failed = 0;
    UniqueServiceHandle service = OpenNamedService(RightFor(control), failed);
    if (!service) return failed;
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), control, &status)) return LastFailure("ControlService");
    std::fputs(FormatStatus(invocation_.serviceName, status).c_str(), out_);
    return 0;
  }

  int Query() {
    int failed = 0;
    UniqueServiceHandle service = OpenNamedService(SERVICE_QUERY_STATUS, failed);
    if (!service) return failed;
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.get(), &status)) return LastFailure("QueryServiceStatus");
    std::fputs(FormatStatus(invocation_.serviceName, status).c_str(), out_);
    return 0;
  }

  int QueryEx() {
    int failed = 0;
    UniqueServiceHandle service = OpenNamedService(SERVICE_QUERY_STATUS, failed);
    if (!service) return failed;
    SERVICE_STATUS_PROCESS status{};
    if (!QueryProcess(service.get(), status)) return LastFailure("QueryServiceStatusEx");
    std::fputs(FormatStatusProcess(invocation_.serviceName, status).c_str(), out_);
    return 0;
  }

  const Invocation& invocation_;
  std::FILE* out_;
  std::wstring name_;
};

}  // namespace

int Run(const std::vector<std::string>& arguments, std::FILE* out) {
  auto invocation = Parse(arguments);
  if (!invocation) {
    std::fputs(kUsage, out);
    return static_cast<int>(kInvalidCommandLine);
  }
  return Command(*invocation, out).Execute();
}

}  // namespace tarn::sc
