// Decoding of the power-monitor driver's replies. Every function reads only the
// bytes it is given; a byte the reply does not cover counts as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

inline constexpr std::size_t kCheckReplySize = 2;
inline constexpr std::size_t kInformationSizeReplySize = 4;
inline constexpr std::size_t kReadingReplySize = 16;

// The check value with which an interface takes part.
inline constexpr std::uint16_t kCheckAdmitted = 1;

// Where the component name starts in the information block; the bytes before it
// belong to the driver.
inline constexpr std::size_t kComponentNameOffset = 72;
// The largest information block the channel accepts. Real blocks are a few dozen
// bytes; a size reply beyond this (or of 0) is treated as invalid data, not
// allocated.
inline constexpr std::uint32_t kMaxInformationBlockSize = 64 * 1024;

struct PowerReading {
  std::uint64_t reading0 = 0;  // bytes 0 to 7
  std::uint64_t reading1 = 0;  // bytes 8 to 15
};

// Bytes 0-1, little-endian.
std::uint16_t DecodeCheckReply(std::span<const std::uint8_t> reply);

// Bytes 0-3, little-endian.
std::uint32_t DecodeInformationSize(std::span<const std::uint8_t> reply);

// The component name at byte 72: UTF-16LE code units up to the first code unit 0,
// one wchar_t per code unit. nullopt when the block holds no complete 0 code unit
// from byte 72 on (shorter than 74 bytes, or unterminated); a stray last byte of
// an odd-length block is never read as part of a code unit.
std::optional<std::wstring> DecodeComponentName(std::span<const std::uint8_t> block);

// reading0 from bytes 0-7 and reading1 from bytes 8-15, little-endian.
PowerReading DecodeReadingBlock(std::span<const std::uint8_t> block);
