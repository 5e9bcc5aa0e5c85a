#include "reg_file.h"

#include <algorithm>
#include <array>
#include <optional>

#include "tarn_sim/machine.h"

namespace tarn::sim::registry {
namespace {

struct RootName {
  const wchar_t* name;
  const wchar_t* shortName;
};
constexpr std::array<RootName, 5> kRoots = {{{L"HKEY_CLASSES_ROOT", L"HKCR"},
                                             {L"HKEY_CURRENT_USER", L"HKCU"},
                                             {L"HKEY_LOCAL_MACHINE", L"HKLM"},
                                             {L"HKEY_USERS", L"HKU"},
                                             {L"HKEY_CURRENT_CONFIG", L"HKCC"}}};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r'; }

std::wstring_view Trim(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && FoldName(text.substr(0, prefix.size())) == FoldName(prefix);
}

// What is left after a value's data: nothing, or a comment.
bool OnlyCommentLeft(std::wstring_view rest) {
  rest = Trim(rest);
  return rest.empty() || rest.front() == L';';
}

std::wstring DecodeUtf16Le(std::string_view bytes) {
  std::wstring out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
      std::uint32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    out += static_cast<wchar_t>(unit);
  }
  return out;
}

std::wstring DecodeFile(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return DecodeUtf16Le(bytes.substr(2));
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return FromUtf8(bytes);
}

void AppendUtf16Le(std::vector<std::uint8_t>& out, std::uint32_t unit) {
  out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
  out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

// A string as REG_SZ data: UTF-16LE code units and the terminating zero.
std::vector<std::uint8_t> StringData(std::wstring_view text) {
  std::vector<std::uint8_t> out;
  for (wchar_t c : text) {
    std::uint32_t codePoint = static_cast<std::uint32_t>(c);
    if (codePoint > 0xFFFF) {
      codePoint -= 0x10000;
      AppendUtf16Le(out, 0xD800 + (codePoint >> 10));
      AppendUtf16Le(out, 0xDC00 + (codePoint & 0x3FF));
    } else {
      AppendUtf16Le(out, codePoint);
    }
  }
  AppendUtf16Le(out, 0);
  return out;
}

// True when the line goes on in the next one: a value line whose last character,
// outside quotes, is a backslash.
bool Continues(std::wstring_view line) {
  line = Trim(line);
  if (line.empty() || (line.front() != L'"' && line.front() != L'@')) return false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (quoted && line[i] == L'\\') {
      ++i;
    } else if (line[i] == L'"') {
      quoted = !quoted;
    } else if (!quoted && line[i] == L';') {
      return false;
    }
  }
  return !quoted && line.back() == L'\\';
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::wstring pending;
  bool continuing = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring_view line(text.data() + start, end - start);
    std::wstring joined = continuing ? pending + std::wstring(Trim(line)) : std::wstring(line);
    if (Continues(joined)) {
      std::wstring_view trimmed = Trim(joined);
      pending = std::wstring(trimmed.substr(0, trimmed.size() - 1));
      continuing = true;
    } else {
      lines.push_back(std::move(joined));
      continuing = false;
    }
    start = end + 1;
  }
  if (continuing) lines.push_back(pending);
  return lines;
}

// Reads a quoted text starting at text[pos] == '"'; pos ends after the closing quote.
std::optional<std::wstring> ReadQuoted(std::wstring_view text, std::size_t& pos) {
  std::wstring out;
  for (++pos; pos < text.size(); ++pos) {
    if (text[pos] == L'"') {
      ++pos;
      return out;
    }
    if (text[pos] == L'\\' && pos + 1 < text.size()) ++pos;
    out += text[pos];
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParseHexNumber(std::wstring_view digits, std::size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  std::uint32_t value = 0;
  for (wchar_t c : digits) {
    std::uint32_t digit;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<std::uint32_t>(c - L'0');
    } else if (c >= L'a' && c <= L'f') {
      digit = static_cast<std::uint32_t>(c - L'a' + 10);
    } else if (c >= L'A' && c <= L'F') {
      digit = static_cast<std::uint32_t>(c - L'A' + 10);
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

// "01,02,ff" (a comment may follow); a trailing comma is tolerated.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::wstring_view list) {
  const std::size_t comment = list.find(L';');
  if (comment != std::wstring_view::npos) list = list.substr(0, comment);
  list = Trim(list);
  std::vector<std::uint8_t> bytes;
  while (!list.empty()) {
    const std::size_t comma = list.find(L',');
    std::wstring_view token = Trim(list.substr(0, comma));
    auto value = ParseHexNumber(token, 2);
    if (!value) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*value));
    if (comma == std::wstring_view::npos) break;
    list = Trim(list.substr(comma + 1));
  }
  return bytes;
}

// The data part of a value line (after '='): nullopt when malformed.
std::optional<Value> ParseData(std::wstring_view data) {
  Value value;
  if (data.front() == L'"') {
    std::size_t pos = 0;
    auto text = ReadQuoted(data, pos);
    if (!text || !OnlyCommentLeft(data.substr(pos))) return std::nullopt;
    value.type = REG_SZ;
    value.data = StringData(*text);
    return value;
  }
  if (StartsWithNoCase(data, L"dword:")) {
    std::wstring_view digits = data.substr(6);
    const std::size_t end = digits.find_first_of(L" \t;");
    if (end != std::wstring_view::npos && !OnlyCommentLeft(digits.substr(end))) return std::nullopt;
    auto number = ParseHexNumber(digits.substr(0, end), 8);
    if (!number) return std::nullopt;
    value.type = REG_DWORD;
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<std::uint8_t>(*number >> shift));
    return value;
  }
  std::wstring_view bytes;
  if (StartsWithNoCase(data, L"hex:")) {
    value.type = REG_BINARY;
    bytes = data.substr(4);
  } else if (StartsWithNoCase(data, L"hex(")) {
    const std::size_t close = data.find(L"):");
    if (close == std::wstring_view::npos) return std::nullopt;
    auto type = ParseHexNumber(data.substr(4, close - 4), 8);
    if (!type) return std::nullopt;
    value.type = *type;
    bytes = data.substr(close + 2);
  } else {
    return std::nullopt;
  }
  auto parsed = ParseHexBytes(bytes);
  if (!parsed) return std::nullopt;
  value.data = std::move(*parsed);
  return value;
}

// A full key path with its root spelled out and no empty components.
std::optional<std::wstring> CanonicalPath(std::wstring_view path) {
  std::vector<std::wstring_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'\\', start);
    if (end == std::wstring_view::npos) end = path.size();
    std::wstring_view part = Trim(path.substr(start, end - start));
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  const std::wstring rootFolded = FoldName(parts.front());
  auto root = std::find_if(kRoots.begin(), kRoots.end(), [&](const RootName& r) {
    return FoldName(r.name) == rootFolded || FoldName(r.shortName) == rootFolded;
  });
  if (root == kRoots.end()) return std::nullopt;
  std::wstring out = root->name;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    out += L'\\';
    out += parts[i];
  }
  return out;
}

}  // namespace

std::wstring FoldName(std::wstring_view name) {
  std::wstring out(name);
  for (auto& c : out)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return out;
}

Hive Hive::Parse(std::string_view fileBytes) {
  Hive hive;
  for (const auto& root : kRoots) hive.Touch(root.name);
  hive.ParseLines(SplitLines(DecodeFile(fileBytes)));
  return hive;
}

void Hive::ParseLines(const std::vector<std::wstring>& lines) {
  auto line = lines.begin();
  while (line != lines.end() && Trim(*line).empty()) ++line;
  if (line == lines.end()) return;
  const std::wstring_view header = Trim(*line);
  if (header != L"Windows Registry Editor Version 5.00" && header != L"REGEDIT4") return;

  Key* current = nullptr;
  for (++line; line != lines.end(); ++line) {
    const std::wstring_view text = Trim(*line);
    if (text.empty() || text.front() == L';') continue;
    if (text.front() == L'[') {
      current = nullptr;
      const std::size_t close = text.rfind(L']');
      if (close == std::wstring_view::npos) continue;
      std::wstring_view inner = text.substr(1, close - 1);
      const bool removal = !inner.empty() && inner.front() == L'-';
      auto path = CanonicalPath(removal ? inner.substr(1) : inner);
      if (!path) continue;
      if (removal) {
        Erase(*path);
      } else {
        current = &Touch(*path);
      }
      continue;
    }
    if (current == nullptr || (text.front() != L'"' && text.front() != L'@')) continue;

    std::size_t pos = 0;
    std::wstring name;
    if (text.front() == L'@') {
      pos = 1;
    } else if (auto quoted = ReadQuoted(text, pos)) {
      name = std::move(*quoted);
    } else {
      continue;
    }
    std::wstring_view rest = Trim(text.substr(pos));
    if (rest.empty() || rest.front() != L'=') continue;
    rest = Trim(rest.substr(1));
    if (rest.empty()) continue;
    if (rest.front() == L'-' && OnlyCommentLeft(rest.substr(1))) {
      current->values.erase(FoldName(name));
      continue;
    }
    if (auto value = ParseData(rest)) {
      value->name = name;
      current->values[FoldName(name)] = std::move(*value);
    }
  }
}

Key& Hive::Touch(const std::wstring& fullPath) {
  // Every key above a listed key exists as well, as after an import.
  std::size_t slash = fullPath.find(L'\\');
  while (slash != std::wstring::npos) {
    const std::wstring parent = fullPath.substr(0, slash);
    _keys.try_emplace(FoldName(parent), Key{parent, {}});
    slash = fullPath.find(L'\\', slash + 1);
  }
  return _keys.try_emplace(FoldName(fullPath), Key{fullPath, {}}).first->second;
}

void Hive::Erase(const std::wstring& fullPath) {
  if (fullPath.find(L'\\') == std::wstring::npos) return;  // the roots stay
  const std::wstring folded = FoldName(fullPath);
  std::erase_if(_keys,
                [&](const auto& entry) { return entry.first == folded || entry.first.starts_with(folded + L'\\'); });
}

const Key* Hive::Find(std::wstring_view fullPath) const {
  auto path = CanonicalPath(fullPath);
  if (!path) return nullptr;
  auto found = _keys.find(FoldName(*path));
  return found == _keys.end() ? nullptr : &found->second;
}

}  // namespace tarn::sim::registry
