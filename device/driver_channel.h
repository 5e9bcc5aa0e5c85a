// The driver channel: the service's connection to the power-monitor driver.
//
// The driver publishes one device interface per monitored component. The channel
// finds the present interfaces, opens them, asks each whether it takes part,
// learns which component each stands for, and fetches two 64-bit readings from
// each on request. Every operation (except CloseAll) returns a Win32 error code:
// 0, or the code of the first failure; platform failures are never thrown.
//
// The channel takes no lock. Its owner must never run two of its operations at
// the same time.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <map>
#include <string>

#include "component_table.h"
#include "unique_handle.h"
#include "utf16_order.h"

// The power-monitor driver's device interface class,
// {45BD8344-7ED6-49CF-A440-C276C933B053}.
inline constexpr GUID kPowerMonitorInterfaceClass = {
    0x45BD8344, 0x7ED6, 0x49CF, {0xA4, 0x40, 0xC2, 0x76, 0xC9, 0x33, 0xB0, 0x53}};

// The driver's four requests: no input, a fixed-size or sized output.
inline constexpr DWORD kCheckRequest = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x000, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr DWORD kInformationSizeRequest =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x001, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr DWORD kInformationRequest = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x002, METHOD_BUFFERED, FILE_READ_ACCESS);
inline constexpr DWORD kReadingRequest = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x003, METHOD_BUFFERED, FILE_READ_ACCESS);
static_assert(kCheckRequest == 0x00224000u && kInformationSizeRequest == 0x00224004u &&
              kInformationRequest == 0x00224008u && kReadingRequest == 0x0022400Cu);

// One device interface of the driver.
struct DeviceEntry {
  tarn::UniqueFileHandle handle;                        // closed: INVALID_HANDLE_VALUE
  std::uint8_t componentId = kUnidentifiedComponentId;  // 1-22, 255 unknown, 0 not yet identified
  std::uint64_t reading0 = 0;                           // bytes 0-7 of the last reading
  std::uint64_t reading1 = 0;                           // bytes 8-15 of the last reading
};

class DriverChannel {
 public:
  using DeviceMap = std::map<std::wstring, DeviceEntry, Utf16OrdinalLess>;

  DriverChannel();
  DriverChannel(const DriverChannel&) = delete;
  DriverChannel& operator=(const DriverChannel&) = delete;
  DriverChannel(DriverChannel&&) = default;
  DriverChannel& operator=(DriverChannel&&) = default;
  ~DriverChannel() = default;  // the entries close their handles

  // Adds an entry for every present interface not yet held; held entries keep
  // their handle, id and readings. ERROR_NOT_FOUND when no entry is held at the end.
  DWORD Discover();

  // Opens every entry in path order; at the first failure closes every handle and
  // returns the error. Meant for entries that hold no open handle.
  DWORD OpenAll();

  // Closes every open handle; the entries stay.
  void CloseAll();

  // Drops (and closes) every entry whose check value is not 1. Stops at the first
  // failed request. ERROR_INVALID_DATA when no entry is left.
  DWORD CheckAll();

  // Stores every entry's component id from its information block. Stops at the
  // first failure; entries visited before it keep their new ids.
  DWORD IdentifyAll();

  // Stores every entry's two readings. Stops at the first failure; entries visited
  // before it keep their new readings, the others their previous ones.
  DWORD ReadAll();

  // The id of a component name in this channel's table (255 when it is not there).
  std::uint8_t LookupComponentId(const wchar_t* name) const;

  // One entry per discovered interface, by path in UTF-16 ordinal order; the rows
  // of the logs follow this order.
  DeviceMap devices;
  // The component table, filled at construction and never changed.
  ComponentIdMap componentIds;

 private:
  DWORD IdentifyEntry(DeviceEntry& entry) const;
};
