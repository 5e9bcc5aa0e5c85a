#include "sample_row.h"

#include <cstdint>
#include <cstring>

namespace qorlogsvc::model::service {
namespace {

// One entry, "ii,rrrrrrrrrrrrrrrr,rrrrrrrrrrrrrrrr": the id's two digits, then
// the second reading's sixteen, then the first reading's. Each field is
// written backwards from the position just after it.
constexpr std::size_t kIdDigits = 2;
constexpr std::size_t kReadingDigits = 16;
constexpr std::size_t kIdEnd = kIdDigits;
constexpr std::size_t kReading1End = kIdEnd + 1 + kReadingDigits;
constexpr std::size_t kReading0End = kReading1End + 1 + kReadingDigits;
constexpr std::size_t kEntryLength = kReading0End;
static_assert(kEntryLength == 36);

// The two lower-case hexadecimal digits of every byte value.
struct HexPairs {
  wchar_t digits[256][2];
  constexpr HexPairs() : digits() {
    constexpr wchar_t kDigits[] = L"0123456789abcdef";
    for (int value = 0; value < 256; ++value) {
      digits[value][0] = kDigits[value >> 4];
      digits[value][1] = kDigits[value & 0xF];
    }
  }
};
constexpr HexPairs kHexPairs;

// Writes the value's lowest `digits` / 2 bytes as `digits` hexadecimal digits,
// ending just before `end`.
void PutHexBefore(wchar_t* end, std::uint64_t value, std::size_t digits) {
  for (std::size_t i = 0; i < digits; i += 2, value >>= 8) {
    end -= 2;
    std::memcpy(end, kHexPairs.digits[value & 0xFF], sizeof(kHexPairs.digits[0]));  // both digits at once
  }
}

}  // namespace

std::wstring BuildRow(const DriverChannel::DeviceMap& devices) {
  // The row's length is known, so the digits go straight into their places;
  // the commas between fields and entries are there from the start.
  if (devices.empty()) return std::wstring();
  std::wstring row(devices.size() * (kEntryLength + 1) - 1, L',');
  std::size_t start = 0;
  for (const auto& [path, device] : devices) {
    wchar_t* entry = row.data() + start;
    PutHexBefore(entry + kIdEnd, device.componentId, kIdDigits);
    PutHexBefore(entry + kReading1End, device.reading1, kReadingDigits);
    PutHexBefore(entry + kReading0End, device.reading0, kReadingDigits);
    start += kEntryLength + 1;
  }
  return row;
}

}  // namespace qorlogsvc::model::service
