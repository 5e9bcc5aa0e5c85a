#include "simulated_driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "driver_config.h"
#include "tarn_sim/machine.h"

namespace tarn::sim::devices {
namespace {

constexpr DWORD kCheckRequest = 0x00224000;
constexpr DWORD kInformationSizeRequest = 0x00224004;
constexpr DWORD kInformationRequest = 0x00224008;
constexpr DWORD kReadingRequest = 0x0022400C;

constexpr std::size_t kCheckReplySize = 2;
constexpr std::size_t kInformationSizeReplySize = 4;
constexpr std::size_t kReadingReplySize = 16;
constexpr std::size_t kInformationHeaderSize = 72;
constexpr std::uint8_t kHeaderFill = 0xA5;  // the driver's own bytes; nobody reads them

// What identifies one version of driver.ini. The inode and change time catch a
// rewrite of the same size within the file system's time-stamp granularity.
struct FileStamp {
  std::string file;
  bool exists = false;
  dev_t deviceNumber = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modifiedSeconds = 0;
  long modifiedNanoseconds = 0;
  long long changedSeconds = 0;
  long changedNanoseconds = 0;

  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& file) {
  FileStamp stamp;
  stamp.file = file;
  struct stat status {};
  if (file.empty() || ::stat(file.c_str(), &status) != 0) return stamp;
  stamp.exists = true;
  stamp.deviceNumber = status.st_dev;
  stamp.inode = status.st_ino;
  stamp.size = status.st_size;
  stamp.modifiedSeconds = status.st_mtim.tv_sec;
  stamp.modifiedNanoseconds = status.st_mtim.tv_nsec;
  stamp.changedSeconds = status.st_ctim.tv_sec;
  stamp.changedNanoseconds = status.st_ctim.tv_nsec;
  return stamp;
}

// The bytes of driver.ini; nullopt when it cannot be read (a folder in its
// place, an I/O error). Read without the stream's exceptions, which a failing
// read raises from inside the buffer even when none are asked for: the driver
// answers with an error instead, as a real one never throws.
std::optional<std::string> ReadConfigBytes(const std::string& file) {
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.append(buffer, count);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) return std::nullopt;
  return bytes;
}

std::optional<std::vector<DeviceConfig>> LoadConfig(const std::string& file) {
  const auto bytes = ReadConfigBytes(file);
  if (!bytes) {
    std::fprintf(stderr, "simulated driver: cannot read %s\n", file.c_str());
    return std::nullopt;
  }
  std::vector<std::string> problems;
  auto configs = ParseDriverConfig(DecodeConfigText(*bytes), problems);
  for (const auto& problem : problems)
    std::fprintf(stderr, "simulated driver: %s: %s\n", file.c_str(), problem.c_str());
  return configs;
}

wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

void AppendLittleEndian(std::vector<std::uint8_t>& bytes, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The component name as UTF-16LE code units (a character beyond U+FFFF as a pair).
void AppendUtf16(std::vector<std::uint8_t>& bytes, const std::wstring& text) {
  for (wchar_t c : text) {
    auto value = static_cast<std::uint32_t>(c);
    if (value > 0xFFFF && value <= 0x10FFFF) {
      value -= 0x10000;
      AppendLittleEndian(bytes, 0xD800 + (value >> 10), 2);
      AppendLittleEndian(bytes, 0xDC00 + (value & 0x3FF), 2);
    } else {
      AppendLittleEndian(bytes, value & 0xFFFF, 2);
    }
  }
}

std::vector<std::uint8_t> InformationBlock(const DeviceConfig& config) {
  std::vector<std::uint8_t> block(kInformationHeaderSize, kHeaderFill);
  AppendUtf16(block, config.component);
  switch (config.information) {
    case InformationShape::Normal: AppendLittleEndian(block, 0, 2); break;
    case InformationShape::Short: block.resize(kInformationHeaderSize + 1, 0); break;
    case InformationShape::Unterminated: break;
    case InformationShape::Odd: block.push_back(0); break;
  }
  return block;
}

// One present device and its running state.
struct LiveDevice {
  DeviceConfig config;
  std::uint64_t identity = 0;
  std::uint64_t next0 = 0;  // the values the next read returns
  std::uint64_t next1 = 0;

  void RestartCounters() {
    next0 = config.reading0.start;
    next1 = config.reading1.start;
  }

  void AdvanceCounters() {
    if (config.reading0.counter) next0 += config.reading0.step;
    if (config.reading1.counter) next1 += config.reading1.step;
  }
};

// A request that driver.ini slows down ("delay = REQUEST MS") takes its time
// outside the driver's lock, so that requests to other devices go on meanwhile.
void TakeTime(DWORD milliseconds) {
  if (milliseconds != 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD DelayOf(const DeviceConfig& config, Request request) {
  auto delay = config.delays.find(request);
  return delay == config.delays.end() ? 0 : delay->second;
}

std::optional<Request> RequestOf(DWORD code) {
  switch (code) {
    case kCheckRequest: return Request::Check;
    case kInformationSizeRequest: return Request::InformationSize;
    case kInformationRequest: return Request::Information;
    case kReadingRequest: return Request::Reading;
    default: return std::nullopt;
  }
}

class SimulatedDriver {
 public:
  DWORD EnumerationFailure() {
    DWORD delay = 0;
    DWORD error = ERROR_SUCCESS;
    {
      std::lock_guard<std::mutex> guard(_lock);
      Refresh();
      if (_unreadable) return ERROR_READ_FAULT;
      for (const LiveDevice& device : _devices) {
        delay = std::max(delay, DelayOf(device.config, Request::Enumerate));
        auto failure = device.config.failures.find(Request::Enumerate);
        if (failure != device.config.failures.end() && error == ERROR_SUCCESS)
          error = failure->second != ERROR_SUCCESS ? failure->second : ERROR_GEN_FAILURE;
      }
    }
    TakeTime(delay);
    return error;
  }

  std::vector<std::wstring> PresentPaths() {
    std::lock_guard<std::mutex> guard(_lock);
    Refresh();
    std::vector<std::wstring> paths;
    for (const LiveDevice& device : _devices) paths.push_back(device.config.path);
    return paths;
  }

  OpenResult Open(std::wstring_view path) {
    DWORD delay = 0;
    OpenResult result = OpenNow(path, delay);
    TakeTime(delay);
    return result;
  }

  RequestResult Send(const DeviceHandleObject& handle, DWORD code, DWORD outputSize) {
    DWORD delay = 0;
    RequestResult result = SendNow(handle, code, outputSize, delay);
    TakeTime(delay);
    return result;
  }

 private:
  OpenResult OpenNow(std::wstring_view path, DWORD& delay) {
    std::lock_guard<std::mutex> guard(_lock);
    Refresh();
    const LiveDevice* device = FindByPath(path);
    if (device == nullptr) return {false, ERROR_FILE_NOT_FOUND, 0};
    delay = DelayOf(device->config, Request::Open);
    if (auto failure = device->config.failures.find(Request::Open); failure != device->config.failures.end())
      return {false, failure->second, 0};
    return {true, ERROR_SUCCESS, device->identity};
  }

  RequestResult SendNow(const DeviceHandleObject& handle, DWORD code, DWORD outputSize, DWORD& delay) {
    std::lock_guard<std::mutex> guard(_lock);
    Refresh();
    LiveDevice* device = FindByIdentity(handle.device);
    if (device == nullptr) return {false, ERROR_DEVICE_NOT_CONNECTED, {}};
    if (!HasAccessFor(handle.access, code)) return {false, ERROR_ACCESS_DENIED, {}};
    if (auto request = RequestOf(code)) delay = DelayOf(device->config, *request);
    switch (code) {
      case kCheckRequest: return Check(*device, outputSize);
      case kInformationSizeRequest: return InformationSize(*device, outputSize);
      case kInformationRequest: return Information(*device, outputSize);
      case kReadingRequest: return Reading(*device, outputSize);
      default: return {false, ERROR_INVALID_FUNCTION, {}};
    }
  }

  // The access bits of a request code (FILE_READ_ACCESS 1, FILE_WRITE_ACCESS 2)
  // are checked against the handle's desired access, as the I/O manager does.
  static bool HasAccessFor(DWORD access, DWORD code) {
    const DWORD required = (code >> 14) & 3;
    const bool canRead = (access & (GENERIC_READ | GENERIC_ALL | 0x0001u)) != 0;
    const bool canWrite = (access & (GENERIC_WRITE | GENERIC_ALL | 0x0002u)) != 0;
    return ((required & 1) == 0 || canRead) && ((required & 2) == 0 || canWrite);
  }

  static std::optional<DWORD> InjectedFailure(const LiveDevice& device, Request request) {
    auto failure = device.config.failures.find(request);
    if (failure == device.config.failures.end()) return std::nullopt;
    return failure->second;
  }

  static RequestResult Check(const LiveDevice& device, DWORD outputSize) {
    if (auto failure = InjectedFailure(device, Request::Check)) return {false, *failure, {}};
    if (outputSize < kCheckReplySize) return {false, ERROR_INSUFFICIENT_BUFFER, {}};
    std::vector<std::uint8_t> reply;
    AppendLittleEndian(reply, device.config.check, kCheckReplySize);
    reply.resize(device.config.checkReplyBytes);
    return {true, ERROR_SUCCESS, reply};
  }

  static RequestResult InformationSize(const LiveDevice& device, DWORD outputSize) {
    if (auto failure = InjectedFailure(device, Request::InformationSize)) return {false, *failure, {}};
    if (outputSize < kInformationSizeReplySize) return {false, ERROR_INSUFFICIENT_BUFFER, {}};
    const auto size = device.config.informationSizeOverridden
                          ? device.config.informationSize
                          : static_cast<std::uint32_t>(InformationBlock(device.config).size());
    std::vector<std::uint8_t> reply;
    AppendLittleEndian(reply, size, kInformationSizeReplySize);
    return {true, ERROR_SUCCESS, reply};
  }

  static RequestResult Information(const LiveDevice& device, DWORD outputSize) {
    if (auto failure = InjectedFailure(device, Request::Information)) return {false, *failure, {}};
    std::vector<std::uint8_t> block = InformationBlock(device.config);
    if (outputSize < block.size()) return {false, ERROR_INSUFFICIENT_BUFFER, {}};
    return {true, ERROR_SUCCESS, block};
  }

  static RequestResult Reading(LiveDevice& device, DWORD outputSize) {
    if (auto failure = InjectedFailure(device, Request::Reading)) return {false, *failure, {}};
    if (outputSize < kReadingReplySize) return {false, ERROR_INSUFFICIENT_BUFFER, {}};
    std::vector<std::uint8_t> reply;
    AppendLittleEndian(reply, device.next0, 8);
    AppendLittleEndian(reply, device.next1, 8);
    reply.resize(device.config.readingReplyBytes);
    device.AdvanceCounters();
    return {true, ERROR_SUCCESS, reply};
  }

  LiveDevice* FindByIdentity(std::uint64_t identity) {
    for (LiveDevice& device : _devices)
      if (device.identity == identity) return &device;
    return nullptr;
  }

  const LiveDevice* FindByPath(std::wstring_view path) const {
    for (const LiveDevice& device : _devices)
      if (device.config.path == path) return &device;
    for (const LiveDevice& device : _devices)
      if (EqualIgnoringAsciiCase(device.config.path, path)) return &device;
    return nullptr;
  }

  // Re-reads driver.ini when it is not the version read last. Requests come in
  // bursts (a tick reads every device at once), so one look at the file serves
  // the requests of the next kDriverIniRecheckInterval instead of a query each.
  void Refresh() {
    const std::uint64_t generation = MachineGeneration();
    const auto now = std::chrono::steady_clock::now();
    if (_stamp && generation == _generation && now - _checkedAt < kDriverIniRecheckInterval) return;
    if (generation != _generation || !_stamp) {
      const auto root = MachineRoot();
      _file = root ? (*root / "driver.ini").string() : std::string();
      _generation = generation;
    }
    _checkedAt = now;
    const FileStamp stamp = StampOf(_file);
    if (_stamp && *_stamp == stamp && !_unreadable) return;
    // Another machine folder is another driver: none of the old devices survive.
    if (!_stamp || _stamp->file != stamp.file) _devices.clear();
    _stamp = stamp;
    std::optional<std::vector<DeviceConfig>> loaded =
        stamp.exists ? LoadConfig(stamp.file) : std::optional<std::vector<DeviceConfig>>(std::in_place);
    // Unreadable: the devices stay as they were, listing them fails, and the
    // next look reads the file again.
    _unreadable = !loaded;
    if (_unreadable) return;
    std::vector<DeviceConfig> configs = std::move(*loaded);

    std::vector<LiveDevice> devices;
    for (DeviceConfig& config : configs) {
      LiveDevice device;
      const LiveDevice* earlier = FindExactPath(config.path);
      device.identity = earlier != nullptr ? earlier->identity : _nextIdentity++;
      device.config = std::move(config);
      device.RestartCounters();
      // A counter whose own definition is unchanged goes on where it was.
      if (earlier != nullptr && earlier->config.reading0 == device.config.reading0) device.next0 = earlier->next0;
      if (earlier != nullptr && earlier->config.reading1 == device.config.reading1) device.next1 = earlier->next1;
      devices.push_back(std::move(device));
    }
    _devices = std::move(devices);
  }

  const LiveDevice* FindExactPath(const std::wstring& path) const {
    for (const LiveDevice& device : _devices)
      if (device.config.path == path) return &device;
    return nullptr;
  }

  std::mutex _lock;
  std::uint64_t _generation = 0;  // of the machine whose driver.ini _file is
  std::string _file;
  std::chrono::steady_clock::time_point _checkedAt;
  std::optional<FileStamp> _stamp;
  bool _unreadable = false;  // the last read of driver.ini failed
  std::vector<LiveDevice> _devices;
  std::uint64_t _nextIdentity = 1;
};

// Never destroyed: pool threads may still reach the driver while the process exits.
SimulatedDriver& Driver() {
  static SimulatedDriver* driver = new SimulatedDriver;
  return *driver;
}

}  // namespace

std::vector<std::wstring> PresentInterfacePaths() { return Driver().PresentPaths(); }

DWORD EnumerationFailure() { return Driver().EnumerationFailure(); }

OpenResult OpenDevice(std::wstring_view path) { return Driver().Open(path); }

RequestResult SendDeviceRequest(const DeviceHandleObject& handle, DWORD code, DWORD outputSize) {
  return Driver().Send(handle, code, outputSize);
}

}  // namespace tarn::sim::devices
