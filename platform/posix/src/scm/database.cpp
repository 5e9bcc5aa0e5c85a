// The service database in files, the locks around it, and the liveness of
// service processes.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include "scm_internal.h"
#include "tarn_sim/machine.h"

namespace tarn::sim::scm {

FileLock::FileLock(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
  if (!fd_.is_valid()) return;
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      fd_.reset();
      return;
    }
  }
}

DWORD ManagerTimeoutMs() {
  const char* text = std::getenv(kTimeoutVariable);
  if (text == nullptr || *text == '\0') return kDefaultTimeoutMs;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 0xFFFFFFFEul) return kDefaultTimeoutMs;
  return static_cast<DWORD>(value);
}

int MillisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

namespace {

wchar_t FoldChar(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

constexpr char kConfigSuffix[] = ".service";

bool ParseNumber(std::string_view text, DWORD& out) {
  std::string copy(text);
  if (copy.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(copy.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  out = static_cast<DWORD>(value);
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces a file's contents in one step, so that readers in other processes
// see either the old or the new text.
bool ReplaceFile(const std::filesystem::path& path, const std::string& contents) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!file.is_valid() || !WriteAll(file.get(), contents)) return false;
  file.reset();
  return ::rename(temporary.c_str(), path.c_str()) == 0;
}

bool AppendToFile(const std::filesystem::path& path, const std::string& text) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  return file.is_valid() && WriteAll(file.get(), text);
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path);

// Appends a line to a record that a long-running service keeps adding to: past
// maxBytes the oldest lines go, so that months of reports cannot fill the disk.
// Callers hold the service's status lock, so no other writer races the rewrite.
void AppendBounded(const std::filesystem::path& path, const std::string& line, std::size_t maxBytes) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || static_cast<std::size_t>(info.st_size) + line.size() <= maxBytes) {
    AppendToFile(path, line);
    return;
  }
  std::string text = ReadWholeFile(path).value_or(std::string()) + line;
  std::size_t cut = text.size() > maxBytes / 2 ? text.size() - maxBytes / 2 : 0;
  if (cut > 0) {
    const std::size_t lineStart = text.find('\n', cut - 1);
    cut = lineStart == std::string::npos ? text.size() - line.size() : lineStart + 1;
  }
  ReplaceFile(path, text.substr(cut));
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.is_valid()) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(file.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

bool EqualNamesIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

std::wstring FoldName(std::wstring_view name) {
  std::wstring folded(name);
  for (auto& c : folded) c = FoldChar(c);
  return folded;
}

bool IsValidServiceName(std::wstring_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (wchar_t c : name) {
    if (c == L'/' || c == L'\\' || c < 0x20 || c == 0x7F) return false;
  }
  return name != L"." && name != L"..";
}

std::string FormatStatusLine(const StatusRecord& record, ReportOrigin origin) {
  const SERVICE_STATUS& s = record.status;
  char line[256];
  std::snprintf(line, sizeof(line),
                "pid=%lu origin=%s type=0x%lx state=%lu accepted=0x%lx exit=%lu specific=%lu checkpoint=%lu "
                "waithint=%lu\n",
                static_cast<unsigned long>(record.processId), origin == ReportOrigin::kService ? "service" : "manager",
                static_cast<unsigned long>(s.dwServiceType), static_cast<unsigned long>(s.dwCurrentState),
                static_cast<unsigned long>(s.dwControlsAccepted), static_cast<unsigned long>(s.dwWin32ExitCode),
                static_cast<unsigned long>(s.dwServiceSpecificExitCode), static_cast<unsigned long>(s.dwCheckPoint),
                static_cast<unsigned long>(s.dwWaitHint));
  return line;
}

std::optional<StatusRecord> ParseStatusLine(std::string_view line) {
  StatusRecord record;
  bool haveState = false;
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find_first_of(" \n", start);
    if (end == std::string_view::npos) end = line.size();
    std::string_view field = line.substr(start, end - start);
    start = end + 1;
    std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = field.substr(0, equals);
    std::string_view value = field.substr(equals + 1);
    if (key == "origin") continue;
    DWORD number = 0;
    if (!ParseNumber(value, number)) return std::nullopt;
    if (key == "pid")
      record.processId = number;
    else if (key == "type")
      record.status.dwServiceType = number;
    else if (key == "state") {
      record.status.dwCurrentState = number;
      haveState = true;
    } else if (key == "accepted")
      record.status.dwControlsAccepted = number;
    else if (key == "exit")
      record.status.dwWin32ExitCode = number;
    else if (key == "specific")
      record.status.dwServiceSpecificExitCode = number;
    else if (key == "checkpoint")
      record.status.dwCheckPoint = number;
    else if (key == "waithint")
      record.status.dwWaitHint = number;
  }
  if (!haveState) return std::nullopt;
  return record;
}

Database::Database(const std::filesystem::path& machineRoot) {
  std::error_code error;
  root_ = std::filesystem::weakly_canonical(std::filesystem::absolute(machineRoot, error), error);
  if (error) root_ = machineRoot.lexically_normal();
}

std::filesystem::path Database::Folder() const {
  std::filesystem::path folder = root_ / "run" / "scm";
  // Made once per database rather than at every call: each status report asks
  // for three files in it.
  if (!folderMade_.load(std::memory_order_acquire)) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!error) folderMade_.store(true, std::memory_order_release);
  }
  return folder;
}

std::filesystem::path Database::FileFor(const std::wstring& name, const char* suffix) const {
  return Folder() / (ToUtf8(name) + suffix);
}

std::filesystem::path Database::ConfigPath(const std::wstring& name) const { return FileFor(name, kConfigSuffix); }
std::filesystem::path Database::StatusPath(const std::wstring& name) const { return FileFor(name, ".status"); }
std::filesystem::path Database::ReportsPath(const std::wstring& name) const { return FileFor(name, ".reports"); }
std::filesystem::path Database::OutputPath(const std::wstring& name) const { return FileFor(name, ".out"); }
std::filesystem::path Database::StatusLockPath(const std::wstring& name) const { return FileFor(name, ".lock"); }
std::filesystem::path Database::StartLockPath(const std::wstring& name) const { return FileFor(name, ".start.lock"); }
std::filesystem::path Database::DatabaseLockPath() const { return Folder() / "database.lock"; }

std::optional<std::wstring> Database::FindService(std::wstring_view name) const {
  if (!IsValidServiceName(name)) return std::nullopt;
  std::error_code error;
  if (std::filesystem::exists(ConfigPath(std::wstring(name)), error)) return std::wstring(name);
  for (std::filesystem::directory_iterator it(Folder(), error), end; !error && it != end; it.increment(error)) {
    const std::filesystem::path& path = it->path();
    if (path.extension() != kConfigSuffix) continue;
    std::wstring installed = FromUtf8(path.stem().string());
    if (EqualNamesIgnoringCase(installed, name)) return installed;
  }
  return std::nullopt;
}

std::optional<ServiceConfig> Database::ReadConfig(const std::wstring& name) const {
  auto text = ReadWholeFile(ConfigPath(name));
  if (!text) return std::nullopt;
  ServiceConfig config;
  config.name = name;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    DWORD number = 0;
    if (key == "display")
      config.displayName = FromUtf8(value);
    else if (key == "binPath")
      config.binaryPath = FromUtf8(value);
    else if (key == "type" && ParseNumber(value, number))
      config.serviceType = number;
    else if (key == "start" && ParseNumber(value, number))
      config.startType = number;
    else if (key == "error" && ParseNumber(value, number))
      config.errorControl = number;
    else if (key == "delete")
      config.markedForDelete = value == "1";
  }
  return config;
}

bool Database::WriteConfig(const ServiceConfig& config) const {
  std::ostringstream text;
  text << "name=" << ToUtf8(config.name) << "\n"
       << "display=" << ToUtf8(config.displayName) << "\n"
       << "binPath=" << ToUtf8(config.binaryPath) << "\n"
       << "type=0x" << std::hex << static_cast<unsigned long>(config.serviceType) << std::dec << "\n"
       << "start=" << static_cast<unsigned long>(config.startType) << "\n"
       << "error=" << static_cast<unsigned long>(config.errorControl) << "\n"
       << "delete=" << (config.markedForDelete ? 1 : 0) << "\n";
  return ReplaceFile(ConfigPath(config.name), text.str());
}

StatusRecord Database::ReadStatus(const std::wstring& name) const {
  if (auto text = ReadWholeFile(StatusPath(name))) {
    if (auto record = ParseStatusLine(*text)) return *record;
  }
  StatusRecord stopped;
  stopped.status.dwCurrentState = SERVICE_STOPPED;
  auto config = ReadConfig(name);
  stopped.status.dwServiceType = config ? config->serviceType : SERVICE_WIN32_OWN_PROCESS;
  return stopped;
}

void Database::WriteStatus(const std::wstring& name, const StatusRecord& record, ReportOrigin origin) const {
  std::string line = FormatStatusLine(record, origin);
  ReplaceFile(StatusPath(name), line);
  AppendBounded(ReportsPath(name), line, kMaxReportsBytes);
}

void Database::RemoveService(const std::wstring& name) const {
  std::error_code error;
  std::filesystem::remove(ConfigPath(name), error);
  std::filesystem::remove(StatusPath(name), error);
}

void Database::FinishPendingDelete(const std::wstring& name) const {
  auto config = ReadConfig(name);
  if (config && config->markedForDelete) RemoveService(name);
}

StatusRecord Database::RefreshStatus(const std::wstring& name) const {
  FileLock lock(StatusLockPath(name));
  StatusRecord record = ReadStatus(name);
  if (record.status.dwCurrentState == SERVICE_STOPPED) return record;
  if (record.processId != 0 && ProcessAlive(record.processId)) return record;
  record.status.dwCurrentState = SERVICE_STOPPED;
  record.status.dwControlsAccepted = 0;
  record.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  record.status.dwServiceSpecificExitCode = 0;
  record.status.dwCheckPoint = 0;
  record.status.dwWaitHint = 0;
  WriteStatus(name, record, ReportOrigin::kManager);
  FinishPendingDelete(name);
  return record;
}

bool ProcessAlive(DWORD processId) {
  if (processId == 0) return false;
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%lu/stat", static_cast<unsigned long>(processId));
  auto text = ReadWholeFile(path);
  if (!text) return false;
  // "pid (command) S ...": the command may itself hold parentheses.
  std::size_t close = text->rfind(')');
  if (close == std::string::npos || close + 2 >= text->size()) return false;
  char state = (*text)[close + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

bool WaitForProcessExit(DWORD processId, int timeoutMs) {
  UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0)));
  if (!process.is_valid()) return errno == ESRCH || !ProcessAlive(processId);
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd entry{process.get(), POLLIN, 0};
    int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return !ProcessAlive(processId);
  }
}

}  // namespace tarn::sim::scm
