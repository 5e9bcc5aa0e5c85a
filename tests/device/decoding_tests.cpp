#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "component_table.h"
#include "driver_channel.h"
#include "power_data.h"
#include "unique_handles.h"
#include "utf16_order.h"

namespace {

// An information block: 72 driver bytes, then the given UTF-16LE code units.
std::vector<std::uint8_t> Block(const std::vector<std::uint16_t>& units) {
  std::vector<std::uint8_t> block(72, 0xA5);
  for (std::uint16_t unit : units) {
    block.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    block.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  return block;
}

std::vector<std::uint16_t> Units(const std::string& ascii, bool terminated = true) {
  std::vector<std::uint16_t> units(ascii.begin(), ascii.end());
  if (terminated) units.push_back(0);
  return units;
}

TEST(ComponentTable, HoldsTwentyTwoDistinctIdsOneToTwentyTwo) {
  const ComponentIdMap table = BuildComponentTable();
  std::set<int> ids;
  for (const auto& [name, id] : table) ids.insert(id);
  ASSERT_EQ(table.size(), 22u);
  EXPECT_EQ(ids.size(), 22u);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 22);
}

TEST(ComponentTable, MatchesOnlyExactNames) {
  const DriverChannel channel;
  EXPECT_EQ(channel.LookupComponentId(L"USB_CTLR_1"), 15);
  EXPECT_EQ(channel.LookupComponentId(L"USB_CTLR"), 12);
  EXPECT_EQ(channel.LookupComponentId(L"USB_CTLR_2"), 16);
  EXPECT_EQ(channel.LookupComponentId(L"WIFI"), 6);
  EXPECT_EQ(channel.LookupComponentId(L"BATTERY"), 5);
  EXPECT_EQ(channel.LookupComponentId(L"DISPLAY_BACKLIGHT"), 10);
  EXPECT_EQ(channel.LookupComponentId(L"STORAGE_SSD_2"), 22);
  for (const wchar_t* name : {L"wifi", L"WIFI ", L" WIFI", L"Wifi", L"USB_CTLR_", L"USB_CTLR_12", L"USB", L"USB_X",
                              L"STORAGE_SSD_3", L"POWER", L""}) {
    EXPECT_EQ(channel.LookupComponentId(name), kUnknownComponentId) << "name of length " << std::wcslen(name);
  }
  EXPECT_EQ(channel.LookupComponentId(nullptr), kUnknownComponentId);
  EXPECT_EQ(channel.componentIds.size(), 22u) << "a lookup never adds a row";
  EXPECT_TRUE(channel.devices.empty());
}

TEST(ReplyDecoding, ReadingBlockIsTwoLittleEndianValues) {
  std::vector<std::uint8_t> block = {1, 0, 0, 0, 0, 0, 0, 0};
  block.insert(block.end(), 8, 0xFF);
  PowerReading reading = DecodeReadingBlock(block);
  EXPECT_EQ(reading.reading0, 1u);
  EXPECT_EQ(reading.reading1, UINT64_MAX);

  const std::vector<std::uint8_t> counting = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  reading = DecodeReadingBlock(counting);
  EXPECT_EQ(reading.reading0, 0x0807060504030201u);
  EXPECT_EQ(reading.reading1, 0x100F0E0D0C0B0A09u);

  // A reply shorter than the block: what it does not cover is zero.
  reading = DecodeReadingBlock(std::span(counting).first(10));
  EXPECT_EQ(reading.reading0, 0x0807060504030201u);
  EXPECT_EQ(reading.reading1, 0x0A09u);
  reading = DecodeReadingBlock({});
  EXPECT_EQ(reading.reading0, 0u);
  EXPECT_EQ(reading.reading1, 0u);
}

TEST(ReplyDecoding, CheckAndSizeRepliesAreLittleEndian) {
  EXPECT_EQ(DecodeCheckReply(std::vector<std::uint8_t>{1, 0}), 1);
  EXPECT_EQ(DecodeCheckReply(std::vector<std::uint8_t>{0, 1}), 256);
  EXPECT_EQ(DecodeCheckReply(std::vector<std::uint8_t>{1}), 1);
  EXPECT_EQ(DecodeCheckReply({}), 0);
  EXPECT_EQ(DecodeInformationSize(std::vector<std::uint8_t>{0x4A, 0, 0, 0}), 74u);
  EXPECT_EQ(DecodeInformationSize(std::vector<std::uint8_t>{0, 0, 1, 0x80}), 0x80010000u);
  EXPECT_EQ(DecodeInformationSize(std::vector<std::uint8_t>{0x4A, 0}), 74u);
}

TEST(ReplyDecoding, ComponentNameIsReadUpToItsTerminator) {
  EXPECT_EQ(DecodeComponentName(Block(Units("WIFI"))), L"WIFI");
  EXPECT_EQ(DecodeComponentName(Block({0})), L"") << "a 0 at byte 72 is the empty name";

  auto trailing = Block(Units("MBB"));
  trailing.insert(trailing.end(), {'X', 0, 'Y', 0});
  EXPECT_EQ(DecodeComponentName(trailing), L"MBB") << "bytes after the terminator are not part of the name";

  auto odd = Block(Units("BATTERY"));
  odd.push_back(0x41);
  EXPECT_EQ(DecodeComponentName(odd), L"BATTERY") << "a stray last byte does not spoil a terminated name";

  const auto wide = DecodeComponentName(Block({0x00E9, 0xD83D, 0xDE00, 0}));
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->size(), 3u) << "one wchar_t per code unit";
  EXPECT_EQ(static_cast<std::uint32_t>((*wide)[1]), 0xD83Du);
}

TEST(ReplyDecoding, MalformedInformationBlocksGiveNoName) {
  EXPECT_FALSE(DecodeComponentName({}));
  EXPECT_FALSE(DecodeComponentName(std::vector<std::uint8_t>(40, 0)));
  EXPECT_FALSE(DecodeComponentName(std::vector<std::uint8_t>(72, 0))) << "ends where the name would start";
  EXPECT_FALSE(DecodeComponentName(std::vector<std::uint8_t>(73, 0))) << "half a code unit is no terminator";
  EXPECT_FALSE(DecodeComponentName(Block(Units("WIFI", false)))) << "unterminated";

  auto oddUnterminated = Block(Units("WIFI", false));
  oddUnterminated.push_back(0);
  EXPECT_FALSE(DecodeComponentName(oddUnterminated)) << "odd length, the last 0 byte is half a unit";

  // The terminator lies just past the span: it must not be seen.
  const auto full = Block(Units("WIFI"));
  EXPECT_FALSE(DecodeComponentName(std::span(full).first(full.size() - 2)));
  EXPECT_FALSE(DecodeComponentName(std::span(full).first(full.size() - 1)));
}

// The UTF-16 form of a wide string, however wide wchar_t is.
std::u16string ToUtf16(const std::wstring& text) {
  std::u16string out;
  for (wchar_t c : text) {
    auto value = static_cast<std::uint32_t>(c);
    if (value > 0xFFFF) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
  }
  return out;
}

TEST(Utf16OrdinalOrder, ComparesCodeUnitsWithoutFoldingCase) {
  const Utf16OrdinalLess less;
  const std::wstring upper = L"\\\\?\\ROOT#TARNPWR#0000";
  const std::wstring lower = L"\\\\?\\root#tarnpwr#0000";
  EXPECT_TRUE(less(upper, lower));
  EXPECT_FALSE(less(lower, upper));
  EXPECT_TRUE(less(L"abc", L"abcd")) << "a prefix comes first";
  EXPECT_FALSE(less(L"abc", L"abc"));

  std::map<std::wstring, int, Utf16OrdinalLess> paths{{lower, 1}, {upper, 2}, {L"\\\\?\\root#a", 3}};
  ASSERT_EQ(paths.size(), 3u) << "paths differing only in case are two keys";
  EXPECT_EQ(paths.begin()->first, upper);
}

TEST(Utf16OrdinalOrder, CharactersBeyondTheBmpSortAsSurrogatePairs) {
  const Utf16OrdinalLess less;
  const std::wstring emoji = L"a\U0001F600";
  for (const std::wstring& high : {std::wstring(L"a\uE000"), std::wstring(L"a\uFFFD"), std::wstring(L"a\uFFFF")}) {
    EXPECT_TRUE(less(emoji, high)) << "U+1F600 is D83D DE00 in UTF-16";
    EXPECT_FALSE(less(high, emoji));
  }
  EXPECT_TRUE(less(L"a\uD7FF", emoji));
  EXPECT_TRUE(less(L"a\U00010000", L"a\U0010FFFF"));

  // Against a plain comparison of the UTF-16 forms, over random strings drawn from
  // the interesting ranges.
  std::mt19937 random(20240615);
  const std::vector<std::wstring> pool = {L"A",      L"a",      L"\x7F",        L"\uD7FF",      L"\uE000",
                                          L"\uFFFD", L"\uFFFF", L"\U00010000", L"\U0001F600", L"\U0010FFFF"};
  auto randomText = [&] {
    std::wstring text;
    for (auto n = random() % 4; n > 0; --n) text += pool[random() % pool.size()];
    return text;
  };
  for (int i = 0; i < 2000; ++i) {
    const std::wstring a = randomText();
    const std::wstring b = randomText();
    EXPECT_EQ(less(a, b), ToUtf16(a) < ToUtf16(b));
  }
}

TEST(Utf16OrdinalOrder, DistinctStringsAreNeverEquivalent) {
  const Utf16OrdinalLess less;
  // Where wchar_t is 32 bits wide these are two different strings with one UTF-16
  // form; where it is 16 bits wide they are the same string.
  const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  const std::wstring single = L"\U0001F600";
  const bool equivalent = !less(pair, single) && !less(single, pair);
  EXPECT_EQ(equivalent, pair == single);
}

TEST(UniqueDeviceHandle, ClosesExactlyOnceAndKeepsTheLastError) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    UniqueDeviceHandle first(raw);
    UniqueDeviceHandle second(std::move(first));
    EXPECT_FALSE(first.is_valid());
    EXPECT_EQ(first.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(second.get(), raw);
    SetLastError(ERROR_GEN_FAILURE);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE)) << "closing must not overwrite the last error";
  EXPECT_EQ(WaitForSingleObject(raw, 0), WAIT_FAILED) << "the handle was closed when its owner went away";

  HANDLE kept = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  UniqueDeviceHandle owner(kept);
  HANDLE released = owner.release();
  EXPECT_FALSE(owner.is_valid());
  EXPECT_EQ(WaitForSingleObject(released, 0), WAIT_OBJECT_0) << "release gives the handle up without closing it";
  owner.reset(released);
  owner.reset();
  EXPECT_EQ(WaitForSingleObject(released, 0), WAIT_FAILED);
}

}  // namespace
