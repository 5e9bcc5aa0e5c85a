#include <gtest/gtest.h>

#include <string>

#include "test_machine.h"
#include "time_stamp.h"

namespace tarn::test {
namespace {

struct ZoneCase {
  const char* zone;
  std::time_t time;
  const wchar_t* expected;
};

class TimeStampTest : public ::testing::TestWithParam<ZoneCase> {
 protected:
  void TearDown() override { RestoreTimeZone(); }
};

// 1700000000 is 2023-11-14 22:13:20 UTC (standard time in the north);
// 1689422400 is 2023-07-15 12:00:00 UTC (daylight saving time in the north).
INSTANTIATE_TEST_SUITE_P(Zones, TimeStampTest,
                         ::testing::Values(ZoneCase{"JST-9", 1700000000, L"20231115T071320+0900"},
                                           ZoneCase{"IST-5:30", 1700000000, L"20231115T034320+0530"},
                                           ZoneCase{"NST3:30NDT", 1700000000, L"20231114T184320-0330"},
                                           ZoneCase{"NST3:30NDT", 1689422400, L"20230715T093000-0230"},
                                           ZoneCase{"UTC0", 1700000000, L"20231114T221320+0000"},
                                           ZoneCase{"UTC0", 951782400, L"20000229T000000+0000"}));

TEST_P(TimeStampTest, OffsetMatchesTheLocalTimeWrittenBesideIt) {
  SetTimeZone(GetParam().zone);
  EXPECT_EQ(FormatLocalTimeStamp(GetParam().time), GetParam().expected);
}

}  // namespace
}  // namespace tarn::test
