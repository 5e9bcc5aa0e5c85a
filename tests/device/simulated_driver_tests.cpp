// The stand-in's SetupAPI and device I/O, as the driver channel relies on them.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <fstream>
#include <thread>
#include <vector>

#include "driver_channel.h"
#include "simulated_machine.h"

namespace {

using device_test::DeviceSection;
using device_test::InterfacePath;
using device_test::WideInterfacePath;

constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

HANDLE Open(const std::wstring& path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD bytes = 0;
  std::vector<std::uint8_t> data;
};

Reply Send(HANDLE device, DWORD code, DWORD size) {
  Reply reply;
  reply.data.assign(size, 0xEE);
  reply.bytes = 0xDEAD;
  SetLastError(0);
  reply.ok = DeviceIoControl(device, code, nullptr, 0, reply.data.data(), size, &reply.bytes, nullptr);
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
  HDEVINFO list = SetupDiGetClassDevsW(&kPowerMonitorInterfaceClass, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kPowerMonitorInterfaceClass, 0, &data));
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kPowerMonitorInterfaceClass, 1, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &kPowerMonitorInterfaceClass, 2, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kPowerMonitorInterfaceClass, 0, &data));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const std::wstring expected = WideInterfacePath(1);  // the file's order, not the path order
  ASSERT_EQ(required, kPathOffset + (expected.size() + 1) * sizeof(WCHAR));

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
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimulatedDriverTest, OtherClassesAndBadInterfaceDataFindNothing) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI"));
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  HDEVINFO list = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &other, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(list);

  list = SetupDiGetClassDevsW(&kPowerMonitorInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  data.cbSize = sizeof(data) + 1;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &kPowerMonitorInterfaceClass, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  SetupDiDestroyDeviceInfoList(list);
}

TEST_F(SimulatedDriverTest, AnswersTheFourRequestsAsADriverDoes) {
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "check = 0x0102\nreading0 = counter 0xFFFFFFFFFFFFFFFF 2"));
  EXPECT_EQ(Open(L"\\\\?\\root#tarnpwr#0009#{45bd8344-7ed6-49cf-a440-c276c933b053}"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::wstring upper = WideInterfacePath(0);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  HANDLE device = Open(upper);
  ASSERT_NE(device, INVALID_HANDLE_VALUE) << "device paths are found without regard to case";

  Reply check = Send(device, kCheckRequest, 2);
  EXPECT_TRUE(check.ok);
  EXPECT_EQ(check.bytes, 2u);
  EXPECT_EQ(check.data, (std::vector<std::uint8_t>{0x02, 0x01}));

  Reply size = Send(device, kInformationSizeRequest, 4);
  ASSERT_TRUE(size.ok);
  EXPECT_EQ(size.data[0], 72 + 2 * 5);
  Reply block = Send(device, kInformationRequest, 100);
  ASSERT_TRUE(block.ok);
  EXPECT_EQ(block.bytes, 82u);
  EXPECT_EQ(block.data[72], 'W');
  EXPECT_EQ(block.data[80], 0);
  EXPECT_EQ(block.data[82], 0xEE) << "nothing written past the block";

  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), UINT64_MAX);
  Reply read = Send(device, kReadingRequest, 16);
  EXPECT_EQ(read.bytes, 16u);
  EXPECT_EQ(Reading0(read), 1u) << "counters wrap around";

  for (const auto& [code, small] : std::vector<std::pair<DWORD, DWORD>>{
           {kCheckRequest, 1}, {kInformationSizeRequest, 3}, {kInformationRequest, 81}, {kReadingRequest, 15}}) {
    const Reply tooSmall = Send(device, code, small);
    EXPECT_FALSE(tooSmall.ok);
    EXPECT_EQ(tooSmall.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << std::hex << code;
    EXPECT_EQ(tooSmall.bytes, 0u);
  }
  EXPECT_EQ(Send(device, 0x00224010, 16).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_EQ(Send(device, kCheckRequest, 2).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HANDLE writeOnly = Open(WideInterfacePath(0), GENERIC_WRITE);
  EXPECT_EQ(Send(writeOnly, kCheckRequest, 2).error, static_cast<DWORD>(ERROR_ACCESS_DENIED))
      << "the requests need read access";
  CloseHandle(writeOnly);
}

TEST_F(SimulatedDriverTest, RemovedDeviceFailsItsOpenHandlesForGood) {
  const std::string section = DeviceSection(InterfacePath(0), "WIFI");
  machine.WriteDriverIni(section);
  HANDLE old = Open(WideInterfacePath(0));
  ASSERT_NE(old, INVALID_HANDLE_VALUE);
  machine.WriteDriverIni("");
  for (DWORD code : {kCheckRequest, kInformationSizeRequest, kInformationRequest, kReadingRequest})
    EXPECT_EQ(Send(old, code, 128).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

  machine.WriteDriverIni(section);
  EXPECT_EQ(Send(old, kCheckRequest, 2).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED))
      << "a device that comes back is a new device";
  HANDLE fresh = Open(WideInterfacePath(0));
  EXPECT_TRUE(Send(fresh, kCheckRequest, 2).ok);
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
  ASSERT_NE(added, INVALID_HANDLE_VALUE) << "a device added while running can be opened";
  EXPECT_EQ(Send(added, kReadingRequest, 16).error, 31u);

  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = counter 10 5\nfail = check 21"));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 20u) << "other keys may change under a running counter";
  EXPECT_EQ(Send(device, kCheckRequest, 2).error, 21u);
  machine.WriteDriverIni(DeviceSection(InterfacePath(0), "WIFI", "reading0 = counter 100 1"));
  EXPECT_EQ(Reading0(Send(device, kReadingRequest, 16)), 100u) << "a changed counter starts again";
  CloseHandle(device);
  CloseHandle(added);
}

TEST_F(SimulatedDriverTest, ReadsCommentsQuotesAndUtf16Files) {
  // UTF-16LE with a byte-order mark, comments after values, a quoted value with ';',
  // a bad line, a section without a path and a repeated path.
  const std::string text = "; header\r\n[device]\r\npath = " + InterfacePath(0) +
                           "  ; trailing comment\r\ncomponent = \"A;B\"\r\nreading0 = 0x10\r\nreading1 = nonsense\r\n"
                           "[device]\r\ncomponent = WIFI\r\n[device]\r\npath = " + InterfacePath(0) + "\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : text) utf16 += std::string{c, '\0'};
  {
    std::ofstream out(machine.root() / "driver.ini", std::ios::binary);
    out << utf16;
  }
  DriverChannel channel;
  testing::internal::CaptureStderr();
  ASSERT_EQ(channel.Discover(), 0u);
  const std::string problems = testing::internal::GetCapturedStderr();
  EXPECT_NE(problems.find("reading1 = nonsense"), std::string::npos) << problems;
  EXPECT_NE(problems.find("without a path"), std::string::npos) << problems;
  ASSERT_EQ(channel.devices.size(), 1u);
  ASSERT_EQ(channel.OpenAll(), 0u);
  ASSERT_EQ(channel.ReadAll(), 0u);
  const DeviceEntry& entry = channel.devices.begin()->second;
  EXPECT_EQ(entry.reading0, 0x10u);

  HANDLE device = Open(WideInterfacePath(0));
  Reply block = Send(device, kInformationRequest, 128);
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

}  // namespace
