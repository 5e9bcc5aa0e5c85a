#include "log_stream.h"

#include <windows.h>

#include <share.h>

#include <cstdint>

bool LogStream::Open(const std::wstring& path) {
  _file.reset(_wfsopen(path.c_str(), L"ab", _SH_DENYNO));
  return is_open();
}

bool LogStream::WriteLine(std::wstring_view text) {
  if (!is_open()) return false;
  const std::string bytes = EncodeLogLine(text);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), _file.get()) == bytes.size();
  return std::fflush(_file.get()) == 0 && written && std::ferror(_file.get()) == 0;
}

std::string EncodeLogLine(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size() + 2);
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
  bytes += "\r\n";
  return bytes;
}
