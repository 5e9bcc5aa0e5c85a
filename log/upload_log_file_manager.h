// UploadLogFileManager: the log meant for the log-collection product. Rows are
// collected in a current file in the local log folder exactly as LogFileManager
// does; a full file is handed over by moving it into the product's drop folder
// as "3001_" + kind + "_" + time stamp + ".csv", or deleted when the drop
// folder does not exist (the product is not installed).
#pragma once

#include <string>

#include "log_file_manager.h"

class UploadLogFileManager : public LogFileManager {
 public:
  // Also finds the drop folder's path; the folder itself is neither created nor
  // checked here. Throws as LogFileManager's constructor does.
  UploadLogFileManager();

  // As LogFileManager::Configure, with the source prefix "3001_" in front of the backup prefix.
  void Configure(std::wstring kind, std::wstring header) override;

  // Hands a current file larger than _fileSizeByte over to the drop folder (or
  // deletes it) and removes this log's surplus files there. Never throws; the
  // next WriteRow starts a new current file.
  void RotateIfNeeded();

 protected:
  const std::wstring _uploadSubFolder = L"\\Corvessan\\VORLA\\upload";
  std::wstring _uploadFolder;
};
