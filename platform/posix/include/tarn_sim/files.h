// The stand-in's table of open files: which C runtime streams hold which file,
// with which access and which sharing. The file functions consult it so that a
// file held open elsewhere refuses what Windows would refuse.
#pragma once

#include <filesystem>

#include <windows.h>

namespace tarn::sim {

// ERROR_SUCCESS when the file at the host path may be deleted or renamed now,
// ERROR_SHARING_VIOLATION while an open stream holds it without delete sharing.
DWORD CheckDeleteSharing(const std::filesystem::path& hostPath);

}  // namespace tarn::sim
