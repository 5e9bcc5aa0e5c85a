#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "driver_channel.h"
#include "power_data.h"
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

TEST(ComponentTable, MatchesOnlyExactNames) {
  const DriverChannel channel;
  std::set<int> ids;
  for (const auto& [name, id] : channel.componentIds) ids.insert(id);
  EXPECT_EQ(ids.size(), 22u);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 22);

  EXPECT_EQ(channel.LookupComponentId(L"USB_CTLR_1"), 15);
  EXPECT_EQ(channel.LookupComponentId(L"USB_CTLR"), 12);
  EXPECT_EQ(channel.LookupComponentId(L"WIFI"), 6);
  EXPECT_EQ(channel.LookupComponentId(L"STORAGE_SSD_2"), 22);
  for (const wchar_t* name : {L"wifi", L"WIFI ", L" WIFI", L"USB_CTLR_", L"USB_CTLR_12", L"USB", L"STORAGE_SSD_3", L""})
    EXPECT_EQ(channel.LookupComponentId(name), kUnknownComponentId) << std::wstring(name).size();
  EXPECT_EQ(channel.LookupComponentId(nullptr), kUnknownComponentId);
  EXPECT_EQ(channel.componentIds.size(), 22u) << "a lookup never adds a row";
}

TEST(ReplyDecoding, RepliesAreLittleEndianAndZeroPastTheirEnd) {
  std::vector<std::uint8_t> block = {1, 0, 0, 0, 0, 0, 0, 0};
  block.insert(block.end(), 8, 0xFF);
  PowerReading reading = DecodeReadingBlock(block);
  EXPECT_EQ(reading.reading0, 1u);
  EXPECT_EQ(reading.reading1, UINT64_MAX);

  const std::vector<std::uint8_t> counting = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  reading = DecodeReadingBlock(std::span(counting).first(10));
  EXPECT_EQ(reading.reading0, 0x0807060504030201u);
  EXPECT_EQ(reading.reading1, 0x0A09u);
  EXPECT_EQ(DecodeCheckReply(std::vector<std::uint8_t>{0, 1}), 256);
  EXPECT_EQ(DecodeCheckReply(std::vector<std::uint8_t>{1}), 1);
  EXPECT_EQ(DecodeInformationSize(std::vector<std::uint8_t>{0, 0, 1, 0x80}), 0x80010000u);
}

TEST(ReplyDecoding, ComponentNameIsReadUpToItsTerminatorOnly) {
  EXPECT_EQ(DecodeComponentName(Block(Units("WIFI"))), L"WIFI");
  EXPECT_EQ(DecodeComponentName(Block({0})), L"") << "a 0 at byte 72 is the empty name";
  auto trailing = Block(Units("MBB"));
  trailing.insert(trailing.end(), {'X', 0, 0x41});
  EXPECT_EQ(DecodeComponentName(trailing), L"MBB") << "bytes after the terminator, odd length";
  EXPECT_EQ(DecodeComponentName(Block({0xD83D, 0xDE00, 0}))->size(), 2u) << "one wchar_t per code unit";
}

TEST(ReplyDecoding, MalformedInformationBlocksGiveNoName) {
  EXPECT_FALSE(DecodeComponentName(std::vector<std::uint8_t>(40, 0)));
  EXPECT_FALSE(DecodeComponentName(std::vector<std::uint8_t>(72, 0))) << "ends where the name would start";
  EXPECT_FALSE(DecodeComponentName(std::vector<std::uint8_t>(73, 0))) << "half a code unit is no terminator";
  EXPECT_FALSE(DecodeComponentName(Block(Units("WIFI", false)))) << "unterminated";
  auto odd = Block(Units("WIFI", false));
  odd.push_back(0);
  EXPECT_FALSE(DecodeComponentName(odd)) << "odd length: the last 0 byte is half a unit";
  // The terminator lies just past the span the driver filled: it must not be seen.
  const auto full = Block(Units("WIFI"));
  EXPECT_FALSE(DecodeComponentName(std::span(full).first(full.size() - 1)));
}

TEST(Utf16OrdinalOrder, ComparesCodeUnitsWithoutFoldingCase) {
  const std::wstring upper = L"\\\\?\\ROOT#TARNPWR#0000";
  const std::wstring lower = L"\\\\?\\root#tarnpwr#0000";
  std::map<std::wstring, int, Utf16OrdinalLess> paths{{lower, 1}, {upper, 2}, {L"\\\\?\\ROOT#TARNPWR#000", 3}};
  ASSERT_EQ(paths.size(), 3u) << "paths differing only in case are two keys";
  auto it = paths.begin();
  EXPECT_EQ((it++)->second, 3) << "a prefix comes first";
  EXPECT_EQ((it++)->second, 2);
  EXPECT_EQ(it->second, 1);
}

TEST(Utf16OrdinalOrder, CharactersBeyondTheBmpSortAsSurrogatePairs) {
  const Utf16OrdinalLess less;
  const std::wstring emoji = L"a\U0001F600";  // D83D DE00 in UTF-16
  for (const wchar_t* high : {L"a\uE000", L"a\uFFFD", L"a\uFFFF"}) {
    EXPECT_TRUE(less(emoji, high));
    EXPECT_FALSE(less(high, emoji));
  }
  EXPECT_TRUE(less(L"a\uD7FF", emoji));
  EXPECT_TRUE(less(L"a\U00010000", L"a\U0010FFFF"));
  // Where wchar_t is 32 bits wide these are two strings with one UTF-16 form; they
  // must still be two keys. Where it is 16 bits wide they are one string.
  const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
  const std::wstring single = L"\U0001F600";
  EXPECT_EQ(!less(pair, single) && !less(single, pair), pair == single);
}

}  // namespace
