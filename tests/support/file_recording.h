// The stand-in's recorder of file operations (tarn_sim/file_recorder.h) for
// one test: records into a temporary file of its own while it lives. Linux only.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "tarn_sim/file_recorder.h"
#include "test_files.h"

namespace tarn::test {

class FileRecording {
 public:
  FileRecording()
      : _file(std::filesystem::temp_directory_path() / ("tarn-file-recording-" + std::to_string(::getpid()))) {
    std::filesystem::remove(_file);
    tarn::sim::StartFileRecording(_file);
  }
  ~FileRecording() {
    tarn::sim::StartFileRecording({});
    std::filesystem::remove(_file);
  }
  FileRecording(const FileRecording&) = delete;
  FileRecording& operator=(const FileRecording&) = delete;

  // The lines recorded so far.
  std::string Lines() const { return ReadBytes(_file); }

 private:
  std::filesystem::path _file;
};

}  // namespace tarn::test
