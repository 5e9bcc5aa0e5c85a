#include "time_stamp.h"

#include <windows.h>

#include <ctime>

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

// The offset is worked out here rather than with "%z", which some runtimes print
// as the zone's name: the local broken-down time read as if it were UTC, less
// the moment itself, is the offset in force at that moment, daylight saving
// included, and so always matches the local time written beside it.
long UtcOffsetMinutes(const std::tm& local, std::time_t time) {
  const long long days = DaysFromCivil(local.tm_year + 1900LL, static_cast<unsigned>(local.tm_mon + 1),
                                       static_cast<unsigned>(local.tm_mday));
  const long long localAsUtc = days * 86400 + local.tm_hour * 3600LL + local.tm_min * 60LL + local.tm_sec;
  const long long seconds = localAsUtc - static_cast<long long>(time);
  // Rounded to the minute, so that a leap second cannot shift it.
  return static_cast<long>(seconds >= 0 ? (seconds + 30) / 60 : -((-seconds + 30) / 60));
}

// Writes the value's last `width` decimal digits at `position`, zero-padded.
void PutDigits(std::wstring& text, std::size_t position, std::size_t width, long value) {
  for (std::size_t i = width; i > 0; --i, value /= 10) text[position + i - 1] = static_cast<wchar_t>(L'0' + value % 10);
}

}  // namespace

std::wstring FormatLocalTimeStamp(std::time_t time) {
  std::tm local{};
  if (localtime_s(&local, &time) != 0) return L"19700101T000000+0000";  // the clock is before 1970
  const long offset = UtcOffsetMinutes(local, time);
  const long magnitude = offset < 0 ? -offset : offset;
  // Written digit by digit: this runs for every row, and a formatter would parse
  // its format string each time for the same 20 characters.
  std::wstring text(20, L'0');
  PutDigits(text, 0, 4, local.tm_year + 1900);
  PutDigits(text, 4, 2, local.tm_mon + 1);
  PutDigits(text, 6, 2, local.tm_mday);
  text[8] = L'T';
  PutDigits(text, 9, 2, local.tm_hour);
  PutDigits(text, 11, 2, local.tm_min);
  PutDigits(text, 13, 2, local.tm_sec);
  text[15] = offset < 0 ? L'-' : L'+';
  PutDigits(text, 16, 2, magnitude / 60);
  PutDigits(text, 18, 2, magnitude % 60);
  return text;
}
