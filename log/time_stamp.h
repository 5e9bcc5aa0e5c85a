// The time stamp of the log files: local time as "YYYYMMDDThhmmss" followed by
// the offset of local time from UTC as a sign and hhmm, 20 characters in all,
// for example 20240131T235959+0100. Used in every row and every backup name.
#pragma once

#include <ctime>
#include <string>

// The stamp of a moment in the process's local time zone, daylight saving included.
std::wstring FormatLocalTimeStamp(std::time_t time);
