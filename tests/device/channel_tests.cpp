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

class DriverChannelTest : public testing::Test {
 protected:
  // Discover, open, check and identify, each expected to succeed.
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

  HANDLE HandleOf(int n) const { return channel.devices.at(WideInterfacePath(n)).handle.get(); }
  const DeviceEntry& Entry(int n) const { return channel.devices.at(WideInterfacePath(n)); }

  device_test::SimulatedMachine machine;
  DriverChannel channel;
};

TEST_F(DriverChannelTest, DiscoverFindsNothingWithoutInterfaces) {
  EXPECT_EQ(channel.Discover(), static_cast<DWORD>(ERROR_NOT_FOUND)) << "no driver.ini";
  machine.WriteDriverIni("; no devices\n");
  EXPECT_EQ(channel.Discover(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(channel.devices.empty());
  EXPECT_EQ(channel.ReadAll(), 0u) << "reading no entry at all succeeds";
}

TEST_F(DriverChannelTest, StartsAndReadsInPathOrder) {
  // File order differs from path order; the last path differs from the first only in case.
  std::string upper = InterfacePath(0);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  machine.WriteDriverIni(DeviceSection(InterfacePath(2), "WIFI", "reading0 = counter 100 5\nreading1 = 0x1F4") +
                         DeviceSection(InterfacePath(0), "BATTERY", "reading0 = 7\nreading1 = counter 0 1") +
                         DeviceSection(InterfacePath(1), "NOT_A_COMPONENT") + DeviceSection(upper, "MBB"));
  Start();
  const std::vector<std::wstring> expected = {tarn::sim::FromUtf8(upper), WideInterfacePath(0), WideInterfacePath(1),
                                              WideInterfacePath(2)};
  EXPECT_EQ(Paths(), expected);
  EXPECT_EQ(channel.devices.begin()->second.componentId, 7) << "the upper-case path opened its own device";
  EXPECT_EQ(Entry(0).componentId, 5);
  EXPECT_EQ(Entry(1).componentId, kUnknownComponentId);
  EXPECT_EQ(Entry(2).componentId, 6);

  ASSERT_EQ(channel.ReadAll(), 0u);
  EXPECT_EQ(Entry(2).reading0, 100u);
  EXPECT_EQ(Entry(2).reading1, 0x1F4u);
  EXPECT_EQ(Entry(0).reading0, 7u);
  ASSERT_EQ(channel.ReadAll(), 0u);
  EXPECT_EQ(Entry(2).reading0, 105u) << "counters advance per read";
  EXPECT_EQ(Entry(0).reading1, 1u);
}

TEST_F(DriverChannelTest, CheckDropsEntriesThatDoNotAnswerOne) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "check = 1") +
                         DeviceSection(InterfacePath(1), "MBB", "check = 0") +
                         DeviceSection(InterfacePath(2), "MBB", "check = 0x0201\nchecksize = 1"));
  ASSERT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  const HANDLE dropped = HandleOf(1);
  EXPECT_EQ(channel.CheckAll(), 0u);
  EXPECT_EQ(Paths(), (std::vector<std::wstring>{WideInterfacePath(0), WideInterfacePath(2)}))
      << "a one-byte reply 01 reads as 1: the unwritten byte is zero";
  EXPECT_FALSE(IsOpen(dropped)) << "a dropped entry's handle is closed";
  EXPECT_TRUE(IsOpen(HandleOf(0)));
}

TEST_F(DriverChannelTest, CheckWithNoEntryLeftIsInvalidData) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "check = 2") +
                         DeviceSection(InterfacePath(1), "MBB", "check = 1\nchecksize = 0"));
  ASSERT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  const std::vector<HANDLE> handles = {HandleOf(0), HandleOf(1)};
  EXPECT_EQ(channel.CheckAll(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_TRUE(channel.devices.empty());
  for (HANDLE handle : handles) EXPECT_FALSE(IsOpen(handle));
}

TEST_F(DriverChannelTest, FailedCheckStopsWithoutDroppingLaterEntries) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "fail = check 31") +
                         DeviceSection(InterfacePath(1), "MBB", "check = 0"));
  ASSERT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  EXPECT_EQ(channel.CheckAll(), 31u);
  EXPECT_EQ(channel.devices.size(), 2u);
}

// The stand-in numbers handles in steps of 4 and never reuses one, so the handle
// that the next CreateFileW will give out is known.
HANDLE NextHandleAfter(HANDLE handle) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(handle) + 4);
}

HANDLE ProbeHandle(int n) {
  HANDLE probe = CreateFileW(WideInterfacePath(n).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CloseHandle(probe);
  return probe;
}

TEST_F(DriverChannelTest, OpenFailureOnSecondEntryClosesTheFirstAndStops) {
  const std::string first = DeviceSection(InterfacePath(0), "WIFI");
  const std::string third = DeviceSection(InterfacePath(2), "BATTERY");
  machine.WriteDriverIni(first + DeviceSection(InterfacePath(1), "MBB") + third);
  ASSERT_EQ(channel.Discover(), 0u);
  HANDLE probe = ProbeHandle(0);
  ASSERT_EQ(channel.OpenAll(), 0u);
  ASSERT_EQ(HandleOf(0), NextHandleAfter(probe));
  channel.CloseAll();
  for (const auto& [path, entry] : channel.devices) EXPECT_FALSE(entry.handle.is_valid());

  machine.WriteDriverIni(first + DeviceSection(InterfacePath(1), "MBB", "fail = open 5") + third);
  probe = ProbeHandle(0);
  EXPECT_EQ(channel.OpenAll(), 5u);
  EXPECT_FALSE(IsOpen(NextHandleAfter(probe))) << "the first entry's handle was opened and closed again";
  for (const auto& [path, entry] : channel.devices) EXPECT_FALSE(entry.handle.is_valid());
  EXPECT_FALSE(IsOpen(NextHandleAfter(NextHandleAfter(probe)))) << "the third entry was never opened";
  EXPECT_EQ(channel.devices.size(), 3u);
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
  const std::string two = DeviceSection(InterfacePath(0), "WIFI", "reading0 = 11") +
                          DeviceSection(InterfacePath(2), "MBB", "reading1 = 22");
  machine.WriteDriverIni(two);
  Start();
  ASSERT_EQ(channel.ReadAll(), 0u);
  const HANDLE handle = HandleOf(0);

  machine.WriteDriverIni(two + DeviceSection(InterfacePath(1), "BATTERY"));
  EXPECT_EQ(channel.Discover(), 0u);
  EXPECT_EQ(channel.Discover(), 0u);
  ASSERT_EQ(channel.devices.size(), 3u);
  EXPECT_EQ(HandleOf(0), handle);
  EXPECT_EQ(Entry(0).componentId, 6);
  EXPECT_EQ(Entry(0).reading0, 11u);
  EXPECT_EQ(Entry(2).reading1, 22u);
  EXPECT_EQ(Entry(1).componentId, kUnidentifiedComponentId);
  EXPECT_FALSE(Entry(1).handle.is_valid());
}

TEST_F(DriverChannelTest, VanishedInterfaceKeepsItsEntryAndFailsToReopen) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = 3") + DeviceSection(InterfacePath(1), "MBB"));
  Start();
  ASSERT_EQ(channel.ReadAll(), 0u);

  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = 4"));
  EXPECT_EQ(channel.ReadAll(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(Entry(0).reading0, 4u) << "entries before the failure hold their new readings";

  // The recovery of a local tick.
  channel.CloseAll();
  machine.WriteDriverIni("");
  EXPECT_EQ(channel.Discover(), 0u) << "entries are still held";
  EXPECT_EQ(channel.OpenAll(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  for (const auto& [path, entry] : channel.devices) EXPECT_FALSE(entry.handle.is_valid());
  EXPECT_EQ(channel.ReadAll(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "a closed entry cannot be read";
  EXPECT_EQ(Entry(0).reading0, 4u);
  EXPECT_EQ(channel.devices.size(), 2u);
}

TEST_F(DriverChannelTest, IdentifiesEveryEntryByItsName) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "BATTERY") + DeviceSection(InterfacePath(1), "BATTERY") +
                         DeviceSection(InterfacePath(2), "wifi") + DeviceSection(InterfacePath(3), "") +
                         DeviceSection(InterfacePath(4), "\"WIFI \"") + DeviceSection(InterfacePath(5), "USB_CTLR_1"));
  Start();
  const std::vector<int> expected = {5, 5, 255, 255, 255, 15};
  for (int n = 0; n < 6; ++n) EXPECT_EQ(Entry(n).componentId, expected[static_cast<std::size_t>(n)]) << n;
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
  EXPECT_EQ(Entry(3).componentId, 6) << "a larger buffer than the block is fine: the rest stays zero";
  EXPECT_EQ(Entry(4).componentId, kUnidentifiedComponentId);
}

TEST_F(DriverChannelTest, ImplausibleInformationSizeIsInvalidData) {
  for (const char* size : {"0", "65537", "0xFFFFFFFF"}) {
    machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI") +
                           DeviceSection(InterfacePath(1), "MBB", std::string("infosize = ") + size) +
                           DeviceSection(InterfacePath(2), "BATTERY"));
    DriverChannel fresh;
    ASSERT_EQ(fresh.Discover(), 0u);
    ASSERT_EQ(fresh.OpenAll(), 0u);
    EXPECT_EQ(fresh.IdentifyAll(), static_cast<DWORD>(ERROR_INVALID_DATA)) << size;
    EXPECT_EQ(fresh.devices.at(WideInterfacePath(0)).componentId, 6) << "identified before the failure";
    EXPECT_EQ(fresh.devices.at(WideInterfacePath(1)).componentId, kUnidentifiedComponentId);
    EXPECT_EQ(fresh.devices.at(WideInterfacePath(2)).componentId, kUnidentifiedComponentId);
  }
}

TEST_F(DriverChannelTest, FailedIdentificationKeepsEarlierIds) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI") + DeviceSection(InterfacePath(1), "MBB"));
  Start();
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "BATTERY") + DeviceSection(InterfacePath(1), "WIFI", "fail = info 50"));
  EXPECT_EQ(channel.IdentifyAll(), 50u);
  EXPECT_EQ(Entry(0).componentId, 5);
  EXPECT_EQ(Entry(1).componentId, 7) << "a failed identification leaves the previous id";
}

TEST_F(DriverChannelTest, ShortReadingReplyLeavesTheRestZero) {
  machine.WriteDriverIni(
      DeviceSection(InterfacePath(0), "WIFI", "reading0 = 0x1122334455667788\nreading1 = 0x99\nreadsize = 4"));
  Start();
  ASSERT_EQ(channel.ReadAll(), 0u);
  EXPECT_EQ(Entry(0).reading0, 0x55667788u);
  EXPECT_EQ(Entry(0).reading1, 0u);
}

TEST_F(DriverChannelTest, HandlesCloseWhenTheChannelGoes) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI") + DeviceSection(InterfacePath(1), "MBB"));
  std::vector<HANDLE> handles;
  {
    DriverChannel scoped;
    ASSERT_EQ(scoped.Discover(), 0u);
    ASSERT_EQ(scoped.OpenAll(), 0u);
    for (const auto& [path, entry] : scoped.devices) handles.push_back(entry.handle.get());
    DriverChannel moved(std::move(scoped));
    for (HANDLE handle : handles) EXPECT_TRUE(IsOpen(handle)) << "moving the channel keeps its handles open";
  }
  ASSERT_EQ(handles.size(), 2u);
  for (HANDLE handle : handles) EXPECT_FALSE(IsOpen(handle));
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
  EXPECT_EQ(channel.devices.size(), 22u);
  EXPECT_EQ(ids.size(), 22u);
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 22);
}

}  // namespace
