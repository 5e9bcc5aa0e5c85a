#include "simulated_machine.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

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

void SimulatedMachine::WriteDriverIni(const std::string& text) const { tarn::test::WriteDriverIni(_root, text); }

std::string InterfacePath(int n) {
  char instance[16];
  std::snprintf(instance, sizeof(instance), "%04d", n);
  return tarn::test::InterfacePath(instance);
}

std::wstring WideInterfacePath(int n) { return tarn::sim::FromUtf8(InterfacePath(n)); }

}  // namespace device_test
