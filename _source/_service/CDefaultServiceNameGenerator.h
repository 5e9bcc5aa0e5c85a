#pragma once

#include "IServiceNameGenerator.h"

namespace Corvessan::Orwe {

// The manager passes the name a service was started under as its first argument.
class CDefaultServiceNameGenerator : public IServiceNameGenerator {
 public:
  std::wstring GetServiceName(int argc, LPWSTR* argv) override;
};

}  // namespace Corvessan::Orwe
