// The process entry of a windowed program: Windows' runtime calls wWinMain; on
// Linux this main() does, with the command line after the program name, and
// fills the runtime's wide argument vector as Windows' runtime does.
#include <windows.h>

#include <string>
#include <vector>

#include "tarn_sim/machine.h"

int main(int argc, char** argv) {
  static std::vector<std::wstring> arguments;
  static std::vector<wchar_t*> pointers;
  for (int i = 0; i < argc; ++i) arguments.push_back(tarn::sim::FromUtf8(argv[i]));
  for (auto& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  __argc = argc;
  __wargv = pointers.data();

  std::wstring commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += L' ';
    commandLine += arguments[static_cast<std::size_t>(i)];
  }
  return wWinMain(nullptr, nullptr, commandLine.data(), 1);
}
