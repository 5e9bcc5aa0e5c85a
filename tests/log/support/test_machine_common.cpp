#include "test_machine.h"

namespace tarn::test {

void SetSettingsDword(const std::wstring& name, std::uint32_t value) {
  SetSettingsValue(name, 4 /* REG_DWORD */,
                   {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

}  // namespace tarn::test
