// Power capabilities and power-setting notifications.
#pragma once

#include <cstddef>

#include "tarn_win32/types.h"

struct BATTERY_REPORTING_SCALE {
  DWORD Granularity;
  DWORD Capacity;
};
typedef int SYSTEM_POWER_STATE;

struct SYSTEM_POWER_CAPABILITIES {
  BOOLEAN PowerButtonPresent;
  BOOLEAN SleepButtonPresent;
  BOOLEAN LidPresent;
  BOOLEAN SystemS1;
  BOOLEAN SystemS2;
  BOOLEAN SystemS3;
  BOOLEAN SystemS4;
  BOOLEAN SystemS5;
  BOOLEAN HiberFilePresent;
  BOOLEAN FullWake;
  BOOLEAN VideoDimPresent;
  BOOLEAN ApmPresent;
  BOOLEAN UpsPresent;
  BOOLEAN ThermalControl;
  BOOLEAN ProcessorThrottle;
  BYTE ProcessorMinThrottle;
  BYTE ProcessorMaxThrottle;
  BOOLEAN FastSystemS4;
  BOOLEAN Hiberboot;
  BOOLEAN WakeAlarmPresent;
  BOOLEAN AoAc;
  BOOLEAN DiskSpinDown;
  BYTE HiberFileType;
  BOOLEAN AoAcConnectivitySupported;
  BYTE spare3[6];
  BOOLEAN SystemBatteriesPresent;
  BOOLEAN BatteriesAreShortTerm;
  BATTERY_REPORTING_SCALE BatteryScale[3];
  SYSTEM_POWER_STATE AcOnLineWake;
  SYSTEM_POWER_STATE SoftLidWake;
  SYSTEM_POWER_STATE RtcWake;
  SYSTEM_POWER_STATE MinDeviceWakeState;
  SYSTEM_POWER_STATE DefaultLowLatencyWake;
};
typedef SYSTEM_POWER_CAPABILITIES* PSYSTEM_POWER_CAPABILITIES;

// The simulated machine is a desktop without modern standby: AoAc is 0.
BOOLEAN GetPwrCapabilities(PSYSTEM_POWER_CAPABILITIES capabilities);
BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY handle);

static_assert(offsetof(SYSTEM_POWER_CAPABILITIES, AoAc) == 20, "AoAc sits where Windows has it");
