// The reading of numbers given on the command lines of tarn-setup and of the
// installer packages: every REG_DWORD passes, nothing else does.
#include "decimal_dword.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

using tarn::ParseDecimalDword;

TEST(DecimalDword, TakesEveryValueFromZeroToTheLargestDword) {
  EXPECT_EQ(ParseDecimalDword(L"0"), 0u);
  EXPECT_EQ(ParseDecimalDword(L"60000"), 60000u);
  EXPECT_EQ(ParseDecimalDword(L"2147483648"), 2147483648u);
  EXPECT_EQ(ParseDecimalDword(L"4294967295"), 4294967295u);
  EXPECT_EQ(ParseDecimalDword(L"0000000000007"), 7u);  // leading zeros are no overflow
}

TEST(DecimalDword, RefusesWhatIsNoDecimalDword) {
  for (const std::wstring_view text :
       {L"", L"4294967296", L"99999999999999999999", L"-1", L"+5", L" 5", L"5 ", L"12x", L"0x10", L"1e3", L"3.5"}) {
    EXPECT_FALSE(ParseDecimalDword(text).has_value()) << std::wstring(text);
  }
}

}  // namespace
