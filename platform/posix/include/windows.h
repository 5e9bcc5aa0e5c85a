// Linux stand-in for <windows.h>: the Win32 functions the system calls, over a
// simulated machine folder (see tarn_sim/machine.h).
#pragma once

#include "tarn_win32/types.h"
#include "tarn_win32/errors.h"
#include "tarn_win32/kernel.h"
#include "tarn_win32/services.h"
#include "tarn_win32/registry.h"
#include "tarn_win32/power.h"
#include "tarn_win32/crt.h"
#include "tarn_win32/eventlog.h"
