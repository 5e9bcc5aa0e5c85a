#include <powrprof.h>

#include <cstring>

BOOLEAN GetPwrCapabilities(PSYSTEM_POWER_CAPABILITIES capabilities) {
  if (capabilities == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memset(capabilities, 0, sizeof(*capabilities));
  capabilities->PowerButtonPresent = TRUE;
  capabilities->SystemS3 = TRUE;
  capabilities->SystemS4 = TRUE;
  capabilities->SystemS5 = TRUE;
  return TRUE;
}

BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY handle) {
  // The stand-in never registers a power-setting notification, so no handle is valid.
  (void)handle;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
