// C runtime functions that Windows' runtime has and glibc lacks.
#pragma once

#include <cstdint>
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

// Low-level descriptors over Win32 file handles (see <io.h>). Flags: _O_APPEND
// (every write goes to the end), _O_BINARY, _O_RDONLY; others are refused.
#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
int _open_osfhandle(intptr_t osHandle, int flags);
// A C runtime stream on a descriptor from _open_osfhandle; fclose closes both.
FILE* _fdopen(int descriptor, const char* mode);
int _close(int descriptor);
// Writes what the file behind a descriptor holds to stable storage
// (FlushFileBuffers on Windows, fsync here); 0, or -1 when that failed.
int _commit(int descriptor);
// Sets the size of the file behind a descriptor; 0 or an errno value.
errno_t _chsize_s(int descriptor, long long size);

// Windows' argument order: the broken-down local time of *time into *result.
errno_t localtime_s(struct tm* result, const time_t* time);

// The runtime's copy of the process arguments (filled before wWinMain runs).
extern int __argc;
extern wchar_t** __wargv;
