#include "log_file_manager.h"

#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>
#include <share.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <exception>
#include <stdexcept>

#include "tarn_fs/file_system.h"
#include "time_stamp.h"

namespace {

// What an existing current file holds at its end, as far as a new row cares.
enum class ExistingContent { None, CompleteLines, BrokenLine };

bool IsEmptyFile(const std::wstring& path) {
  try {
    return tarn::fs::FileSize(path) == 0;
  } catch (const std::exception&) {
    return false;
  }
}

// A file that does not exist or is empty needs the header. A file whose last
// line was cut short (a write that failed half-way, a crash) needs a line end
// first, or the next row would be glued to that fragment.
ExistingContent InspectExistingFile(const std::wstring& path) {
  if (!PathFileExistsW(path.c_str())) return ExistingContent::None;
  UniqueFile file(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
  if (file == nullptr) return ExistingContent::CompleteLines;  // unreadable: append as it is
  // Seeking to the last byte fails for an empty file (and for no other file we
  // can read); the size tells the two apart.
  if (std::fseek(file.get(), -1, SEEK_END) != 0)
    return IsEmptyFile(path) ? ExistingContent::None : ExistingContent::CompleteLines;
  const int last = std::fgetc(file.get());
  if (last == EOF) return ExistingContent::CompleteLines;
  return last == '\n' ? ExistingContent::CompleteLines : ExistingContent::BrokenLine;
}

// Ordinal order of UTF-16 code units, which is what Windows compares; wchar_t
// holds whole code points on Linux, so a character beyond the BMP is compared
// by its surrogate pair there too.
bool Utf16Less(const std::wstring& left, const std::wstring& right) {
  auto unitsOf = [](const std::wstring& text) {
    std::u16string units;
    for (wchar_t c : text) {
      const auto codePoint = static_cast<std::uint32_t>(c);
      if (codePoint > 0xFFFF) {
        units += static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10));
        units += static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
      } else {
        units += static_cast<char16_t>(codePoint);
      }
    }
    return units;
  };
  return unitsOf(left) < unitsOf(right);
}

// The process runs with the user's default C runtime locale from the first open
// on; nothing the log writes depends on it (LogStream produces the bytes). It
// is set once: the result would be the same every time, and changing the
// process-wide locale while other threads format text is a race on some
// runtimes.
void UseUserDefaultLocale() {
  static const bool done = [] {
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_TIME, "");
    return true;
  }();
  (void)done;
}

}  // namespace

LogFileManager::LogFileManager() {
  _folder = CommonAppDataFolder() + _subFolder;
  try {
    tarn::fs::CreateDirectories(_folder);
  } catch (const std::exception&) {
    throw std::runtime_error("cannot be created");
  }
}

LogFileManager::~LogFileManager() { Close(); }

std::wstring LogFileManager::CommonAppDataFolder() {
  wchar_t path[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE))
    throw std::runtime_error("Get ProgramData path is failed.");
  return path;
}

void LogFileManager::Configure(std::wstring kind, std::wstring header) {
  _kind = std::move(kind);
  _header = std::move(header);
  _filePath = _folder + L"\\" + _kind + _extension;
  _backupPrefix = _kind + _separator;
}

void LogFileManager::Open() {
  UseUserDefaultLocale();
  if (_stream.is_open()) return;

  const ExistingContent existing = InspectExistingFile(_filePath);
  if (!_stream.Open(_filePath)) throw std::runtime_error("Open log file failed.");
  if (existing == ExistingContent::None) {
    WriteLineOrClose({_header});
  } else if (existing == ExistingContent::BrokenLine) {
    WriteLineOrClose({});
  }
}

void LogFileManager::WriteRow(std::wstring row) {
  Open();
  if (!_stream.is_open()) return;  // the header could not be written: this row is lost as well
  const std::wstring stamp = FormatLocalTimeStamp(std::time(nullptr));
  WriteLineOrClose({stamp, L",", row});
}

void LogFileManager::WriteLineOrClose(std::initializer_list<std::wstring_view> parts) {
  // A stream that failed once stays failed; closing it lets the next row start
  // afresh once the disk has recovered.
  if (!_stream.WriteLine(parts)) _stream.Close();
}

void LogFileManager::RotateIfNeeded() {
  if (!PathFileExistsW(_filePath.c_str())) return;
  std::uint64_t size = 0;
  try {
    size = tarn::fs::FileSize(_filePath);
  } catch (const std::exception&) {
    return;
  }
  if (size <= _fileSizeByte) return;
  _stream.Close();
  MoveToBackup(_filePath, _folder);
  RemoveOldBackups(_folder);
  Open();
}

void LogFileManager::MoveToBackup(std::wstring currentFilePath, std::wstring folder) {
  if (!PathFileExistsW(currentFilePath.c_str()) || _stream.is_open()) return;
  const std::wstring backupPath =
      folder + L"\\" + _backupPrefix + FormatLocalTimeStamp(std::time(nullptr)) + _extension;
  // A backup of the same name (two rotations in one second) is replaced. A
  // failure leaves the file where it is, to be appended to and tried again.
  MoveFileExW(currentFilePath.c_str(), backupPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

void LogFileManager::RemoveOldBackups(std::wstring folder) {
  // Only this log's backups are listed, and only they become paths: the folder
  // may hold any number of other files.
  std::vector<std::wstring> names;
  if (!tarn::fs::ListFolderNamesWithPrefix(folder, _backupPrefix, names)) return;
  std::erase_if(names, [&](const std::wstring& name) { return !name.starts_with(_backupPrefix); });
  if (names.size() <= _fileBackupNum) return;

  // The names differ only in their time stamps, so the text order is the age
  // order; all lie in one folder, so their order is that of their full paths.
  std::sort(names.begin(), names.end(), Utf16Less);
  const std::size_t surplus = names.size() - _fileBackupNum;
  for (std::size_t i = 0; i < surplus; ++i) {
    try {
      tarn::fs::Remove(folder + L"\\" + names[i]);
    } catch (const std::exception&) {
      // Left for a later clean-up; the others are still removed.
    }
  }
}

bool LogFileManager::ListFolder(std::vector<std::wstring>& list, std::wstring folder) {
  std::vector<std::wstring> names;
  const bool complete = tarn::fs::ListFolderNames(folder, names);
  for (const auto& name : names) list.push_back(folder + L"\\" + name);
  return complete;
}

void LogFileManager::Close() { _stream.Close(); }
