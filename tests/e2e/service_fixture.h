// The real tarnsvc on a temporary simulated machine, driven through tarn-sc as
// an administrator drives sc.exe: the machine's driver and settings files, the
// service's logs as bytes on disk, and waits for what the service does.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log_headers.h"
#include "scm_harness.h"
#include "test_files.h"

namespace tarn::e2e {

using tarn::test::ReadBytes;
using tarn::test::ToolRun;

// Every start gets this time zone (POSIX form: 3 h 30 min behind UTC), so that
// the time stamps show a negative offset with minutes.
inline constexpr char kTimeZone[] = "TZ=NST+3:30";
inline constexpr char kTimeZoneOffset[] = "-0330";
inline constexpr long kTimeZoneOffsetSeconds = -(3 * 3600 + 30 * 60);

inline constexpr const char* kLocalHeader = tarn::test::kLocalHeaderLine;
inline constexpr const char* kUploadHeader = tarn::test::kUploadHeaderLine;

// Generous: a loaded 2-core machine running sanitized builds.
inline constexpr int kWaitTimeoutMs = 30000;

// The interface path of the power-monitor class with the given instance text.
std::string DevicePath(const std::string& instance);

// One [device] section of driver.ini; `extraLines` are further "key = value" lines.
std::string Device(const std::string& instance, const std::string& component,
                   const std::vector<std::string>& extraLines = {});

// A registry.reg value line: "Name"=dword:xxxxxxxx, or "Name"="text".
std::string DwordValue(const std::string& name, std::uint32_t value);
std::string StringValue(const std::string& name, const std::string& text);

// The lines of a log file, split at CR LF; the last element is what follows the
// last CR LF (empty for a complete file). Empty when the file does not exist.
std::vector<std::string> SplitCrLf(const std::string& bytes);

// Names of the entries of a folder, sorted; empty when it does not exist.
std::vector<std::string> Names(const std::filesystem::path& folder);

// The local time stamp of `utc` in the test's time zone, as the service writes it.
std::string StampAt(std::int64_t utcSeconds);
std::int64_t UtcNow();

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest();

  // The files of the machine.
  void WriteDriverIni(const std::string& text);
  void WriteSettings(const std::vector<std::string>& valueLines);
  std::filesystem::path LogFolder() const;
  std::filesystem::path DropFolder() const;
  std::filesystem::path LocalLog() const { return LogFolder() / "TARNLog.csv"; }
  std::filesystem::path UploadLog() const { return LogFolder() / "TARNLogUpload.csv"; }

  // tarn-sc on the machine.
  ToolRun Sc(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {});
  // Creates TarnSvc and starts it; expects it running and returns its process id.
  DWORD CreateAndStart(const std::vector<std::string>& environment = {});
  // Starts the existing TarnSvc again; the same.
  DWORD StartAgain(const std::vector<std::string>& environment = {});
  // Both also wait until the service holds both logs open: a control that
  // arrives before its start sequence has made the logs finds nothing to write to.
  DWORD StartWithoutWaitingForLogs(const std::vector<std::string>& environment = {});
  bool HoldsLogsOpen(DWORD pid) const;
  // `tarn-sc control TarnSvc code`, expected to succeed with the service running.
  void Control(int code);
  // Stops the service and expects it stopped with the given exit codes and its
  // process gone.
  void StopAndExpectStopped(DWORD pid, DWORD win32ExitCode = 0, DWORD serviceExitCode = 0);
  // The service's state as `tarn-sc query` prints it ("4  RUNNING", ...).
  std::string QueryState();

  // Rows (lines after the header) of a log file; 0 when it does not exist.
  int RowCount(const std::filesystem::path& log) const;
  // The complete lines of a file, checked to be CR LF terminated with no stray LF.
  std::vector<std::string> Lines(const std::filesystem::path& log) const;
  // The first line of a file ("" when it has none).
  std::string HeaderOf(const std::filesystem::path& log) const;
  // The row texts (after the time stamp and its comma) of a log, each stamp checked.
  std::vector<std::string> RowTexts(const std::filesystem::path& log) const;

  // Status reports of TarnSvc that the service made while running (one per
  // handled control, after the first).
  int RunningReports();

  // Polls until `condition` holds or the generous time-out passes.
  bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitTimeoutMs);
  bool WaitForRows(const std::filesystem::path& log, int rows);
  bool WaitForRunningReports(int reports);
  bool WaitForProcessGone(DWORD pid);

  // Checks a line's 20-character time stamp and its offset; false when malformed.
  static bool IsTimeStamp(const std::string& text);

  // Sanitizer reports of the service process land in its output file.
  void TearDown() override;

  tarn::test::TempMachine machine_;
};

}  // namespace tarn::e2e
