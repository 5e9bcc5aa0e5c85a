// CreateFileW and DeviceIoControl. A path on drive C: is a file or folder of the
// simulated machine (see tarn_sim/files.h); any other path is looked up among the
// simulated driver's device interfaces, and one that names none is not found.
#include <windows.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "simulated_driver.h"
#include "tarn_sim/faults.h"
#include "tarn_sim/files.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"

using tarn::sim::devices::DeviceHandleObject;

HANDLE CreateFileW(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (tarn::sim::FaultsOfKindSet(tarn::sim::FaultKind::Throw) &&
      tarn::sim::FaultHits(tarn::sim::FaultKind::Throw, tarn::sim::ToUtf8(path)))
    throw std::runtime_error("injected fault: CreateFileW threw");
  if (auto hostPath = tarn::sim::MapWindowsPath(path))
    return tarn::sim::OpenFileHandle(*hostPath, desiredAccess, shareMode, disposition, flagsAndAttributes);
  const auto opened = tarn::sim::devices::OpenDevice(path);
  if (!opened.ok) {
    SetLastError(opened.error);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return tarn::sim::InsertHandle(std::make_shared<DeviceHandleObject>(opened.device, desiredAccess));
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID, DWORD, LPVOID outBuffer, DWORD outBufferSize,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  // Without an OVERLAPPED the count of bytes returned has nowhere else to go.
  if (bytesReturned == nullptr && overlapped == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (bytesReturned != nullptr) *bytesReturned = 0;
  const auto handle = tarn::sim::LookupHandle<DeviceHandleObject>(device);
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (outBuffer == nullptr && outBufferSize != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const auto result = tarn::sim::devices::SendDeviceRequest(*handle, ioControlCode, outBufferSize);
  if (!result.ok) {
    SetLastError(result.error);
    return FALSE;
  }
  if (!result.reply.empty()) std::memcpy(outBuffer, result.reply.data(), result.reply.size());
  const auto count = static_cast<DWORD>(result.reply.size());
  if (bytesReturned != nullptr) *bytesReturned = count;
  if (overlapped != nullptr) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = count;
  }
  return TRUE;
}
