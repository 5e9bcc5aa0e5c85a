// kernel32-style functions of the stand-in: last error, handles, events, waits,
// debug output, time, processes, strings, messages, files, devices and timer queues.
#pragma once

#include <cstdarg>

#include "tarn_win32/types.h"

// Last error: one value per thread, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD error);

// Handles and events. A handle is closed with CloseHandle whatever its kind
// (event, device, timer queue); a stale or unknown handle gives ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE handle);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Waits on an event; WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Processes. A process handle is signalled once the process has ended; it is
// waited on with WaitForSingleObject and closed with CloseHandle.
#define SYNCHRONIZE 0x00100000u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x00001000u
HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);

// Debug output goes to the debugger sink (see tarn_sim/debug_sink.h) and, when a
// simulated machine is set, to run/debug.log inside it.
void OutputDebugStringA(LPCSTR text);
void GetLocalTime(LPSYSTEMTIME time);
void GetSystemTime(LPSYSTEMTIME time);
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// The stand-in's ANSI code page is Windows-1252; characters it lacks become the
// default character '?'.
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR narrow, int narrowSize,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowLength, LPWSTR wide, int wideSize);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);

// Files and devices. Paths are Windows paths, mapped onto the simulated machine.
//
// A path on drive C: opens a file or (with FILE_FLAG_BACKUP_SEMANTICS) a folder;
// any other path is a device interface of the simulated driver. The stand-in
// models what the log files rely on:
//   - a symbolic link is a reparse point: GetFileAttributesW never follows the
//     last component, and FILE_FLAG_OPEN_REPARSE_POINT opens the link itself
//     (FILE_ATTRIBUTE_REPARSE_POINT in GetFileInformationByHandle);
//   - nNumberOfLinks is the host's link count, dwVolumeSerialNumber and the file
//     index are the host's device and inode;
//   - a file without the owner's write permission is FILE_ATTRIBUTE_READONLY: it
//     cannot be opened for writing or deleted, but it can be renamed;
//   - the sharing of every open handle and C runtime stream is kept in one table.
HANDLE CreateFileW(LPCWSTR path, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL DeleteFileW(LPCWSTR path);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);
BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists);
BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

// Timer queues. Callbacks run on pool threads; a periodic timer's callbacks may
// overlap when one is slow. Completion: NULL returns at once (FALSE with
// ERROR_IO_PENDING while a callback still runs), INVALID_HANDLE_VALUE waits for
// running callbacks, an event handle is signalled once they are done.
typedef void (*WAITORTIMERCALLBACK)(PVOID parameter, BOOLEAN timerOrWaitFired);
#define WT_EXECUTEDEFAULT 0x00000000u
#define WT_EXECUTEONLYONCE 0x00000008u
HANDLE CreateTimerQueue();
BOOL CreateTimerQueueTimer(PHANDLE timer, HANDLE queue, WAITORTIMERCALLBACK callback, PVOID parameter, DWORD dueTime,
                           DWORD period, ULONG flags);
BOOL DeleteTimerQueueTimer(HANDLE queue, HANDLE timer, HANDLE completionEvent);
BOOL DeleteTimerQueueEx(HANDLE queue, HANDLE completionEvent);

// As the platform's: writes each byte through a volatile pointer.
inline PVOID SecureZeroMemory(PVOID pointer, SIZE_T count) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(pointer);
  while (count-- > 0) *bytes++ = 0;
  return pointer;
}

// Process entry of a windowed program: the stand-in's main() calls it.
int wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);
