// The log files live in folders that other accounts may have touched, and the
// service that writes them runs as SYSTEM. Nothing here ever follows a link:
// a symbolic link, a junction (both reparse points) or a second hard link
// planted under a log's name or in place of one of its folders must never make
// the service write, truncate, rename or delete anything outside the log folder
// and the drop folder.
//
// The rules, the same on every platform (the Linux stand-in plays symbolic links
// as reparse points and gives real link counts):
//   - a name is looked at with FILE_FLAG_OPEN_REPARSE_POINT, so a link is seen
//     as a link and never as what it leads to;
//   - a log file is appended to only when its open handle names a plain file
//     with exactly one name; a link or a file with more names under the log's
//     name is removed (the name only, never its target) and a fresh file made;
//   - every folder from the application-data folder down to the log folder is a
//     real folder: a link there is removed and a real, protected folder made;
//   - the drop folder is used only when it and the folders above it are real
//     folders with a trusted owner; otherwise it counts as absent.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "log_stream.h"

// What a name stands for, the last component not followed.
struct FileFacts {
  DWORD attributes = 0;
  DWORD links = 0;
  DWORD volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;

  bool IsLink() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
  bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A file the log may write: no link, no folder, no second name.
  bool IsPlainFile() const { return !IsLink() && !IsFolder() && links == 1; }
  bool IsSameFileAs(const FileFacts& other) const { return volume == other.volume && index == other.index; }
};

// The facts of a name; nullopt when nothing of that name can be opened to look at.
std::optional<FileFacts> QueryFileFacts(const std::wstring& path);

// Removes the name itself (a link, never its target; a file; an empty folder).
bool RemoveName(const std::wstring& path, const FileFacts& facts);

// The current file of a log, open for appending.
struct OpenedLogFile {
  UniqueFile file;
  FileFacts facts;
  int descriptor = -1;  // the runtime's descriptor under `file`
};

// Opens the file for appending with deny-none sharing, creating it when
// missing. A link or a file with more than one name under that name is removed
// first. With `discardContent` an existing file is emptied. nullopt when no
// plain file could be opened.
std::optional<OpenedLogFile> OpenLogFileSafely(const std::wstring& path, bool discardContent);

enum class FolderChainUse {
  Start,  // missing folders are made, existing ones repaired
  Reuse,  // a missing folder is a failure (the folders are made only at the start)
};

// Makes every folder of base + subFolder below base (subFolder begins with a
// backslash) a real folder with the log folders' protection. A link is removed
// and a real folder made in its place, whatever the use. False (and traced when
// something was wrong) when that cannot be done.
bool SecureFolderChain(const std::wstring& base, const std::wstring& subFolder, FolderChainUse use);

// The first folder of base + subFolder below base that is a link, if any.
std::optional<std::wstring> FirstLinkInChain(const std::wstring& base, const std::wstring& subFolder);

enum class DropFolderState { Usable, Missing, Untrusted };

// Whether the drop folder (base + subFolder) may receive files: every folder of
// it below base exists, is no link and has a trusted owner. An untrusted one is traced.
DropFolderState CheckDropFolder(const std::wstring& base, const std::wstring& subFolder);
