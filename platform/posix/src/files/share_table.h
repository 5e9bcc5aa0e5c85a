// Which open stream holds which file, with the access it was granted and the
// sharing it grants others, so that the stand-in refuses what Windows refuses:
// an open whose access another holder does not share, an open that would not
// share what a holder already has, and a rename or delete of a file that some
// holder does not share for deletion.
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include <windows.h>

namespace tarn::sim::files {

// A file as the host knows it, whatever name it is reached by.
struct FileId {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileId&) const = default;
};

// The identity of the file at a host path (links followed); nullopt when missing.
std::optional<FileId> IdentifyFile(const std::filesystem::path& hostPath);

// Files this process made whose folder entry has not been flushed since. On
// NTFS, FlushFileBuffers on a new file makes its name durable with its data; the
// stand-in's flush (_commit) flushes the folder first for a file noted here.
void NoteNewName(const FileId& file);
// True once for a noted file, which is then forgotten.
bool TakeNewName(const FileId& file);

// Access bits: GENERIC_READ, GENERIC_WRITE, DELETE. Sharing bits: FILE_SHARE_*.
struct OpenGrant {
  DWORD access;
  DWORD share;
};

class ShareTable {
 public:
  static ShareTable& Instance();

  // Held while a caller checks and then enters an open, so that the two are one step.
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(_lock); }

  // The caller holds Lock() for these three.
  bool Allows(const FileId& file, const OpenGrant& wanted) const;
  std::uint64_t Add(const FileId& file, const OpenGrant& grant);
  bool DeleteBlocked(const FileId& file) const { return !Allows(file, {DELETE, kShareAll}); }

  // Takes the lock itself.
  void Remove(std::uint64_t ticket);

  static constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

 private:
  struct Entry {
    FileId file;
    OpenGrant grant;
  };
  std::mutex _lock;
  std::uint64_t _nextTicket = 1;
  std::map<std::uint64_t, Entry> _entries;
};

// A C runtime stream on a descriptor whose share-table entry it releases when
// closed; null (descriptor and entry released) when it cannot be made.
FILE* MakeTrackedStream(int fd, std::uint64_t ticket, const char* glibcMode);

}  // namespace tarn::sim::files
