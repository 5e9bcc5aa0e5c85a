#include "log_stream.h"

#include <windows.h>

#include <share.h>

#include <cstdint>

bool LogStream::Open(const std::wstring& path) {
  _file.reset(_wfsopen(path.c_str(), L"ab", _SH_DENYNO));
  return is_open();
}

bool LogStream::WriteLine(std::initializer_list<std::wstring_view> parts) {
  if (!is_open()) return false;
  _bytes.clear();
  for (std::wstring_view part : parts) AppendLogText(_bytes, part);
  _bytes += "\r\n";
  // The whole line in one call, and the flush turns it into one write to the file.
  const bool written = std::fwrite(_bytes.data(), 1, _bytes.size(), _file.get()) == _bytes.size();
  return std::fflush(_file.get()) == 0 && written && std::ferror(_file.get()) == 0;
}

void AppendLogText(std::string& bytes, std::wstring_view text) {
  // Rows and time stamps are plain ASCII. One plain loop that copies and looks
  // at once is one the compiler does many characters at a time in; the careful
  // way, for text that needs it, starts over from the same place.
  const wchar_t* in = text.data();
  const std::size_t count = text.size();
  const std::size_t start = bytes.size();
  bytes.resize(start + count);
  char* __restrict out = bytes.data() + start;
  std::uint32_t special = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto codePoint = static_cast<std::uint32_t>(in[i]);
    special |= (codePoint >> 8) | static_cast<std::uint32_t>(codePoint == L'\n');
    out[i] = static_cast<char>(codePoint);
  }
  if (special == 0) return;
  bytes.resize(start);
  for (wchar_t c : text) {
    const auto codePoint = static_cast<std::uint32_t>(c);
    if (codePoint == L'\n') {
      bytes += "\r\n";
    } else if (codePoint <= 0xFF) {
      bytes += static_cast<char>(codePoint);
    } else {
      bytes += codePoint > 0xFFFF ? "??" : "?";
    }
  }
}

std::string EncodeLogLine(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size() + 2);
  AppendLogText(bytes, text);
  bytes += "\r\n";
  return bytes;
}
