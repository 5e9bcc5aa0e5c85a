// Linux: the Windows paths are mapped onto the simulated machine's drive C:, and
// the standard library does the work there. Deleting a file that an open stream
// does not share for deletion fails as it does on Windows.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include <windows.h>

#include "tarn_fs/file_system.h"
#include "tarn_sim/file_recorder.h"
#include "tarn_sim/files.h"
#include "tarn_sim/folder_index.h"
#include "tarn_sim/faults.h"
#include "tarn_sim/machine.h"
#include "unique_posix.h"

namespace tarn::fs {
namespace {

namespace stdfs = std::filesystem;

[[noreturn]] void Throw(const char* what, const std::wstring& path, std::error_code error) {
  throw stdfs::filesystem_error(what, stdfs::path(tarn::sim::ToUtf8(path)), error);
}

// The host path of a Windows path; a path off the machine is missing.
stdfs::path HostPath(const char* what, const std::wstring& path) {
  auto mapped = tarn::sim::MapWindowsPath(path);
  if (!mapped) Throw(what, path, std::make_error_code(std::errc::no_such_file_or_directory));
  return *mapped;
}

}  // namespace

bool ListFolderNames(const std::wstring& folder, std::vector<std::wstring>& names) {
  std::error_code error;
  stdfs::directory_iterator entry(HostPath("directory_iterator", folder), error);
  if (error) Throw("directory_iterator", folder, error);
  for (; entry != stdfs::directory_iterator(); entry.increment(error)) {
    if (error) return false;
    names.push_back(tarn::sim::FromUtf8(entry->path().filename().string()));
  }
  return !error;
}

bool ListFolderNamesWithPrefix(const std::wstring& folder, const std::wstring& prefix,
                               std::vector<std::wstring>& names) {
  // The names are compared as the folder's bytes, so that an entry that does not
  // match costs no conversion; the folder's index has them sorted.
  const std::string wanted = tarn::sim::ToUtf8(prefix);
  const stdfs::path host = HostPath("directory_iterator", folder);
  if (auto indexed = tarn::sim::EntriesWithPrefix(host, wanted)) {
    for (const auto& name : *indexed) names.push_back(tarn::sim::FromUtf8(name));
    return true;
  }
  tarn::UniqueDir directory(::opendir(host.c_str()));
  if (!directory) Throw("directory_iterator", folder, std::error_code(errno, std::generic_category()));
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory.get());
    if (entry == nullptr) return errno == 0;
    if (std::strncmp(entry->d_name, wanted.c_str(), wanted.size()) != 0) continue;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.push_back(tarn::sim::FromUtf8(entry->d_name));
  }
}

bool Remove(const std::wstring& path) {
  const stdfs::path host = HostPath("remove", path);
  std::error_code error;
  if (!stdfs::exists(stdfs::symlink_status(host, error))) return false;
  if (const DWORD sharing = tarn::sim::CheckDeleteSharing(host); sharing != ERROR_SUCCESS)
    Throw("remove", path, std::error_code(EBUSY, std::generic_category()));
  tarn::sim::FolderChange removal(host, stdfs::path());
  const bool removed = stdfs::remove(host, error);
  if (error) Throw("remove", path, error);
  if (removed) {
    removal.Made();
    tarn::sim::record::Delete(host);
  }
  return removed;
}

void CreateProtectedFolder(const std::wstring& path) {
  const stdfs::path host = HostPath("create_directory", path);
  if (tarn::sim::FaultHits(tarn::sim::FaultKind::MakeFolder, host.string())) {
    SetLastError(ERROR_ACCESS_DENIED);  // as CreateDirectoryW leaves it
    Throw("create_directory", path, std::make_error_code(std::errc::permission_denied));
  }
  if (::mkdir(host.c_str(), 0755) == 0) {
    tarn::sim::record::MakeFolder(host);
  } else if (errno != EEXIST) {
    Throw("create_directory", path, std::error_code(errno, std::generic_category()));
  }
  struct stat status {};
  if (::lstat(host.c_str(), &status) != 0)
    Throw("create_directory", path, std::error_code(errno, std::generic_category()));
  if (!S_ISDIR(status.st_mode)) Throw("create_directory", path, std::make_error_code(std::errc::not_a_directory));
  if (status.st_uid != ::geteuid() && ::lchown(host.c_str(), ::geteuid(), static_cast<gid_t>(-1)) != 0)
    Throw("create_directory", path, std::error_code(errno, std::generic_category()));
  if ((status.st_mode & 07777) != 0755 && ::chmod(host.c_str(), 0755) != 0)
    Throw("create_directory", path, std::error_code(errno, std::generic_category()));
}

bool HasTrustedOwner(const std::wstring& path) {
  auto mapped = tarn::sim::MapWindowsPath(path);
  struct stat status {};
  if (!mapped || ::lstat(mapped->c_str(), &status) != 0) return false;
  return status.st_uid == 0 || status.st_uid == ::geteuid();
}

}  // namespace tarn::fs
