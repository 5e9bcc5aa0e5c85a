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
  // deletes it) and removes this log's surplus files there. Never throws (a
  // failure is traced and the file stays); the next WriteRow starts a new
  // current file.
  //
  // Hides LogFileManager::RotateIfNeeded on purpose, which is not virtual: a
  // full upload file never becomes a local backup and no new file is opened
  // here, so the base's rotation must not run on it. A call through a
  // LogFileManager reference or pointer would run the base's rotation; that is
  // why the service's WriteSample, which writes a row and rotates for both
  // logs, is a template over the log's type, so that each call names this
  // function for the upload log and the base's for the local log.
  void RotateIfNeeded();

 protected:
  const std::wstring _uploadSubFolder = L"\\Corvessan\\VORLA\\upload";
  std::wstring _uploadFolder;

 private:
  // Set by the first RotateIfNeeded, which removes a surplus of handed-over
  // files also when the current file is not full (a power cut between a
  // hand-over and the clean-up may have left one too many).
  bool _dropFolderPruned = false;
};
