// Ordinal ordering of wide strings by their UTF-16 code units.
//
// Device interface paths and component names are ordered as Windows orders them:
// code unit by code unit, each as an unsigned 16-bit value, and a string that is
// a prefix of another comes first. Where wchar_t is 32 bits wide, a character
// beyond U+FFFF is compared as the surrogate pair it would be in UTF-16, so it
// sorts below U+E000..U+FFFF exactly as it does on Windows.
#pragma once

#include <string_view>

struct Utf16OrdinalLess {
  using is_transparent = void;

  bool operator()(std::wstring_view left, std::wstring_view right) const noexcept;
};

// <0, 0 or >0 as `left` sorts before, equal to or after `right`. Strings whose
// UTF-16 forms are equal but whose wchar_t values differ (a 32-bit string holding
// a surrogate pair versus the same character in one unit) are ordered by their
// raw values, so that distinct strings are never equivalent map keys.
int CompareUtf16Ordinal(std::wstring_view left, std::wstring_view right) noexcept;
