// Files as the tests look at them: whole, as bytes.
#pragma once

#include <filesystem>
#include <string>

namespace tarn::test {

// The whole file as bytes; "" when it does not exist or cannot be read.
std::string ReadBytes(const std::filesystem::path& path);

}  // namespace tarn::test
