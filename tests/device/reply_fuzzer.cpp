// Feeds arbitrary driver replies to the decoding and checks what must always hold.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "component_table.h"
#include "power_data.h"
#include "utf16_order.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// The UTF-16 form of a wide string, however wide wchar_t is; a value beyond
// U+10FFFF becomes FFFF FFFF.
std::u16string ToUtf16(const std::wstring& text) {
  std::u16string out;
  for (wchar_t c : text) {
    auto value = static_cast<std::uint32_t>(c);
    if (value <= 0xFFFF) {
      out.push_back(static_cast<char16_t>(value));
    } else if (value <= 0x10FFFF) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      out.append(2, u'\xFFFF');
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ComponentIdMap table = BuildComponentTable();
  const std::span<const std::uint8_t> bytes(data, size);

  const auto name = DecodeComponentName(bytes);
  if (name) {
    Require(size >= kComponentNameOffset + 2 * (name->size() + 1));
    for (std::size_t i = 0; i < name->size(); ++i) {
      const std::size_t at = kComponentNameOffset + 2 * i;
      Require((*name)[i] != 0);
      Require(static_cast<std::uint32_t>((*name)[i]) == static_cast<std::uint32_t>(data[at] | (data[at + 1] << 8)));
    }
    const std::uint8_t id = LookupComponentId(table, name->c_str());
    Require(id == kUnknownComponentId || (id >= 1 && id <= 22));
    Require(CompareUtf16Ordinal(*name, *name) == 0);
  } else {
    // No name means no whole 0 code unit from byte 72 on.
    for (std::size_t at = kComponentNameOffset; at + 1 < size; at += 2) Require(data[at] != 0 || data[at + 1] != 0);
  }

  const PowerReading reading = DecodeReadingBlock(bytes);
  std::uint64_t expected0 = 0;
  std::uint64_t expected1 = 0;
  for (std::size_t i = 0; i < 8 && i < size; ++i) expected0 |= static_cast<std::uint64_t>(data[i]) << (8 * i);
  for (std::size_t i = 8; i < 16 && i < size; ++i) expected1 |= static_cast<std::uint64_t>(data[i]) << (8 * (i - 8));
  Require(reading.reading0 == expected0 && reading.reading1 == expected1);
  Require(DecodeCheckReply(bytes) == static_cast<std::uint16_t>(expected0));
  Require(DecodeInformationSize(bytes) == static_cast<std::uint32_t>(expected0));

  // The input as two wide strings of up-to-21-bit characters: the order must agree
  // with a plain comparison of their UTF-16 forms, and be antisymmetric.
  std::wstring left, right;
  for (std::size_t i = 0; i + 2 < size; i += 3) {
    const auto value = static_cast<std::uint32_t>(data[i] | (data[i + 1] << 8) | ((data[i + 2] & 0x1F) << 16));
    (i < size / 2 ? left : right).push_back(static_cast<wchar_t>(value));
  }
  const int forward = CompareUtf16Ordinal(left, right);
  const int backward = CompareUtf16Ordinal(right, left);
  Require((forward < 0) == (backward > 0) && (forward == 0) == (left == right));
  const std::u16string left16 = ToUtf16(left);
  const std::u16string right16 = ToUtf16(right);
  if (left16 != right16) Require((forward < 0) == (left16 < right16));
  return 0;
}
