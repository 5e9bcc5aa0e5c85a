// A simulated machine in a temporary folder for one test, and raw access to its files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "tarn_sim/machine.h"

namespace tarn::test {

class SimMachine {
 public:
  SimMachine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-sim-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
    _root = pattern;
    std::filesystem::create_directories(_root / "drive_c");
    tarn::sim::SetMachineRoot(_root);
  }
  ~SimMachine() {
    tarn::sim::SetMachineRoot({});
    std::error_code error;
    std::filesystem::remove_all(_root, error);
  }
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  const std::filesystem::path& root() const { return _root; }
  std::filesystem::path C(const std::string& relative) const { return _root / "drive_c" / relative; }

  void Write(const std::filesystem::path& path, const std::string& bytes) const {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path _root;
};

}  // namespace tarn::test
