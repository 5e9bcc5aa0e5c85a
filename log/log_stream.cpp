#include "log_stream.h"

#include <windows.h>

#include <io.h>
#include <share.h>

#include <cstdint>

namespace {

// Read back in pieces of this size, from the end, when looking for the last line end.
constexpr std::size_t kTailChunk = 4096;

}  // namespace

void LogStream::Adopt(UniqueFile file, int descriptor, std::uint64_t size) {
  _file = std::move(file);
  _descriptor = descriptor;
  _size = size;
}

bool LogStream::CutBackTo(std::uint64_t size) {
  if (_chsize_s(_descriptor, static_cast<long long>(size)) != 0) return false;
  _size = size;
  return std::fseek(_file.get(), 0, SEEK_END) == 0;
}

bool LogStream::WriteLine(std::initializer_list<std::wstring_view> parts) {
  if (!is_open()) return false;
  _bytes.clear();
  for (std::wstring_view part : parts) AppendLogText(_bytes, part);
  _bytes += "\r\n";
  // The whole line in one call, and the flush turns it into one write to the file.
  const bool written = std::fwrite(_bytes.data(), 1, _bytes.size(), _file.get()) == _bytes.size();
  if (std::fflush(_file.get()) == 0 && written && std::ferror(_file.get()) == 0) {
    _size += _bytes.size();
    return true;
  }
  // The runtime has dropped what it could not write; what reached the file of
  // this line goes too, so the next line starts on a line of its own.
  std::clearerr(_file.get());
  CutBackTo(_size);
  return false;
}

bool LogStream::CutBackTornLine() {
  std::string chunk;
  std::uint64_t end = _size;
  while (end > 0) {
    const std::uint64_t start = end > kTailChunk ? end - kTailChunk : 0;
    // One byte past the piece, so that a CR LF across two pieces is seen.
    const std::uint64_t readEnd = end < _size ? end + 1 : end;
    chunk.resize(static_cast<std::size_t>(readEnd - start));
    if (std::fseek(_file.get(), static_cast<long>(start), SEEK_SET) != 0 ||
        std::fread(chunk.data(), 1, chunk.size(), _file.get()) != chunk.size())
      return false;
    if (const std::size_t found = chunk.rfind("\r\n"); found != std::string::npos) {
      const std::uint64_t kept = start + found + 2;
      return kept == _size ? std::fseek(_file.get(), 0, SEEK_END) == 0 : CutBackTo(kept);
    }
    end = start;
  }
  return CutBackTo(0);
}

bool LogStream::BeginsWith(std::string_view bytes) {
  if (_size < bytes.size()) return false;
  std::string start(bytes.size(), '\0');
  const bool read = std::fseek(_file.get(), 0, SEEK_SET) == 0 &&
                    std::fread(start.data(), 1, start.size(), _file.get()) == start.size();
  std::fseek(_file.get(), 0, SEEK_END);
  return read && start == bytes;
}

bool LogStream::Commit() { return is_open() && std::fflush(_file.get()) == 0 && _commit(_descriptor) == 0; }

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
