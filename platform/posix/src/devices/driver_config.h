// The simulated power-monitor driver's configuration: driver.ini of the simulated
// machine, one [device] section per device interface. The keys are documented in
// tools/demo-machine/driver.ini.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::sim::devices {

// The requests a section can make fail ("fail = <request> <code>"). Enumerate is
// the listing of the class's interfaces (SetupDiGetClassDevsW): while a device
// with that failure is configured, the whole listing fails.
enum class Request { Enumerate, Open, Check, InformationSize, Information, Reading };

// A reading: a fixed value, or a counter that starts at `start` and advances by
// `step` after each read of its device.
struct ReadingSource {
  std::uint64_t start = 0;
  std::uint64_t step = 0;
  bool counter = false;

  bool operator==(const ReadingSource&) const = default;
};

// How the information block is cut, to play a faulty driver.
enum class InformationShape {
  Normal,        // header, name, terminating 0
  Short,         // 73 bytes: the header and half a code unit
  Unterminated,  // header and name, no terminating 0
  Odd,           // header, name and one stray byte, no terminating 0
};

struct DeviceConfig {
  std::wstring path;
  std::wstring component;
  std::uint16_t check = 1;
  ReadingSource reading0;
  ReadingSource reading1;
  std::map<Request, DWORD> failures;
  std::map<Request, DWORD> delays;  // milliseconds that a request takes before it answers
  InformationShape information = InformationShape::Normal;
  bool informationSizeOverridden = false;
  std::uint32_t informationSize = 0;   // the size reply when overridden
  std::size_t checkReplyBytes = 2;     // bytes of the check reply the driver writes (0-2)
  std::size_t readingReplyBytes = 16;  // bytes of the reading reply the driver writes (0-16)
};

// Parses the text of driver.ini. A section without a path, or with the path of an
// earlier section, is left out; a key or value that cannot be understood is
// skipped. Each problem is described in `problems` ("line N: ...").
std::vector<DeviceConfig> ParseDriverConfig(std::wstring_view text, std::vector<std::string>& problems);

// The file's bytes as text: UTF-8 (with or without a byte-order mark) or UTF-16LE
// with its byte-order mark.
std::wstring DecodeConfigText(const std::string& bytes);

}  // namespace tarn::sim::devices
