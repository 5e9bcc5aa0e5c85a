// Helpers for the service control manager's end-to-end tests: a temporary
// machine folder, running tarn-sc as a user would, gates that hold the test
// service at a chosen point, and readers for the records under run/scm.
#pragma once

#include <windows.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tarn::test {

// A fresh machine folder for one test, made the machine of this process too.
// Service processes still running when it goes away are killed.
class TempMachine {
 public:
  TempMachine();
  ~TempMachine();
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path ScmFolder() const { return root_ / "run" / "scm"; }

 private:
  std::filesystem::path root_;
};

struct ToolRun {
  int exitCode = -1;  // the low 8 bits of tarn-sc's result, as Linux keeps them
  std::string output;
};

// Runs tarn-sc with `arguments` on the machine, with extra "NAME=value"
// environment entries, and waits for it.
ToolRun RunTool(const TempMachine& machine, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {});

// Runs a service executable directly, as a user would by hand.
ToolRun RunServiceByHand(const TempMachine& machine, const std::string& executable);

// What `tarn-sc query`, `control` and `interrogate` print for a running
// own-process service that accepts only the stop: the layout of sc.exe.
std::string RunningStatusText(const std::string& serviceName);

// What Linux leaves of a Win32 error code used as an exit code.
inline int ExitCodeOf(DWORD error) { return static_cast<int>(error & 0xFF); }

// A pair of FIFOs that the test service waits at (see test_service.cpp).
class Gate {
 public:
  explicit Gate(const std::filesystem::path& base);
  ~Gate();
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  std::string Path() const { return base_.string(); }
  // Lets the service pass.
  void Release();
  // True once the service acknowledged, within the time-out.
  bool WaitForAcknowledgement(int timeoutMs);

 private:
  std::filesystem::path base_;
  int go_ = -1;
  int ack_ = -1;
};

using Fields = std::map<std::string, std::string>;

// Every line of run/scm/<name>.reports, split into its "key=value" fields.
std::vector<Fields> ReadReports(const TempMachine& machine, const std::string& serviceName);
std::string ReadServiceOutput(const TempMachine& machine, const std::string& serviceName);

// True once the process has ended (a zombie nobody reaped counts as ended).
bool ProcessGone(DWORD processId);

// The value of "PID : <n>" in tarn-sc's output, or 0.
DWORD PidInOutput(const std::string& output);

int CountOccurrences(const std::string& text, const std::string& part);

}  // namespace tarn::test
