// link-probe: shows what the file system under this Windows (or Wine) reports
// of the things the service's folder security relies on, one "key=value" line
// each, in a folder given as the only argument (it must exist and be empty):
//
//   sd.create=ok|error:N          CreateDirectoryW with a protected DACL
//   sd.owner=S-1-...              the owner GetNamedSecurityInfoW reads back
//   sd.dacl=D:P(...)              the DACL read back, as SDDL
//   sd.set=ok|error:N             SetNamedSecurityInfoW of a protected DACL
//   hardlink.create=ok|error:N    CreateHardLinkW
//   hardlink.links=N              nNumberOfLinks of the file with two names
//   symlink.create=ok|error:N     CreateSymbolicLinkW to a file
//   symlink.attributes=0x...      GetFileAttributesW of the link
//   symlink.opened=0x...          dwFileAttributes of the link opened with FILE_FLAG_OPEN_REPARSE_POINT
//   host.NAME.attributes=0x...    the same for each further name the caller
//                                 made in the folder before (e.g. a host symlink)
//
// The exit code is 0; the results are for the caller to judge.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>

#include "unique_find_handle.h"
#include "unique_handle.h"

namespace {

constexpr const wchar_t* kProtectedSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

void PrintResult(const char* key, bool ok) {
  if (ok) {
    std::printf("%s=ok\n", key);
  } else {
    std::printf("%s=error:%lu\n", key, GetLastError());
  }
}

void PrintSecurity(const std::wstring& folder) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  tarn::UniqueLocalMemory descriptor;
  const DWORD error =
      GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, descriptor.put());
  if (error != ERROR_SUCCESS) {
    std::printf("sd.owner=error:%lu\n", error);
    return;
  }
  tarn::UniqueLocalPtr<wchar_t> text;
  if (owner != nullptr && ConvertSidToStringSidW(owner, text.put())) {
    std::printf("sd.owner=%ls\n", text.get());
  } else {
    std::printf("sd.owner=none\n");
  }
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           text.put(), nullptr)) {
    std::printf("sd.dacl=%ls\n", text.get());
  }
}

DWORD OpenedAttributes(const std::wstring& path) {
  const tarn::UniqueFileHandle handle(
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return INVALID_FILE_ATTRIBUTES;
  BY_HANDLE_FILE_INFORMATION information{};
  const BOOL ok = GetFileInformationByHandle(handle.get(), &information);
  return ok ? information.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

DWORD LinkCount(const std::wstring& path) {
  const tarn::UniqueFileHandle handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
  if (!handle) return 0;
  BY_HANDLE_FILE_INFORMATION information{};
  const BOOL ok = GetFileInformationByHandle(handle.get(), &information);
  return ok ? information.nNumberOfLinks : 0;
}

void MakeFile(const std::wstring& path) {
  const tarn::UniqueFileHandle made(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: link-probe FOLDER\n");
    return 2;
  }
  const std::wstring folder = argv[1];

  // What the host made there before the probe's own names.
  WIN32_FIND_DATAW entry{};
  const tarn::UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (search) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      std::printf("host.%ls.attributes=0x%lx\n", name.c_str(), GetFileAttributesW(path.c_str()));
      std::printf("host.%ls.opened=0x%lx\n", name.c_str(), OpenedAttributes(path));
    } while (FindNextFileW(search.get(), &entry));
  }

  tarn::UniqueLocalMemory descriptor;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1, descriptor.put(), nullptr);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  const std::wstring secured = folder + L"\\secured";
  PrintResult("sd.create", CreateDirectoryW(secured.c_str(), &attributes) != FALSE);
  PrintSecurity(secured);

  const std::wstring plain = folder + L"\\plain";
  CreateDirectoryW(plain.c_str(), nullptr);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
  const DWORD set = SetNamedSecurityInfoW(const_cast<LPWSTR>(plain.c_str()), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, dacl, nullptr);
  SetLastError(set);
  PrintResult("sd.set", set == ERROR_SUCCESS);
  tarn::UniqueLocalMemory readBack;
  PACL readDacl = nullptr;
  if (GetNamedSecurityInfoW(plain.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &readDacl,
                            nullptr, readBack.put()) == ERROR_SUCCESS) {
    tarn::UniqueLocalPtr<wchar_t> text;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(readBack.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                             text.put(), nullptr)) {
      std::printf("sd.set.dacl=%ls\n", text.get());
    }
  }
  descriptor.reset();

  const std::wstring original = folder + L"\\original.txt";
  const std::wstring second = folder + L"\\second.txt";
  MakeFile(original);
  PrintResult("hardlink.create", CreateHardLinkW(second.c_str(), original.c_str(), nullptr) != FALSE);
  std::printf("hardlink.links=%lu\n", LinkCount(original));

  const std::wstring link = folder + L"\\link.txt";
  PrintResult("symlink.create", CreateSymbolicLinkW(link.c_str(), original.c_str(), 0) != FALSE);
  std::printf("symlink.attributes=0x%lx\n", GetFileAttributesW(link.c_str()));
  std::printf("symlink.opened=0x%lx\n", OpenedAttributes(link));
  return 0;
}
