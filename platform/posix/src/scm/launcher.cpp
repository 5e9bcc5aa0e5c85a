// Starting a service process: detached, in a session of its own, with its
// output in a file and the start channel on a known descriptor.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "scm_internal.h"

namespace tarn::sim::scm {
namespace {

// Descriptors the service process receives are first moved above this number,
// so that placing them on 0 to 3 in the child cannot overwrite one another.
constexpr int kFirstHighFd = 10;

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOEXEC:
    case EISDIR: return kErrorBadExeFormat;
    default: return ERROR_GEN_FAILURE;
  }
}

UniqueFd DuplicateHigh(int fd) {
  if (fd < 0) return UniqueFd();
  return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd));
}

std::vector<char*> PointersTo(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (const auto& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

bool ReadExactly(int fd, void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

struct ChildDescriptors {
  int input;
  int output;
  int startChannel;
  int execReport;
};

// Runs in the service process between fork and exec: async-signal-safe calls only.
[[noreturn]] void BecomeService(const ChildDescriptors& fds, const char* executable, char* const* argv,
                                char* const* envp) {
  ::setsid();
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &byDefault, nullptr);
  ::sigaction(SIGCHLD, &byDefault, nullptr);

  ::dup2(fds.input, 0);
  ::dup2(fds.output, 1);
  ::dup2(fds.output, 2);
  if (fds.startChannel >= 0) {
    ::dup2(fds.startChannel, kStartChannelFd);
  } else {
    ::close(kStartChannelFd);
  }
  // Nothing else the caller had open reaches the service.
  ::close_range(kStartChannelFd + 1, ~0u, CLOSE_RANGE_CLOEXEC);
  ::execve(executable, argv, envp);
  int error = errno;
  ssize_t ignored = ::write(fds.execReport, &error, sizeof(error));
  (void)ignored;
  ::_exit(127);
}

}  // namespace

LaunchResult Launch(const LaunchRequest& request) {
  LaunchResult result;
  std::vector<char*> argv = PointersTo(request.arguments);
  std::vector<char*> envp = PointersTo(request.environment);

  int pidPipe[2];
  int execPipe[2];
  if (::pipe2(pidPipe, O_CLOEXEC) != 0) {
    result.error = ErrorFromErrno(errno);
    return result;
  }
  UniqueFd pidRead(pidPipe[0]), pidWrite(pidPipe[1]);
  if (::pipe2(execPipe, O_CLOEXEC) != 0) {
    result.error = ErrorFromErrno(errno);
    return result;
  }
  UniqueFd execRead(execPipe[0]);
  UniqueFd execWrite = DuplicateHigh(execPipe[1]);
  ::close(execPipe[1]);
  UniqueFd nullInput(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd input = DuplicateHigh(nullInput.get());
  UniqueFd output = DuplicateHigh(request.outputFd);
  UniqueFd channel = DuplicateHigh(request.startChannelFd);
  if (!execWrite.is_valid() || !input.is_valid() || !output.is_valid() ||
      (request.startChannelFd >= 0 && !channel.is_valid())) {
    result.error = ERROR_NOT_ENOUGH_MEMORY;
    return result;
  }
  ChildDescriptors fds{input.get(), output.get(), channel.get(), execWrite.get()};

  // The intermediate child starts the service and exits at once; the service is
  // then nobody's child here and the system reaps it when it ends.
  pid_t intermediate = ::fork();
  if (intermediate < 0) {
    result.error = ErrorFromErrno(errno);
    return result;
  }
  if (intermediate == 0) {
    pid_t service = ::_Fork();
    if (service == 0) BecomeService(fds, request.executable.c_str(), argv.data(), envp.data());
    std::int32_t report = service > 0 ? static_cast<std::int32_t>(service) : -static_cast<std::int32_t>(errno);
    ssize_t ignored = ::write(pidWrite.get(), &report, sizeof(report));
    (void)ignored;
    ::_exit(0);
  }

  pidWrite.reset();
  execWrite.reset();
  int status = 0;
  while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }

  std::int32_t report = 0;
  if (!ReadExactly(pidRead.get(), &report, sizeof(report))) {
    result.error = ERROR_GEN_FAILURE;
    return result;
  }
  if (report <= 0) {
    result.error = ErrorFromErrno(-report);
    return result;
  }
  result.processId = static_cast<pid_t>(report);

  // The report pipe closes on a successful exec; otherwise it carries errno.
  int execError = 0;
  if (ReadExactly(execRead.get(), &execError, sizeof(execError))) result.error = ErrorFromErrno(execError);
  return result;
}

std::vector<std::string> SplitBinaryPath(const std::string& binaryPath) {
  std::vector<std::string> parts;
  std::size_t position = 0;
  auto skipBlanks = [&] {
    while (position < binaryPath.size() && (binaryPath[position] == ' ' || binaryPath[position] == '\t')) ++position;
  };
  skipBlanks();
  if (position == binaryPath.size()) return parts;

  struct stat info {};
  if (binaryPath[position] != '"' && ::stat(binaryPath.c_str() + position, &info) == 0 && S_ISREG(info.st_mode)) {
    parts.push_back(binaryPath.substr(position));
    return parts;
  }
  while (position < binaryPath.size()) {
    std::string token;
    bool quoted = false;
    while (position < binaryPath.size()) {
      char c = binaryPath[position];
      if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && (c == ' ' || c == '\t')) {
        break;
      } else {
        token += c;
      }
      ++position;
    }
    parts.push_back(token);
    skipBlanks();
  }
  return parts;
}

}  // namespace tarn::sim::scm
