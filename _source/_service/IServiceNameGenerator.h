// Yields the name of the service being started, inside its service main.
#pragma once

#include <windows.h>

#include <string>

namespace Corvessan::Orwe {

class IServiceNameGenerator {
 public:
  // argc and argv as the service control manager passes them to a service main.
  virtual std::wstring GetServiceName(int argc, LPWSTR* argv) = 0;
};

}  // namespace Corvessan::Orwe
