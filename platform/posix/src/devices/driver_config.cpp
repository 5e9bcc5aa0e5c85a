#include "driver_config.h"

#include <limits>
#include <optional>

#include "tarn_sim/machine.h"

namespace tarn::sim::devices {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == 0xFEFF; }

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::wstring Lower(std::wstring_view text) {
  std::wstring lower(text);
  for (wchar_t& c : lower)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return lower;
}

// Drops a trailing comment. A value in double quotes is taken literally, so that
// it may hold ';' or keep leading and trailing blanks.
std::wstring_view StripComment(std::wstring_view line) {
  std::size_t scanFrom = 0;
  const std::size_t equals = line.find(L'=');
  if (equals != std::wstring_view::npos) {
    const std::size_t valueStart = line.find_first_not_of(L" \t", equals + 1);
    if (valueStart != std::wstring_view::npos && line[valueStart] == L'"') {
      const std::size_t closing = line.find(L'"', valueStart + 1);
      if (closing != std::wstring_view::npos) scanFrom = closing + 1;
    }
  }
  const std::size_t semicolon = line.find(L';', scanFrom);
  return semicolon == std::wstring_view::npos ? line : line.substr(0, semicolon);
}

std::wstring_view Unquote(std::wstring_view value) {
  if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') return value.substr(1, value.size() - 2);
  return value;
}

// Decimal, or hexadecimal after "0x"; the whole text must be the number.
std::optional<std::uint64_t> ParseNumber(std::wstring_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    unsigned digit;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<unsigned>(c - L'0');
    } else if (base == 16 && c >= L'a' && c <= L'f') {
      digit = static_cast<unsigned>(c - L'a' + 10);
    } else if (base == 16 && c >= L'A' && c <= L'F') {
      digit = static_cast<unsigned>(c - L'A' + 10);
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

std::optional<std::uint64_t> ParseBoundedNumber(std::wstring_view text, std::uint64_t largest) {
  auto value = ParseNumber(text);
  if (!value || *value > largest) return std::nullopt;
  return value;
}

std::vector<std::wstring_view> SplitWords(std::wstring_view text) {
  std::vector<std::wstring_view> words;
  std::size_t start = 0;
  while (true) {
    start = text.find_first_not_of(L" \t", start);
    if (start == std::wstring_view::npos) break;
    std::size_t end = text.find_first_of(L" \t", start);
    if (end == std::wstring_view::npos) end = text.size();
    words.push_back(text.substr(start, end - start));
    start = end;
  }
  return words;
}

std::optional<ReadingSource> ParseReading(std::wstring_view text) {
  const auto words = SplitWords(text);
  if (words.size() == 1) {
    auto value = ParseNumber(words[0]);
    if (!value) return std::nullopt;
    return ReadingSource{*value, 0, false};
  }
  if (words.size() == 3 && Lower(words[0]) == L"counter") {
    auto start = ParseNumber(words[1]);
    auto step = ParseNumber(words[2]);
    if (!start || !step) return std::nullopt;
    return ReadingSource{*start, *step, true};
  }
  return std::nullopt;
}

// "<request> <number>": enumerate, open, check, info (both identification
// requests) or read, each given the number (a failure's code, a delay).
bool ParseRequestNumber(std::wstring_view text, std::map<Request, DWORD>& numbers) {
  const auto words = SplitWords(text);
  if (words.size() != 2) return false;
  auto number = ParseBoundedNumber(words[1], std::numeric_limits<DWORD>::max());
  if (!number) return false;
  const std::wstring request = Lower(words[0]);
  const auto value = static_cast<DWORD>(*number);
  if (request == L"enumerate") {
    numbers[Request::Enumerate] = value;
  } else if (request == L"open") {
    numbers[Request::Open] = value;
  } else if (request == L"check") {
    numbers[Request::Check] = value;
  } else if (request == L"info") {
    numbers[Request::InformationSize] = value;
    numbers[Request::Information] = value;
  } else if (request == L"read") {
    numbers[Request::Reading] = value;
  } else {
    return false;
  }
  return true;
}

std::optional<InformationShape> ParseShape(std::wstring_view text) {
  const std::wstring shape = Lower(text);
  if (shape == L"normal") return InformationShape::Normal;
  if (shape == L"short") return InformationShape::Short;
  if (shape == L"unterminated") return InformationShape::Unterminated;
  if (shape == L"odd") return InformationShape::Odd;
  return std::nullopt;
}

// Applies one key; false when the key or its value is not understood.
bool ApplyKey(DeviceConfig& config, const std::wstring& key, std::wstring_view value) {
  if (key == L"path") {
    if (value.empty()) return false;
    config.path = value;
  } else if (key == L"component") {
    config.component = value;
  } else if (key == L"check") {
    auto check = ParseBoundedNumber(value, 0xFFFF);
    if (!check) return false;
    config.check = static_cast<std::uint16_t>(*check);
  } else if (key == L"reading0" || key == L"reading1") {
    auto reading = ParseReading(value);
    if (!reading) return false;
    (key == L"reading0" ? config.reading0 : config.reading1) = *reading;
  } else if (key == L"fail") {
    return ParseRequestNumber(value, config.failures);
  } else if (key == L"delay") {
    return ParseRequestNumber(value, config.delays);
  } else if (key == L"info") {
    auto shape = ParseShape(value);
    if (!shape) return false;
    config.information = *shape;
  } else if (key == L"infosize") {
    auto size = ParseBoundedNumber(value, std::numeric_limits<std::uint32_t>::max());
    if (!size) return false;
    config.informationSizeOverridden = true;
    config.informationSize = static_cast<std::uint32_t>(*size);
  } else if (key == L"readsize") {
    auto size = ParseBoundedNumber(value, 16);
    if (!size) return false;
    config.readingReplyBytes = static_cast<std::size_t>(*size);
  } else if (key == L"checksize") {
    auto size = ParseBoundedNumber(value, 2);
    if (!size) return false;
    config.checkReplyBytes = static_cast<std::size_t>(*size);
  } else {
    return false;
  }
  return true;
}

class ConfigParser {
 public:
  explicit ConfigParser(std::vector<std::string>& problems) : _problems(problems) {}

  void Line(std::size_t number, std::wstring_view raw) {
    _lineNumber = number;
    const std::wstring_view line = Trim(StripComment(raw));
    if (line.empty()) return;
    if (line.front() == L'[' && line.back() == L']') {
      Section(Trim(line.substr(1, line.size() - 2)));
      return;
    }
    const std::size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) {
      Problem("not a key = value line");
      return;
    }
    if (!_inDevice) return;  // keys of other sections are not ours
    const std::wstring key = Lower(Trim(line.substr(0, equals)));
    const std::wstring_view value = Unquote(Trim(line.substr(equals + 1)));
    if (!ApplyKey(_current, key, value)) Problem("cannot use '" + ToUtf8(key) + " = " + ToUtf8(value) + "'");
  }

  std::vector<DeviceConfig> Finish() {
    Close();
    return std::move(_devices);
  }

 private:
  void Section(std::wstring_view name) {
    Close();
    _inDevice = Lower(name) == L"device";
    _sectionLine = _lineNumber;
    _current = DeviceConfig{};
  }

  void Close() {
    if (!_inDevice) return;
    _inDevice = false;
    if (_current.path.empty()) {
      Problem(_sectionLine, "device section without a path is left out");
      return;
    }
    for (const DeviceConfig& earlier : _devices) {
      if (earlier.path == _current.path) {
        Problem(_sectionLine, "second section for " + ToUtf8(_current.path) + " is left out");
        return;
      }
    }
    _devices.push_back(std::move(_current));
  }

  void Problem(const std::string& what) { Problem(_lineNumber, what); }
  void Problem(std::size_t line, const std::string& what) {
    _problems.push_back("line " + std::to_string(line) + ": " + what);
  }

  std::vector<std::string>& _problems;
  std::vector<DeviceConfig> _devices;
  DeviceConfig _current;
  bool _inDevice = false;
  std::size_t _lineNumber = 0;
  std::size_t _sectionLine = 0;
};

}  // namespace

std::vector<DeviceConfig> ParseDriverConfig(std::wstring_view text, std::vector<std::string>& problems) {
  ConfigParser parser(problems);
  std::size_t number = 1;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring_view::npos) end = text.size();
    parser.Line(number++, text.substr(start, end - start));
    start = end + 1;
  }
  return parser.Finish();
}

std::wstring DecodeConfigText(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    // Through UTF-8, so that a surrogate pair becomes one character as in the
    // UTF-8 form of the same file.
    std::wstring units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
      units.push_back(static_cast<wchar_t>(unit));
    }
    return FromUtf8(ToUtf8(units));
  }
  std::string_view utf8(bytes);
  if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
  return FromUtf8(utf8);
}

}  // namespace tarn::sim::devices
