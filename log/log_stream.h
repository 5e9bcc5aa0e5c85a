// The open current file of a log: a C runtime stream owned for its whole life
// (in the manner of spdlog's file_helper), written in binary mode so that the
// bytes on disk are the same with every runtime:
//   - one byte per character: a UTF-16 code unit up to U+00FF is that byte;
//     anything above is written as '?' (one per UTF-16 code unit, so a
//     character outside the BMP is "??" on every platform) and never in
//     another encoding;
//   - no byte-order mark;
//   - CR LF after every line, and a line feed inside a line becomes CR LF as a
//     text-mode stream would write it.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

// Owns a C runtime stream; fclose releases it.
struct FileCloser {
  void operator()(FILE* file) const noexcept { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

class LogStream {
 public:
  // Opens the file for appending with deny-none sharing, creating it when missing.
  bool Open(const std::wstring& path);
  // Takes over a stream opened elsewhere (see OpenLogFileSafely).
  void Adopt(UniqueFile file) { _file = std::move(file); }
  bool is_open() const { return _file != nullptr; }

  // Writes the text and a line end, and flushes. False when any of it failed.
  bool WriteLine(std::wstring_view text) { return WriteLine(std::initializer_list<std::wstring_view>{text}); }

  // Writes the parts as one line with one write to the file, and flushes.
  bool WriteLine(std::initializer_list<std::wstring_view> parts);

  // The bytes of the last line written, line end included.
  std::size_t LastLineBytes() const { return _bytes.size(); }

  // A failed close changes nothing: the file is released either way.
  void Close() { _file.reset(); }

 private:
  UniqueFile _file;
  std::string _bytes;  // the line being written; kept, so that a row needs no new buffer
};

// The bytes WriteLine writes for a text, line end included.
std::string EncodeLogLine(std::wstring_view text);

// Appends the bytes of a text, without a line end, to `bytes`.
void AppendLogText(std::string& bytes, std::wstring_view text);
