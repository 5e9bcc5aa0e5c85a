// The diagnostic trace: one printf-style call makes one line
//   "<pid>:[QorLog] YYYY/MM/DD hh:mm:ss <message>\n"
// on the debugger output (and, when asked, on standard error).
//
// The trace is off by default. The process entry switches it on from the
// environment variable TARN_TRACE (see ConfigureTraceFromEnvironment). A trace
// call never changes the caller's last-error value.
#pragma once

#include <string>

#if defined(__GNUC__)
#define TARN_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TARN_PRINTF_FORMAT(fmt, args)
#endif

// Formats the message (cut to 260 characters) and writes the line.
void DebugTrace(const char* format, ...) TARN_PRINTF_FORMAT(1, 2);

// Output switch and standard-error echo; both start off.
void SetTraceEnabled(bool enabled);
void SetTraceToStderr(bool toStderr);

// Reads TARN_TRACE: "1" switches the trace on, "stderr" switches it on with the
// echo to standard error; anything else (or no variable) leaves it off.
void ConfigureTraceFromEnvironment();

// Converts to the thread's ANSI code page; characters it lacks become its default
// character. Any conversion failure gives an empty string.
std::string ToNarrow(const std::wstring& wide);
