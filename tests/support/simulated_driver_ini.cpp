#include <fstream>
#include <thread>

#include "driver_ini.h"
#include "tarn_sim/machine.h"

namespace tarn::test {

void WriteDriverIni(const std::filesystem::path& machineRoot, const std::string& text) {
  const auto staging = machineRoot / "driver.ini.new";
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::rename(staging, machineRoot / "driver.ini");
  // The driver looks at its file at most every kDriverIniRecheckInterval (it
  // has no thread that could tell when it has): once that has passed, every
  // request sees the new version.
  std::this_thread::sleep_for(tarn::sim::kDriverIniRecheckInterval + std::chrono::milliseconds(1));
}

}  // namespace tarn::test
