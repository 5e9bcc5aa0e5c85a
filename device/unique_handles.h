// The driver channel's handle kinds for the framework's owning wrapper: one
// move-only wrapper per kind, which closes its handle when reset or destroyed.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "UniqueHandle.h"

// Closing keeps the thread's last-error value, so that a handle released on an
// error path never hides the error the caller is about to read.
struct DeviceInfoListTraits {
  using pointer = HDEVINFO;
  static pointer Invalid() noexcept { return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE); }
  static void Close(pointer list) noexcept {
    const DWORD savedError = GetLastError();
    SetupDiDestroyDeviceInfoList(list);
    SetLastError(savedError);
  }
};

// A handle from CreateFileW on a device interface (INVALID_HANDLE_VALUE when closed).
using UniqueDeviceHandle = Corvessan::Orwe::UniqueFileHandle;
// A device information list from SetupDiGetClassDevsW.
using UniqueDeviceInfoList = Corvessan::Orwe::UniqueHandle<DeviceInfoListTraits>;
