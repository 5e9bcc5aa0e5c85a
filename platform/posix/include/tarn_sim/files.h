// The stand-in's table of open files: which C runtime streams and file handles
// hold which file, with which access and which sharing. The file functions
// consult it so that a file held open elsewhere refuses what Windows would
// refuse.
#pragma once

#include <filesystem>
#include <optional>

#include <windows.h>

namespace tarn::sim {

// ERROR_SUCCESS when the file at the host path may be deleted or renamed now,
// ERROR_SHARING_VIOLATION while an open stream holds it without delete sharing.
DWORD CheckDeleteSharing(const std::filesystem::path& hostPath);

// CreateFileW on a path of drive C: (the host path it maps to, and the Windows
// path for nothing but error codes). Sets the last error as CreateFileW does.
HANDLE OpenFileHandle(const std::filesystem::path& hostPath, DWORD access, DWORD share, DWORD disposition, DWORD flags);

// The error of a path that does not exist: ERROR_FILE_NOT_FOUND when its folder
// exists, else ERROR_PATH_NOT_FOUND, as Windows tells the two apart.
DWORD MissingPathError(const std::filesystem::path& hostPath);

// Simulated volumes: <machine>/volumes lists, one a line, Windows paths of
// folders that are volumes of their own (mounted in that folder). A move between
// two volumes is a copy and a delete, as on Windows; the host's own mount points
// count as well.
bool OnSameVolume(const std::filesystem::path& hostA, const std::filesystem::path& hostB);

}  // namespace tarn::sim
