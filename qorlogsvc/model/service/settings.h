// The service's six settings: REG_DWORD values under
// HKEY_LOCAL_MACHINE\SOFTWARE\Corvessan\Tarn, each with a built-in default,
// read once per process.
//
// The service is a 32-bit process, and on 64-bit Windows it reads the 32-bit
// view of HKEY_LOCAL_MACHINE (SOFTWARE\WOW6432Node\Corvessan\Tarn). An
// administrator sets a value with, for example:
//   reg add HKLM\SOFTWARE\Corvessan\Tarn /v LogPeriodMs /t REG_DWORD /d 60000 /reg:32
#pragma once

#include <cstdint>
#include <string>

namespace qorlogsvc::model::service {

struct ServiceSettings {
  std::uint32_t logPeriodMs = 60000;
  std::uint32_t logFileSizeByte = 620000;
  std::uint32_t logFileBackupNum = 7;
  std::uint32_t uploadLogPeriodMs = 600000;
  std::uint32_t uploadLogFileSizeByte = 72000;
  std::uint32_t uploadLogFileBackupNum = 5;
};

// Reads one REG_DWORD value of the settings key. True when it was read; the out
// value is written only then. A missing key or value, another type, data of
// more than 256 bytes or of fewer than four all give false.
bool ReadRegistryDword(const std::wstring& valueName, std::uint32_t& value);

// Reads the six values now, in their fixed order; each one that cannot be read
// takes its default by itself.
ServiceSettings ReadSettingsFromRegistry();

// The process-wide settings: read from the registry by the first call (safe
// from any thread), the same values for every later call.
const ServiceSettings& ProcessSettings();

}  // namespace qorlogsvc::model::service
