#include "service_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "driver_ini.h"
#include "wait_until.h"

namespace tarn::e2e {
namespace {

constexpr char kService[] = "TarnSvc";
constexpr int kPollMs = 10;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

std::string DevicePath(const std::string& instance) { return tarn::test::InterfacePath(instance); }

std::string Device(const std::string& instance, const std::string& component,
                   const std::vector<std::string>& extraLines) {
  std::string extra;
  for (const auto& line : extraLines) extra += line + "\n";
  return tarn::test::DeviceSection(DevicePath(instance), component, extra);
}

std::string DwordValue(const std::string& name, std::uint32_t value) {
  char data[16];
  std::snprintf(data, sizeof(data), "%08x", static_cast<unsigned>(value));
  return "\"" + name + "\"=dword:" + data;
}

std::string StringValue(const std::string& name, const std::string& text) {
  return "\"" + name + "\"=\"" + text + "\"";
}

std::vector<std::string> SplitCrLf(const std::string& bytes) {
  std::vector<std::string> lines;
  if (bytes.empty()) return lines;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(bytes.substr(start, end - start));
  lines.push_back(bytes.substr(start));
  return lines;
}

std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string StampAt(std::int64_t utcSeconds) {
  std::time_t local = static_cast<std::time_t>(utcSeconds + kTimeZoneOffsetSeconds);
  std::tm fields{};
  gmtime_r(&local, &fields);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%dT%H%M%S", &fields);
  return std::string(text) + kTimeZoneOffset;
}

std::int64_t UtcNow() { return static_cast<std::int64_t>(std::time(nullptr)); }

ServiceTest::ServiceTest() {
  // A machine with a C: drive holding ProgramData, as Windows always has.
  std::filesystem::create_directories(machine_.Root() / "drive_c" / "ProgramData");
}

void ServiceTest::WriteDriverIni(const std::string& text) { tarn::test::WriteDriverIni(machine_.Root(), text); }

void ServiceTest::WriteSettings(const std::vector<std::string>& valueLines) {
  std::ofstream out(machine_.Root() / "registry.reg", std::ios::binary | std::ios::trunc);
  out << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvessan\\Tarn]\r\n";
  for (const auto& line : valueLines) out << line << "\r\n";
}

std::filesystem::path ServiceTest::LogFolder() const {
  return machine_.Root() / "drive_c" / "ProgramData" / "Corvessan" / "TARNLog" / "LocalLog";
}

std::filesystem::path ServiceTest::DropFolder() const {
  return machine_.Root() / "drive_c" / "ProgramData" / "Corvessan" / "VORLA" / "upload";
}

ToolRun ServiceTest::Sc(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
  return tarn::test::RunTool(machine_, arguments, environment);
}

DWORD ServiceTest::CreateAndStart(const std::vector<std::string>& environment) {
  ToolRun created = Sc({"create", kService, "binPath=", TARN_SERVICE_EXECUTABLE});
  EXPECT_EQ(created.exitCode, 0) << created.output;
  return StartAgain(environment);
}

DWORD ServiceTest::StartAgain(const std::vector<std::string>& environment) {
  DWORD pid = StartWithoutWaitingForLogs(environment);
  EXPECT_TRUE(WaitUntil([&] { return HoldsLogsOpen(pid); })) << "the service did not open its logs";
  return pid;
}

bool ServiceTest::HoldsLogsOpen(DWORD pid) const {
  std::error_code error;
  const auto local = std::filesystem::weakly_canonical(LocalLog(), error);
  const auto upload = std::filesystem::weakly_canonical(UploadLog(), error);
  bool localOpen = false;
  bool uploadOpen = false;
  const std::filesystem::path descriptors = "/proc/" + std::to_string(pid) + "/fd";
  for (std::filesystem::directory_iterator it(descriptors, error), end; !error && it != end; it.increment(error)) {
    std::error_code linkError;
    const auto target = std::filesystem::read_symlink(it->path(), linkError);
    localOpen = localOpen || target == local;
    uploadOpen = uploadOpen || target == upload;
  }
  return localOpen && uploadOpen;
}

DWORD ServiceTest::StartWithoutWaitingForLogs(const std::vector<std::string>& environment) {
  std::vector<std::string> startEnvironment{kTimeZone};
  startEnvironment.insert(startEnvironment.end(), environment.begin(), environment.end());
  ToolRun started = Sc({"start", kService}, startEnvironment);
  EXPECT_EQ(started.exitCode, 0) << started.output;
  EXPECT_TRUE(Contains(started.output, "        STATE              : 4  RUNNING\n")) << started.output;
  DWORD pid = tarn::test::PidInOutput(started.output);
  EXPECT_NE(pid, 0u) << started.output;
  return pid;
}

void ServiceTest::Control(int code) {
  ToolRun control = Sc({"control", kService, std::to_string(code)});
  EXPECT_EQ(control.exitCode, 0) << control.output;
  EXPECT_EQ(control.output, tarn::test::RunningStatusText(kService));
}

void ServiceTest::StopAndExpectStopped(DWORD pid, DWORD win32ExitCode, DWORD serviceExitCode) {
  ToolRun stopped = Sc({"stop", kService});
  EXPECT_EQ(stopped.exitCode, 0) << stopped.output;
  EXPECT_TRUE(Contains(stopped.output, "        STATE              : 1  STOPPED\n")) << stopped.output;
  char codes[160];
  std::snprintf(codes, sizeof(codes),
                "        WIN32_EXIT_CODE    : %lu  (0x%lx)\n        SERVICE_EXIT_CODE  : %lu  (0x%lx)\n",
                static_cast<unsigned long>(win32ExitCode), static_cast<unsigned long>(win32ExitCode),
                static_cast<unsigned long>(serviceExitCode), static_cast<unsigned long>(serviceExitCode));
  EXPECT_TRUE(Contains(stopped.output, codes)) << stopped.output;
  EXPECT_TRUE(tarn::test::ProcessGone(pid)) << "tarn-sc stop returned before the service process ended";
  std::vector<tarn::test::Fields> reports = tarn::test::ReadReports(machine_, kService);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back()["origin"], "service") << "the process ended without reporting stopped";
  EXPECT_EQ(reports.back()["state"], "1");
}

std::string ServiceTest::QueryState() {
  ToolRun query = Sc({"query", kService});
  std::size_t at = query.output.find("STATE              : ");
  if (at == std::string::npos) return query.output;
  at += 21;
  return query.output.substr(at, query.output.find('\n', at) - at);
}

std::vector<std::string> ServiceTest::Lines(const std::filesystem::path& log) const {
  std::string bytes = ReadBytes(log);
  std::vector<std::string> lines = SplitCrLf(bytes);
  if (lines.empty()) return lines;
  EXPECT_EQ(lines.back(), "") << log << " does not end with CR LF";
  lines.pop_back();
  for (const auto& line : lines)
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << log << ": a line end that is not CR LF in " << line;
  return lines;
}

std::string ServiceTest::HeaderOf(const std::filesystem::path& log) const {
  std::vector<std::string> lines = Lines(log);
  return lines.empty() ? std::string() : lines.front();
}

int ServiceTest::RowCount(const std::filesystem::path& log) const {
  // Counted by complete lines: a row is counted once its CR LF is on disk.
  std::string bytes = ReadBytes(log);
  int lines = static_cast<int>(std::count(bytes.begin(), bytes.end(), '\n'));
  return lines == 0 ? 0 : lines - 1;
}

std::vector<std::string> ServiceTest::RowTexts(const std::filesystem::path& log) const {
  std::vector<std::string> rows;
  std::vector<std::string> lines = Lines(log);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    EXPECT_TRUE(line.size() > 21 && IsTimeStamp(line.substr(0, 20)) && line[20] == ',')
        << log << ": no time stamp at the start of " << line;
    rows.push_back(line.size() > 21 ? line.substr(21) : std::string());
  }
  return rows;
}

bool ServiceTest::IsTimeStamp(const std::string& text) {
  static const std::regex kStamp(R"(\d{4}(0[1-9]|1[0-2])(0[1-9]|[12]\d|3[01])T([01]\d|2[0-3])[0-5]\d[0-5]\d[+-]\d{4})");
  return std::regex_match(text, kStamp) && text.substr(15) == kTimeZoneOffset;
}

int ServiceTest::RunningReports() {
  int running = 0;
  for (auto& report : tarn::test::ReadReports(machine_, kService))
    if (report["origin"] == "service" && report["state"] == "4") ++running;
  return running;
}

bool ServiceTest::WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  return tarn::test::WaitUntil(condition, std::chrono::milliseconds(timeoutMs), std::chrono::milliseconds(kPollMs));
}

bool ServiceTest::WaitForRows(const std::filesystem::path& log, int rows) {
  return WaitUntil([&] { return RowCount(log) >= rows; });
}

bool ServiceTest::WaitForRunningReports(int reports) {
  return WaitUntil([&] { return RunningReports() >= reports; });
}

bool ServiceTest::WaitForProcessGone(DWORD pid) {
  return WaitUntil([&] { return tarn::test::ProcessGone(pid); });
}

void ServiceTest::TearDown() {
  std::string output = tarn::test::ReadServiceOutput(machine_, kService);
  EXPECT_FALSE(Contains(output, "Sanitizer") || Contains(output, "runtime error:")) << output;
  // Every test leaves the service stopped and its process gone.
  std::vector<tarn::test::Fields> reports = tarn::test::ReadReports(machine_, kService);
  if (!reports.empty()) {
    EXPECT_EQ(reports.back()["state"], "1") << "the test left TarnSvc running";
    EXPECT_TRUE(tarn::test::ProcessGone(static_cast<DWORD>(std::stoul(reports.back()["pid"]))));
  }
}

}  // namespace tarn::e2e
