// MoveFileExW and CopyFileW over the simulated machine's drive C:, with
// Windows' error codes and the sharing rules of the open-file table.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <windows.h>

#include "share_table.h"
#include "tarn_sim/file_recorder.h"
#include "tarn_sim/files.h"
#include "tarn_sim/folder_index.h"
#include "tarn_sim/machine.h"

namespace {

namespace fs = std::filesystem;
using tarn::sim::files::IdentifyFile;
using tarn::sim::files::OpenGrant;
using tarn::sim::files::ShareTable;

constexpr DWORD kErrorNotSameDevice = 17;  // ERROR_NOT_SAME_DEVICE
constexpr DWORD kKnownMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EBUSY:
    case EEXIST:
    case ENOTEMPTY: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_INVALID_NAME;
    default: return ERROR_GEN_FAILURE;
  }
}

bool Exists(const fs::file_status& status) { return fs::exists(status); }

// True while some holder of the file refuses an open with this access.
bool HeldAgainst(const ShareTable& table, const fs::path& hostPath, const OpenGrant& wanted) {
  auto file = IdentifyFile(hostPath);
  return file && !table.Allows(*file, wanted);
}

// The last component of a Windows path, as the caller spelled it.
std::wstring LastComponent(std::wstring_view windowsPath) {
  const std::size_t slash = windowsPath.find_last_of(L"\\/");
  return std::wstring(slash == std::wstring_view::npos ? windowsPath : windowsPath.substr(slash + 1));
}

// A copy reaches the recorder as what it is on the disk: a new file and its bytes.
void RecordCopy(const fs::path& to) {
  if (!tarn::sim::record::On()) return;
  tarn::sim::record::Create(to);
  std::ifstream copied(to, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(copied)), std::istreambuf_iterator<char>());
  if (!bytes.empty()) tarn::sim::record::Write(to, 0, bytes);
}

std::optional<std::wstring> FromAnsi(LPCSTR narrow) {
  if (narrow == nullptr) return std::nullopt;
  const int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::vector<wchar_t> wide(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide.data(), length);
  return std::wstring(wide.data());
}

// Copies the file's bytes over the target, as a move across volumes does.
BOOL CopyContents(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  if (error) return Fail(ErrorFromErrno(error.value()));
  RecordCopy(to);
  return TRUE;
}

}  // namespace

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags) {
  if (existing == nullptr || target == nullptr || (flags & ~kKnownMoveFlags) != 0) return Fail(ERROR_INVALID_PARAMETER);
  auto from = tarn::sim::MapWindowsPath(existing);
  auto to = tarn::sim::MapWindowsPath(target);
  if (!from || !to) return Fail(ERROR_PATH_NOT_FOUND);

  std::error_code error;
  const fs::file_status fromStatus = fs::symlink_status(*from, error);
  if (!Exists(fromStatus)) return Fail(tarn::sim::MissingPathError(*from));

  const bool sameVolume = tarn::sim::OnSameVolume(from->parent_path(), to->parent_path());
  if (!sameVolume && (flags & MOVEFILE_COPY_ALLOWED) == 0) return Fail(kErrorNotSameDevice);
  auto& table = ShareTable::Instance();
  auto guard = table.Lock();
  const OpenGrant deletion{DELETE, ShareTable::kShareAll};
  // Renaming needs delete access to the source, which the runtime's streams never
  // share. Across volumes the source is copied, and its deletion comes last.
  if (sameVolume && HeldAgainst(table, *from, deletion)) return Fail(ERROR_SHARING_VIOLATION);
  if (!fs::is_directory(to->parent_path(), error)) return Fail(ERROR_PATH_NOT_FOUND);

  // A target that maps onto the source itself is a change of letter case only.
  const bool sameEntry = *from == *to;
  const fs::file_status toStatus = fs::symlink_status(*to, error);
  if (Exists(toStatus) && !sameEntry) {
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) return Fail(ERROR_ALREADY_EXISTS);
    if (fs::is_directory(toStatus) || fs::is_directory(fromStatus)) return Fail(ERROR_ACCESS_DENIED);
    if (HeldAgainst(table, *to, deletion)) return Fail(ERROR_ACCESS_DENIED);
  }
  const fs::path destination = sameEntry ? to->parent_path() / tarn::sim::ToUtf8(LastComponent(target)) : *to;

  if (sameVolume) {
    tarn::sim::FolderChange change(*from, destination);
    if (std::rename(from->c_str(), destination.c_str()) == 0) {
      change.Made();
      tarn::sim::record::Rename(*from, destination);
      return TRUE;
    }
    if (errno != EXDEV) return Fail(ErrorFromErrno(errno));
  }
  if ((flags & MOVEFILE_COPY_ALLOWED) == 0 || fs::is_directory(fromStatus)) return Fail(kErrorNotSameDevice);
  tarn::sim::FolderChange copy(fs::path(), destination);
  if (!CopyContents(*from, destination)) return FALSE;
  copy.Made();
  // As on Windows, a source that cannot be deleted after the copy (held without
  // delete sharing, or read-only) stays, and the move still succeeds.
  guard.unlock();
  DeleteFileW(existing);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

namespace tarn::sim {

bool OnSameVolume(const fs::path& hostA, const fs::path& hostB) {
  struct VolumeOf {
    std::vector<fs::path> simulated;
    // The listed volume whose folder holds the path (longest first), or empty for drive C:.
    fs::path operator()(const fs::path& host) const {
      fs::path best;
      for (const auto& volume : simulated) {
        const auto relative = host.lexically_relative(volume);
        if (!relative.empty() && *relative.begin() != ".." && volume.native().size() > best.native().size())
          best = volume;
      }
      return best;
    }
  } volumeOf;
  if (auto root = MachineRoot()) {
    std::ifstream list(*root / "volumes");
    for (std::string line; std::getline(list, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (auto mapped = MapWindowsPath(FromUtf8(line))) volumeOf.simulated.push_back(mapped->lexically_normal());
    }
  }
  if (volumeOf(hostA.lexically_normal()) != volumeOf(hostB.lexically_normal())) return false;
  struct stat a {
  }, b{};
  return ::stat(hostA.c_str(), &a) != 0 || ::stat(hostB.c_str(), &b) != 0 || a.st_dev == b.st_dev;
}

}  // namespace tarn::sim

BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags) {
  auto wideExisting = FromAnsi(existing);
  auto wideTarget = FromAnsi(target);
  if (!wideExisting || !wideTarget) return Fail(ERROR_INVALID_PARAMETER);
  return MoveFileExW(wideExisting->c_str(), wideTarget->c_str(), flags);
}

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists) {
  if (existing == nullptr || target == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  auto from = tarn::sim::MapWindowsPath(existing);
  auto to = tarn::sim::MapWindowsPath(target);
  if (!from || !to) return Fail(ERROR_PATH_NOT_FOUND);

  std::error_code error;
  const fs::file_status fromStatus = fs::status(*from, error);
  if (!Exists(fromStatus)) return Fail(tarn::sim::MissingPathError(*from));
  if (fs::is_directory(fromStatus)) return Fail(ERROR_ACCESS_DENIED);

  auto& table = ShareTable::Instance();
  auto guard = table.Lock();
  // The source is read while writers may keep it open; the target is written.
  if (HeldAgainst(table, *from, {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE}))
    return Fail(ERROR_SHARING_VIOLATION);
  if (!fs::is_directory(to->parent_path(), error)) return Fail(ERROR_PATH_NOT_FOUND);
  const fs::file_status toStatus = fs::status(*to, error);
  if (Exists(toStatus)) {
    if (failIfExists) return Fail(ERROR_FILE_EXISTS);
    if (fs::is_directory(toStatus)) return Fail(ERROR_ACCESS_DENIED);
    if (*from == *to || HeldAgainst(table, *to, {GENERIC_WRITE, 0})) return Fail(ERROR_SHARING_VIOLATION);
  }
  return CopyContents(*from, *to);
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists) {
  auto wideExisting = FromAnsi(existing);
  auto wideTarget = FromAnsi(target);
  if (!wideExisting || !wideTarget) return Fail(ERROR_INVALID_PARAMETER);
  return CopyFileW(wideExisting->c_str(), wideTarget->c_str(), failIfExists);
}
