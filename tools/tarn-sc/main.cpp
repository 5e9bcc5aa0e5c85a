// tarn-sc: a command-line client of the service control manager in the manner
// of Windows' sc.exe (see sc_commands.h for its commands).
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "sc_commands.h"

int main(int argc, char** argv) {
  // Arguments are converted to wide text in the user's encoding.
  std::setlocale(LC_ALL, "");
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return tarn::sc::Run(arguments, stdout);
}
