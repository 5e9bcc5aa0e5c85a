// The driver channel over the stand-in's simulated power-monitor driver.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <set>
#include <vector>

#include "driver_channel.h"
#include "simulated_machine.h"
#include "tarn_sim/handles.h"
#include "tarn_sim/machine.h"

namespace {

using device_test::DeviceSection;
using device_test::InterfacePath;
using device_test::WideInterfacePath;

bool IsOpen(HANDLE handle) { return tarn::sim::LookupObject(handle) != nullptr; }

// The stand-in numbers handles in steps of 4 and never reuses one, so the handles
// the next CreateFileW calls give out are known from a probe.
HANDLE HandleAfter(HANDLE probe, int steps) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(probe) + 4 * static_cast<std::uintptr_t>(steps));
}

HANDLE ProbeHandle() {
  HANDLE probe = CreateFileW(WideInterfacePath(0).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CloseHandle(probe);
  return probe;
}

class DriverChannelTest : public testing::Test {
 protected:
  void Start() {
    ASSERT_EQ(channel.Discover(), 0u);
    ASSERT_EQ(channel.OpenAll(), 0u);
    ASSERT_EQ(channel.CheckAll(), 0u);
    ASSERT_EQ(channel.IdentifyAll(), 0u);
  }

  std::vector<std::wstring> Paths() const {
    std::vector<std::wstring> paths;
    for (const auto& [path, entry] : channel.devices) paths.push_back(path);
    return paths;
  }

  const DeviceEntry& Entry(int n) const { return channel.devices.at(WideInterfacePath(n)); }

  device_test::SimulatedMachine machine;
  DriverChannel channel;
};

TEST_F(DriverChannelTest, DiscoverFindsNothingWithoutInterfaces) {
  EXPECT_EQ(channel.Discover(), static_cast<DWORD>(ERROR_NOT_FOUND)) << "no driver.ini";
  machine.WriteDriverIni("; no devices\n");
  EXPECT_EQ(channel.Discover(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_EQ(channel.ReadAll(), 0u) << "reading no entry at all succeeds";
}

TEST_F(DriverChannelTest, StartsAndReadsInPathOrder) {
  // File order differs from path order; one path differs from another only in case.
  std::string upper = InterfacePath(0);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  machine.WriteDriverIni(DeviceSection(InterfacePath(2), "WIFI", "reading0 = counter 100 5\nreading1 = 0x1F4") +
                         DeviceSection(InterfacePath(0), "BATTERY") + DeviceSection(InterfacePath(1), "NOT_LISTED") +
                         DeviceSection(upper, "MBB"));
  Start();
  EXPECT_EQ(Paths(), (std::vector<std::wstring>{tarn::sim::FromUtf8(upper), WideInterfacePath(0), WideInterfacePath(1),
                                                WideInterfacePath(2)}));
  EXPECT_EQ(channel.devices.begin()->second.componentId, 7) << "the upper-case path opened its own device";
  EXPECT_EQ(Entry(0).componentId, 5);
  EXPECT_EQ(Entry(1).componentId, kUnknownComponentId);
  EXPECT_EQ(Entry(2).componentId, 6);

  ASSERT_EQ(channel.ReadAll(), 0u);
  ASSERT_EQ(channel.ReadAll(), 0u);
  EXPECT_EQ(Entry(2).reading0, 105u);
  EXPECT_EQ(Entry(2).reading1, 0x1F4u);
}

TEST_F(DriverChannelTest, CheckDropsAndClosesEntriesThatDoNotAnswerOne) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "check = 1") +
                         DeviceSection(InterfacePath(1), "MBB", "check = 0") +
                         DeviceSection(InterfacePath(2), "MBB", "check = 0x0201\nchecksize = 1"));
  ASSERT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  const HANDLE dropped = Entry(1).handle.get();
  EXPECT_EQ(channel.CheckAll(), 0u);
  EXPECT_EQ(Paths(), (std::vector<std::wstring>{WideInterfacePath(0), WideInterfacePath(2)}))
      << "a one-byte reply 01 reads as 1: the unwritten byte is zero";
  EXPECT_FALSE(IsOpen(dropped));
  EXPECT_TRUE(IsOpen(Entry(0).handle.get()));

  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "check = 2") +
                         DeviceSection(InterfacePath(2), "MBB", "check = 1\nchecksize = 0"));
  const std::vector<HANDLE> handles = {Entry(0).handle.get(), Entry(2).handle.get()};
  EXPECT_EQ(channel.CheckAll(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "none left";
  EXPECT_TRUE(channel.devices.empty());
  for (HANDLE handle : handles) EXPECT_FALSE(IsOpen(handle));
}

TEST_F(DriverChannelTest, OpenFailureOnSecondEntryClosesTheFirstAndStops) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI") + DeviceSection(InterfacePath(1), "MBB") +
                         DeviceSection(InterfacePath(2), "BATTERY"));
  ASSERT_EQ(channel.Discover(), 0u);
  HANDLE probe = ProbeHandle();
  ASSERT_EQ(channel.OpenAll(), 0u);
  ASSERT_EQ(Entry(0).handle.get(), HandleAfter(probe, 1));
  channel.CloseAll();

  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI") +
                         DeviceSection(InterfacePath(1), "MBB", "fail = open 5") +
                         DeviceSection(InterfacePath(2), "BATTERY"));
  probe = ProbeHandle();
  EXPECT_EQ(channel.OpenAll(), 5u);
  EXPECT_FALSE(IsOpen(HandleAfter(probe, 1))) << "the first entry's handle was opened and closed again";
  EXPECT_FALSE(IsOpen(HandleAfter(probe, 2))) << "the third entry was never opened";
  for (const auto& [path, entry] : channel.devices) EXPECT_FALSE(entry.handle.is_valid());
}

TEST_F(DriverChannelTest, FailuresWithoutAnErrorCodeStillFail) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "fail = read 0"));
  ASSERT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  EXPECT_EQ(channel.ReadAll(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "fail = open 0"));
  channel.CloseAll();
  EXPECT_EQ(channel.OpenAll(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

TEST_F(DriverChannelTest, RediscoveryKeepsEntriesAndAddsNewOnes) {
  const std::string two =
      DeviceSection(InterfacePath(0), "WIFI", "reading0 = 11") + DeviceSection(InterfacePath(2), "MBB");
  machine.WriteDriverIni(two);
  Start();
  ASSERT_EQ(channel.ReadAll(), 0u);
  const HANDLE handle = Entry(0).handle.get();

  machine.WriteDriverIni(two + DeviceSection(InterfacePath(1), "BATTERY"));
  EXPECT_EQ(channel.Discover(), 0u);
  EXPECT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.devices.size(), 3u);
  EXPECT_EQ(Entry(0).handle.get(), handle);
  EXPECT_EQ(Entry(0).componentId, 6);
  EXPECT_EQ(Entry(0).reading0, 11u);
  EXPECT_EQ(Entry(1).componentId, kUnidentifiedComponentId);
}

TEST_F(DriverChannelTest, VanishedInterfaceKeepsItsEntryAndFailsToReopen) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = 3") +
                         DeviceSection(InterfacePath(1), "MBB"));
  Start();
  ASSERT_EQ(channel.ReadAll(), 0u);

  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = 4"));
  EXPECT_EQ(channel.ReadAll(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Entry(0).reading0, 4u) << "entries before the failure hold their new readings";

  // The recovery of a local tick, with no interface present any more.
  channel.CloseAll();
  machine.WriteDriverIni("");
  EXPECT_EQ(channel.Discover(), 0u) << "entries are still held";
  EXPECT_EQ(channel.OpenAll(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  for (const auto& [path, entry] : channel.devices) EXPECT_FALSE(entry.handle.is_valid());
  EXPECT_EQ(channel.ReadAll(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(channel.devices.size(), 2u);
}

TEST_F(DriverChannelTest, MalformedInformationBlocksGiveTheUnknownId) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "info = short") +
                         DeviceSection(InterfacePath(1), "WIFI", "info = odd") +
                         DeviceSection(InterfacePath(2), "WIFI", "info = unterminated") +
                         DeviceSection(InterfacePath(3), "WIFI", "infosize = 65536") +
                         DeviceSection(InterfacePath(4), "WIFI", "infosize = 3"));
  ASSERT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  EXPECT_EQ(channel.IdentifyAll(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << "3 bytes cannot take the block";
  for (int n = 0; n < 3; ++n) EXPECT_EQ(Entry(n).componentId, kUnknownComponentId) << n;
  EXPECT_EQ(Entry(3).componentId, 6) << "a buffer larger than the block is fine: the rest stays zero";
  EXPECT_EQ(Entry(4).componentId, kUnidentifiedComponentId);
}

TEST_F(DriverChannelTest, ImplausibleInformationSizeGivesTheUnknownIdAndKeepsTheRest) {
  for (const char* size : {"0", "65537", "0xFFFFFFFF"}) {
    machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI") +
                           DeviceSection(InterfacePath(1), "MBB", std::string("infosize = ") + size) +
                           DeviceSection(InterfacePath(2), "BATTERY"));
    DriverChannel fresh;
    ASSERT_EQ(fresh.Discover(), 0u);
    ASSERT_EQ(fresh.OpenAll(), 0u);
    EXPECT_EQ(fresh.IdentifyAll(), 0u) << size;
    EXPECT_EQ(fresh.devices.at(WideInterfacePath(0)).componentId, 6) << size;
    EXPECT_EQ(fresh.devices.at(WideInterfacePath(1)).componentId, kUnknownComponentId) << size;
    EXPECT_EQ(fresh.devices.at(WideInterfacePath(2)).componentId, 5) << "identified after it";
  }
}

TEST_F(DriverChannelTest, ShortReadingReplyLeavesTheRestZero) {
  machine.WriteDriverIni(
      DeviceSection(InterfacePath(0), "WIFI", "reading0 = 0x1122334455667788\nreading1 = 0x99\nreadsize = 4"));
  Start();
  ASSERT_EQ(channel.ReadAll(), 0u);
  EXPECT_EQ(Entry(0).reading0, 0x55667788u);
  EXPECT_EQ(Entry(0).reading1, 0u);
}

TEST_F(DriverChannelTest, DemoMachineHasOneMovingInterfacePerComponent) {
  std::filesystem::copy_file(TARN_DEMO_MACHINE_DIR "/driver.ini", machine.root() / "driver.ini");
  testing::internal::CaptureStderr();
  Start();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the shipped file reads without a problem";
  ASSERT_EQ(channel.ReadAll(), 0u);
  std::vector<std::uint64_t> first;
  for (const auto& [path, entry] : channel.devices) first.push_back(entry.reading0);
  ASSERT_EQ(channel.ReadAll(), 0u);
  std::set<int> ids;
  std::size_t i = 0;
  for (const auto& [path, entry] : channel.devices) {
    ids.insert(entry.componentId);
    EXPECT_GT(entry.reading0, first[i++]) << "readings move like counters";
  }
  EXPECT_EQ(ids.size(), 22u);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 22);
}

}  // namespace
