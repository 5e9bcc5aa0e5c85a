// The power-monitor driver's component names and the small ids the logs carry.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "utf16_order.h"

// Component name to id, ordered ordinally by UTF-16 code unit.
using ComponentIdMap = std::map<std::wstring, std::uint8_t, Utf16OrdinalLess>;

// The id of an entry that has not been identified yet.
inline constexpr std::uint8_t kUnidentifiedComponentId = 0;
// The id of an entry whose name is not in the table, or whose information block
// holds no readable name.
inline constexpr std::uint8_t kUnknownComponentId = 255;

// The fixed table of 22 names, ids 1 to 22.
ComponentIdMap BuildComponentTable();

// The id of `name` (code units up to its terminating 0) when it equals a table name
// exactly: same length, same code units, no case folding, trimming or partial
// match. Any other name, or a null pointer, gives kUnknownComponentId.
std::uint8_t LookupComponentId(const ComponentIdMap& table, const wchar_t* name);
