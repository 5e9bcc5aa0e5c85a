#include "driver_ini.h"

namespace tarn::test {

std::string InterfacePath(const std::string& instance) {
  return "\\\\?\\root#tarnpwr#" + instance + "#{45bd8344-7ed6-49cf-a440-c276c933b053}";
}

std::string DeviceSection(const std::string& path, const std::string& component, const std::string& extra) {
  return "[device]\npath = " + path + "\ncomponent = " + component + "\n" + extra + "\n";
}

}  // namespace tarn::test
