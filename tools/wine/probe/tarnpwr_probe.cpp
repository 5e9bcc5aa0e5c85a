// tarnpwr-probe: talks to every present power-monitor interface the way the
// service does (32-bit process, SetupAPI enumeration, CreateFileW with
// GENERIC_READ | GENERIC_WRITE and share mode 0, buffered device controls)
// and prints what each one answers, one line per interface:
//
//   device PATH open=ok check=1 info_size=82 component=WIFI read=500,10 read=500,15
//
// A failed step prints error:N (the Win32 code) in place of its value.
//
//   tarnpwr-probe [--reads N] [--during COMMAND-LINE] [--echo-errors C1,C2,...]
//
// --during runs a command line while the handles of the first pass stay
// open, then sends a reading request on each of those handles again
// ("after PATH read=..."), and lists the interfaces present afterwards
// ("present PATH", "present-count N"). --echo-errors asks the first device
// to fail a development request with each code and prints what reached this
// process ("echo C -> N"). The exit code is 0 when every step ran; the
// results are for the caller to judge.
#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarnpwr_ioctl.h"
#include "unique_handle.h"

namespace {

const GUID kInterfaceClass = TARNPWR_INTERFACE_GUID_INIT;

using UniqueFile = tarn::UniqueFileHandle;
using UniqueObject = tarn::UniqueHandle;  // process and thread handles: null when absent
using UniqueDevInfo = tarn::UniqueDeviceInfoList;

std::string ToUtf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

std::string ErrorText(DWORD error) { return "error:" + std::to_string(static_cast<unsigned long>(error)); }

// Present interface paths of the class, in the enumeration's order.
bool ListInterfaces(std::vector<std::wstring>* paths) {
  UniqueDevInfo list(SetupDiGetClassDevsW(&kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!list.is_valid()) {
    std::printf("enumerate %s\n", ErrorText(GetLastError()).c_str());
    return false;
  }
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(list.get(), nullptr, &kInterfaceClass, index, &data); ++index) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list.get(), &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<std::uint8_t> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &data, detail, required, &required, nullptr)) {
      std::printf("detail %s\n", ErrorText(GetLastError()).c_str());
      return false;
    }
    paths->emplace_back(detail->DevicePath);
  }
  return true;
}

// One buffered request; returns the Win32 error (0 on success).
DWORD Control(HANDLE device, std::uint32_t code, void* input, DWORD input_size, void* output, DWORD output_size) {
  DWORD returned = 0;
  if (DeviceIoControl(device, code, input, input_size, output, output_size, &returned, nullptr)) return 0;
  DWORD error = GetLastError();
  return error ? error : ERROR_GEN_FAILURE;
}

std::uint64_t LoadU64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

std::string ReadingText(HANDLE device) {
  std::uint8_t reply[TARNPWR_READ_REPLY_SIZE] = {};
  DWORD error = Control(device, TARNPWR_IOCTL_READ, nullptr, 0, reply, sizeof reply);
  if (error) return ErrorText(error);
  return std::to_string(LoadU64(reply)) + "," + std::to_string(LoadU64(reply + 8));
}

std::string CheckText(HANDLE device) {
  std::uint8_t reply[TARNPWR_CHECK_REPLY_SIZE] = {};
  DWORD error = Control(device, TARNPWR_IOCTL_CHECK, nullptr, 0, reply, sizeof reply);
  if (error) return ErrorText(error);
  return std::to_string(reply[0] | (reply[1] << 8));
}

// "info_size=N component=NAME", reading the name within the reply's bounds.
std::string InformationText(HANDLE device) {
  std::uint8_t size_reply[TARNPWR_INFO_SIZE_REPLY_SIZE] = {};
  DWORD error = Control(device, TARNPWR_IOCTL_INFO_SIZE, nullptr, 0, size_reply, sizeof size_reply);
  if (error) return "info_size=" + ErrorText(error);
  std::uint32_t size = size_reply[0] | (size_reply[1] << 8) | (size_reply[2] << 16) | (size_reply[3] << 24);
  std::string result = "info_size=" + std::to_string(size);
  if (size > 65536) return result + " component=error:too-large";
  std::vector<std::uint8_t> block(size);
  error = Control(device, TARNPWR_IOCTL_INFO, nullptr, 0, block.data(), size);
  if (error) return result + " component=" + ErrorText(error);
  std::wstring name;
  for (std::size_t at = TARNPWR_INFO_NAME_OFFSET; at + 1 < block.size(); at += 2) {
    wchar_t unit = static_cast<wchar_t>(block[at] | (block[at + 1] << 8));
    if (unit == 0) break;
    name.push_back(unit);
  }
  return result + " component=" + ToUtf8(name);
}

UniqueFile OpenDevice(const std::wstring& path, DWORD* error) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  *error = file.is_valid() ? 0 : GetLastError();
  return file;
}

// Runs a command line and waits for it; returns its exit code or -1.
long RunAndWait(const std::wstring& command_line) {
  std::vector<wchar_t> mutable_line(command_line.begin(), command_line.end());
  mutable_line.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    std::printf("during %s\n", ErrorText(GetLastError()).c_str());
    return -1;
  }
  UniqueObject process(info.hProcess), thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<long>(code);
}

struct Options {
  int reads = 2;
  std::wstring during;
  std::vector<DWORD> echo_codes;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--reads" && i + 1 < argc) {
      options->reads = std::wcstol(argv[++i], nullptr, 10);
      if (options->reads < 0 || options->reads > 1000) return false;
    } else if (arg == L"--during" && i + 1 < argc) {
      options->during = argv[++i];
    } else if (arg == L"--echo-errors" && i + 1 < argc) {
      for (wchar_t* at = argv[++i]; *at;) {
        wchar_t* end = nullptr;
        options->echo_codes.push_back(static_cast<DWORD>(std::wcstoul(at, &end, 0)));
        if (end == at) return false;
        at = (*end == L',') ? end + 1 : end;
      }
    } else {
      return false;
    }
  }
  return true;
}

void EchoErrors(HANDLE device, const std::vector<DWORD>& codes) {
  for (DWORD code : codes) {
    DWORD input = code;
    DWORD error = Control(device, TARNPWR_IOCTL_ECHO_ERROR, &input, sizeof input, nullptr, 0);
    std::printf("echo %lu -> %lu\n", static_cast<unsigned long>(code), static_cast<unsigned long>(error));
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: tarnpwr-probe [--reads N] [--during COMMAND-LINE] [--echo-errors C1,C2,...]\n");
    return 2;
  }
  std::vector<std::wstring> paths;
  if (!ListInterfaces(&paths)) return 1;
  std::printf("count %u\n", static_cast<unsigned>(paths.size()));

  std::map<std::wstring, UniqueFile> open_devices;  // ordered by path, as the service visits them
  for (const auto& path : paths) {
    DWORD error = 0;
    UniqueFile file = OpenDevice(path, &error);
    std::string line = "device " + ToUtf8(path) + " open=" + (error ? ErrorText(error) : "ok");
    if (!error) {
      line += " check=" + CheckText(file.get()) + " " + InformationText(file.get());
      for (int i = 0; i < options.reads; ++i) line += " read=" + ReadingText(file.get());
      open_devices.emplace(path, std::move(file));
    }
    std::printf("%s\n", line.c_str());
  }
  if (!options.echo_codes.empty()) {
    if (open_devices.empty()) {
      std::printf("echo no-open-device\n");
      return 1;
    }
    EchoErrors(open_devices.begin()->second.get(), options.echo_codes);
  }
  if (options.during.empty()) return 0;

  std::printf("during exit=%ld\n", RunAndWait(options.during));
  for (const auto& [path, file] : open_devices)
    std::printf("after %s read=%s\n", ToUtf8(path).c_str(), ReadingText(file.get()).c_str());
  std::vector<std::wstring> remaining;
  if (!ListInterfaces(&remaining)) return 1;
  for (const auto& path : remaining) {
    DWORD error = 0;
    UniqueFile reopened = OpenDevice(path, &error);
    std::printf("present %s open=%s\n", ToUtf8(path).c_str(), error ? ErrorText(error).c_str() : "ok");
  }
  std::printf("present-count %u\n", static_cast<unsigned>(remaining.size()));
  return 0;
}
