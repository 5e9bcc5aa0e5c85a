#include "log_file_manager.h"

#include <windows.h>

#include <shlobj.h>
#include <shlwapi.h>
#include <share.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <utility>

#include "debug_trace.h"
#include "link_safety.h"
#include "log_error.h"
#include "tarn_fs/file_system.h"
#include "time_stamp.h"
#include "utf16_order.h"

namespace {

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
  // Made, or repaired when it exists with another owner, a looser access list or a link in its place.
  if (!SecureFolderChain(AppDataFolder(), _subFolder, FolderChainUse::Start))
    throw LogError::WithLastError("cannot be created", ERROR_CANNOT_MAKE);
}

std::wstring LogFileManager::AppDataFolder() const { return _folder.substr(0, _folder.size() - _subFolder.size()); }

LogFileManager::~LogFileManager() { Close(); }

std::wstring LogFileManager::CommonAppDataFolder() {
  wchar_t path[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE))
    throw LogError::WithLastError("Get ProgramData path is failed.", ERROR_PATH_NOT_FOUND);
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

  if (!SecureFolderChain(AppDataFolder(), _subFolder, FolderChainUse::Reuse))
    throw LogError::WithLastError("Open log file failed.", ERROR_PATH_NOT_FOUND);
  AdoptCurrentFile();
  if (!_stream.is_open()) throw LogError::WithLastError("Open log file failed.", ERROR_OPEN_FAILED);
  if (_stream.Size() == 0) WriteLineOrClose({_header});
}

// Opens the current file and makes it one the next row may follow: a last line
// cut short (a failed write, a crash, a power loss) is cut back to the last
// CR LF, and a file that does not begin with this log's header is set aside as
// a backup and started anew, so no reader takes its lines for this format.
void LogFileManager::AdoptCurrentFile() {
  for (bool setAside = false;; setAside = true) {
    auto opened = OpenLogFileSafely(_filePath, _discardOnNextOpen);
    if (!opened) return;
    _discardOnNextOpen = false;
    _openFile = opened->facts;
    _stream.Adopt(std::move(opened->file), opened->descriptor, opened->facts.size);
    if (_stream.Size() == 0) return;
    if (!_stream.CutBackTornLine()) DebugTrace("%s: its last line could not be repaired", ToNarrow(_filePath).c_str());
    if (_stream.Size() == 0 || _stream.BeginsWith(EncodeLogLine(_header))) return;
    if (setAside || !SetAsideForeignFile()) {
      // Kept and appended to rather than lost; the trace says so.
      DebugTrace("%s does not begin with the header and could not be set aside", ToNarrow(_filePath).c_str());
      return;
    }
  }
}

bool LogFileManager::SetAsideForeignFile() {
  DebugTrace("%s does not begin with the header: kept as a backup, a new file started", ToNarrow(_filePath).c_str());
  CommitAndClose();
  MoveToBackup(_filePath, _folder);
  try {
    RemoveOldBackups(_folder);
  } catch (const std::exception&) {
    // The surplus goes at the next rotation's clean-up.
  }
  return !QueryFileFacts(_filePath);
}

std::optional<FileFacts> LogFileManager::OpenFileUnderItsName() const {
  auto facts = QueryFileFacts(_filePath);
  if (!facts || !facts->IsPlainFile() || !facts->IsSameFileAs(_openFile)) return std::nullopt;
  return facts;
}

void LogFileManager::WriteRow(std::wstring row) {
  _sizeAfterLastRow.reset();
  std::optional<FileFacts> current;
  if (_stream.is_open()) {
    // Deleted or replaced while open (possible where open files can be
    // deleted): rows written to the old file would be lost, so the name is
    // made anew.
    current = OpenFileUnderItsName();
    if (!current) {
      DebugTrace("%s was deleted or replaced: opened anew", ToNarrow(_filePath).c_str());
      _stream.Close();
    } else {
      _stream.KnowSize(current->size);  // another program may have appended
    }
  }
  Open();
  if (!_stream.is_open()) return;  // the header could not be written: this row is lost as well
  const std::wstring stamp = FormatLocalTimeStamp(std::time(nullptr));
  WriteLineOrClose({stamp, L",", row});
  if (!_stream.is_open()) return;
  CommitIfDue();
  if (current) _sizeAfterLastRow = _stream.Size();
}

// Rows reach stable storage at most once a second: with the usual periods of a
// minute and more that is every row, while a burst of rows costs one flush per
// second rather than one each.
void LogFileManager::CommitIfDue() {
  const auto now = std::chrono::steady_clock::now();
  if (_lastCommit && now - *_lastCommit < kRowCommitInterval) return;
  _lastCommit = now;
  if (!_stream.Commit()) DebugTrace("%s could not be flushed to the disk", ToNarrow(_filePath).c_str());
}

// A file that is about to become a backup, to be handed over or to be left
// closed is on the disk first: after a power loss the collection product
// never finds an empty or short file under a name it has already taken.
void LogFileManager::CommitAndClose() {
  if (_stream.is_open() && !_stream.Commit())
    DebugTrace("%s could not be flushed to the disk", ToNarrow(_filePath).c_str());
  _stream.Close();
  _lastCommit.reset();
}

void LogFileManager::WriteLineOrClose(std::initializer_list<std::wstring_view> parts) {
  // The stream has cut the file back to where the line began; closing it lets
  // the next row start afresh once the disk has recovered.
  if (!_stream.WriteLine(parts)) {
    DebugTrace("%s: a line could not be written and was taken back", ToNarrow(_filePath).c_str());
    _stream.Close();
  }
}

bool LogFileManager::CurrentFileIsFull() {
  if (const auto known = std::exchange(_sizeAfterLastRow, std::nullopt)) return *known > _fileSizeByte;
  // The size of the name itself: a link planted there is no file of this log.
  const auto current = QueryFileFacts(_filePath);
  return current && !current->IsFolder() && current->size > _fileSizeByte;
}

void LogFileManager::RotateIfNeeded() {
  if (!CurrentFileIsFull()) return;
  // A full file that is not open (the start's, left from before) is repaired
  // first: a power cut may have left its end torn or read back as zeros, and
  // a backup is never repaired later.
  if (!_stream.is_open()) {
    Open();
    if (!CurrentFileIsFull()) return;
  }
  CommitAndClose();
  // Renames and deletions only in a folder chain without links; Open then reports what could not be made safe.
  if (SecureFolderChain(AppDataFolder(), _subFolder, FolderChainUse::Reuse)) {
    MoveToBackup(_filePath, _folder);
    RemoveOldBackups(_folder);
  }
  Open();
}

void LogFileManager::MoveToBackup(std::wstring currentFilePath, std::wstring folder) {
  if (_stream.is_open()) return;
  const auto current = QueryFileFacts(currentFilePath);
  if (!current) return;
  if (!current->IsPlainFile()) {
    // Moving a link (or a second name of a file) would copy what it leads to
    // where the service's backups go; only the name goes.
    DebugTrace("%s is no plain file of its own: removed, not moved", ToNarrow(currentFilePath).c_str());
    RemoveName(currentFilePath, *current);
    return;
  }
  const std::wstring backupPath =
      folder + L"\\" + _backupPrefix + FormatLocalTimeStamp(std::time(nullptr)) + _extension;
  // A name already there (the backup of a rotation in the same second, or a
  // link planted there) is removed first, and the move never replaces: moved
  // across volumes it would write through a link planted under that name.
  if (auto existing = QueryFileFacts(backupPath)) RemoveName(backupPath, *existing);
  // A failure leaves the file where it is, to be appended to and tried again.
  if (!MoveFileExW(currentFilePath.c_str(), backupPath.c_str(), MOVEFILE_COPY_ALLOWED)) return;
  // Across volumes the move is a copy, and a source that cannot be deleted then
  // stays although the move succeeds: its rows have been handed over already,
  // so the next current file starts empty.
  if (auto left = QueryFileFacts(currentFilePath); left && left->IsSameFileAs(*current)) {
    DebugTrace("%s was copied but not deleted: the next file starts empty", ToNarrow(currentFilePath).c_str());
    if (!DeleteFileW(currentFilePath.c_str())) _discardOnNextOpen = true;
  }
}

void LogFileManager::RemoveOldBackups(std::wstring folder) {
  // Never list or delete through a linked folder.
  if (folder.starts_with(AppDataFolder())) {
    if (auto link = FirstLinkInChain(AppDataFolder(), folder.substr(AppDataFolder().size()))) {
      DebugTrace("%s is a link: no backups removed", ToNarrow(*link).c_str());
      return;
    }
  }
  // Only this log's backups are listed, and only they become paths: the folder
  // may hold any number of other files.
  std::vector<std::wstring> names;
  if (!tarn::fs::ListFolderNamesWithPrefix(folder, _backupPrefix, names)) return;
  std::erase_if(names, [&](const std::wstring& name) { return !name.starts_with(_backupPrefix); });
  if (names.size() <= _fileBackupNum) return;

  // The names differ only in their time stamps, so the text order is the age
  // order; all lie in one folder, so their order is that of their full paths.
  std::sort(names.begin(), names.end(), Utf16OrdinalLess{});
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

void LogFileManager::Close() {
  CommitAndClose();
  _sizeAfterLastRow.reset();
}
