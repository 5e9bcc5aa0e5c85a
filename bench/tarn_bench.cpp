// tarn-bench: what one sampling cycle, one rotation and a long run cost the
// service on the Linux stand-in. Each subcommand measures one thing on a
// simulated machine of its own (a temporary folder with the demo machine's 22
// device interfaces) and prints "key value" lines; tools/bench.sh runs them,
// some under callgrind or strace, and puts the results side by side.
//
//   cycle service|minimal N   N local cycles in TarnBenchServiceCycle or
//                             TarnBenchMinimalCycle (for callgrind's
//                             --toggle-collect)
//   syscalls N                N service cycles, then N minimal ones, each run
//                             between two marker calls access("/tarn-bench/...")
//                             that strace shows
//   rotation ENTRIES REPEAT [cold]
//                             one local rotation with ENTRIES foreign files in
//                             the log folder, REPEAT times: wall-clock and CPU
//                             ms; "cold": another program adds a file first
//   flush SIZE REPEAT         what flushing to the disk adds to a rotation: a
//                             local file filled to SIZE bytes within the second
//                             (so its rows wait in the cache) rotated, against
//                             the same rotation of a file already on the disk;
//                             and one row's flush
//   memory N                  private memory of this process after 100 and
//                             after N service cycles
//   ticks PERIOD_MS COUNT     a periodic timer of the stand-in driving service
//                             cycles: how late each tick starts
//
// The minimal loop is the least a program can do for the same rows: the device
// handles are opened once, and each tick sends one reading request per device,
// formats the line by hand and writes it with one fwrite and one fflush to the
// same file through the same stand-in.
#include <windows.h>
#include <share.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QorLogService.h"
#include "driver_channel.h"
#include "log_file_manager.h"
#include "tarn_sim/machine.h"
#include "unique_handle.h"

namespace {

namespace fs = std::filesystem;
using qorlogsvc::model::service::QorLogService;
using qorlogsvc::model::service::SERVICE_CONTROL_LOG_TIMER;

#ifndef TARN_BENCH_DRIVER_INI
#error "TARN_BENCH_DRIVER_INI names the driver.ini of the benchmark's machine"
#endif

// Periods of an hour: no timer of the service fires while a benchmark runs, every
// cycle is one the benchmark asks for. No rotation unless a benchmark wants one.
constexpr char kRegistry[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvessan\\Tarn]\r\n"
    "\"LogPeriodMs\"=dword:0036ee80\r\n"
    "\"UploadLogPeriodMs\"=dword:0036ee80\r\n"
    "\"LogFileSizeByte\"=dword:7fffffff\r\n"
    "\"UploadLogFileSizeByte\"=dword:7fffffff\r\n"
    "\"LogFileBackupNum\"=dword:00000007\r\n";

constexpr wchar_t kLocalLogPath[] = L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog\\TARNLog.csv";

// A temporary machine folder, made the process's machine; removed at the end.
class BenchMachine {
 public:
  BenchMachine() {
    char pattern[] = "/tmp/tarn-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      std::exit(2);
    }
    _root = pattern;
    fs::copy_file(TARN_BENCH_DRIVER_INI, _root / "driver.ini");
    std::ofstream(_root / "registry.reg", std::ios::binary) << kRegistry;
    tarn::sim::SetMachineRoot(_root);
  }
  ~BenchMachine() {
    std::error_code error;
    fs::remove_all(_root, error);
  }
  BenchMachine(const BenchMachine&) = delete;
  BenchMachine& operator=(const BenchMachine&) = delete;

  fs::path LogFolder() const { return _root / "drive_c/ProgramData/Corvessan/TARNLog/LocalLog"; }

 private:
  fs::path _root;
};

// The service brought up as the host does it, and stopped at the end.
class RunningService {
 public:
  RunningService() {
    _status.dwCurrentState = SERVICE_RUNNING;
    if (_service.Run(nullptr, nullptr) != NO_ERROR || _service.Channel().devices.empty()) {
      std::fprintf(stderr, "tarn-bench: the service did not start on the bench machine\n");
      std::exit(2);
    }
  }
  ~RunningService() { _service.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr, &_status); }
  RunningService(const RunningService&) = delete;
  RunningService& operator=(const RunningService&) = delete;

  QorLogService& service() { return _service; }
  SERVICE_STATUS& status() { return _status; }

 private:
  QorLogService _service;
  SERVICE_STATUS _status{};
};

// The hand-written loop: handles and ids learnt once, the file kept open.
struct MinimalLoop {
  MinimalLoop() {
    if (channel.Discover() != NO_ERROR || channel.OpenAll() != NO_ERROR || channel.CheckAll() != NO_ERROR ||
        channel.IdentifyAll() != NO_ERROR) {
      std::fprintf(stderr, "tarn-bench: the minimal loop found no driver\n");
      std::exit(2);
    }
    for (const auto& [path, entry] : channel.devices) devices.push_back({entry.handle.get(), entry.componentId});
    fs::create_directories(*tarn::sim::MapWindowsPath(L"C:\\ProgramData\\Corvessan\\TARNLog\\LocalLog"));
    file.reset(_wfsopen(kLocalLogPath, L"ab", _SH_DENYNO));
    if (!file) {
      std::fprintf(stderr, "tarn-bench: the minimal loop cannot open its log\n");
      std::exit(2);
    }
  }

  struct Device {
    HANDLE handle;
    std::uint8_t id;
  };
  DriverChannel channel;
  std::vector<Device> devices;
  tarn::UniqueStdioFile file;
};

char* PutHex(char* out, std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out + digits;
}

}  // namespace

// The measured bodies; extern "C" and never inlined, so that callgrind can
// collect exactly these calls.
extern "C" __attribute__((noinline)) void TarnBenchServiceCycle(QorLogService* service, SERVICE_STATUS* status) {
  service->HandleControl(SERVICE_CONTROL_LOG_TIMER, 0, nullptr, status);
}

namespace {

void MinimalCycle(MinimalLoop* loop) {
  char line[4096];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_s(&local, &now);
  char* out = line + std::strftime(line, 32, "%Y%m%dT%H%M%S%z", &local);
  for (const auto& device : loop->devices) {
    std::uint64_t reply[2] = {0, 0};
    DWORD returned = 0;
    if (!DeviceIoControl(device.handle, kReadingRequest, nullptr, 0, reply, sizeof(reply), &returned, nullptr)) return;
    *out++ = ',';
    out = PutHex(out, device.id, 2);
    *out++ = ',';
    out = PutHex(out, reply[1], 16);
    *out++ = ',';
    out = PutHex(out, reply[0], 16);
  }
  *out++ = '\r';
  *out++ = '\n';
  std::fwrite(line, 1, static_cast<std::size_t>(out - line), loop->file.get());
  std::fflush(loop->file.get());
}

}  // namespace

extern "C" __attribute__((noinline)) void TarnBenchMinimalCycle(MinimalLoop* loop) { MinimalCycle(loop); }

namespace {

// Warm-up cycles run outside the measured functions: the first cycle opens and
// maps what every later one finds ready.
void WarmUp(RunningService& running) {
  for (int i = 0; i < 10; ++i)
    running.service().HandleControl(SERVICE_CONTROL_LOG_TIMER, 0, nullptr, &running.status());
}
void WarmUp(MinimalLoop& loop) {
  for (int i = 0; i < 10; ++i) MinimalCycle(&loop);
}

void Marker(const char* name) {
  // A call that changes nothing and that strace shows with its argument.
  const std::string path = std::string("/tarn-bench/") + name;
  (void)::access(path.c_str(), F_OK);
}

int CycleCommand(const std::string& which, long cycles) {
  BenchMachine machine;
  if (which == "service") {
    RunningService running;
    WarmUp(running);
    for (long i = 0; i < cycles; ++i) TarnBenchServiceCycle(&running.service(), &running.status());
  } else if (which == "minimal") {
    MinimalLoop loop;
    WarmUp(loop);
    for (long i = 0; i < cycles; ++i) TarnBenchMinimalCycle(&loop);
  } else {
    std::fprintf(stderr, "tarn-bench: cycle service|minimal N\n");
    return 2;
  }
  std::printf("cycles %ld\n", cycles);
  return 0;
}

int SyscallsCommand(long cycles) {
  BenchMachine machine;
  {
    RunningService running;
    WarmUp(running);
    Marker("service-begin");
    for (long i = 0; i < cycles; ++i) TarnBenchServiceCycle(&running.service(), &running.status());
    Marker("service-end");
  }
  MinimalLoop loop;
  WarmUp(loop);
  Marker("minimal-begin");
  for (long i = 0; i < cycles; ++i) TarnBenchMinimalCycle(&loop);
  Marker("minimal-end");
  std::printf("cycles %ld\n", cycles);
  return 0;
}

// Foreign entries: other programs' files in the log folder, none of them a backup.
void FillWithForeignFiles(const fs::path& folder, long count) {
  fs::create_directories(folder);
  for (long i = 0; i < count; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "other-%07ld.dat", i);
    std::ofstream(folder / name);
  }
}

double CpuMilliseconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// A warm rotation finds the folder as the stand-in left it; before a cold one
// another program has added a file, so the stand-in reads the folder anew.
int RotationCommand(long entries, int repeat, bool cold) {
  BenchMachine machine;
  FillWithForeignFiles(machine.LogFolder(), entries);
  LogFileManager log;
  log._fileSizeByte = 0;  // every row makes the file due for rotation
  log._fileBackupNum = 7;
  log.Configure(L"TARNLog", L"# LogFormatVersion:V1.00");
  log.Open();
  std::vector<double> milliseconds;
  std::vector<double> cpuMilliseconds;  // this process's own time: what a loaded machine does not inflate
  for (int i = 0; i < repeat; ++i) {
    log.WriteRow(L"05,0000000000000000,00000000000001f4");
    if (cold) std::ofstream(machine.LogFolder() / ("added-" + std::to_string(i) + ".dat"));
    const double cpuStart = CpuMilliseconds();
    const auto start = std::chrono::steady_clock::now();
    log.RotateIfNeeded();
    const auto end = std::chrono::steady_clock::now();
    cpuMilliseconds.push_back(CpuMilliseconds() - cpuStart);
    milliseconds.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(milliseconds.begin(), milliseconds.end());
  std::sort(cpuMilliseconds.begin(), cpuMilliseconds.end());
  std::printf("entries %ld\nrotations %d\nmedian_ms %.3f\nmin_ms %.3f\nmax_ms %.3f\nmedian_cpu_ms %.3f\n", entries,
              repeat, milliseconds[milliseconds.size() / 2], milliseconds.front(), milliseconds.back(),
              cpuMilliseconds[cpuMilliseconds.size() / 2]);
  return 0;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Rows of the demo machine's width until the current file holds more than `size` bytes.
void FillTo(LogFileManager& log, std::uint64_t size, const fs::path& file) {
  const std::wstring row(22 * 37 - 1, L'0');
  while (fs::file_size(file) <= size) log.WriteRow(row);
}

// A rotation flushes the full file first. "dirty": the rows were written in
// the last second, so the flush has the whole file to write; "clean": the file
// was flushed (sync) before, so the rotation pays only the flush's call. The
// difference is what flushing costs a rotation on this disk.
int FlushCommand(std::uint64_t size, int repeat) {
  BenchMachine machine;
  LogFileManager log;
  log._fileSizeByte = static_cast<std::uint32_t>(size);
  log._fileBackupNum = 7;
  log.Configure(L"TARNLog", L"# LogFormatVersion:V1.00");
  log.Open();
  const fs::path file = machine.LogFolder() / "TARNLog.csv";
  std::vector<double> dirty, clean, row;
  for (int i = 0; i < repeat; ++i) {
    FillTo(log, size, file);
    auto start = std::chrono::steady_clock::now();
    log.RotateIfNeeded();
    dirty.push_back(MillisecondsSince(start));

    FillTo(log, size, file);
    ::sync();
    start = std::chrono::steady_clock::now();
    log.RotateIfNeeded();
    clean.push_back(MillisecondsSince(start));

    // A row after more than the commit interval is flushed with it.
    std::this_thread::sleep_for(LogFileManager::kRowCommitInterval + std::chrono::milliseconds(10));
    start = std::chrono::steady_clock::now();
    log.WriteRow(L"05,0000000000000000,00000000000001f4");
    row.push_back(MillisecondsSince(start));
  }
  std::printf(
      "size %llu\nrotations %d\ndirty_median_ms %.3f\nclean_median_ms %.3f\nflush_cost_ms %.3f\n"
      "row_with_flush_median_ms %.3f\n",
      static_cast<unsigned long long>(size), repeat, Median(dirty), Median(clean), Median(dirty) - Median(clean),
      Median(row));
  return 0;
}

// Private memory of this process from /proc/self/smaps_rollup, in KiB: the
// pages it has written (heap, stacks, data), as Windows counts private bytes.
// Clean pages of the executable and shared libraries are left out: they count
// as "private" only while no other process maps the same file, so they would
// measure the rest of the machine rather than the service.
long PrivateKiB() {
  std::ifstream rollup("/proc/self/smaps_rollup");
  std::string line;
  long total = 0;
  while (std::getline(rollup, line)) {
    if (line.rfind("Private_Dirty:", 0) == 0) total += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
  }
  return total;
}

long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
  return -1;
}

int MemoryCommand(long cycles) {
  BenchMachine machine;
  RunningService running;
  for (int i = 0; i < 100; ++i) TarnBenchServiceCycle(&running.service(), &running.status());
  const long privateBefore = PrivateKiB();
  const long anonBefore = StatusKiB("RssAnon:");
  for (long i = 0; i < cycles; ++i) TarnBenchServiceCycle(&running.service(), &running.status());
  const long privateAfter = PrivateKiB();
  const long anonAfter = StatusKiB("RssAnon:");
  std::printf(
      "cycles %ld\nprivate_kib_after_100 %ld\nprivate_kib_after_n %ld\nrss_anon_kib_after_100 %ld\n"
      "rss_anon_kib_after_n %ld\n",
      cycles, privateBefore, privateAfter, anonBefore, anonAfter);
  return 0;
}

struct TickRecorder {
  std::mutex lock;  // one cycle at a time, as the dispatcher runs them
  RunningService* running = nullptr;
  std::vector<std::chrono::steady_clock::time_point> starts;
};

void CALLBACK RecordTick(PVOID parameter, BOOLEAN) {
  auto* recorder = static_cast<TickRecorder*>(parameter);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> guard(recorder->lock);
  recorder->starts.push_back(now);
  TarnBenchServiceCycle(&recorder->running->service(), &recorder->running->status());
}

int TicksCommand(long periodMs, long count) {
  BenchMachine machine;
  RunningService running;
  TickRecorder recorder;
  recorder.running = &running;
  HANDLE queue = CreateTimerQueue();
  HANDLE timer = nullptr;
  const auto created = std::chrono::steady_clock::now();
  CreateTimerQueueTimer(&timer, queue, &RecordTick, &recorder, static_cast<DWORD>(periodMs),
                        static_cast<DWORD>(periodMs), WT_EXECUTEDEFAULT);
  ::usleep(static_cast<useconds_t>((count * periodMs + periodMs / 2) * 1000));
  DeleteTimerQueueEx(queue, INVALID_HANDLE_VALUE);  // waits for a running callback

  std::lock_guard<std::mutex> guard(recorder.lock);
  double worst = 0, sum = 0, last = 0;
  const std::size_t ticks = std::min<std::size_t>(recorder.starts.size(), static_cast<std::size_t>(count));
  for (std::size_t k = 0; k < ticks; ++k) {
    const auto due = created + std::chrono::milliseconds(periodMs * static_cast<long>(k + 1));
    const double late = std::chrono::duration<double, std::milli>(recorder.starts[k] - due).count();
    worst = std::max(worst, std::abs(late));
    sum += std::abs(late);
    last = late;
  }
  std::printf("period_ms %ld\nticks %zu\nmean_abs_error_ms %.3f\nmax_abs_error_ms %.3f\nlast_tick_error_ms %.3f\n",
              periodMs, ticks, ticks ? sum / static_cast<double>(ticks) : 0.0, worst, last);
  return 0;
}

long Number(const char* text) { return std::strtol(text, nullptr, 10); }

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "cycle" && argc == 4) return CycleCommand(argv[2], Number(argv[3]));
  if (command == "syscalls" && argc == 3) return SyscallsCommand(Number(argv[2]));
  if (command == "rotation" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "cold")))
    return RotationCommand(Number(argv[2]), static_cast<int>(Number(argv[3])), argc == 5);
  if (command == "flush" && argc == 4) return FlushCommand(Number(argv[2]), static_cast<int>(Number(argv[3])));
  if (command == "memory" && argc == 3) return MemoryCommand(Number(argv[2]));
  if (command == "ticks" && argc == 4) return TicksCommand(Number(argv[2]), Number(argv[3]));
  std::fprintf(stderr,
               "usage: tarn-bench cycle service|minimal N | syscalls N | rotation ENTRIES REPEAT [cold] | memory N |"
               " flush SIZE REPEAT | ticks PERIOD_MS COUNT\n");
  return 2;
}
