// The registry as a .reg file describes it ("Windows Registry Editor Version
// 5.00" or "REGEDIT4"), UTF-16LE with a byte-order mark as regedit writes it, or
// UTF-8/ASCII as typed by hand.
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Corvessan\Tarn]   a key (its parents exist too)
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]             removes a key and its subkeys
//   "Name"=dword:0000ea60                          REG_DWORD
//   "Name"="text"                                  REG_SZ (escapes \\ and \")
//   "Name"=hex:01,02                               REG_BINARY
//   "Name"=hex(b):00,01,00,00,00,00,00,00          any other type by its number
//   @="text"                                       the key's default value
//   "Name"=-                                       removes a value
//   ; comment                                      a line of its own, or after a value
// A line that ends with a backslash outside quotes continues on the next line.
// Lines the format does not know are skipped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

namespace tarn::sim::registry {

struct Value {
  std::wstring name;  // as spelled in the file; empty for the default value
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> data;  // as Windows stores it: strings are UTF-16LE with their terminator
};

struct Key {
  std::wstring path;                     // full path as first spelled, e.g. HKEY_LOCAL_MACHINE\SOFTWARE
  std::map<std::wstring, Value> values;  // by folded name
};

// Key and value names compare without regard to (ASCII) letter case.
std::wstring FoldName(std::wstring_view name);

class Hive {
 public:
  // Parses a whole file; a file without a known first line gives an empty hive.
  static Hive Parse(std::string_view fileBytes);

  // The key at a full path (root name spelled out), or null.
  const Key* Find(std::wstring_view fullPath) const;

 private:
  Key& Touch(const std::wstring& fullPath);
  void Erase(const std::wstring& fullPath);
  void ParseLines(const std::vector<std::wstring>& lines);

  std::map<std::wstring, Key> _keys;  // by folded full path
};

}  // namespace tarn::sim::registry
