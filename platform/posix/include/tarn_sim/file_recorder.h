// The recorder of file operations: when the environment variable
// TARN_SIM_FS_RECORD names a file (or a test calls StartFileRecording), every
// operation of this process that changes a file or folder on drive C: is
// appended there, in the order the operations happen, one line each. The
// crash-state checker (tools/crashcheck) replays the lines to build what a power
// cut at any point could leave on the disk. While nothing is recorded each call
// below costs one atomic load.
//
// Lines (fields separated by a tab; a path is the host path, relative to the
// machine folder when it lies below it, and always the last field):
//   create   PATH              a new, empty file
//   write    OFFSET HEX PATH   bytes written at that offset
//   setsize  SIZE PATH         the file cut back or extended (0: opened with truncation)
//   rename   FROM TO           a move within one volume; TO is replaced
//   delete   PATH              a file or an empty folder removed
//   mkdir    PATH              a folder made
//   fsync    PATH              the file's data flushed to stable storage
//   fsyncdir PATH              the folder's entries flushed to stable storage
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tarn::sim {

inline constexpr char kFileRecordVariable[] = "TARN_SIM_FS_RECORD";

// Tests: records into `file` from now on (appending), or stops with an empty path.
void StartFileRecording(const std::filesystem::path& file);

namespace record {

// True while operations are recorded; the only cost when they are not.
bool On();

void Create(const std::filesystem::path& file);
void Write(int descriptor, std::uint64_t offset, std::string_view bytes);
void Write(const std::filesystem::path& file, std::uint64_t offset, std::string_view bytes);
void SetSize(int descriptor, std::uint64_t size);
void SetSize(const std::filesystem::path& file, std::uint64_t size);
void Rename(const std::filesystem::path& from, const std::filesystem::path& to);
void Delete(const std::filesystem::path& path);
void MakeFolder(const std::filesystem::path& folder);
void FlushFile(int descriptor);
void FlushFolder(const std::filesystem::path& folder);

// The host path a descriptor was opened by (its current name), empty when unknown.
std::filesystem::path PathOfDescriptor(int descriptor);

}  // namespace record
}  // namespace tarn::sim
