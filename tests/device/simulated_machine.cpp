#include "simulated_machine.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "tarn_sim/machine.h"

namespace device_test {

SimulatedMachine::SimulatedMachine() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarn-device-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  _root = pattern;
  tarn::sim::SetMachineRoot(_root);
}

SimulatedMachine::~SimulatedMachine() {
  tarn::sim::SetMachineRoot({});
  std::error_code ignored;
  std::filesystem::remove_all(_root, ignored);
}

void SimulatedMachine::WriteDriverIni(const std::string& text) const {
  const auto staging = _root / "driver.ini.new";
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::rename(staging, _root / "driver.ini");
  // The driver looks at its file at most every kDriverIniRecheckInterval; once
  // that has passed, every request sees the new version.
  std::this_thread::sleep_for(tarn::sim::kDriverIniRecheckInterval + std::chrono::milliseconds(1));
}

std::string InterfacePath(int n) {
  char path[96];
  std::snprintf(path, sizeof(path), "\\\\?\\root#tarnpwr#%04d#{45bd8344-7ed6-49cf-a440-c276c933b053}", n);
  return path;
}

std::wstring WideInterfacePath(int n) { return tarn::sim::FromUtf8(InterfacePath(n)); }

std::string DeviceSection(const std::string& path, const std::string& component, const std::string& extra) {
  return "[device]\npath = " + path + "\ncomponent = " + component + "\n" + extra + "\n";
}

}  // namespace device_test
