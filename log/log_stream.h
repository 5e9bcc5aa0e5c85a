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

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "unique_handle.h"

// Owns a C runtime stream; fclose releases it.
using UniqueFile = tarn::UniqueStdioFile;

// A line is never left part-written in the file: when a write fails or ends
// short (a full disk), the file is cut back to its size before that line.
class LogStream {
 public:
  // Takes over a stream opened elsewhere (see OpenLogFileSafely), its runtime
  // descriptor and the file's size.
  void Adopt(UniqueFile file, int descriptor, std::uint64_t size);
  bool is_open() const { return _file != nullptr; }

  // The file's size as this stream knows it; a caller that has just looked at
  // the file (another program may append too) tells it what it saw.
  std::uint64_t Size() const { return _size; }
  void KnowSize(std::uint64_t size) { _size = size; }

  // Cuts a last line without CR LF (a write cut short, a crash) back to the
  // last CR LF. False when the file could not be read or cut.
  bool CutBackTornLine();

  // Whether the file begins with exactly these bytes.
  bool BeginsWith(std::string_view bytes);

  // Writes the text and a line end, and flushes. False when any of it failed.
  bool WriteLine(std::wstring_view text) { return WriteLine(std::initializer_list<std::wstring_view>{text}); }

  // Writes the parts as one line with one write to the file, and flushes. When
  // that fails, the file is cut back to its size before the line.
  bool WriteLine(std::initializer_list<std::wstring_view> parts);

  // Asks the system to write the file's data to stable storage
  // (FlushFileBuffers on Windows). False when it could not.
  bool Commit();

  // A failed close changes nothing: the file is released either way.
  void Close() { _file.reset(); }

 private:
  bool CutBackTo(std::uint64_t size);

  UniqueFile _file;
  int _descriptor = -1;  // the runtime's descriptor under _file, owned by it
  std::uint64_t _size = 0;
  std::string _bytes;  // the line being written; kept, so that a row needs no new buffer
};

// The bytes WriteLine writes for a text, line end included.
std::string EncodeLogLine(std::wstring_view text);

// Appends the bytes of a text, without a line end, to `bytes`.
void AppendLogText(std::string& bytes, std::wstring_view text);
