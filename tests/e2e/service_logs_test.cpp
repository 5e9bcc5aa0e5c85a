// What TarnSvc leaves on disk: the bytes of both logs, the rotation of the local
// log into backups, the hand-over of full upload files to the drop folder, and
// the settings that shape them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "service_fixture.h"

namespace tarn::e2e {
namespace {

constexpr std::uint32_t kHour = 3600000;
// Periods long enough that only the controls a test sends make rows.
const std::vector<std::string> kNoTimerRows{DwordValue("LogPeriodMs", kHour), DwordValue("UploadLogPeriodMs", kHour)};

// One device whose reading0 counts 1, 2, 3, ... per read: each row is 59 bytes.
const std::string kCountingBattery = Device("0000", "BATTERY", {"reading0 = counter 1 1"});
std::string BatteryRow(int read) {
  char row[64];
  std::snprintf(row, sizeof(row), "05,0000000000000000,%016x", read);
  return row;
}
constexpr int kRowBytes = 59;
constexpr int kLocalHeaderBytes = 26;
constexpr int kUploadHeaderBytes = 38;

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::vector<std::string> WithPrefix(const std::vector<std::string>& names, const std::string& prefix) {
  std::vector<std::string> matching;
  for (const auto& name : names)
    if (name.rfind(prefix, 0) == 0) matching.push_back(name);
  return matching;
}

// The newest `count` names (by text, as the service ranks them).
std::vector<std::string> Newest(std::set<std::string> names, std::size_t count) {
  std::vector<std::string> sorted(names.begin(), names.end());
  if (sorted.size() > count) sorted.erase(sorted.begin(), sorted.end() - static_cast<std::ptrdiff_t>(count));
  return sorted;
}

class ServiceLogsTest : public ServiceTest {
 protected:
  // The time stamp in a backup name: prefix, stamp, ".csv".
  void ExpectStampedName(const std::string& name, const std::string& prefix, std::int64_t notBefore) {
    ASSERT_EQ(name.size(), prefix.size() + 20 + 4) << name;
    EXPECT_EQ(name.substr(name.size() - 4), ".csv") << name;
    const std::string stamp = name.substr(prefix.size(), 20);
    EXPECT_TRUE(IsTimeStamp(stamp)) << name;
    EXPECT_GE(stamp, StampAt(notBefore)) << name;
    EXPECT_LE(stamp, StampAt(UtcNow())) << name;
  }
};

TEST_F(ServiceLogsTest, RowsAndHeadersHaveTheRecordedLayout) {
  // Listed out of path order; the rows follow the paths' UTF-16 order, in which
  // "000B" (upper-case B) comes before "000a".
  WriteDriverIni(Device("000a", "WIFI", {"reading0 = counter 0x10 2", "reading1 = counter 0xfedcba9876543210 0x10"}) +
                 Device("000B", "BATTERY", {"reading0 = counter 100 1", "reading1 = 0xffffffffffffffff"}) +
                 Device("0004", "WIFI", {"check = 0", "reading0 = 0xdead"}) +
                 Device("0003", "wifi", {"reading0 = counter 200 5"}));
  WriteSettings(kNoTimerRows);
  const std::int64_t before = UtcNow();
  DWORD pid = CreateAndStart();
  Control(128);
  Control(129);
  Control(128);
  StopAndExpectStopped(pid);
  const std::int64_t after = UtcNow();

  // Both logs read the same devices: the upload row holds the second reading.
  const std::string read1 =
      "ff,0000000000000000,00000000000000c8,05,ffffffffffffffff,0000000000000064,06,fedcba9876543210,0000000000000010";
  const std::string read2 =
      "ff,0000000000000000,00000000000000cd,05,ffffffffffffffff,0000000000000065,06,fedcba9876543220,0000000000000012";
  const std::string read3 =
      "ff,0000000000000000,00000000000000d2,05,ffffffffffffffff,0000000000000066,06,fedcba9876543230,0000000000000014";
  EXPECT_EQ(RowTexts(LocalLog()), (std::vector<std::string>{read1, read3}));
  EXPECT_EQ(RowTexts(UploadLog()), (std::vector<std::string>{read2}));

  // The exact bytes: header, then per row the stamp, ",", the row, CR LF.
  for (const auto& [log, header, rows] : {std::tuple{LocalLog(), std::string(kLocalHeader), std::vector{read1, read3}},
                                          std::tuple{UploadLog(), std::string(kUploadHeader), std::vector{read2}}}) {
    const std::string bytes = ReadBytes(log);
    std::string expected = header + "\r\n";
    std::size_t at = expected.size();
    for (const auto& row : rows) {
      ASSERT_GE(bytes.size(), at + 20) << log;
      const std::string stamp = bytes.substr(at, 20);
      EXPECT_TRUE(IsTimeStamp(stamp)) << stamp;
      EXPECT_GE(stamp, StampAt(before));
      EXPECT_LE(stamp, StampAt(after));
      expected += stamp + "," + row + "\r\n";
      at = expected.size();
    }
    EXPECT_EQ(bytes, expected) << log;
  }
}

TEST_F(ServiceLogsTest, LocalLogRotatesIntoTimeStampedBackupsAndKeepsTheNewest) {
  // The limit equals a file of header and two rows: that file stays, a third row rotates.
  WriteDriverIni(kCountingBattery);
  std::vector<std::string> settings = kNoTimerRows;
  settings.push_back(DwordValue("LogFileSizeByte", kLocalHeaderBytes + 2 * kRowBytes));
  settings.push_back(DwordValue("LogFileBackupNum", 2));
  WriteSettings(settings);

  // Left from earlier runs: three backups, a file of another name, and a current
  // file already over the limit.
  const std::string oldCurrent = std::string(kLocalHeader) + "\r\n" + "20200104T000000-0330," + BatteryRow(7) + "\r\n" +
                                 "20200104T000001-0330," + BatteryRow(8) + "\r\n" + "20200104T000002-0330," +
                                 BatteryRow(9) + "\r\n";
  WriteFile(LogFolder() / "TARNLog_20200101T000000+0000.csv", "oldest");
  WriteFile(LogFolder() / "TARNLog_20200102T000000+0000.csv", "older");
  WriteFile(LogFolder() / "TARNLog_20200103T000000+0000.csv", "old");
  WriteFile(LogFolder() / "notes.txt", "not a backup");
  WriteFile(LocalLog(), oldCurrent);

  const std::int64_t before = UtcNow();
  DWORD pid = CreateAndStart();
  // At the start the old backups are pruned and the full file becomes a backup
  // before the first row.
  const std::string freshFile = std::string(kLocalHeader) + "\r\n";
  ASSERT_TRUE(WaitUntil([&] { return ReadBytes(LocalLog()) == freshFile; })) << ReadBytes(LocalLog());
  std::vector<std::string> backups = WithPrefix(Names(LogFolder()), "TARNLog_");
  ASSERT_EQ(backups.size(), 2u);
  EXPECT_EQ(backups[0], "TARNLog_20200103T000000+0000.csv");
  ExpectStampedName(backups[1], "TARNLog_", before);
  EXPECT_EQ(ReadBytes(LogFolder() / backups[1]), oldCurrent);
  EXPECT_EQ(ReadBytes(LogFolder() / "notes.txt"), "not a backup");

  Control(128);
  Control(128);
  EXPECT_EQ(RowCount(LocalLog()), 2) << "a file exactly at the limit was rotated";
  EXPECT_EQ(WithPrefix(Names(LogFolder()), "TARNLog_"), backups);
  Control(128);
  EXPECT_EQ(ReadBytes(LocalLog()), freshFile) << "the new file starts with the header at once";
  StopAndExpectStopped(pid);

  // A rotation within the same second as the last one replaces that backup.
  std::vector<std::string> now = WithPrefix(Names(LogFolder()), "TARNLog_");
  ASSERT_FALSE(now.empty());
  std::set<std::string> candidates(backups.begin(), backups.end());
  candidates.insert(now.begin(), now.end());
  EXPECT_EQ(now, Newest(candidates, 2));
  ExpectStampedName(now.back(), "TARNLog_", before);
  EXPECT_EQ(RowTexts(LogFolder() / now.back()),
            (std::vector<std::string>{BatteryRow(1), BatteryRow(2), BatteryRow(3)}));
  EXPECT_EQ(HeaderOf(LogFolder() / now.back()), kLocalHeader);
  EXPECT_TRUE(std::filesystem::exists(LogFolder() / "notes.txt"));
}

TEST_F(ServiceLogsTest, FullUploadFilesAreHandedToTheDropFolder) {
  // The limit equals a file of header and one row: that file stays, a second row hands it over.
  WriteDriverIni(kCountingBattery);
  std::vector<std::string> settings = kNoTimerRows;
  settings.push_back(DwordValue("UploadLogFileSizeByte", kUploadHeaderBytes + kRowBytes));
  settings.push_back(DwordValue("UploadLogFileBackupNum", 2));
  WriteSettings(settings);
  WriteFile(DropFolder() / "3001_TARNLogUpload_20200101T000000+0000.csv", "oldest");
  WriteFile(DropFolder() / "3001_TARNLogUpload_20200102T000000+0000.csv", "older");
  WriteFile(DropFolder() / "3002_Other_20190101T000000+0000.csv", "another source");
  // A current file left over the limit by an earlier run.
  const std::string leftOver = std::string(kUploadHeader) + "\r\n" + "20200104T000000-0330," + BatteryRow(8) + "\r\n" +
                               "20200104T000001-0330," + BatteryRow(9) + "\r\n";
  WriteFile(UploadLog(), leftOver);
  const std::vector<std::string> dropAtStart = Names(DropFolder());

  const std::int64_t before = UtcNow();
  DWORD pid = CreateAndStart();
  EXPECT_EQ(ReadBytes(UploadLog()), leftOver) << "the upload log was rotated at the start";
  EXPECT_EQ(Names(DropFolder()), dropAtStart);

  Control(129);
  EXPECT_FALSE(std::filesystem::exists(UploadLog())) << "the full file stayed in the log folder";
  std::vector<std::string> handedOver = WithPrefix(Names(DropFolder()), "3001_TARNLogUpload_");
  ASSERT_EQ(handedOver.size(), 2u);
  EXPECT_EQ(handedOver[0], "3001_TARNLogUpload_20200102T000000+0000.csv");
  ExpectStampedName(handedOver[1], "3001_TARNLogUpload_", before);
  EXPECT_EQ(RowTexts(DropFolder() / handedOver[1]),
            (std::vector<std::string>{BatteryRow(8), BatteryRow(9), BatteryRow(1)}));

  Control(129);
  EXPECT_EQ(HeaderOf(UploadLog()), kUploadHeader) << "the next row starts a new file with the header";
  EXPECT_EQ(RowTexts(UploadLog()), (std::vector<std::string>{BatteryRow(2)})) << "a file at the limit was handed over";
  Control(129);
  StopAndExpectStopped(pid);

  // A hand-over within the same second as the last one replaces that file.
  std::vector<std::string> now = WithPrefix(Names(DropFolder()), "3001_TARNLogUpload_");
  ASSERT_FALSE(now.empty());
  std::set<std::string> candidates(handedOver.begin(), handedOver.end());
  candidates.insert(now.begin(), now.end());
  EXPECT_EQ(now, Newest(candidates, 2));
  EXPECT_EQ(HeaderOf(DropFolder() / now.back()), kUploadHeader);
  EXPECT_EQ(RowTexts(DropFolder() / now.back()), (std::vector<std::string>{BatteryRow(2), BatteryRow(3)}));
  EXPECT_EQ(ReadBytes(DropFolder() / "3002_Other_20190101T000000+0000.csv"), "another source");
  EXPECT_FALSE(std::filesystem::exists(UploadLog()));
  EXPECT_EQ(RowCount(LocalLog()), 0) << "the upload cycle wrote to the local log";
  EXPECT_TRUE(WithPrefix(Names(LogFolder()), "TARNLog_").empty()) << "the upload log left a local backup";
}

TEST_F(ServiceLogsTest, FullUploadFilesAreDiscardedWithoutADropFolder) {
  WriteDriverIni(kCountingBattery);
  std::vector<std::string> settings = kNoTimerRows;
  settings.push_back(DwordValue("UploadLogFileSizeByte", kUploadHeaderBytes + kRowBytes));
  WriteSettings(settings);

  DWORD pid = CreateAndStart();
  Control(129);
  Control(129);
  EXPECT_FALSE(std::filesystem::exists(UploadLog())) << "the full file was kept";
  Control(129);
  StopAndExpectStopped(pid);

  EXPECT_EQ(HeaderOf(UploadLog()), kUploadHeader);
  EXPECT_EQ(RowTexts(UploadLog()), (std::vector<std::string>{BatteryRow(3)}));
  EXPECT_EQ(Names(LogFolder()), (std::vector<std::string>{"TARNLog.csv", "TARNLogUpload.csv"}));
  EXPECT_FALSE(std::filesystem::exists(DropFolder().parent_path())) << "the drop folder was made";
}

TEST_F(ServiceLogsTest, SettingsOfAnotherTypeFallBackToTheirDefaults) {
  // Taken as numbers, these strings would sample at once and rotate every row.
  WriteDriverIni(kCountingBattery);
  WriteSettings(
      {StringValue("LogPeriodMs", "0"), StringValue("LogFileSizeByte", "1"), DwordValue("UploadLogPeriodMs", 150)});
  DWORD pid = CreateAndStart();
  // The upload timer keeps sampling: the dword setting next to the strings is read.
  ASSERT_TRUE(WaitForRows(UploadLog(), 3));
  EXPECT_EQ(RowCount(LocalLog()), 0) << "the local log sampled before its default period";
  Control(128);
  EXPECT_EQ(RowCount(LocalLog()), 1) << "the local log rotated below its default limit";
  StopAndExpectStopped(pid);
  EXPECT_TRUE(WithPrefix(Names(LogFolder()), "TARNLog_").empty());
}

}  // namespace
}  // namespace tarn::e2e
