// Windows: the file-system operations with the Win32 calls themselves, so that
// every answer (and every error code) is the system's own.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <system_error>
#include <utility>

#include "tarn_fs/file_system.h"
#include "unique_find_handle.h"
#include "unique_handle.h"

namespace tarn::fs {
namespace {

[[noreturn]] void Throw(const char* what, const std::wstring& path, DWORD error) {
  throw std::filesystem::filesystem_error(what, std::filesystem::path(path),
                                          std::error_code(static_cast<int>(error), std::system_category()));
}

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

bool IsFolderAttribute(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// SYSTEM and Administrators full control, Users read and traverse, for the
// folder and everything made in it; "P": nothing inherited from ProgramData,
// whose list lets every user create folders and own what they create.
constexpr const wchar_t* kProtectedFolderSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr DWORD kReadAndTraverse = 0x1200a9;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) { return sid != nullptr && IsWellKnownSid(sid, type); }

bool IsSystemOrAdministrators(PSID sid) {
  return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid);
}

// A list is loose when it is inherited, missing (everyone may do anything) or
// grants anyone but SYSTEM and Administrators more than reading.
bool IsLooseDacl(PSECURITY_DESCRIPTOR descriptor, PACL dacl) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) return true;
  if ((control & SE_DACL_PROTECTED) == 0 || dacl == nullptr) return true;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    LPVOID entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return true;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return true;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID trustee = const_cast<DWORD*>(&allowed->SidStart);
    if (!IsSystemOrAdministrators(trustee) && (allowed->Mask & ~kReadAndTraverse) != 0) return true;
  }
  return false;
}

// The account this process runs as (LocalSystem for the service).
bool IsProcessUser(PSID sid) {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)) return false;
  return EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

bool IsTrustedInstaller(PSID sid) {
  UniqueLocalMemory trustedInstaller;
  if (!ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                              trustedInstaller.put()))
    return false;
  return EqualSid(sid, trustedInstaller.get()) != FALSE;
}

// The owner and list an existing folder should get, when it does not have them already.
void RepairFolderSecurity(const std::wstring& path) {
  UniqueLocalMemory current;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  DWORD error =
      GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, current.put());
  if (error != ERROR_SUCCESS) Throw("security", path, error);
  // The service's own account is LocalSystem; under Wine it is the prefix's user.
  const bool foreignOwner = !IsSystemOrAdministrators(owner) && !IsProcessUser(owner);
  if (!foreignOwner && !IsLooseDacl(current.get(), dacl)) return;

  UniqueLocalMemory wanted;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, wanted.put(),
                                                            nullptr))
    Throw("security", path, GetLastError());
  BOOL present = FALSE, defaulted = FALSE;
  PACL wantedDacl = nullptr;
  if (!GetSecurityDescriptorDacl(wanted.get(), &present, &wantedDacl, &defaulted))
    Throw("security", path, GetLastError());
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(administrators);
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
    Throw("security", path, GetLastError());
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  if (foreignOwner) what |= OWNER_SECURITY_INFORMATION;
  error =
      SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, what,
                            foreignOwner ? static_cast<PSID>(administrators) : nullptr, nullptr, wantedDacl, nullptr);
  if (error != ERROR_SUCCESS) Throw("security", path, error);
}

}  // namespace

void CreateProtectedFolder(const std::wstring& path) {
  UniqueLocalMemory descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1, descriptor.put(),
                                                            nullptr))
    Throw("create_directory", path, GetLastError());
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  if (CreateDirectoryW(path.c_str(), &attributes)) return;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS || !IsFolderAttribute(GetFileAttributesW(path.c_str())))
    Throw("create_directory", path, error);
  RepairFolderSecurity(path);
}

bool HasTrustedOwner(const std::wstring& path) {
  UniqueLocalMemory descriptor;
  PSID owner = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            descriptor.put()) != ERROR_SUCCESS ||
      owner == nullptr)
    return false;
  return IsSystemOrAdministrators(owner) || IsTrustedInstaller(owner) || IsProcessUser(owner);
}

bool ListFolderNames(const std::wstring& folder, std::vector<std::wstring>& names) {
  WIN32_FIND_DATAW entry{};
  UniqueFindHandle search(FindFirstFileW((WithoutTrailingSeparators(folder) + L"\\*").c_str(), &entry));
  if (!search.is_valid()) Throw("directory_iterator", folder, GetLastError());
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search.get(), &entry));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool ListFolderNamesWithPrefix(const std::wstring& folder, const std::wstring& prefix,
                               std::vector<std::wstring>& names) {
  // The file system picks the entries: a folder of many other files costs one
  // search, not one name each.
  WIN32_FIND_DATAW entry{};
  UniqueFindHandle search(FindFirstFileExW((WithoutTrailingSeparators(folder) + L"\\" + prefix + L"*").c_str(),
                                           FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!search.is_valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;  // the folder is there, with no such entry
    Throw("directory_iterator", folder, error);
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search.get(), &entry));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool Remove(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (IsNotFound(error)) return false;
    Throw("remove", path, error);
  }
  const BOOL removed = IsFolderAttribute(attributes) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
  if (!removed) Throw("remove", path, GetLastError());
  return true;
}

}  // namespace tarn::fs
