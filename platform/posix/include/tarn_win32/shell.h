// Shell folder and path functions, and the COM allocator.
#pragma once

#include "tarn_win32/types.h"

#define CSIDL_APPDATA 0x001a
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_PROGRAM_FILES 0x0026

// CSIDL_COMMON_APPDATA is C:\ProgramData, no trailing backslash. Fails (FALSE)
// while no simulated machine is set.
BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);
HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path);
BOOL PathFileExistsW(LPCWSTR path);
void CoTaskMemFree(LPVOID memory);
