// A temporary simulated machine for tests over the stand-in's driver.
#pragma once

#include <filesystem>
#include <string>

#include "driver_ini.h"

namespace device_test {

class SimulatedMachine {
 public:
  SimulatedMachine();   // an empty machine folder, made the process's machine
  ~SimulatedMachine();  // the folder removed, no machine set
  SimulatedMachine(const SimulatedMachine&) = delete;
  SimulatedMachine& operator=(const SimulatedMachine&) = delete;

  // Replaces driver.ini in one step (a new file renamed over the old one), so the
  // driver always sees the new version.
  void WriteDriverIni(const std::string& text) const;

  const std::filesystem::path& root() const { return _root; }

 private:
  std::filesystem::path _root;
};

// The interface path with instance number `n`, narrow (for driver.ini) and wide.
std::string InterfacePath(int n);
std::wstring WideInterfacePath(int n);

// One [device] section; `extra` holds further "key = value" lines.
using tarn::test::DeviceSection;

}  // namespace device_test
