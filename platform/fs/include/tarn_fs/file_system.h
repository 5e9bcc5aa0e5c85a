// The file-system operations of the log files, on Windows paths (drive letter,
// backslashes) on every platform. Failures are thrown as
// std::filesystem::filesystem_error, as the standard library reports them, so a
// caller that guards with std::exception sees them the same way everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarn::fs {

// Appends the names of the folder's entries ("." and ".." left out) in the order
// the file system delivers them. Throws when the listing cannot begin; returns
// false when it breaks off before the end.
bool ListFolderNames(const std::wstring& folder, std::vector<std::wstring>& names);

// Appends the names of the folder's entries that begin with `prefix`, which
// holds no wildcard. Windows asks the file system for "<prefix>*", which matches
// without regard to case, so a caller that needs the exact prefix checks it.
// Failures as ListFolderNames.
bool ListFolderNamesWithPrefix(const std::wstring& folder, const std::wstring& prefix,
                               std::vector<std::wstring>& names);

// Deletes a file or an empty folder. False when nothing of that name exists;
// throws when the deletion fails.
bool Remove(const std::wstring& path);

// The log folders' protection. Creates the folder (its parent must exist) or,
// when it exists, repairs an owner other than the system or the administrators
// and an access list looser than: SYSTEM and Administrators full control, Users
// read, nothing inherited from above. Throws when it can do neither. The caller
// makes sure the path is no link.
//   Windows: the owner and a protected DACL.
//   Linux:   the owner is the service's own user, and only it may write (mode 0755).
void CreateProtectedFolder(const std::wstring& path);

// True when the owner of what the path names (the last component not followed)
// is trusted to hold files the service hands over: SYSTEM, the Administrators,
// TrustedInstaller or the service's own account on Windows; root or the
// service's own user on Linux. False when the owner cannot be read.
bool HasTrustedOwner(const std::wstring& path);

}  // namespace tarn::fs
