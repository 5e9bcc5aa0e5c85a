// tarn-sc's text: the status layout and failure lines of Windows' sc.exe, and
// the parsing of its "key= value" options.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::sc {

// Error code for a command line tarn-sc cannot use (ERROR_INVALID_COMMAND_LINE).
inline constexpr DWORD kInvalidCommandLine = 1639;

const char* ServiceTypeName(DWORD serviceType);
const char* StateName(DWORD state);

// The status block sc.exe prints for query, control, interrogate and stop.
std::string FormatStatus(std::string_view serviceName, const SERVICE_STATUS& status);
// The fields a SERVICE_STATUS_PROCESS shares with SERVICE_STATUS.
SERVICE_STATUS AsStatus(const SERVICE_STATUS_PROCESS& status);
// The block sc.exe prints for queryex and start: the same with PID and FLAGS.
std::string FormatStatusProcess(std::string_view serviceName, const SERVICE_STATUS_PROCESS& status);

// "[SC] <operation> FAILED <code>:" followed by the system's message.
std::string FormatFailure(std::string_view operation, DWORD error, std::string_view message);

struct CreateOptions {
  std::string binaryPath;
  std::string displayName;
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
};

// Parses sc's create options: each key ends in "=" and its value is the next
// argument ("binPath= C:\x.exe"); keys ignore case. Sets `problem` and returns
// nullopt for an unknown key, a key without value, a bad value or no binPath.
std::optional<CreateOptions> ParseCreateOptions(const std::vector<std::string>& arguments, std::string& problem);

// A control code as sc's control command takes it: a number or the name of a
// standard control ("paramchange", "netbindadd", ...).
std::optional<DWORD> ParseControlCode(std::string_view text);

}  // namespace tarn::sc
