// What the process has written with OutputDebugStringA, as a debugger would see it.
#pragma once

#include <string>
#include <vector>

namespace tarn::sim {

std::vector<std::string> DebugOutput();
void ClearDebugOutput();

}  // namespace tarn::sim
