#include "upload_log_file_manager.h"

#include <exception>
#include <utility>

#include "debug_trace.h"
#include "tarn_fs/file_system.h"

UploadLogFileManager::UploadLogFileManager() : _uploadFolder(AppDataFolder() + _uploadSubFolder) {}

void UploadLogFileManager::Configure(std::wstring kind, std::wstring header) {
  LogFileManager::Configure(std::move(kind), std::move(header));
  _backupPrefix.insert(0, L"3001_");
}

void UploadLogFileManager::RotateIfNeeded() {
  try {
    if (!CurrentFileIsFull()) {
      // A power cut between a hand-over and the removal of the oldest file may
      // have left one file too many: the first check of a run removes it.
      if (!std::exchange(_dropFolderPruned, true) &&
          CheckDropFolder(AppDataFolder(), _uploadSubFolder) == DropFolderState::Usable)
        RemoveOldBackups(_uploadFolder);
      return;
    }
    CommitAndClose();
    if (!SecureFolderChain(AppDataFolder(), _subFolder, FolderChainUse::Reuse)) return;
    // A drop folder that is a link or that another account owns is no drop
    // folder: the product's collector would pick up whatever lands there.
    if (CheckDropFolder(AppDataFolder(), _uploadSubFolder) != DropFolderState::Usable) {
      // No collection product: the full file's rows are dropped (the name
      // only: a link or a folder found there now is removed, never followed).
      if (const auto current = QueryFileFacts(_filePath); current && !current->IsFolder())
        RemoveName(_filePath, *current);
      return;
    }
    MoveToBackup(_filePath, _uploadFolder);
    RemoveOldBackups(_uploadFolder);
  } catch (const std::exception& error) {
    // Kept from the caller, as a failed hand-over never costs a row: the file
    // stays in place and the next row tries again.
    DebugTrace("The upload log could not be handed over: %s", error.what());
  }
}
