// The driver.ini of the simulated power-monitor driver, as the tests write it.
#pragma once

#include <filesystem>
#include <string>

namespace tarn::test {

// The interface path of the power-monitor class with the given instance text ("0000").
std::string InterfacePath(const std::string& instance);

// One [device] section; `extra` holds further "key = value" lines, each ended by "\n".
std::string DeviceSection(const std::string& path, const std::string& component, const std::string& extra = "");

// Linux only: replaces <machineRoot>/driver.ini in one step (a new file renamed
// over the old one), so that the driver never reads half of it, and returns
// once every request of the driver sees the new version.
void WriteDriverIni(const std::filesystem::path& machineRoot, const std::string& text);

}  // namespace tarn::test
