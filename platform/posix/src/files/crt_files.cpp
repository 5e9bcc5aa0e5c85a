// The C runtime's shared-mode open and Windows' localtime_s.
//
// _wfsopen hands out a glibc stream built with fopencookie, so the stand-in sees
// the stream's close and keeps its share table exact: a file stays held, with the
// access and sharing of its open, from _wfsopen until fclose.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <windows.h>

#include "share_table.h"
#include "tarn_sim/faults.h"
#include "tarn_sim/file_recorder.h"
#include "tarn_sim/folder_index.h"
#include "tarn_sim/machine.h"

namespace {

using tarn::sim::files::FileId;
using tarn::sim::files::OpenGrant;
using tarn::sim::files::ShareTable;

struct OpenMode {
  int flags;              // open(2) flags, without O_TRUNC
  bool truncate;          // "w": emptied once the sharing check has passed
  DWORD access;           // as the runtime asks Windows for it
  const char* glibcMode;  // for fopencookie
};

// Modes as the runtime takes them: r, w or a, then '+', 'b', 't' and the runtime's
// hint letters (c n N S R T D), which change nothing here. Encodings (", ccs=")
// are not supported.
std::optional<OpenMode> ParseMode(const wchar_t* mode) {
  OpenMode parsed{};
  switch (mode[0]) {
    case L'r': parsed = {O_RDONLY, false, GENERIC_READ, "r"}; break;
    case L'w': parsed = {O_WRONLY | O_CREAT, true, GENERIC_WRITE, "w"}; break;
    case L'a': parsed = {O_WRONLY | O_CREAT | O_APPEND, false, GENERIC_WRITE, "a"}; break;
    default: return std::nullopt;
  }
  for (const wchar_t* c = mode + 1; *c != 0; ++c) {
    if (*c == L'+') {
      parsed.flags = (parsed.flags & ~O_ACCMODE) | O_RDWR;
      parsed.access = GENERIC_READ | GENERIC_WRITE;
      parsed.glibcMode = mode[0] == L'r' ? "r+" : mode[0] == L'w' ? "w+" : "a+";
    } else if (std::wcschr(L"btcnNSRTD", *c) == nullptr) {
      return std::nullopt;
    }
  }
  return parsed;
}

// The sharing a _SH_* flag grants others. _SH_SECURE shares reading with a
// read-only open and nothing with any other. The runtime never shares deletion.
std::optional<DWORD> ShareFromFlag(int shareFlag, DWORD access) {
  switch (shareFlag) {
    case _SH_DENYRW: return 0u;
    case _SH_DENYWR: return FILE_SHARE_READ;
    case _SH_DENYRD: return FILE_SHARE_WRITE;
    case _SH_DENYNO: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    case _SH_SECURE: return access == GENERIC_READ ? FILE_SHARE_READ : 0u;
    default: return std::nullopt;
  }
}

struct StreamCookie {
  int fd;
  std::uint64_t ticket;
};

ssize_t CookieRead(void* cookie, char* buffer, size_t size) {
  const int fd = static_cast<StreamCookie*>(cookie)->fd;
  for (;;) {
    ssize_t count = ::read(fd, buffer, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

// The file a descriptor writes to, for the injected faults.
std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t length = ::readlink(link, target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// What landed of a write, for the recorder: the descriptor's position is now
// just past it (also when it appends).
void RecordWrite(int fd, const char* buffer, ssize_t written) {
  if (written <= 0 || !tarn::sim::record::On()) return;
  const off64_t end = ::lseek64(fd, 0, SEEK_CUR);
  if (end >= written)
    tarn::sim::record::Write(fd, static_cast<std::uint64_t>(end - written),
                             std::string_view(buffer, static_cast<std::size_t>(written)));
}

// Returns the bytes written; fewer than asked marks the stream's error state.
ssize_t CookieWrite(void* cookie, const char* buffer, size_t size) {
  const int fd = static_cast<StreamCookie*>(cookie)->fd;
  if (tarn::sim::FaultsOfKindSet(tarn::sim::FaultKind::ShortWrite) &&
      tarn::sim::FaultHits(tarn::sim::FaultKind::ShortWrite, PathOf(fd))) {
    // A disk that fills in the middle of the write: the first half lands.
    const ssize_t written = ::write(fd, buffer, size / 2);
    RecordWrite(fd, buffer, written);
    errno = ENOSPC;
    return written < 0 ? -1 : written;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t count = ::write(fd, buffer + done, size - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      break;
    }
    RecordWrite(fd, buffer + done, count);
    done += static_cast<size_t>(count);
  }
  return static_cast<ssize_t>(done);
}

int CookieSeek(void* cookie, off64_t* offset, int whence) {
  off64_t position = ::lseek64(static_cast<StreamCookie*>(cookie)->fd, *offset, whence);
  if (position < 0) return -1;
  *offset = position;
  return 0;
}

int CookieClose(void* cookie) {
  auto* stream = static_cast<StreamCookie*>(cookie);
  const int result = ::close(stream->fd);
  ShareTable::Instance().Remove(stream->ticket);
  delete stream;
  return result;
}

FILE* Fail(int error) {
  errno = error;
  return nullptr;
}

}  // namespace

namespace tarn::sim::files {

FILE* MakeTrackedStream(int fd, std::uint64_t ticket, const char* glibcMode) {
  auto* cookie = new StreamCookie{fd, ticket};
  FILE* stream = ::fopencookie(cookie, glibcMode, {CookieRead, CookieWrite, CookieSeek, CookieClose});
  if (stream == nullptr) CookieClose(cookie);
  return stream;
}

}  // namespace tarn::sim::files

FILE* _wfsopen(const wchar_t* path, const wchar_t* mode, int shareFlag) {
  if (path == nullptr || mode == nullptr) return Fail(EINVAL);
  auto parsed = ParseMode(mode);
  if (!parsed) return Fail(EINVAL);
  auto share = ShareFromFlag(shareFlag, parsed->access);
  if (!share) return Fail(EINVAL);
  tarn::sim::SimulatedDelay(tarn::sim::kFileOpenDelayVariable);  // a slow disk, for tests
  auto hostPath = tarn::sim::MapWindowsPath(path);
  if (!hostPath) return Fail(ENOENT);

  auto& table = ShareTable::Instance();
  auto guard = table.Lock();
  // A new file is a new entry of its folder, which the folder's case index learns.
  std::optional<tarn::sim::FolderChange> creation;
  if ((parsed->flags & O_CREAT) != 0) creation.emplace(std::filesystem::path(), *hostPath);
  const bool isNew = creation && ::access(hostPath->c_str(), F_OK) != 0;
  const int fd = ::open(hostPath->c_str(), parsed->flags | O_CLOEXEC, 0666);
  if (fd >= 0 && creation) creation->Made();
  if (fd >= 0 && isNew) tarn::sim::record::Create(*hostPath);
  // Windows' runtime reports a folder, or a file it may not open, as EACCES.
  if (fd < 0) return Fail(errno == EISDIR || errno == EPERM ? EACCES : errno);
  struct stat status {};
  if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    ::close(fd);
    return Fail(EACCES);
  }
  const FileId file{status.st_dev, status.st_ino};
  if (isNew) tarn::sim::files::NoteNewName(file);
  const OpenGrant grant{parsed->access, *share};
  if (!table.Allows(file, grant)) {
    ::close(fd);
    return Fail(EACCES);
  }
  if (parsed->truncate && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    return Fail(error);
  }
  if (parsed->truncate && !isNew) tarn::sim::record::SetSize(*hostPath, 0);

  const std::uint64_t ticket = table.Add(file, grant);
  guard.unlock();
  FILE* stream = tarn::sim::files::MakeTrackedStream(fd, ticket, parsed->glibcMode);
  return stream != nullptr ? stream : Fail(ENOMEM);
}

// Windows' runtime checks both pointers, refuses times before 1970, and fills
// the result with -1 on every failure.
errno_t localtime_s(struct tm* result, const time_t* time) {
  if (result == nullptr) return EINVAL;
  auto fail = [result] {
    *result = {};
    result->tm_sec = result->tm_min = result->tm_hour = result->tm_mday = result->tm_mon = result->tm_year =
        result->tm_wday = result->tm_yday = result->tm_isdst = -1;
    return EINVAL;
  };
  if (time == nullptr || *time < 0) return fail();
  if (::localtime_r(time, result) == nullptr) return fail();
  return 0;
}
