#include "sc_text.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace tarn::sc {
namespace {

unsigned long AsUnsigned(DWORD value) { return static_cast<unsigned long>(value); }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buffer[512];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(buffer, sizeof(buffer), format, arguments);
  va_end(arguments);
  if (length < 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(length) < sizeof(buffer) ? static_cast<std::size_t>(length)
                                                                               : sizeof(buffer) - 1);
}

// The controls line under STATE, which sc.exe leaves out for a stopped service.
std::string ControlsLine(const SERVICE_STATUS& status) {
  if (status.dwCurrentState == SERVICE_STOPPED) return std::string();
  DWORD accepted = status.dwControlsAccepted;
  return Printf("                                (%s, %s, %s)\n",
                (accepted & SERVICE_ACCEPT_STOP) ? "STOPPABLE" : "NOT_STOPPABLE",
                (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) ? "PAUSABLE" : "NOT_PAUSABLE",
                (accepted & SERVICE_ACCEPT_SHUTDOWN) ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
}

std::string StatusLines(std::string_view serviceName, const SERVICE_STATUS& status) {
  std::string text = "\nSERVICE_NAME: " + std::string(serviceName) + "\n";
  const char* interactive = (status.dwServiceType & SERVICE_INTERACTIVE_PROCESS) ? "  (interactive)" : "";
  text += Printf("        TYPE               : %lx  %s%s\n", AsUnsigned(status.dwServiceType),
                 ServiceTypeName(status.dwServiceType), interactive);
  text += Printf("        STATE              : %lu  %s\n", AsUnsigned(status.dwCurrentState),
                 StateName(status.dwCurrentState));
  text += ControlsLine(status);
  text += Printf("        WIN32_EXIT_CODE    : %lu  (0x%lx)\n", AsUnsigned(status.dwWin32ExitCode),
                 AsUnsigned(status.dwWin32ExitCode));
  text += Printf("        SERVICE_EXIT_CODE  : %lu  (0x%lx)\n", AsUnsigned(status.dwServiceSpecificExitCode),
                 AsUnsigned(status.dwServiceSpecificExitCode));
  text += Printf("        CHECKPOINT         : 0x%lx\n", AsUnsigned(status.dwCheckPoint));
  text += Printf("        WAIT_HINT          : 0x%lx\n", AsUnsigned(status.dwWaitHint));
  return text;
}

bool ParseNumber(std::string_view text, DWORD& value) {
  if (text.empty()) return false;
  std::string copy(text);
  char* end = nullptr;
  unsigned long long number = std::strtoull(copy.c_str(), &end, 0);
  if (*end != '\0' || copy[0] == '-' || number > 0xFFFFFFFFull) return false;
  value = static_cast<DWORD>(number);
  return true;
}

struct Keyword {
  const char* text;
  DWORD value;
};

std::optional<DWORD> LookUp(std::string_view text, std::initializer_list<Keyword> keywords) {
  for (const Keyword& keyword : keywords)
    if (EqualIgnoringCase(text, keyword.text)) return keyword.value;
  return std::nullopt;
}

}  // namespace

const char* ServiceTypeName(DWORD serviceType) {
  switch (serviceType & ~SERVICE_INTERACTIVE_PROCESS) {
    case SERVICE_KERNEL_DRIVER: return "KERNEL_DRIVER";
    case 0x2: return "FILE_SYSTEM_DRIVER";
    case SERVICE_WIN32_OWN_PROCESS: return "WIN32_OWN_PROCESS";
    case SERVICE_WIN32_SHARE_PROCESS: return "WIN32_SHARE_PROCESS";
    case SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS: return "WIN32";
    default: return "";
  }
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "";
  }
}

std::string FormatStatus(std::string_view serviceName, const SERVICE_STATUS& status) {
  return StatusLines(serviceName, status) + "\n";
}

SERVICE_STATUS AsStatus(const SERVICE_STATUS_PROCESS& status) {
  return SERVICE_STATUS{status.dwServiceType,
                        status.dwCurrentState,
                        status.dwControlsAccepted,
                        status.dwWin32ExitCode,
                        status.dwServiceSpecificExitCode,
                        status.dwCheckPoint,
                        status.dwWaitHint};
}

std::string FormatStatusProcess(std::string_view serviceName, const SERVICE_STATUS_PROCESS& status) {
  std::string text = StatusLines(serviceName, AsStatus(status));
  text += Printf("        PID                : %lu\n", AsUnsigned(status.dwProcessId));
  text += Printf("        FLAGS              :%s\n",
                 (status.dwServiceFlags & SERVICE_RUNS_IN_SYSTEM_PROCESS) ? " RUNS_IN_SYSTEM_PROCESS" : "");
  return text + "\n";
}

std::string FormatFailure(std::string_view operation, DWORD error, std::string_view message) {
  // System messages end in a line break of their own.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.remove_suffix(1);
  std::string text = "[SC] " + std::string(operation) + Printf(" FAILED %lu:\n\n", AsUnsigned(error));
  if (!message.empty()) text += std::string(message) + "\n";
  return text + "\n";
}

std::optional<CreateOptions> ParseCreateOptions(const std::vector<std::string>& arguments, std::string& problem) {
  CreateOptions options;
  bool haveBinaryPath = false;
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    const std::string& key = arguments[i];
    if (key.empty() || key.back() != '=') {
      problem = "\"" + key + "\" is not an option: options are written \"key= value\".";
      return std::nullopt;
    }
    if (i + 1 >= arguments.size()) {
      problem = "The option \"" + key + "\" has no value.";
      return std::nullopt;
    }
    const std::string& value = arguments[i + 1];
    std::optional<DWORD> number;
    if (EqualIgnoringCase(key, "binPath=")) {
      options.binaryPath = value;
      haveBinaryPath = !value.empty();
    } else if (EqualIgnoringCase(key, "DisplayName=")) {
      options.displayName = value;
    } else if (EqualIgnoringCase(key, "type=")) {
      // "type= interact" adds to the process type given by "type= own" or "type= share".
      DWORD interactive = options.serviceType & SERVICE_INTERACTIVE_PROCESS;
      number = LookUp(value, {{"own", interactive | SERVICE_WIN32_OWN_PROCESS},
                              {"share", interactive | SERVICE_WIN32_SHARE_PROCESS},
                              {"interact", options.serviceType | SERVICE_INTERACTIVE_PROCESS}});
      if (number) options.serviceType = *number;
    } else if (EqualIgnoringCase(key, "start=")) {
      number = LookUp(value, {{"boot", SERVICE_BOOT_START},
                              {"system", SERVICE_SYSTEM_START},
                              {"auto", SERVICE_AUTO_START},
                              {"demand", SERVICE_DEMAND_START},
                              {"disabled", SERVICE_DISABLED}});
      if (number) options.startType = *number;
    } else if (EqualIgnoringCase(key, "error=")) {
      number = LookUp(value, {{"normal", SERVICE_ERROR_NORMAL},
                              {"severe", SERVICE_ERROR_SEVERE},
                              {"critical", SERVICE_ERROR_CRITICAL},
                              {"ignore", SERVICE_ERROR_IGNORE}});
      if (number) options.errorControl = *number;
    } else {
      problem = "Unknown option \"" + key + "\".";
      return std::nullopt;
    }
    bool takesKeyword = !EqualIgnoringCase(key, "binPath=") && !EqualIgnoringCase(key, "DisplayName=");
    if (takesKeyword && !number) {
      problem = "\"" + value + "\" is not a value of \"" + key + "\".";
      return std::nullopt;
    }
  }
  if (!haveBinaryPath) {
    problem = "create needs \"binPath= <path>\".";
    return std::nullopt;
  }
  return options;
}

std::optional<DWORD> ParseControlCode(std::string_view text) {
  if (auto named = LookUp(text, {{"paramchange", SERVICE_CONTROL_PARAMCHANGE},
                                 {"netbindadd", SERVICE_CONTROL_NETBINDADD},
                                 {"netbindremove", SERVICE_CONTROL_NETBINDREMOVE},
                                 {"netbindenable", SERVICE_CONTROL_NETBINDENABLE},
                                 {"netbinddisable", SERVICE_CONTROL_NETBINDDISABLE}}))
    return named;
  DWORD value = 0;
  if (!ParseNumber(text, value)) return std::nullopt;
  return value;
}

}  // namespace tarn::sc
