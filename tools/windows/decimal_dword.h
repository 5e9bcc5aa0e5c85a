// The one reading of a setting given on a command line (tarn-setup's numbers,
// tarn.msi's public properties): decimal digits only, nothing before or after,
// at most 4294967295, so that every REG_DWORD the service takes can be given
// and nothing else passes: signs, spaces, trailing text and overflow are no
// number, so a typo never becomes 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarn {

inline std::optional<std::uint32_t> ParseDecimalDword(std::wstring_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const wchar_t digit : text) {
    if (digit < L'0' || digit > L'9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(digit - L'0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace tarn
