// tarn-sc's commands, written against the Win32 service functions so that the
// same code drives Windows' service control manager and the Linux stand-in's.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tarn::sc {

// Runs one command line (the arguments after the program name), writing what
// sc.exe would print to `out`. Returns the exit code: 0, or the Win32 error code
// of the failure.
//
//   [--machine DIR] create NAME binPath= PATH [type= own|share|interact]
//                   [start= demand|auto|disabled] [error= normal|severe|critical|ignore]
//                   [DisplayName= TEXT]
//   [--machine DIR] delete NAME
//   [--machine DIR] start NAME [ARGUMENT...]   returns once the service reported
//                                              running (or stopped)
//   [--machine DIR] stop NAME                  returns once the service reported
//                                              stopped and its process has ended
//   [--machine DIR] control NAME CODE
//   [--machine DIR] interrogate NAME
//   [--machine DIR] query NAME
//   [--machine DIR] queryex NAME
//
// --machine names the machine folder of the Linux stand-in; without it the
// stand-in takes TARN_MACHINE. It is passed to OpenSCManagerW as the machine name.
int Run(const std::vector<std::string>& arguments, std::FILE* out);

}  // namespace tarn::sc
