// Pieces shared by the stand-in's service control manager: a file lock, the
// service database under <machine>/run/scm, the control protocol between
// clients and a service process, and process launching. See service_manager.cpp
// for the layout of the database and the environment it uses.
#pragma once

#include <windows.h>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unique_posix.h"

namespace tarn::sim::scm {

// ---------------------------------------------------------------------------
// Descriptors and files

using tarn::UniqueFd;

// An exclusive advisory lock on a file (flock), held for the object's lifetime.
// It excludes other processes and other threads of this process alike.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path);
  bool Held() const { return fd_.is_valid(); }

 private:
  UniqueFd fd_;
};

// ---------------------------------------------------------------------------
// Environment

inline constexpr char kMachineVariable[] = "TARN_MACHINE";
inline constexpr char kServiceVariable[] = "TARN_SCM_SERVICE";
inline constexpr char kStartChannelVariable[] = "TARN_SCM_START_FD";
inline constexpr char kTimeoutVariable[] = "TARN_SCM_TIMEOUT_MS";
inline constexpr int kStartChannelFd = 3;
inline constexpr DWORD kDefaultTimeoutMs = 30000;

// The manager's time-out for a start or a control, read from the caller's
// environment on every call.
DWORD ManagerTimeoutMs();

// Error codes the stand-in's headers do not name.
inline constexpr DWORD kErrorInvalidLevel = 124;
inline constexpr DWORD kErrorBadExeFormat = 193;
inline constexpr DWORD kErrorDatabaseDoesNotExist = 1065;
inline constexpr DWORD kRpcServerUnavailable = 1722;

// ---------------------------------------------------------------------------
// Time

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, 0 once it has passed, clamped for poll().
int MillisecondsUntil(Clock::time_point deadline);

// ---------------------------------------------------------------------------
// Names

bool EqualNamesIgnoringCase(std::wstring_view a, std::wstring_view b);
std::wstring FoldName(std::wstring_view name);

// Whether a service name can be stored: 1 to 256 characters, no path separators,
// no control characters.
bool IsValidServiceName(std::wstring_view name);

// ---------------------------------------------------------------------------
// The service database

struct ServiceConfig {
  std::wstring name;
  std::wstring displayName;
  std::wstring binaryPath;
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD startType = SERVICE_DEMAND_START;
  DWORD errorControl = SERVICE_ERROR_NORMAL;
  bool markedForDelete = false;
};

// The last reported status and the process that reported it (0 when none).
struct StatusRecord {
  SERVICE_STATUS status{};
  DWORD processId = 0;
};

enum class ReportOrigin { kService, kManager };

// One status record as a line of "key=value" fields, and back.
std::string FormatStatusLine(const StatusRecord& record, ReportOrigin origin);
std::optional<StatusRecord> ParseStatusLine(std::string_view line);

// The services of one simulated machine, kept in files under <machine>/run/scm.
class Database {
 public:
  // The machine folder is made absolute and canonical, so that every process
  // names the same machine the same way.
  explicit Database(const std::filesystem::path& machineRoot);

  // The bound of <NAME>.reports; past it the oldest reports are dropped.
  static constexpr std::size_t kMaxReportsBytes = 256 * 1024;

  const std::filesystem::path& MachineRoot() const { return root_; }
  std::filesystem::path Folder() const;

  std::filesystem::path ConfigPath(const std::wstring& name) const;
  std::filesystem::path StatusPath(const std::wstring& name) const;
  std::filesystem::path ReportsPath(const std::wstring& name) const;
  std::filesystem::path OutputPath(const std::wstring& name) const;
  std::filesystem::path StatusLockPath(const std::wstring& name) const;
  std::filesystem::path StartLockPath(const std::wstring& name) const;
  std::filesystem::path DatabaseLockPath() const;

  // The installed name that matches `name` without regard to case.
  std::optional<std::wstring> FindService(std::wstring_view name) const;

  std::optional<ServiceConfig> ReadConfig(const std::wstring& name) const;
  bool WriteConfig(const ServiceConfig& config) const;

  // Status operations; the caller holds the service's status lock.
  StatusRecord ReadStatus(const std::wstring& name) const;
  void WriteStatus(const std::wstring& name, const StatusRecord& record, ReportOrigin origin) const;
  // Removes a service that was marked for deletion once it has stopped.
  void FinishPendingDelete(const std::wstring& name) const;
  void RemoveService(const std::wstring& name) const;

  // The last status, after marking a service whose process has ended without
  // reporting SERVICE_STOPPED as stopped with ERROR_PROCESS_ABORTED.
  StatusRecord RefreshStatus(const std::wstring& name) const;

 private:
  std::filesystem::path FileFor(const std::wstring& name, const char* suffix) const;

  std::filesystem::path root_;
  mutable std::atomic<bool> folderMade_{false};
};

// ---------------------------------------------------------------------------
// Processes

// False once the process has ended (also when it is a zombie nobody reaped).
bool ProcessAlive(DWORD processId);

// Waits until the process has ended; true when it has within the time-out.
bool WaitForProcessExit(DWORD processId, int timeoutMs);

struct LaunchRequest {
  std::string executable;
  std::vector<std::string> arguments;    // argv, argv[0] included
  std::vector<std::string> environment;  // "NAME=value"
  int outputFd = -1;                     // becomes stdout and stderr
  int startChannelFd = -1;               // becomes kStartChannelFd
};

struct LaunchResult {
  DWORD error = ERROR_SUCCESS;
  pid_t processId = 0;
};

// Starts the executable as a detached process in a session of its own (it is
// nobody's child here, so it never lingers as a zombie), and reports whether
// the executable could be run.
LaunchResult Launch(const LaunchRequest& request);

// Splits a binary path into the executable and its arguments: a quoted first
// token, or the whole text when it names an existing file, or the text up to the
// first blank.
std::vector<std::string> SplitBinaryPath(const std::string& binaryPath);

// ---------------------------------------------------------------------------
// The control protocol (a SOCK_SEQPACKET Unix socket in the abstract namespace,
// one per running service, served by that service's dispatcher thread).

inline constexpr std::uint32_t kRequestMagic = 0x54534352;  // "RCST"
inline constexpr std::uint32_t kReplyMagic = 0x54535052;    // "RPST"

struct ControlRequest {
  std::uint32_t magic = kRequestMagic;
  std::uint32_t control = 0;
  std::uint32_t eventType = 0;
};

struct ControlReply {
  std::uint32_t magic = kReplyMagic;
  std::uint32_t error = 0;
  SERVICE_STATUS status{};
};

// What the starting manager and the started process say to each other over
// the start channel: the start arguments one way, each status report back.
struct StartReport {
  std::uint32_t state = 0;
  std::uint32_t checkPoint = 0;
};

// The abstract socket address of the control endpoint that the service's
// process serves. The process id is part of it, so a process that lingers after
// its service stopped never stands in the way of the next one.
std::string ControlEndpointName(const std::filesystem::path& machineRoot, std::wstring_view serviceName,
                                DWORD processId);

// A listening endpoint, or an invalid descriptor with errno set.
UniqueFd ListenOnEndpoint(const std::string& name);

// A connection to the endpoint within the time-out, or an invalid descriptor with errno set.
UniqueFd ConnectToEndpoint(const std::string& name, int timeoutMs);

// Start arguments as one message: UTF-8 strings, each ending in a NUL.
std::string EncodeArguments(const std::vector<std::wstring>& arguments);
std::vector<std::wstring> DecodeArguments(std::string_view message);

}  // namespace tarn::sim::scm
