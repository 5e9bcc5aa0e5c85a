// tarn-setup: the few service settings that install.cmd and uninstall.cmd need
// and sc.exe cannot make.
//
//   tarn-setup preshutdown  NAME MILLISECONDS  how long the service control manager
//                                              waits for the service after a
//                                              pre-shutdown before it goes on
//   tarn-setup qpreshutdown NAME               prints "PRESHUTDOWN_TIMEOUT: <ms>"
//   tarn-setup stop         NAME SECONDS       stops the service (unless it is
//                                              stopped) and waits until it reports
//                                              stopped and its process has ended
//   tarn-setup programfiles                    prints the Program Files folder for
//                                              programs of tarn-setup's own kind
//
// "programfiles" lets one install.cmd serve both packages: Windows answers a
// 32-bit program with "Program Files (x86)" on 64-bit Windows, and a 64-bit one
// with "Program Files", so the folder follows the executables beside it.
// The exit code is 0 or the Win32 error code of the failure: 87 for a wrong command
// line, 1060 for a service that is not installed, 1053 when the service did not
// stop in time. sc.exe has no verb to set the pre-shutdown time-out (only
// "qpreshutdown" to read it), and "sc stop" returns before the service stopped.
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <winsvc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <thread>

#include "decimal_dword.h"
#include "unique_handle.h"

namespace {

using tarn::UniqueHandle;
using tarn::UniqueServiceHandle;

constexpr int kBadCommandLine = ERROR_INVALID_PARAMETER;
constexpr auto kPollInterval = std::chrono::milliseconds(250);

int Usage() {
  std::fputs(
      "usage: tarn-setup preshutdown NAME MILLISECONDS\n"
      "       tarn-setup qpreshutdown NAME\n"
      "       tarn-setup stop NAME SECONDS\n"
      "       tarn-setup programfiles\n",
      stderr);
  return kBadCommandLine;
}

int Fail(const char* what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "tarn-setup: %s failed: error %lu\n", what, static_cast<unsigned long>(error));
  return error != 0 ? static_cast<int>(error) : 1;
}

UniqueServiceHandle OpenNamedService(const wchar_t* name, DWORD access) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return UniqueServiceHandle();
  return UniqueServiceHandle(OpenServiceW(manager.get(), name, access));
}

int SetPreshutdownTimeout(const wchar_t* name, DWORD timeoutMs) {
  UniqueServiceHandle service = OpenNamedService(name, SERVICE_CHANGE_CONFIG);
  if (!service) return Fail("OpenService");
  SERVICE_PRESHUTDOWN_INFO info{};
  info.dwPreshutdownTimeout = timeoutMs;
  if (!ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &info)) {
    return Fail("ChangeServiceConfig2");
  }
  return 0;
}

int PrintPreshutdownTimeout(const wchar_t* name) {
  UniqueServiceHandle service = OpenNamedService(name, SERVICE_QUERY_CONFIG);
  if (!service) return Fail("OpenService");
  SERVICE_PRESHUTDOWN_INFO info{};
  DWORD needed = 0;
  if (!QueryServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<LPBYTE>(&info),
                            sizeof(info), &needed)) {
    return Fail("QueryServiceConfig2");
  }
  std::printf("PRESHUTDOWN_TIMEOUT: %lu\n", static_cast<unsigned long>(info.dwPreshutdownTimeout));
  return 0;
}

std::optional<SERVICE_STATUS_PROCESS> QueryStatus(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                            &needed)) {
    return std::nullopt;
  }
  return status;
}

// Stops the service and waits, within `seconds`, until it reports stopped and the
// process it ran in has ended (so that its executable can be replaced or deleted).
int StopAndWait(const wchar_t* name, DWORD seconds) {
  UniqueServiceHandle service = OpenNamedService(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) return Fail("OpenService");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

  UniqueHandle process;
  for (;;) {
    const std::optional<SERVICE_STATUS_PROCESS> status = QueryStatus(service.get());
    if (!status) return Fail("QueryServiceStatusEx");
    // Held from the first sight of the process on, so its end can be awaited
    // after the status says stopped.
    if (!process && status->dwProcessId != 0) {
      process = UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, status->dwProcessId));
    }
    if (status->dwCurrentState == SERVICE_STOPPED) break;
    // A service that is still starting cannot take the stop yet (1061): ask again
    // on the next round. A stop already under way is only awaited.
    if (status->dwCurrentState != SERVICE_STOP_PENDING) {
      SERVICE_STATUS ignored{};
      if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) {
          return Fail("ControlService");
        }
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "tarn-setup: %ls did not stop within %lu s\n", name, static_cast<unsigned long>(seconds));
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    std::this_thread::sleep_for(kPollInterval);
  }

  if (process) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    // Below INFINITE even for a deadline weeks away.
    const DWORD waitMs = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, INFINITE - 1));
    if (WaitForSingleObject(process.get(), waitMs) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "tarn-setup: the process of %ls did not end within %lu s\n", name,
                   static_cast<unsigned long>(seconds));
      return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
  }
  return 0;
}

int PrintProgramFilesFolder() {
  PWSTR path = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &path);
  if (FAILED(result)) {
    CoTaskMemFree(path);
    std::fprintf(stderr, "tarn-setup: no Program Files folder (0x%08lx)\n", static_cast<unsigned long>(result));
    return ERROR_PATH_NOT_FOUND;
  }
  std::wprintf(L"%ls\n", path);
  CoTaskMemFree(path);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"programfiles") return PrintProgramFilesFolder();
  if (argc < 3) return Usage();
  const std::wstring verb = argv[1];
  const wchar_t* name = argv[2];
  if (verb == L"qpreshutdown" && argc == 3) return PrintPreshutdownTimeout(name);
  if (argc != 4) return Usage();
  const std::optional<std::uint32_t> count = tarn::ParseDecimalDword(argv[3]);
  if (!count) return Usage();
  if (verb == L"preshutdown") return SetPreshutdownTimeout(name, *count);
  if (verb == L"stop") return StopAndWait(name, *count);
  return Usage();
}
