// The case index of the folders on the simulated machine's drive C:.
//
// Windows finds "TARNLog.csv" when asked for "tarnlog.CSV"; Linux does not, so
// for a name that is not there with its exact spelling the stand-in has to look
// at every entry of the folder. In a folder of many entries that look is costly,
// and a rotation asks for several new names, so each folder gets an index: the
// names of its entries and their hashes with A to Z folded, read once and kept while the
// folder's stamp (identity, size, modification and change times) stays the same.
// The index also answers the listing of the names with a prefix (a log's
// backups), which would otherwise read every entry at every rotation.
// The stand-in's own changes to a folder (a file created, renamed or deleted)
// are applied to the index as they are made, so they do not make it start over;
// a change by anybody else alters the stamp and the index is read anew.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarn::sim {

// What tells one state of a folder from another.
struct FolderStamp {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0, changedSeconds = 0, changedNanoseconds = 0;
  bool operator==(const FolderStamp&) const = default;
};

// The name of the entry of `folder` that equals `name` without regard to A to Z,
// or nullopt when there is none (also when the folder cannot be read).
std::optional<std::string> FindEntryIgnoringCase(const std::filesystem::path& folder, const std::string& name);

// The names of the folder's entries that begin with `prefix` (compared byte by
// byte), from the index; nullopt when the folder cannot be read.
std::optional<std::vector<std::string>> EntriesWithPrefix(const std::filesystem::path& folder,
                                                          const std::string& prefix);

// One change the stand-in makes to folder entries: made before the change, with
// the entry that goes away and the entry that appears (either may be empty; both
// for a rename), and told with Made() once the change has succeeded. Without
// Made() the folders' indexes are simply read anew when next needed.
class FolderChange {
 public:
  FolderChange(std::filesystem::path removed, std::filesystem::path added);
  void Made();

 private:
  std::filesystem::path _removed;
  std::filesystem::path _added;
  // The folders' stamps before the change; nullopt when unknown.
  std::optional<FolderStamp> _removedFolderBefore;
  std::optional<FolderStamp> _addedFolderBefore;
};

}  // namespace tarn::sim
