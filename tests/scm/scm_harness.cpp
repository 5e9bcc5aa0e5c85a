#include "scm_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tarn_sim/machine.h"

extern char** environ;

namespace tarn::test {
namespace {

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Fields SplitFields(const std::string& line) {
  Fields fields;
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    std::size_t equals = word.find('=');
    if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
  }
  return fields;
}

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> Environment(const TempMachine& machine, const std::vector<std::string>& extra) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name = NameOf(*entry);
    bool replaced = name == "TARN_MACHINE";
    for (const auto& added : extra) replaced = replaced || NameOf(added) == name;
    if (!replaced) environment.emplace_back(*entry);
  }
  environment.push_back("TARN_MACHINE=" + machine.Root().string());
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

ToolRun Spawn(std::vector<std::string> command, std::vector<std::string> environment) {
  ToolRun run;
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
  std::vector<char*> argv = Pointers(command);
  std::vector<char*> envp = Pointers(environment);
  pid_t child = 0;
  int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  if (spawned != 0) {
    ::close(pipeEnds[0]);
    return run;
  }
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeEnds[0], buffer, sizeof(buffer))) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace

TempMachine::TempMachine() {
  const char* temp = std::getenv("TMPDIR");
  std::string pattern = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/tarn-scm-test.XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  tarn::sim::SetMachineRoot(root_);
}

TempMachine::~TempMachine() {
  // A failed test may leave a service running: end it with the machine.
  std::error_code error;
  for (std::filesystem::directory_iterator it(ScmFolder(), error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() != ".status") continue;
    Fields status = SplitFields(ReadText(it->path()));
    DWORD pid = static_cast<DWORD>(std::strtoul(status["pid"].c_str(), nullptr, 10));
    if (status["state"] != "1" && pid != 0 && !ProcessGone(pid)) ::kill(static_cast<pid_t>(pid), SIGKILL);
  }
  tarn::sim::SetMachineRoot({});
  std::filesystem::remove_all(root_, error);
}

ToolRun RunTool(const TempMachine& machine, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment) {
  std::vector<std::string> command{TARN_SC_TOOL};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return Spawn(command, Environment(machine, extraEnvironment));
}

ToolRun RunServiceByHand(const TempMachine& machine, const std::string& executable) {
  std::vector<std::string> environment = Environment(machine, {});
  std::erase_if(environment, [](const std::string& entry) { return NameOf(entry).rfind("TARN_SCM_", 0) == 0; });
  return Spawn({executable}, environment);
}

std::string RunningStatusText(const std::string& serviceName) {
  return "\n"
         "SERVICE_NAME: " +
         serviceName +
         "\n"
         "        TYPE               : 10  WIN32_OWN_PROCESS\n"
         "        STATE              : 4  RUNNING\n"
         "                                (STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
         "        WIN32_EXIT_CODE    : 0  (0x0)\n"
         "        SERVICE_EXIT_CODE  : 0  (0x0)\n"
         "        CHECKPOINT         : 0x0\n"
         "        WAIT_HINT          : 0x0\n"
         "\n";
}

Gate::Gate(const std::filesystem::path& base) : base_(base) {
  std::string go = base.string() + ".go";
  std::string ack = base.string() + ".ack";
  ::mkfifo(go.c_str(), 0600);
  ::mkfifo(ack.c_str(), 0600);
  // Held open for reading and writing, so neither side's open() ever blocks
  // and nothing written is lost while the other side is not there yet.
  go_ = ::open(go.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  ack_ = ::open(ack.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
}

Gate::~Gate() {
  if (go_ >= 0) ::close(go_);
  if (ack_ >= 0) ::close(ack_);
}

void Gate::Release() {
  char byte = 1;
  ssize_t written = ::write(go_, &byte, 1);
  (void)written;
}

bool Gate::WaitForAcknowledgement(int timeoutMs) {
  pollfd entry{ack_, POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) != 1) return false;
  char byte = 0;
  return ::read(ack_, &byte, 1) == 1;
}

std::vector<Fields> ReadReports(const TempMachine& machine, const std::string& serviceName) {
  std::vector<Fields> reports;
  std::istringstream lines(ReadText(machine.ScmFolder() / (serviceName + ".reports")));
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) reports.push_back(SplitFields(line));
  return reports;
}

std::string ReadServiceOutput(const TempMachine& machine, const std::string& serviceName) {
  return ReadText(machine.ScmFolder() / (serviceName + ".out"));
}

bool ProcessGone(DWORD processId) {
  std::string stat = ReadText("/proc/" + std::to_string(processId) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return true;
  return stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

DWORD PidInOutput(const std::string& output) {
  std::size_t at = output.find("PID                : ");
  if (at == std::string::npos) return 0;
  return static_cast<DWORD>(std::strtoul(output.c_str() + at + 21, nullptr, 10));
}

int CountOccurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

}  // namespace tarn::test
