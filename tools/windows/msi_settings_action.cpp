// tarn-msi.dll: the custom action of tarn.msi and tarn-x64.msi that takes the
// settings given at install time as public properties:
//
//   msiexec /i tarn.msi /qn LOGPERIODMS=30000 UPLOADLOGFILEBACKUPNUM=10
//
// For each of LOGPERIODMS, LOGFILESIZEBYTE, LOGFILEBACKUPNUM, UPLOADLOGPERIODMS,
// UPLOADLOGFILESIZEBYTE and UPLOADLOGFILEBACKUPNUM that is given, it checks that
// it is a REG_DWORD the service can take (decimal, 0 to 4294967295) and sets
// TARN_DWORD_<NAME> to the text the package's registry value is written from.
// A property that is not such a number fails the installation with a message
// that names it, before anything is installed (the action runs right after the
// launch conditions). A property that is not given is left alone: the
// package's rule for defaults applies to it.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdint>
#include <string>

#include "decimal_dword.h"
#include "unique_handle.h"

namespace {

// A handle of the installation's database or of one of its records.
using UniqueMsiHandle = tarn::UniqueNullInvalid<MSIHANDLE, &::MsiCloseHandle>;

constexpr const wchar_t* kSettingProperties[] = {
    L"LOGPERIODMS",       L"LOGFILESIZEBYTE",       L"LOGFILEBACKUPNUM",
    L"UPLOADLOGPERIODMS", L"UPLOADLOGFILESIZEBYTE", L"UPLOADLOGFILEBACKUPNUM",
};

// The property's value; empty when it is not set.
std::wstring PropertyValue(MSIHANDLE install, const wchar_t* name) {
  wchar_t probe[1] = L"";
  DWORD length = 0;
  if (MsiGetPropertyW(install, name, probe, &length) != ERROR_MORE_DATA) return {};
  std::wstring value(length + 1, L'\0');
  DWORD capacity = length + 1;
  if (MsiGetPropertyW(install, name, value.data(), &capacity) != ERROR_SUCCESS) return {};
  value.resize(capacity);
  return value;
}

// Windows Installer writes a registry value "#<integer>" as a REG_DWORD from a
// signed 32-bit number: values above 2147483647 are given as their two's
// complement, which is the same 32 bits.
std::wstring RegistryDwordText(std::uint32_t value) { return std::to_wstring(static_cast<std::int32_t>(value)); }

void ReportError(MSIHANDLE install, const std::wstring& text) {
  UniqueMsiHandle record(MsiCreateRecord(1));
  if (!record) return;
  MsiRecordSetStringW(record.get(), 0, text.c_str());
  MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), record.get());
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckSettings(MSIHANDLE install) {
  for (const wchar_t* name : kSettingProperties) {
    const std::wstring given = PropertyValue(install, name);
    if (given.empty()) continue;
    const auto value = tarn::ParseDecimalDword(given);
    if (!value) {
      ReportError(install, std::wstring(name) + L"=\"" + given +
                               L"\" is not a number from 0 to 4294967295 (decimal digits only). "
                               L"Nothing was installed or changed.");
      return ERROR_INSTALL_FAILURE;
    }
    const std::wstring target = std::wstring(L"TARN_DWORD_") + name;
    if (MsiSetPropertyW(install, target.c_str(), RegistryDwordText(*value).c_str()) != ERROR_SUCCESS) {
      return ERROR_INSTALL_FAILURE;
    }
  }
  return ERROR_SUCCESS;
}
