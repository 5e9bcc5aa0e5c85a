#include "settings.h"

#include <windows.h>

#include "unique_handle.h"

namespace qorlogsvc::model::service {
namespace {

constexpr const wchar_t* kSettingsKey = L"SOFTWARE\\Corvessan\\Tarn";
constexpr DWORD kValueBufferSize = 256;

void ReadInto(const wchar_t* valueName, std::uint32_t& setting) {
  std::uint32_t value = 0;
  if (ReadRegistryDword(valueName, value)) setting = value;
}

}  // namespace

bool ReadRegistryDword(const std::wstring& valueName, std::uint32_t& value) {
  tarn::UniqueRegKey key;
  // KEY_WOW64_32KEY keeps the 32-bit view that the service has always read, also
  // when a build of it runs as a 64-bit process.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
    return false;

  BYTE data[kValueBufferSize] = {};
  DWORD type = REG_NONE;
  DWORD size = kValueBufferSize;
  const LSTATUS status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, data, &size);
  key.reset();
  // Fewer than four bytes would leave part of the number undefined: such a value counts as missing.
  if (status != ERROR_SUCCESS || type != REG_DWORD || size < 4) return false;
  value = static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
          (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  return true;
}

ServiceSettings ReadSettingsFromRegistry() {
  ServiceSettings settings;
  ReadInto(L"LogPeriodMs", settings.logPeriodMs);
  ReadInto(L"LogFileSizeByte", settings.logFileSizeByte);
  ReadInto(L"LogFileBackupNum", settings.logFileBackupNum);
  ReadInto(L"UploadLogPeriodMs", settings.uploadLogPeriodMs);
  ReadInto(L"UploadLogFileSizeByte", settings.uploadLogFileSizeByte);
  ReadInto(L"UploadLogFileBackupNum", settings.uploadLogFileBackupNum);
  return settings;
}

const ServiceSettings& ProcessSettings() {
  static const ServiceSettings settings = ReadSettingsFromRegistry();
  return settings;
}

}  // namespace qorlogsvc::model::service
