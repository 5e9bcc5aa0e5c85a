#include "CDefaultServiceNameGenerator.h"

namespace Corvessan::Orwe {

std::wstring CDefaultServiceNameGenerator::GetServiceName(int argc, LPWSTR* argv) {
  if (argc <= 0 || argv == nullptr || argv[0] == nullptr) return std::wstring();
  return std::wstring(argv[0]);
}

}  // namespace Corvessan::Orwe
