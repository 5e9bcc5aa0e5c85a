#include "component_table.h"

#include <string_view>

namespace {

struct ComponentRow {
  const wchar_t* name;
  std::uint8_t id;
};

// In insertion order. The ids follow the order in which the driver gained its
// components, not their names.
constexpr ComponentRow kComponentRows[] = {
    {L"USB_X_R_2", 1},
    {L"USB_X_R_1", 2},
    {L"STORAGE_SSD", 3},
    {L"POWER_THERMAL", 4},
    {L"BATTERY", 5},
    {L"WIFI", 6},
    {L"MBB", 7},
    {L"DISPLAY_CTLR", 8},
    {L"USB_X_L_1", 9},
    {L"DISPLAY_BACKLIGHT", 10},
    {L"USB_X_L_2", 11},
    {L"USB_CTLR", 12},
    {L"STORAGE_HDD", 13},
    {L"STORAGE_ROM", 14},
    {L"USB_CTLR_1", 15},
    {L"USB_CTLR_2", 16},
    {L"USB_X_L_3", 17},
    {L"POWER_THERMAL_1", 18},
    {L"STORAGE_SSD_1", 19},
    {L"POWER_THERMAL_2", 20},
    {L"POWER_BACKLIGHT", 21},
    {L"STORAGE_SSD_2", 22},
};

}  // namespace

ComponentIdMap BuildComponentTable() {
  ComponentIdMap table;
  // emplace keeps the first value of a repeated name.
  for (const ComponentRow& row : kComponentRows) table.emplace(row.name, row.id);
  return table;
}

std::uint8_t LookupComponentId(const ComponentIdMap& table, const wchar_t* name) {
  if (name == nullptr) return kUnknownComponentId;
  const auto found = table.find(std::wstring_view(name));
  return found == table.end() ? kUnknownComponentId : found->second;
}
