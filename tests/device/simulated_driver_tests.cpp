// The stand-in's SetupAPI and device I/O, as the driver channel relies on them.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <atomic>
#include <chrono>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "driver_channel.h"
#include "simulated_machine.h"

namespace {

using device_test::DeviceSection;
using device_test::InterfacePath;
using device_test::WideInterfacePath;

HANDLE Open(const std::wstring& path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  DWORD error = 0;  // 0 when the request succeeded
  DWORD bytes = 0;
  std::vector<std::uint8_t> data;
};

Reply Send(HANDLE device, DWORD code, DWORD size) {
  Reply reply;
  reply.data.assign(size, 0xEE);
  if (!DeviceIoControl(device, code, nullptr, 0, reply.data.data(), size, &reply.bytes, nullptr))
    reply.error = GetLastError();
  return reply;
}

std::uint64_t Reading0(const Reply& reply) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | reply.data[static_cast<std::size_t>(i)];
  return value;
}

class SimulatedDriverTest : public testing::Test {
 protected:
  device_test::SimulatedMachine machine;
};

TEST_F(SimulatedDriverTest, EnumeratesInterfacesWithTheTwoCallProtocol) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(1), "WIFI") + DeviceSection(InterfacePath(0), "MBB"));
  const GUID& ours = kPowerMonitorInterfaceClass;
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  HDEVINFO empty = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(empty, nullptr, &other, 0, &data)) << "another class has no interface";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(empty);

  HDEVINFO list = SetupDiGetClassDevsW(&ours, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &ours, 1, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &ours, 2, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &ours, 0, &data));

  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const std::wstring expected = WideInterfacePath(1);  // the file's order, not the path order
  ASSERT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (expected.size() + 1) * sizeof(WCHAR));
  std::vector<DWORD> buffer(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = required;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)) << "cbSize is the fixed part's size";
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list, &data, detail, required - sizeof(WCHAR), nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(list, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::wstring(detail->DevicePath), expected);

  EXPECT_FALSE(CloseHandle(list)) << "a device information list is not a kernel handle";
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(list));
}

TEST_F(SimulatedDriverTest, AnswersTheFourRequestsAsADriverDoes) {
  machine.WriteDriverIni(
      DeviceSection(InterfacePath(0), "WIFI", "check = 0x0102\nreading0 = counter 0xFFFFFFFFFFFFFFFF 2"));
  EXPECT_EQ(Open(WideInterfacePath(9)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::wstring upper = WideInterfacePath(0);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  HANDLE device = Open(upper);
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << "device paths are found without regard to case";

  const Reply check = Send(device, kCheckRequest, 2);
  EXPECT_EQ(check.bytes, 2u);
  EXPECT_EQ(check.data, (std::vector<std::uint8_t>{0x02, 0x01}));
  EXPECT_EQ(Send(device, kInformationSizeRequest, 4).data[0], 72 + 2 * 5);
  const Reply block = Send(device, kInformationRequest, 100);
  EXPECT_EQ(block.bytes, 82u);
  EXPECT_EQ(block.data[72], 'W');
  EXPECT_EQ(block.data[82], 0xEE) << "nothing written past the block";
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), UINT64_MAX);
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 1u) << "counters wrap around";

  for (const auto& [code, small] : std::vector<std::pair<DWORD, DWORD>>{
           {kCheckRequest, 1}, {kInformationSizeRequest, 3}, {kInformationRequest, 81}, {kReadingRequest, 15}})
    EXPECT_EQ(Send(device, code, small).error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << code;
  EXPECT_EQ(Send(device, 0x00224010, 16).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  CloseHandle(device);
  EXPECT_EQ(Send(device, kCheckRequest, 2).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE writeOnly = Open(WideInterfacePath(0), GENERIC_WRITE);
  EXPECT_EQ(Send(writeOnly, kCheckRequest, 2).error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(writeOnly);
}

TEST_F(SimulatedDriverTest, RemovedDeviceFailsItsOpenHandlesForGood) {
  const std::string section = DeviceSection(InterfacePath(0), "WIFI");
  machine.WriteDriverIni(section);
  HANDLE old = Open(WideInterfacePath(0));
  machine.WriteDriverIni("");
  for (DWORD code : {kCheckRequest, kInformationSizeRequest, kInformationRequest, kReadingRequest})
    EXPECT_EQ(Send(old, code, 128).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  machine.WriteDriverIni(section);
  EXPECT_EQ(Send(old, kCheckRequest, 2).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED))
      << "a device that comes back is a new device";
  HANDLE fresh = Open(WideInterfacePath(0));
  EXPECT_EQ(Send(fresh, kCheckRequest, 2).error, 0u);
  CloseHandle(old);
  CloseHandle(fresh);
}

TEST_F(SimulatedDriverTest, RereadsDriverIniAndKeepsUnchangedCounters) {
  const std::string counting = DeviceSection(InterfacePath(0), "WIFI", "reading0 = counter 10 5 ; energy");
  machine.WriteDriverIni(counting);
  HANDLE device = Open(WideInterfacePath(0));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 10u);

  machine.WriteDriverIni(counting + DeviceSection(InterfacePath(1), "MBB", "fail = read 31"));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 15u) << "an unchanged counter goes on";
  HANDLE added = Open(WideInterfacePath(1));
  EXPECT_EQ(Send(added, kReadingRequest, 16).error, 31u) << "a device added while running answers";

  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = counter 10 5\nfail = check 21"));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 20u) << "other keys may change under a running counter";
  EXPECT_EQ(Send(device, kCheckRequest, 2).error, 21u);
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = counter 100 1"));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 100u) << "a changed counter starts again";
  CloseHandle(device);
  CloseHandle(added);
}

// A driver.ini that cannot be read (here a folder in its place, whose read fails
// with EISDIR) is a driver that answers with an error, never an exception.
TEST_F(SimulatedDriverTest, AnUnreadableDriverIniFailsTheListingWithAWin32ErrorUntilItIsReadableAgain) {
  const std::string section = DeviceSection(InterfacePath(0), "WIFI");
  machine.WriteDriverIni(section);
  HANDLE device = Open(WideInterfacePath(0));
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  std::filesystem::remove(machine.root() / "driver.ini");
  std::filesystem::create_directory(machine.root() / "driver.ini");
  std::this_thread::sleep_for(std::chrono::milliseconds(5));

  HDEVINFO list = INVALID_HANDLE_VALUE;
  EXPECT_NO_THROW(list = SetupDiGetClassDevsW(&kPowerMonitorInterfaceClass, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  EXPECT_EQ(list, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  DriverChannel channel;
  DWORD discovered = 0;
  EXPECT_NO_THROW(discovered = channel.Discover());
  EXPECT_EQ(discovered, static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_EQ(Send(device, kCheckRequest, 2).error, 0u) << "the devices read last stay as they were";

  std::filesystem::remove(machine.root() / "driver.ini");
  machine.WriteDriverIni(section);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  list = SetupDiGetClassDevsW(&kPowerMonitorInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE) << "read again once it can be";
  SetupDiDestroyDeviceInfoList(list);
  CloseHandle(device);
}

TEST_F(SimulatedDriverTest, ReadsCommentsQuotesAndUtf16Files) {
  // UTF-16LE with a byte-order mark; a quoted value holding ';', a bad value, a
  // section without a path and a repeated path.
  const std::string text = "; header\r\n[device]\r\npath = " + InterfacePath(0) +
                           "  ; comment\r\ncomponent = \"A;B\"\r\nreading1 = nonsense\r\n"
                           "[device]\r\ncomponent = WIFI\r\n[device]\r\npath = " +
                           InterfacePath(0) + "\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string{c, '\0'};
  std::ofstream(machine.root() / "driver.ini", std::ios::binary) << utf16;

  testing::internal::CaptureStderr();
  HANDLE device = Open(WideInterfacePath(0));
  const std::string problems = testing::internal::GetCapturedStderr();
  EXPECT_NE(problems.find("reading1 = nonsense"), std::string::npos) << problems;
  EXPECT_NE(problems.find("without a path"), std::string::npos) << problems;
  EXPECT_NE(problems.find("second section"), std::string::npos) << problems;
  const Reply block = Send(device, kInformationRequest, 128);
  EXPECT_EQ(block.bytes, 72u + 8u) << "the name is A;B";
  EXPECT_EQ(block.data[74], ';');
  CloseHandle(device);
}

TEST_F(SimulatedDriverTest, CountsEveryReadFromConcurrentHandles) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = counter 0 3"));
  constexpr int kReadsPerThread = 200;
  auto reader = [] {
    HANDLE device = Open(WideInterfacePath(0));
    for (int i = 0; i < kReadsPerThread; ++i) Send(device, kReadingRequest, 16);
    CloseHandle(device);
  };
  std::thread first(reader);
  std::thread second(reader);
  first.join();
  second.join();
  HANDLE device = Open(WideInterfacePath(0));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 3u * 2 * kReadsPerThread) << "no read was lost";
  CloseHandle(device);
}

TEST_F(SimulatedDriverTest, ASlowRequestHoldsUpOnlyItsOwnCaller) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "delay = read 1500\nreading0 = 7\n") +
                         DeviceSection(InterfacePath(1), "MBB", "reading0 = 9\n"));
  HANDLE slow = Open(WideInterfacePath(0));
  HANDLE quick = Open(WideInterfacePath(1));
  ASSERT_NE(slow, INVALID_HANDLE_VALUE);
  ASSERT_NE(quick, INVALID_HANDLE_VALUE);
  std::atomic<bool> slowAnswered{false};
  std::thread reader([&] {
    EXPECT_EQ(Reading0(Send(slow, kReadingRequest, 16)), 7u);
    slowAnswered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(slowAnswered.load()) << "the delay was not taken";
  EXPECT_EQ(Reading0(Send(quick, kReadingRequest, 16)), 9u);
  EXPECT_EQ(Send(quick, kCheckRequest, 2).error, 0u);
  EXPECT_FALSE(slowAnswered.load()) << "the other device waited for the slow request";
  reader.join();
  CloseHandle(slow);
  CloseHandle(quick);
}

}  // namespace
