#include "upload_log_file_manager.h"

#include <exception>

#include "tarn_fs/file_system.h"

UploadLogFileManager::UploadLogFileManager() : _uploadFolder(CommonAppDataFolder() + L"\\Corvessan\\VORLA\\upload") {}

void UploadLogFileManager::Configure(std::wstring kind, std::wstring header) {
  LogFileManager::Configure(std::move(kind), std::move(header));
  _backupPrefix.insert(0, L"3001_");
}

void UploadLogFileManager::RotateIfNeeded() {
  try {
    if (tarn::fs::FileSize(_filePath) <= _fileSizeByte) return;
    _stream.Close();
    if (tarn::fs::GetFileType(_uploadFolder) != tarn::fs::FileType::Directory) {
      // No collection product: the full file's rows are dropped.
      tarn::fs::Remove(_filePath);
      return;
    }
    MoveToBackup(_filePath, _uploadFolder);
    RemoveOldBackups(_uploadFolder);
  } catch (const std::exception&) {
    // Nothing is reported; the file stays in place and the next row tries again.
  }
}
