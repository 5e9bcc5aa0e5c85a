#include "power_data.h"

#include <bit>
#include <cstring>

namespace {

// The little-endian value of `width` bytes from `offset`; bytes past the end of
// `bytes` count as zero.
std::uint64_t ReadLittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t position = offset + i;
    if (position >= bytes.size()) break;
    value |= static_cast<std::uint64_t>(bytes[position]) << (8 * i);
  }
  return value;
}

// The little-endian value of 8 bytes that are all there: one load on a
// little-endian machine (every sampling tick decodes two per device).
std::uint64_t LoadLittleEndian64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes, sizeof(value));
  } else {
    for (std::size_t i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return value;
}

}  // namespace

std::uint16_t DecodeCheckReply(std::span<const std::uint8_t> reply) {
  return static_cast<std::uint16_t>(ReadLittleEndian(reply, 0, kCheckReplySize));
}

std::uint32_t DecodeInformationSize(std::span<const std::uint8_t> reply) {
  return static_cast<std::uint32_t>(ReadLittleEndian(reply, 0, kInformationSizeReplySize));
}

std::optional<std::wstring> DecodeComponentName(std::span<const std::uint8_t> block) {
  if (block.size() < kComponentNameOffset) return std::nullopt;
  // Whole code units only: a last odd byte is not half a terminator.
  const std::size_t units = (block.size() - kComponentNameOffset) / 2;
  std::wstring name;
  for (std::size_t i = 0; i < units; ++i) {
    const auto unit = static_cast<std::uint16_t>(ReadLittleEndian(block, kComponentNameOffset + 2 * i, 2));
    if (unit == 0) return name;
    name.push_back(static_cast<wchar_t>(unit));
  }
  return std::nullopt;
}

PowerReading DecodeReadingBlock(std::span<const std::uint8_t> block) {
  PowerReading reading;
  if (block.size() >= 16) {
    reading.reading0 = LoadLittleEndian64(block.data());
    reading.reading1 = LoadLittleEndian64(block.data() + 8);
    return reading;
  }
  reading.reading0 = ReadLittleEndian(block, 0, 8);
  reading.reading1 = ReadLittleEndian(block, 8, 8);
  return reading;
}
