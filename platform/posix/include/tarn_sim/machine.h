// The simulated machine: a folder that stands for one Windows computer.
//
//   registry.reg  HKEY_LOCAL_MACHINE in the .reg text format
//   driver.ini    the simulated power-monitor driver's device interfaces
//   drive_c/      drive C: (C:\ProgramData is drive_c/ProgramData)
//   run/          the service control manager's endpoints and records
//
// The folder comes from SetMachineRoot (tests) or else the environment
// variable TARN_MACHINE, read once.
//
// A slow machine, for tests (environment variables, read at every call, in
// milliseconds; unset or 0 means no delay):
//   TARN_SIM_REGISTRY_DELAY_MS   each RegQueryValueExW takes this long
//   TARN_SIM_FILE_OPEN_DELAY_MS  each _wfsopen, and each CreateFileW for
//                                writing, takes this long
// A slow driver request is a key of driver.ini ("delay = REQUEST MS").
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarn::sim {

// The simulated driver looks at driver.ini at most this often: a change to the
// file is seen by every driver call that starts longer than this after it.
inline constexpr std::chrono::milliseconds kDriverIniRecheckInterval{2};

// The machine folder, absolute; nullopt when none is set.
std::optional<std::filesystem::path> MachineRoot();

// Replaces the machine folder for this process (an empty path clears it).
void SetMachineRoot(const std::filesystem::path& root);

// A number that changes whenever SetMachineRoot replaces the machine folder, so
// that what was cached about one machine is not taken for another.
std::uint64_t MachineGeneration();

// Maps a Windows path on drive C: ("C:\ProgramData\X", "c:/x", "\\?\C:\x") onto
// the machine's drive_c folder. Each component that does not exist with the exact
// spelling is matched without regard to case, as Windows' file system does. Returns
// nullopt when no machine is set or the path is not an absolute C: path.
std::optional<std::filesystem::path> MapWindowsPath(std::wstring_view windowsPath);

// The host path of a Windows path exactly as spelled, without looking at the
// disk; nullopt also for a path with "." or ".." or an empty component. A caller
// that finds something there has the answer MapWindowsPath would give with one
// query; on "not found" it must ask MapWindowsPath, which also matches letter case.
std::optional<std::filesystem::path> MapWindowsPathAsSpelled(std::wstring_view windowsPath);

// <machine>/run, created on demand; nullopt when no machine is set.
std::optional<std::filesystem::path> RunFolder();

// Sleeps for the milliseconds that the environment variable `variable` holds
// (nothing when it is unset, empty, 0 or not a number).
void SimulatedDelay(const char* variable);
inline constexpr char kRegistryDelayVariable[] = "TARN_SIM_REGISTRY_DELAY_MS";
inline constexpr char kFileOpenDelayVariable[] = "TARN_SIM_FILE_OPEN_DELAY_MS";

// Conversions between the system's wide strings and the host's UTF-8 file names.
std::string ToUtf8(std::wstring_view wide);
std::wstring FromUtf8(std::string_view utf8);

}  // namespace tarn::sim
