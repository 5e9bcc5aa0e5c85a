#include "utf16_order.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

// Walks a wide string as a sequence of UTF-16 code units.
class Utf16Cursor {
 public:
  explicit Utf16Cursor(std::wstring_view text) noexcept : _text(text) {}

  bool AtEnd() const noexcept { return _pendingLow == 0 && _index == _text.size(); }

  std::uint16_t Next() noexcept {
    if (_pendingLow != 0) {
      std::uint16_t low = _pendingLow;
      _pendingLow = 0;
      return low;
    }
    const std::uint32_t value = static_cast<std::uint32_t>(_text[_index++]);
    return Split(value);
  }

 private:
  // Returns the first code unit of `value` and keeps the second, if any.
  std::uint16_t Split(std::uint32_t value) noexcept {
    if (value <= 0xFFFF) return static_cast<std::uint16_t>(value);
    if (value > 0x10FFFF) {
      // Not a character at all: place it after every real one.
      _pendingLow = 0xFFFF;
      return 0xFFFF;
    }
    const std::uint32_t offset = value - 0x10000;
    _pendingLow = static_cast<std::uint16_t>(0xDC00 + (offset & 0x3FF));
    return static_cast<std::uint16_t>(0xD800 + (offset >> 10));
  }

  std::wstring_view _text;
  std::size_t _index = 0;
  std::uint16_t _pendingLow = 0;  // a low surrogate is never 0
};

int CompareRawValues(std::wstring_view left, std::wstring_view right) noexcept {
  const auto raw = [](wchar_t c) { return static_cast<std::uint32_t>(c); };
  const std::size_t common = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (raw(left[i]) != raw(right[i])) return raw(left[i]) < raw(right[i]) ? -1 : 1;
  }
  if (left.size() == right.size()) return 0;
  return left.size() < right.size() ? -1 : 1;
}

}  // namespace

int CompareUtf16Ordinal(std::wstring_view left, std::wstring_view right) noexcept {
  Utf16Cursor a(left);
  Utf16Cursor b(right);
  while (!a.AtEnd() && !b.AtEnd()) {
    const std::uint16_t unitA = a.Next();
    const std::uint16_t unitB = b.Next();
    if (unitA != unitB) return unitA < unitB ? -1 : 1;
  }
  if (!a.AtEnd()) return 1;
  if (!b.AtEnd()) return -1;
  return CompareRawValues(left, right);
}

bool Utf16OrdinalLess::operator()(std::wstring_view left, std::wstring_view right) const noexcept {
  return CompareUtf16Ordinal(left, right) < 0;
}
