// The two logs set up as the service sets them up: limits first, then kind and
// header; at the start the local log is pruned, rotated and opened, the upload
// log only opened.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "log_file_manager.h"
#include "log_headers.h"
#include "upload_log_file_manager.h"

namespace tarn::test {

template <class Log>
Log& MakeLog(std::optional<Log>& slot, std::uint32_t sizeLimit, std::uint32_t backups, const std::wstring& kind,
             const char* headerLine) {
  slot.emplace();
  slot->_fileSizeByte = sizeLimit;
  slot->_fileBackupNum = backups;
  // Through the base class, as the service configures its logs.
  static_cast<LogFileManager&>(*slot).Configure(kind, std::wstring(headerLine, headerLine + std::strlen(headerLine)));
  return *slot;
}

inline LogFileManager& MakeLocalLog(std::optional<LogFileManager>& slot, std::uint32_t sizeLimit,
                                    std::uint32_t backups) {
  return MakeLog(slot, sizeLimit, backups, L"TARNLog", kLocalHeaderLine);
}

inline LogFileManager& StartLocalLog(std::optional<LogFileManager>& slot, std::uint32_t sizeLimit,
                                     std::uint32_t backups) {
  LogFileManager& log = MakeLocalLog(slot, sizeLimit, backups);
  log.RemoveOldBackups(log.Folder());
  log.RotateIfNeeded();
  log.Open();
  return log;
}

inline UploadLogFileManager& StartUploadLog(std::optional<UploadLogFileManager>& slot, std::uint32_t sizeLimit,
                                            std::uint32_t backups) {
  UploadLogFileManager& log = MakeLog(slot, sizeLimit, backups, L"TARNLogUpload", kUploadHeaderLine);
  log.Open();
  return log;
}

}  // namespace tarn::test
