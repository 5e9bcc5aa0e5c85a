#include "driver_channel.h"

#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "power_data.h"

namespace {

// A failed call that left no error code behind must still read as a failure to
// the caller, never as 0 (success).
DWORD AsFailure(DWORD error) { return error != ERROR_SUCCESS ? error : static_cast<DWORD>(ERROR_GEN_FAILURE); }

// The thread's last error after a call that reported failure.
DWORD LastFailure() { return AsFailure(GetLastError()); }

// Sends one of the driver's requests into `reply`, which the caller has zeroed, so
// that bytes the driver leaves unwritten read as zero. A closed handle is never
// passed to the platform (INVALID_HANDLE_VALUE also names the current process).
DWORD SendRequest(const tarn::UniqueFileHandle& device, DWORD code, std::span<std::uint8_t> reply) {
  if (!device) return ERROR_INVALID_HANDLE;
  DWORD bytesReturned = 0;  // the replies are fixed-size or zero-filled; never consulted
  if (!DeviceIoControl(device.get(), code, nullptr, 0, reply.data(), static_cast<DWORD>(reply.size()), &bytesReturned,
                       nullptr)) {
    return LastFailure();
  }
  return ERROR_SUCCESS;
}

constexpr std::size_t kDevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// Asks for one interface's path with the two-call protocol of SetupAPI.
DWORD QueryInterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& interfaceData, std::wstring& path) {
  DWORD required = 0;
  if (!SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, nullptr, 0, &required, nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return AsFailure(error);
  }
  // Too small to hold even an empty path: a buffer of that size could not take the
  // detail structure's fixed part.
  if (required < kDevicePathOffset + sizeof(WCHAR)) return ERROR_INVALID_DATA;

  // DWORD elements keep the structure aligned; the buffer is never smaller than
  // the structure itself, whatever size is passed to the platform.
  const std::size_t bytes = std::max<std::size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
  std::vector<DWORD> buffer;
  try {
    buffer.resize((bytes + sizeof(DWORD) - 1) / sizeof(DWORD));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, detail, required, &required, nullptr)) {
    return LastFailure();
  }

  // Up to the terminating 0, but never past the bytes the buffer holds.
  const auto* first =
      reinterpret_cast<const WCHAR*>(reinterpret_cast<const unsigned char*>(buffer.data()) + kDevicePathOffset);
  const std::size_t capacity = (bytes - kDevicePathOffset) / sizeof(WCHAR);
  std::size_t length = 0;
  while (length < capacity && first[length] != 0) ++length;
  path.assign(first, length);
  return ERROR_SUCCESS;
}

}  // namespace

DriverChannel::DriverChannel() : componentIds(BuildComponentTable()) {}

std::uint8_t DriverChannel::LookupComponentId(const wchar_t* name) const {
  return ::LookupComponentId(componentIds, name);
}

DWORD DriverChannel::Discover() {
  tarn::UniqueDeviceInfoList list(
      SetupDiGetClassDevsW(&kPowerMonitorInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!list) return LastFailure();

  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof(interfaceData);
  // The first FALSE ends the walk, whatever its reason.
  for (DWORD index = 0;
       SetupDiEnumDeviceInterfaces(list.get(), nullptr, &kPowerMonitorInterfaceClass, index, &interfaceData); ++index) {
    std::wstring path;
    const DWORD error = QueryInterfacePath(list.get(), interfaceData, path);
    if (error != ERROR_SUCCESS) return error;
    devices.try_emplace(std::move(path));  // a held path keeps its entry untouched
  }
  // Counts every entry held, not only those found now.
  return devices.empty() ? static_cast<DWORD>(ERROR_NOT_FOUND) : static_cast<DWORD>(ERROR_SUCCESS);
}

DWORD DriverChannel::OpenAll() {
  for (auto& [path, entry] : devices) {
    entry.handle.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!entry.handle) {
      const DWORD error = LastFailure();
      CloseAll();
      return error;
    }
  }
  return ERROR_SUCCESS;
}

void DriverChannel::CloseAll() {
  for (auto& [path, entry] : devices) entry.handle.reset();
}

DWORD DriverChannel::CheckAll() {
  for (auto it = devices.begin(); it != devices.end();) {
    std::array<std::uint8_t, kCheckReplySize> reply{};
    const DWORD error = SendRequest(it->second.handle, kCheckRequest, reply);
    if (error != ERROR_SUCCESS) return error;
    if (DecodeCheckReply(reply) == kCheckAdmitted) {
      ++it;
    } else {
      it = devices.erase(it);  // closes the entry's handle
    }
  }
  return devices.empty() ? static_cast<DWORD>(ERROR_INVALID_DATA) : static_cast<DWORD>(ERROR_SUCCESS);
}

DWORD DriverChannel::IdentifyEntry(DeviceEntry& entry) const {
  std::array<std::uint8_t, kInformationSizeReplySize> sizeReply{};
  DWORD error = SendRequest(entry.handle, kInformationSizeRequest, sizeReply);
  if (error != ERROR_SUCCESS) return error;

  const std::uint32_t size = DecodeInformationSize(sizeReply);
  if (size == 0 || size > kMaxInformationBlockSize) {
    // A size no block can have is one more malformed block: the entry stays,
    // unnamed, rather than one faulty interface failing the whole start.
    entry.componentId = kUnknownComponentId;
    return ERROR_SUCCESS;
  }
  std::vector<std::uint8_t> block;
  try {
    block.resize(size);  // zero-filled: unwritten bytes read as 0
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  error = SendRequest(entry.handle, kInformationRequest, block);
  if (error != ERROR_SUCCESS) return error;

  const std::optional<std::wstring> name = DecodeComponentName(block);
  entry.componentId = name ? LookupComponentId(name->c_str()) : kUnknownComponentId;
  return ERROR_SUCCESS;
}

DWORD DriverChannel::IdentifyAll() {
  for (auto& [path, entry] : devices) {
    const DWORD error = IdentifyEntry(entry);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

DWORD DriverChannel::ReadAll() {
  for (auto& [path, entry] : devices) {
    std::array<std::uint8_t, kReadingReplySize> reply{};
    const DWORD error = SendRequest(entry.handle, kReadingRequest, reply);
    if (error != ERROR_SUCCESS) return error;
    const PowerReading reading = DecodeReadingBlock(reply);
    entry.reading0 = reading.reading0;
    entry.reading1 = reading.reading1;
  }
  return ERROR_SUCCESS;
}
