// C runtime functions that Windows' runtime has and glibc lacks.
#pragma once

#include <cstdio>
#include <ctime>

#include "tarn_win32/types.h"

#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40
#define _SH_SECURE 0x80

// Opens a Windows path of the simulated machine with the runtime's sharing rules:
// it fails (errno EACCES) while another handle holds the file without sharing the
// access asked for, and the handle it returns denies what shareFlag denies.
// Modes are those of fopen; "t" is accepted and, as on Linux, adds no CR.
FILE* _wfsopen(const wchar_t* path, const wchar_t* mode, int shareFlag);

// Windows' argument order: the broken-down local time of *time into *result.
errno_t localtime_s(struct tm* result, const time_t* time);

// The runtime's copy of the process arguments (filled before wWinMain runs).
extern int __argc;
extern wchar_t** __wargv;
