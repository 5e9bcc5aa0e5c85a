// SetupAPI device-interface enumeration over the simulated driver's devices.
//
// A device information list is a snapshot taken by SetupDiGetClassDevsW. Lists
// live in a table of their own, not in the kernel handle table, so that closing
// one with CloseHandle fails as it does on Windows.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simulated_driver.h"

namespace {

constexpr GUID kPowerMonitorClass = {0x45BD8344, 0x7ED6, 0x49CF, {0xA4, 0x40, 0xC2, 0x76, 0xC9, 0x33, 0xB0, 0x53}};
constexpr DWORD kInterfaceActive = 0x00000001;  // SPINT_ACTIVE

struct DeviceInfoList {
  GUID interfaceClass{};
  std::vector<std::wstring> paths;
};

class ListTable {
 public:
  HDEVINFO Insert(std::shared_ptr<DeviceInfoList> list) {
    std::lock_guard<std::mutex> guard(_lock);
    const std::uintptr_t value = _next;
    _next += 8;
    _lists.emplace(value, std::move(list));
    return reinterpret_cast<HDEVINFO>(value);
  }

  std::shared_ptr<DeviceInfoList> Find(HDEVINFO list) {
    std::lock_guard<std::mutex> guard(_lock);
    auto it = _lists.find(reinterpret_cast<std::uintptr_t>(list));
    return it == _lists.end() ? nullptr : it->second;
  }

  bool Remove(HDEVINFO list) {
    std::lock_guard<std::mutex> guard(_lock);
    return _lists.erase(reinterpret_cast<std::uintptr_t>(list)) != 0;
  }

 private:
  std::mutex _lock;
  std::uintptr_t _next = 0x7D000000;  // far from the kernel handle table's values
  std::map<std::uintptr_t, std::shared_ptr<DeviceInfoList>> _lists;
};

ListTable& Lists() {
  static ListTable* table = new ListTable;
  return *table;
}

wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Whether an interface path "\\?\<enumerator>#..." comes from the given enumerator.
bool FromEnumerator(const std::wstring& path, const wchar_t* enumerator) {
  if (enumerator == nullptr || *enumerator == 0) return true;
  const std::wstring prefix = L"\\\\?\\" + std::wstring(enumerator) + L"#";
  if (path.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (FoldAscii(path[i]) != FoldAscii(prefix[i])) return false;
  return true;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The list's interface named by the data of SetupDiEnumDeviceInterfaces; null
// (with the last error set) when the list or the data is not valid.
const std::wstring* InterfaceOf(const DeviceInfoList* list, const SP_DEVICE_INTERFACE_DATA* data) {
  if (list == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      data->Reserved > list->paths.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &list->paths[data->Reserved - 1];
}

}  // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags) {
  const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  if (classGuid == nullptr && !allClasses) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
  }
  auto list = std::make_shared<DeviceInfoList>();
  if (classGuid != nullptr) list->interfaceClass = *classGuid;
  // Only interface lists of the power-monitor class hold anything: the simulated
  // machine has no other devices. Every configured device is present.
  const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  if (interfaces && (allClasses || *classGuid == kPowerMonitorClass)) {
    if (const DWORD failure = tarn::sim::devices::EnumerationFailure(); failure != ERROR_SUCCESS) {
      SetLastError(failure);
      return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE);
    }
    for (auto& path : tarn::sim::devices::PresentInterfacePaths())
      if (FromEnumerator(path, enumerator)) list->paths.push_back(std::move(path));
  }
  SetLastError(ERROR_SUCCESS);
  return Lists().Insert(std::move(list));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO listHandle, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  tarn::sim::devices::PresentInterfacePaths();  // keeps the driver's view of driver.ini current
  const auto list = Lists().Find(listHandle);
  if (!list) return Fail(ERROR_INVALID_HANDLE);
  // No device elements are ever handed out, so none can be named here.
  if (device != nullptr || interfaceClass == nullptr || interfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!(*interfaceClass == kPowerMonitorClass) || memberIndex >= list->paths.size()) return Fail(ERROR_NO_MORE_ITEMS);
  interfaceData->InterfaceClassGuid = *interfaceClass;
  interfaceData->Flags = kInterfaceActive;
  interfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO listHandle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize, PDWORD requiredSize,
                                      PSP_DEVINFO_DATA device) {
  tarn::sim::devices::PresentInterfacePaths();
  const auto list = Lists().Find(listHandle);
  const std::wstring* path = InterfaceOf(list.get(), interfaceData);
  if (path == nullptr) return FALSE;

  constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  if (detail == nullptr && detailSize != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (detail != nullptr &&
      (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || detailSize < kPathOffset + sizeof(WCHAR)))
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (device != nullptr && device->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);

  const std::size_t needed = kPathOffset + (path->size() + 1) * sizeof(WCHAR);
  if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(needed);
  if (detail == nullptr || detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);

  auto* out = reinterpret_cast<WCHAR*>(reinterpret_cast<unsigned char*>(detail) + kPathOffset);
  std::memcpy(out, path->c_str(), (path->size() + 1) * sizeof(WCHAR));
  if (device != nullptr) {
    device->ClassGuid = kPowerMonitorClass;
    device->DevInst = static_cast<DWORD>(interfaceData->Reserved);
    device->Reserved = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO list) {
  if (!Lists().Remove(list)) return Fail(ERROR_INVALID_HANDLE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
