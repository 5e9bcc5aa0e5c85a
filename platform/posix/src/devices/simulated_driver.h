// The simulated power-monitor driver behind the stand-in's SetupAPI and device I/O.
//
// It plays the devices described by driver.ini of the simulated machine and reads
// that file anew whenever its identity, size or time stamps change, checked at a
// call when the last check is kDriverIniRecheckInterval old (there is no
// background thread): a change is seen by every call that starts longer than
// that after it. A device keeps its identity across
// re-reads while its path stays in the file; a device whose section disappears is
// gone, and every handle opened to it fails from then on with
// ERROR_DEVICE_NOT_CONNECTED, as a surprise-removed device does. A device that
// comes back under the same path is a new device: old handles stay dead.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tarn_sim/handles.h"

namespace tarn::sim::devices {

// The object behind a handle from CreateFileW on a device interface.
class DeviceHandleObject : public KernelObject {
 public:
  DeviceHandleObject(std::uint64_t device, DWORD access) : device(device), access(access) {}

  const std::uint64_t device;  // the identity of the device it was opened to
  const DWORD access;          // the desired access it was opened with
};

// The interface paths of the present devices, in the file's order.
std::vector<std::wstring> PresentInterfacePaths();

// The error with which listing the interfaces fails ("fail = enumerate CODE" on
// any configured device; ERROR_READ_FAULT while driver.ini cannot be read), or
// ERROR_SUCCESS.
DWORD EnumerationFailure();

// A failure carries its error code, which may be 0 when driver.ini asks a request
// to fail without one (a driver that reports failure without a reason).
struct OpenResult {
  bool ok = false;
  DWORD error = ERROR_SUCCESS;
  std::uint64_t device = 0;
};

// Opens a device by interface path: the exact spelling first, else one that
// matches without regard to (ASCII) case, as Windows' object names do.
OpenResult OpenDevice(std::wstring_view path);

struct RequestResult {
  bool ok = false;
  DWORD error = ERROR_SUCCESS;
  std::vector<std::uint8_t> reply;  // the bytes the driver writes; their count is "bytes returned"
};

// One DeviceIoControl request with an output buffer of `outputSize` bytes.
RequestResult SendDeviceRequest(const DeviceHandleObject& handle, DWORD code, DWORD outputSize);

}  // namespace tarn::sim::devices
