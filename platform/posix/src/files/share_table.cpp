#include "share_table.h"

#include <sys/stat.h>

#include <mutex>
#include <set>

#include "tarn_sim/files.h"

namespace tarn::sim::files {
namespace {

// True when an open with `access` is refused by a holder that shares only `share`.
bool Refused(DWORD access, DWORD share) {
  return ((access & GENERIC_READ) != 0 && (share & FILE_SHARE_READ) == 0) ||
         ((access & GENERIC_WRITE) != 0 && (share & FILE_SHARE_WRITE) == 0) ||
         ((access & DELETE) != 0 && (share & FILE_SHARE_DELETE) == 0);
}

struct NewNames {
  std::mutex lock;
  std::set<FileId> files;
};

NewNames& TheNewNames() {
  static NewNames* names = new NewNames;
  return *names;
}

}  // namespace

void NoteNewName(const FileId& file) {
  NewNames& names = TheNewNames();
  std::lock_guard<std::mutex> guard(names.lock);
  names.files.insert(file);
}

bool TakeNewName(const FileId& file) {
  NewNames& names = TheNewNames();
  std::lock_guard<std::mutex> guard(names.lock);
  return names.files.erase(file) != 0;
}

std::optional<FileId> IdentifyFile(const std::filesystem::path& hostPath) {
  struct stat status {};
  if (::stat(hostPath.c_str(), &status) != 0) return std::nullopt;
  return FileId{status.st_dev, status.st_ino};
}

ShareTable& ShareTable::Instance() {
  // Never destroyed: streams may be closed by static destructors after main.
  static ShareTable* table = new ShareTable;
  return *table;
}

bool ShareTable::Allows(const FileId& file, const OpenGrant& wanted) const {
  for (const auto& [ticket, entry] : _entries) {
    if (entry.file != file) continue;
    if (Refused(wanted.access, entry.grant.share) || Refused(entry.grant.access, wanted.share)) return false;
  }
  return true;
}

std::uint64_t ShareTable::Add(const FileId& file, const OpenGrant& grant) {
  const std::uint64_t ticket = _nextTicket++;
  _entries.emplace(ticket, Entry{file, grant});
  return ticket;
}

void ShareTable::Remove(std::uint64_t ticket) {
  auto guard = Lock();
  _entries.erase(ticket);
}

}  // namespace tarn::sim::files

namespace tarn::sim {

DWORD CheckDeleteSharing(const std::filesystem::path& hostPath) {
  auto file = files::IdentifyFile(hostPath);
  if (!file) return ERROR_SUCCESS;
  auto& table = files::ShareTable::Instance();
  auto guard = table.Lock();
  return table.DeleteBlocked(*file) ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
}

}  // namespace tarn::sim
