#include "link_safety.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <exception>

#include "unique_handle.h"
#include "debug_trace.h"
#include "tarn_fs/file_system.h"

namespace {

using tarn::UniqueFileHandle;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A planted link is removed and the open tried again; someone who keeps
// planting one wins only the row at hand, never a write through the link.
constexpr int kOpenAttempts = 3;

std::optional<FileFacts> FactsOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle, &information)) return std::nullopt;
  FileFacts facts;
  facts.attributes = information.dwFileAttributes;
  facts.links = information.nNumberOfLinks;
  facts.volume = information.dwVolumeSerialNumber;
  facts.index = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  facts.size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
  return facts;
}

const char* DescribeUnsafe(const FileFacts& facts) {
  if (facts.IsLink()) return "is a link";
  if (facts.IsFolder()) return "is a folder";
  return "has more than one name";
}

// Walks the folders of base + subFolder below base, outermost first, handing
// `visit` each one's path and attributes (INVALID_FILE_ATTRIBUTES when nothing
// of that name can be looked at; a link's own, never its target's). A folder is
// looked at only when `visit` has accepted the one above it. False when `visit`
// stopped the walk by returning false.
template <class Visit>
bool WalkFolderChain(const std::wstring& base, const std::wstring& subFolder, Visit visit) {
  for (std::size_t slash = subFolder.find(L'\\', 1);; slash = subFolder.find(L'\\', slash + 1)) {
    const std::wstring part = subFolder.substr(0, slash);
    if (part.size() > 1) {
      const std::wstring folder = base + part;
      if (!visit(folder, GetFileAttributesW(folder.c_str()))) return false;
    }
    if (slash == std::wstring::npos) return true;
  }
}

}  // namespace

std::optional<FileFacts> QueryFileFacts(const std::wstring& path) {
  // Attributes only: never refused by another holder's sharing.
  UniqueFileHandle handle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return std::nullopt;
  return FactsOfHandle(handle.get());
}

bool RemoveName(const std::wstring& path, const FileFacts& facts) {
  if (!facts.IsFolder()) return DeleteFileW(path.c_str()) != FALSE;
  // A folder link (a junction) goes with RemoveDirectoryW, which never touches
  // what it leads to; a real folder only when it is empty.
  try {
    return tarn::fs::Remove(path);
  } catch (const std::exception&) {
    return false;
  }
}

std::optional<OpenedLogFile> OpenLogFileSafely(const std::wstring& path, bool discardContent) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    // Looked at first without write access: a hard link to a file the service
    // may not write must be recognised, not refused.
    if (auto existing = QueryFileFacts(path); existing && !existing->IsPlainFile()) {
      DebugTrace("%s %s: its name removed, a new file started", ToNarrow(path).c_str(), DescribeUnsafe(*existing));
      if (!RemoveName(path, *existing)) {
        DebugTrace("%s cannot be removed (%lu)", ToNarrow(path).c_str(), static_cast<unsigned long>(GetLastError()));
        return std::nullopt;
      }
    }
    UniqueFileHandle handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return std::nullopt;
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    auto facts = FactsOfHandle(handle.get());
    if (!facts) return std::nullopt;
    if (!facts->IsPlainFile()) continue;  // planted between the look and the open: look again

    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_APPEND | _O_BINARY);
    if (descriptor < 0) return std::nullopt;
    static_cast<void>(handle.release());  // the descriptor owns it now
    if (discardContent && existed && _chsize_s(descriptor, 0) != 0) {
      _close(descriptor);
      return std::nullopt;
    }
    UniqueFile file(_fdopen(descriptor, "a+b"));
    if (file == nullptr) {
      _close(descriptor);
      return std::nullopt;
    }
    if (discardContent) facts->size = 0;  // emptied above
    return OpenedLogFile{std::move(file), *facts, descriptor};
  }
  DebugTrace("%s: a link keeps reappearing under this name; not opened", ToNarrow(path).c_str());
  return std::nullopt;
}

std::optional<std::wstring> FirstLinkInChain(const std::wstring& base, const std::wstring& subFolder) {
  std::optional<std::wstring> link;
  WalkFolderChain(base, subFolder, [&](const std::wstring& folder, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    link = folder;
    return false;
  });
  return link;
}

bool SecureFolderChain(const std::wstring& base, const std::wstring& subFolder, FolderChainUse use) {
  bool linkReplaced = false;  // the folders below a replaced link are made anew as well
  return WalkFolderChain(base, subFolder, [&](const std::wstring& folder, DWORD attributes) {
    const bool missing = attributes == INVALID_FILE_ATTRIBUTES;
    if (!missing && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      DebugTrace("%s is a link: removed, a real folder made in its place", ToNarrow(folder).c_str());
      FileFacts link;
      link.attributes = attributes;
      if (!RemoveName(folder, link)) {
        DebugTrace("%s cannot be removed (%lu); the log stays closed", ToNarrow(folder).c_str(),
                   static_cast<unsigned long>(GetLastError()));
        return false;
      }
      linkReplaced = true;
    } else if (use == FolderChainUse::Reuse && !linkReplaced) {
      // Only the start makes missing folders and repairs existing ones.
      return !missing;
    }
    try {
      tarn::fs::CreateProtectedFolder(folder);
    } catch (const std::exception& error) {
      DebugTrace("%s cannot be made or protected: %s", ToNarrow(folder).c_str(), error.what());
      return false;
    }
    return true;
  });
}

DropFolderState CheckDropFolder(const std::wstring& base, const std::wstring& subFolder) {
  DropFolderState state = DropFolderState::Usable;
  WalkFolderChain(base, subFolder, [&](const std::wstring& folder, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      state = DropFolderState::Missing;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      DebugTrace("%s is a link: the drop folder counts as absent", ToNarrow(folder).c_str());
      state = DropFolderState::Untrusted;
    } else if (!tarn::fs::HasTrustedOwner(folder)) {
      DebugTrace("%s has an untrusted owner: the drop folder counts as absent", ToNarrow(folder).c_str());
      state = DropFolderState::Untrusted;
    }
    return state == DropFolderState::Usable;
  });
  return state;
}
