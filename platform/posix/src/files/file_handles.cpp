// File handles on drive C: (CreateFileW, GetFileInformationByHandle,
// GetFileAttributesW, DeleteFileW) and the C runtime's descriptors over them
// (_open_osfhandle, _fdopen, _close, _chsize_s, _commit).
//
// A symbolic link plays a reparse point. GetFileAttributesW and DeleteFileW act
// on the link itself, as Windows does on the last component of a path; opening
// with FILE_FLAG_OPEN_REPARSE_POINT never follows it (O_NOFOLLOW), and a link so
// opened is held by an O_PATH descriptor that can be queried but never written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include <io.h>
#include <windows.h>

#include "share_table.h"
#include "tarn_sim/faults.h"
#include "tarn_sim/file_recorder.h"
#include "tarn_sim/files.h"
#include "tarn_sim/folder_index.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"
#include "unique_posix.h"

namespace {

namespace fs = std::filesystem;
using tarn::sim::files::FileId;
using tarn::sim::files::OpenGrant;
using tarn::sim::files::ShareTable;

// An open file or folder: its descriptor and its entry in the share table.
//
// A handle opened for attributes only (FILE_READ_ATTRIBUTES, OPEN_EXISTING) can
// neither read, write nor be shared against, so it holds no descriptor: it
// keeps what the open found of the name, which is what its one use, a
// GetFileInformationByHandle right after, asks for. It costs the one look the
// open makes, as Windows' attribute opens cost one query.
class FileHandleObject : public tarn::sim::KernelObject {
 public:
  FileHandleObject(int fd, std::uint64_t ticket) : _fd(fd), _ticket(ticket) {}
  FileHandleObject(const struct stat& found, fs::path hostPath)
      : _fd(-1), _ticket(0), _found(found), _hostPath(std::move(hostPath)) {}
  ~FileHandleObject() override {
    if (_fd >= 0) ::close(_fd);
    if (_ticket != 0) ShareTable::Instance().Remove(_ticket);
  }
  int fd() const { return _fd; }
  // What an attributes-only open found, with the name it was opened by.
  const std::optional<struct stat>& found() const { return _found; }
  const fs::path& hostPath() const { return _hostPath; }

  // Hands descriptor and share entry to a C runtime descriptor.
  std::pair<int, std::uint64_t> Release() {
    std::lock_guard<std::mutex> guard(_lock);
    auto released = std::make_pair(_fd, _ticket);
    _fd = -1;
    _ticket = 0;
    return released;
  }

 private:
  std::mutex _lock;
  int _fd;
  std::uint64_t _ticket;
  std::optional<struct stat> _found;
  fs::path _hostPath;
};

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

BOOL FailBool(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool IsReadOnly(const struct stat& status) { return (status.st_mode & S_IWUSR) == 0; }

DWORD AttributesOf(const struct stat& status, const fs::path& hostPath) {
  DWORD attributes = 0;
  if (S_ISLNK(status.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    struct stat target {};
    // A link to a folder is a folder link (a junction or a directory symlink).
    if (::stat(hostPath.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISDIR(status.st_mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    attributes |= FILE_ATTRIBUTE_ARCHIVE;
  }
  if (IsReadOnly(status)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

DWORD ErrorFromErrno(int error, const fs::path& hostPath) {
  switch (error) {
    case ENOENT: return tarn::sim::MissingPathError(hostPath);
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_ACCESS_DENIED;
  }
}

// Access rights that the share table weighs.
DWORD SharedAccessOf(DWORD access) {
  DWORD weighed = access & DELETE;
  if ((access & (GENERIC_READ | GENERIC_ALL)) != 0) weighed |= GENERIC_READ;
  if ((access & (GENERIC_WRITE | GENERIC_ALL)) != 0) weighed |= GENERIC_WRITE;
  return weighed;
}

int OpenFlags(DWORD access, DWORD disposition, DWORD flags) {
  int open = O_CLOEXEC;
  const DWORD weighed = SharedAccessOf(access);
  if ((weighed & GENERIC_WRITE) != 0) {
    open |= (weighed & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY;
  } else {
    open |= O_RDONLY;
  }
  if (disposition == CREATE_NEW) open |= O_CREAT | O_EXCL;
  if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) open |= O_CREAT;
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0) open |= O_NOFOLLOW;
  return open;
}

struct Descriptor {
  std::uint64_t ticket;
};

// The C runtime's descriptors made by _open_osfhandle, until _fdopen or _close takes them.
struct DescriptorTable {
  std::mutex lock;
  std::map<int, Descriptor> entries;
};

bool FlushFolderOf(int descriptor) {
  const fs::path folder = tarn::sim::record::PathOfDescriptor(descriptor).parent_path();
  const tarn::UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd || ::fsync(folderFd.get()) != 0) return false;
  tarn::sim::record::FlushFolder(folder);
  return true;
}

DescriptorTable& Descriptors() {
  static DescriptorTable* table = new DescriptorTable;
  return *table;
}

}  // namespace

namespace tarn::sim {

DWORD MissingPathError(const fs::path& hostPath) {
  struct stat parent {};
  return ::stat(hostPath.parent_path().c_str(), &parent) == 0 && S_ISDIR(parent.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                                         : ERROR_PATH_NOT_FOUND;
}

HANDLE OpenFileHandle(const fs::path& hostPath, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return Fail(ERROR_INVALID_PARAMETER);
  // A slow disk, for tests: opens for writing (a log file's) take the delay.
  if ((access & GENERIC_WRITE) != 0) {
    SimulatedDelay(kFileOpenDelayVariable);
    // Another program holding the file for a moment (a virus scanner, a backup).
    if (FaultsOfKindSet(FaultKind::Open) && FaultHits(FaultKind::Open, hostPath.string()))
      return Fail(ERROR_SHARING_VIOLATION);
  }
  struct stat found {};
  const bool followLink = (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0;
  const bool exists = (followLink ? ::stat(hostPath.c_str(), &found) : ::lstat(hostPath.c_str(), &found)) == 0;
  if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
    return Fail(tarn::sim::MissingPathError(hostPath));
  if (exists && disposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
  const DWORD weighed = SharedAccessOf(access);
  if (exists && disposition == OPEN_EXISTING && (access & ~(FILE_READ_ATTRIBUTES | SYNCHRONIZE)) == 0) {
    if (S_ISDIR(found.st_mode) && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) return Fail(ERROR_ACCESS_DENIED);
    SetLastError(ERROR_SUCCESS);
    // The name is kept only for a link, whose attributes depend on what it leads to.
    return InsertHandle(std::make_shared<FileHandleObject>(found, S_ISLNK(found.st_mode) ? hostPath : fs::path()));
  }

  int fd = -1;
  bool made = false;
  if (exists && S_ISLNK(found.st_mode)) {
    // The link itself: something to query or delete, never to read or write.
    fd = ::open(hostPath.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  } else if (exists && S_ISDIR(found.st_mode)) {
    if ((flags & FILE_FLAG_BACKUP_SEMANTICS) == 0 || (weighed & GENERIC_WRITE) != 0) return Fail(ERROR_ACCESS_DENIED);
    fd = ::open(hostPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
  } else {
    if (exists && IsReadOnly(found) && (weighed & (GENERIC_WRITE | DELETE)) != 0) return Fail(ERROR_ACCESS_DENIED);
    // A new file is a new entry of its folder, which the folder's case index learns.
    std::optional<FolderChange> creation;
    if (!exists) creation.emplace(fs::path(), hostPath);
    fd = ::open(hostPath.c_str(), OpenFlags(access, disposition, flags), 0666);
    if (fd >= 0 && creation) {
      creation->Made();
      record::Create(hostPath);
      made = true;
    }
  }
  // A link planted between the look and the open (ELOOP) is refused like any other failure.
  if (fd < 0) return Fail(ErrorFromErrno(errno, hostPath));

  struct stat opened {};
  ::fstat(fd, &opened);
  if (made) tarn::sim::files::NoteNewName({opened.st_dev, opened.st_ino});
  auto& table = ShareTable::Instance();
  auto guard = table.Lock();
  const FileId file{opened.st_dev, opened.st_ino};
  const OpenGrant grant{weighed, share & ShareTable::kShareAll};
  if (!table.Allows(file, grant)) {
    ::close(fd);
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && S_ISREG(opened.st_mode) &&
      ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && S_ISREG(opened.st_mode))
    record::SetSize(hostPath, 0);
  const std::uint64_t ticket = table.Add(file, grant);
  guard.unlock();
  // OPEN_ALWAYS and CREATE_ALWAYS say whether the file was there already.
  SetLastError(exists && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                      : ERROR_SUCCESS);
  return InsertHandle(std::make_shared<FileHandleObject>(fd, ticket));
}

}  // namespace tarn::sim

BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
  if (information == nullptr) return FailBool(ERROR_INVALID_PARAMETER);
  const auto object = tarn::sim::LookupHandle<FileHandleObject>(file);
  if (!object || (object->fd() < 0 && !object->found())) return FailBool(ERROR_INVALID_HANDLE);
  struct stat status {};
  fs::path linkPath;
  if (object->found()) {
    status = *object->found();
    linkPath = object->hostPath();
  } else {
    if (::fstat(object->fd(), &status) != 0) return FailBool(ERROR_ACCESS_DENIED);
    // The descriptor of a link names the link; its path tells whether it leads to a folder.
    std::error_code error;
    if (S_ISLNK(status.st_mode)) linkPath = fs::read_symlink("/proc/self/fd/" + std::to_string(object->fd()), error);
  }
  *information = {};
  information->dwFileAttributes = AttributesOf(status, linkPath);
  information->dwVolumeSerialNumber = static_cast<DWORD>(status.st_dev);
  const auto size = static_cast<std::uint64_t>(S_ISREG(status.st_mode) ? status.st_size : 0);
  information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  information->nFileSizeLow = static_cast<DWORD>(size);
  information->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
  const auto index = static_cast<std::uint64_t>(status.st_ino);
  information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
  information->nFileIndexLow = static_cast<DWORD>(index);
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  auto hostPath = path != nullptr ? tarn::sim::MapWindowsPath(path) : std::nullopt;
  if (!hostPath) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat status {};
  if (::lstat(hostPath->c_str(), &status) != 0) {
    SetLastError(ErrorFromErrno(errno, *hostPath));
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(status, *hostPath);
}

BOOL DeleteFileW(LPCWSTR path) {
  auto hostPath = path != nullptr ? tarn::sim::MapWindowsPath(path) : std::nullopt;
  if (!hostPath) return FailBool(ERROR_PATH_NOT_FOUND);
  struct stat status {};
  if (::lstat(hostPath->c_str(), &status) != 0) return FailBool(ErrorFromErrno(errno, *hostPath));
  if (S_ISDIR(status.st_mode) || (!S_ISLNK(status.st_mode) && IsReadOnly(status))) return FailBool(ERROR_ACCESS_DENIED);
  auto& table = ShareTable::Instance();
  auto guard = table.Lock();
  if (!S_ISLNK(status.st_mode) && table.DeleteBlocked({status.st_dev, status.st_ino}))
    return FailBool(ERROR_SHARING_VIOLATION);
  tarn::sim::FolderChange removal(*hostPath, fs::path());
  if (::unlink(hostPath->c_str()) != 0) return FailBool(ErrorFromErrno(errno, *hostPath));
  removal.Made();
  tarn::sim::record::Delete(*hostPath);
  return TRUE;
}

int _open_osfhandle(intptr_t osHandle, int flags) {
  const HANDLE handle = reinterpret_cast<HANDLE>(osHandle);
  const auto object = tarn::sim::LookupHandle<FileHandleObject>(handle);
  if (!object || (flags & ~(_O_APPEND | _O_BINARY | _O_TEXT | _O_RDONLY)) != 0) {
    errno = EBADF;
    return -1;
  }
  const auto [fd, ticket] = object->Release();
  tarn::sim::RemoveHandle(handle);
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  if ((flags & _O_APPEND) != 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND);
  auto& descriptors = Descriptors();
  std::lock_guard<std::mutex> guard(descriptors.lock);
  descriptors.entries[fd] = {ticket};
  return fd;
}

FILE* _fdopen(int descriptor, const char* mode) {
  auto& descriptors = Descriptors();
  std::unique_lock<std::mutex> guard(descriptors.lock);
  auto entry = descriptors.entries.find(descriptor);
  if (entry == descriptors.entries.end() || mode == nullptr) {
    errno = EBADF;
    return nullptr;
  }
  const std::uint64_t ticket = entry->second.ticket;
  descriptors.entries.erase(entry);
  guard.unlock();
  std::string glibcMode;
  for (const char* c = mode; *c != 0; ++c)
    if (*c != 'b' && *c != 't') glibcMode += *c;
  return tarn::sim::files::MakeTrackedStream(descriptor, ticket, glibcMode.c_str());
}

int _close(int descriptor) {
  auto& descriptors = Descriptors();
  std::unique_lock<std::mutex> guard(descriptors.lock);
  auto entry = descriptors.entries.find(descriptor);
  if (entry == descriptors.entries.end()) {
    errno = EBADF;
    return -1;
  }
  const std::uint64_t ticket = entry->second.ticket;
  descriptors.entries.erase(entry);
  guard.unlock();
  ShareTable::Instance().Remove(ticket);
  return ::close(descriptor);
}

// FlushFileBuffers: the file's data, and first, for a file made since its
// folder was last flushed, the folder's entries, so that no flushed byte is
// left without a name after a power cut (NTFS makes a new file's name durable
// with its data).
int _commit(int descriptor) {
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) return -1;
  if (tarn::sim::files::TakeNewName({status.st_dev, status.st_ino}) && !FlushFolderOf(descriptor)) {
    tarn::sim::files::NoteNewName({status.st_dev, status.st_ino});
    return -1;
  }
  if (::fsync(descriptor) != 0) return -1;
  tarn::sim::record::FlushFile(descriptor);
  return 0;
}

errno_t _chsize_s(int descriptor, long long size) {
  if (size < 0) return EINVAL;
  if (::ftruncate(descriptor, static_cast<off_t>(size)) != 0) return errno;
  tarn::sim::record::SetSize(descriptor, static_cast<std::uint64_t>(size));
  return 0;
}
