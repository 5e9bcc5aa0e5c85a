#include "tarn_sim/folder_index.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "unique_posix.h"

namespace tarn::sim {
namespace {

// Indexes kept at most; a folder beyond them is read anew when next needed.
constexpr std::size_t kMaxIndexedFolders = 16;

struct FolderIndex {
  FolderStamp stamp;
  std::vector<std::uint64_t> hashes;  // of the folded names, sorted; a hash may be there twice
  std::vector<std::string> names;     // the names themselves, sorted by their bytes
};

struct Indexes {
  std::mutex lock;
  std::map<std::string, FolderIndex> folders;
};

// Never destroyed: pool threads may still map paths while the process exits.
Indexes& AllIndexes() {
  static Indexes* indexes = new Indexes;
  return *indexes;
}

std::optional<FolderStamp> StampOf(const std::filesystem::path& folder) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) return std::nullopt;
  FolderStamp stamp;
  stamp.device = status.st_dev;
  stamp.inode = status.st_ino;
  stamp.size = static_cast<std::uint64_t>(status.st_size);
  stamp.modifiedSeconds = status.st_mtim.tv_sec;
  stamp.modifiedNanoseconds = status.st_mtim.tv_nsec;
  stamp.changedSeconds = status.st_ctim.tv_sec;
  stamp.changedNanoseconds = status.st_ctim.tv_nsec;
  return stamp;
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::uint64_t FoldedHash(const char* name) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (; *name != 0; ++name) hash = (hash ^ static_cast<unsigned char>(FoldAscii(*name))) * 1099511628211ull;
  return hash;
}

bool EqualIgnoringAsciiCase(const char* a, const std::string& b) {
  std::size_t i = 0;
  for (; a[i] != 0 && i < b.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return a[i] == 0 && i == b.size();
}

// Calls `visit` with every entry's name ("." and ".." left out); false when the
// folder cannot be read or `visit` asks to stop.
bool ForEachName(const std::filesystem::path& folder, const std::function<bool(const char*)>& visit) {
  tarn::UniqueDir directory(::opendir(folder.c_str()));
  if (!directory) return false;
  while (const dirent* entry = ::readdir(directory.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (!visit(entry->d_name)) return false;
  }
  return true;
}

// The index of the folder as it is now; null when the folder cannot be read.
// The caller holds the lock.
const FolderIndex* CurrentIndex(Indexes& indexes, const std::filesystem::path& folder) {
  // The stamp is taken before the names: a change while they are read alters
  // the folder's stamp again, so the next look reads them anew.
  const auto stamp = StampOf(folder);
  if (!stamp) return nullptr;
  auto found = indexes.folders.find(folder.native());
  if (found != indexes.folders.end() && found->second.stamp == *stamp) return &found->second;

  FolderIndex index;
  index.stamp = *stamp;
  if (!ForEachName(folder, [&](const char* name) {
        index.hashes.push_back(FoldedHash(name));
        index.names.emplace_back(name);
        return true;
      }))
    return nullptr;
  std::sort(index.hashes.begin(), index.hashes.end());
  std::sort(index.names.begin(), index.names.end());
  if (found == indexes.folders.end() && indexes.folders.size() >= kMaxIndexedFolders)
    indexes.folders.erase(indexes.folders.begin());
  FolderIndex& kept = indexes.folders[folder.native()];
  kept = std::move(index);
  return &kept;
}

void Insert(FolderIndex& index, const std::string& name) {
  auto place = std::lower_bound(index.names.begin(), index.names.end(), name);
  if (place != index.names.end() && *place == name) return;  // replaced, not added
  index.names.insert(place, name);
  const std::uint64_t hash = FoldedHash(name.c_str());
  index.hashes.insert(std::upper_bound(index.hashes.begin(), index.hashes.end(), hash), hash);
}

void Erase(FolderIndex& index, const std::string& name) {
  auto place = std::lower_bound(index.names.begin(), index.names.end(), name);
  if (place == index.names.end() || *place != name) return;
  index.names.erase(place);
  const std::uint64_t hash = FoldedHash(name.c_str());
  auto found = std::lower_bound(index.hashes.begin(), index.hashes.end(), hash);
  if (found != index.hashes.end() && *found == hash) index.hashes.erase(found);
}

}  // namespace

std::optional<std::string> FindEntryIgnoringCase(const std::filesystem::path& folder, const std::string& name) {
  Indexes& indexes = AllIndexes();
  std::lock_guard<std::mutex> guard(indexes.lock);
  const FolderIndex* index = CurrentIndex(indexes, folder);
  if (index == nullptr || !std::binary_search(index->hashes.begin(), index->hashes.end(), FoldedHash(name.c_str())))
    return std::nullopt;
  // Some entry folds to the same hash: find which one (or that none matches).
  std::optional<std::string> match;
  ForEachName(folder, [&](const char* entry) {
    if (!EqualIgnoringAsciiCase(entry, name)) return true;
    match = entry;
    return false;
  });
  return match;
}

std::optional<std::vector<std::string>> EntriesWithPrefix(const std::filesystem::path& folder,
                                                          const std::string& prefix) {
  Indexes& indexes = AllIndexes();
  std::lock_guard<std::mutex> guard(indexes.lock);
  const FolderIndex* index = CurrentIndex(indexes, folder);
  if (index == nullptr) return std::nullopt;
  std::vector<std::string> names;
  for (auto it = std::lower_bound(index->names.begin(), index->names.end(), prefix);
       it != index->names.end() && it->compare(0, prefix.size(), prefix) == 0; ++it)
    names.push_back(*it);
  return names;
}

FolderChange::FolderChange(std::filesystem::path removed, std::filesystem::path added)
    : _removed(std::move(removed)), _added(std::move(added)) {
  if (!_removed.empty()) _removedFolderBefore = StampOf(_removed.parent_path());
  if (!_added.empty()) _addedFolderBefore = StampOf(_added.parent_path());
}

void FolderChange::Made() {
  Indexes& indexes = AllIndexes();
  std::lock_guard<std::mutex> guard(indexes.lock);
  // Applies this change's part in one folder to its index, when that index
  // described the folder right before the change; otherwise drops the index.
  auto apply = [&](const std::filesystem::path& folder, const std::optional<FolderStamp>& before,
                   const std::function<void(FolderIndex&)>& delta) {
    auto found = indexes.folders.find(folder.native());
    if (found == indexes.folders.end()) return;
    const auto after = StampOf(folder);
    if (!before || !after || found->second.stamp != *before) {
      indexes.folders.erase(found);
      return;
    }
    delta(found->second);
    found->second.stamp = *after;
  };
  const std::filesystem::path removedFolder = _removed.parent_path();
  const std::filesystem::path addedFolder = _added.parent_path();
  const std::string removedName = _removed.filename().string();
  const std::string addedName = _added.filename().string();
  if (!_removed.empty() && !_added.empty() && removedFolder == addedFolder) {
    apply(removedFolder, _removedFolderBefore, [&](FolderIndex& index) {
      Erase(index, removedName);
      Insert(index, addedName);
    });
    return;
  }
  if (!_removed.empty())
    apply(removedFolder, _removedFolderBefore, [&](FolderIndex& index) { Erase(index, removedName); });
  if (!_added.empty()) apply(addedFolder, _addedFolderBefore, [&](FolderIndex& index) { Insert(index, addedName); });
}

}  // namespace tarn::sim
