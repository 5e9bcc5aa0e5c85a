// LogFileManager: one comma-separated log file in a folder under the common
// application-data folder. Rows are appended with the local time stamp in
// front; a new file starts with a header line. A file grown beyond
// _fileSizeByte becomes a backup named after the time of the rotation, and only
// the newest _fileBackupNum backups are kept.
//
// Files (kind "TARNLog"):
//   current  <folder>\TARNLog.csv
//   backup   <folder>\TARNLog_20240131T235959+0100.csv
// File format: see LogStream (one byte per character, CR LF, no byte-order mark).
//
// Not thread-safe: one caller at a time. Failures to find or create the folder
// and to open the file are thrown as LogError (a std::runtime_error that keeps
// the Win32 error of the call that failed); see each operation.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "link_safety.h"
#include "log_error.h"
#include "log_stream.h"

class LogFileManager {
 public:
  // Finds the common application-data folder and creates the log folder below
  // it. Throws LogError "Get ProgramData path is failed." or "cannot be
  // created".
  LogFileManager();
  ~LogFileManager();
  LogFileManager(const LogFileManager&) = delete;
  LogFileManager& operator=(const LogFileManager&) = delete;

  // Names the log (the base of all its file names) and its header line. Called
  // once, before anything is opened.
  virtual void Configure(std::wstring kind, std::wstring header);

  // Opens the current file for appending, creating it with the header when it
  // is new. Does nothing while the file is open. Throws LogError "Open log
  // file failed.".
  void Open();

  // Appends "<time stamp>,<row>". A row that cannot be written is lost and the
  // file is closed, so that the next row opens it again.
  void WriteRow(std::wstring row);

  // Turns a current file larger than _fileSizeByte into a backup, removes the
  // surplus backups and opens a new current file. What RemoveOldBackups and
  // Open throw reaches the caller.
  void RotateIfNeeded();

  // Deletes the oldest of this log's backups in the folder beyond
  // _fileBackupNum. Throws std::filesystem::filesystem_error when the folder
  // cannot be listed.
  void RemoveOldBackups(std::wstring folder);

  // Renames the closed current file to a backup in the folder; a failure leaves it in place.
  void MoveToBackup(std::wstring currentFilePath, std::wstring folder);

  // Appends the full path of every entry of the folder. Throws when the listing
  // cannot begin; false when it breaks off.
  bool ListFolder(std::vector<std::wstring>& list, std::wstring folder);

  // Flushes the file to stable storage and closes it.
  void Close();

  bool IsOpen() const { return _stream.is_open(); }

  // Rows are flushed to stable storage no more often than this; a rotation, a
  // hand-over and the stop always flush.
  static constexpr std::chrono::milliseconds kRowCommitInterval{1000};

  // The folder of the current file and of the local backups.
  const std::wstring& Folder() const { return _folder; }

 protected:
  // Flushes the open file to stable storage (traced when that fails) and closes it.
  void CommitAndClose();
  // The common application-data folder, as the shell gives it (no trailing backslash).
  static std::wstring CommonAppDataFolder();
  // The same, as this log's folder was made from it.
  std::wstring AppDataFolder() const;
  // Whether the current file has grown beyond _fileSizeByte: its size after
  // the last row when that row left it known, else the size of the name itself
  // (a link or a folder planted there is no full file of this log). Either way
  // the known size is used up, so the next check looks at the name.
  bool CurrentFileIsFull();

  const std::wstring _subFolder = L"\\Corvessan\\TARNLog\\LocalLog";
  const std::wstring _separator = L"_";
  const std::wstring _extension = L".csv";
  std::wstring _folder;
  std::wstring _kind;
  std::wstring _header;
  LogStream _stream;
  std::wstring _backupPrefix;

 public:
  // Size limit of the current file in bytes, and number of backups kept; set
  // by the owner right after construction.
  std::uint32_t _fileSizeByte = 0;
  std::uint32_t _fileBackupNum = 0;

 protected:
  std::wstring _filePath;

 private:
  void AdoptCurrentFile();
  void CommitIfDue();
  // Moves the open current file, which lacks the header, to a backup in the log
  // folder. True when its name is free for a new file.
  bool SetAsideForeignFile();
  // Writes the parts as one line; a failed write closes the file.
  void WriteLineOrClose(std::initializer_list<std::wstring_view> parts);
  // What the current file's name leads to, when that is still the open file.
  std::optional<FileFacts> OpenFileUnderItsName() const;

  // The open file, to notice when its name has been deleted or replaced.
  FileFacts _openFile;
  // Set when a hand-over copied the current file but could not delete it.
  bool _discardOnNextOpen = false;
  // The current file's size after the last row, when that row found the name
  // still leading to the open file: the rotation check that follows the row
  // needs no second look at the name.
  std::optional<std::uint64_t> _sizeAfterLastRow;
  // When rows were last flushed to stable storage; none since the file was opened.
  std::optional<std::chrono::steady_clock::time_point> _lastCommit;
};
