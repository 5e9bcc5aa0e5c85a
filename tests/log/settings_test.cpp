#include <gtest/gtest.h>

#include "settings.h"
#include "test_machine.h"

namespace tarn::test {
namespace {

using qorlogsvc::model::service::ProcessSettings;
using qorlogsvc::model::service::ReadRegistryDword;
using qorlogsvc::model::service::ReadSettingsFromRegistry;
using qorlogsvc::model::service::ServiceSettings;

constexpr std::uint32_t kRegSz = 1, kRegBinary = 3, kRegDword = 4, kRegDwordBigEndian = 5, kRegQword = 11;

std::vector<std::uint32_t> AsList(const ServiceSettings& s) {
  return {s.logPeriodMs,       s.logFileSizeByte,       s.logFileBackupNum,
          s.uploadLogPeriodMs, s.uploadLogFileSizeByte, s.uploadLogFileBackupNum};
}

const std::vector<std::uint32_t> kDefaults = {60000, 620000, 7, 600000, 72000, 5};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!_machine.available()) GTEST_SKIP() << "needs a machine whose registry the tests may change";
    ClearSettingsKey();
  }

 private:
  TestMachine _machine;
};

TEST_F(SettingsTest, EmptyKeyGivesEveryDefault) { EXPECT_EQ(AsList(ReadSettingsFromRegistry()), kDefaults); }

TEST_F(SettingsTest, EachValueIsReadOnItsOwnAndZeroAndMaximumAreTaken) {
  SetSettingsValue(L"LogPeriodMs", kRegSz, {'1', 0, '0', 0, '0', 0, '0', 0, 0, 0});
  SetSettingsDword(L"LogFileSizeByte", 0);
  SetSettingsDword(L"LogFileBackupNum", 0xFFFFFFFFu);
  SetSettingsDword(L"UploadLogPeriodMs", 3000);
  SetSettingsDword(L"UploadLogFileSizeByte", 1500);
  SetSettingsDword(L"UploadLogFileBackupNum", 0);
  EXPECT_EQ(AsList(ReadSettingsFromRegistry()), (std::vector<std::uint32_t>{60000, 0, 0xFFFFFFFFu, 3000, 1500, 0}));
}

TEST_F(SettingsTest, UnusableValuesFallBackToTheirDefaults) {
  SetSettingsValue(L"LogPeriodMs", kRegDword, {0x10, 0x27});  // two bytes only
  SetSettingsValue(L"LogFileSizeByte", kRegQword, {1, 0, 0, 0, 0, 0, 0, 0});
  SetSettingsValue(L"LogFileBackupNum", kRegBinary, {1, 0, 0, 0});
  SetSettingsValue(L"UploadLogPeriodMs", kRegDwordBigEndian, {0, 0, 0, 1});
  SetSettingsValue(L"UploadLogFileSizeByte", kRegDword, std::vector<std::uint8_t>(300, 1));  // beyond 256 bytes
  SetSettingsValue(L"UploadLogFileBackupNum", kRegDword, {});
  EXPECT_EQ(AsList(ReadSettingsFromRegistry()), kDefaults);
}

TEST_F(SettingsTest, FailedReadLeavesTheOutValueAlone) {
  SetSettingsValue(L"LogPeriodMs", kRegDword, {0x10, 0x27});
  std::uint32_t value = 1234;
  EXPECT_FALSE(ReadRegistryDword(L"LogPeriodMs", value));
  EXPECT_FALSE(ReadRegistryDword(L"Missing", value));
  EXPECT_EQ(value, 1234u);
  SetSettingsDword(L"LogPeriodMs", 0x0001E240);
  EXPECT_TRUE(ReadRegistryDword(L"LogPeriodMs", value));
  EXPECT_EQ(value, 123456u);
}

TEST_F(SettingsTest, ProcessSettingsAreReadOnceAndKept) {
  SetSettingsDword(L"LogPeriodMs", 2000);
  EXPECT_EQ(ProcessSettings().logPeriodMs, 2000u);
  SetSettingsDword(L"LogPeriodMs", 9000);
  EXPECT_EQ(ReadSettingsFromRegistry().logPeriodMs, 9000u);
  EXPECT_EQ(ProcessSettings().logPeriodMs, 2000u);
}

}  // namespace
}  // namespace tarn::test
