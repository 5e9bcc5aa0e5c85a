#include "test_files.h"

#include <fstream>
#include <iterator>

namespace tarn::test {

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace tarn::test
