// The simulated device's answers: reply layouts, buffer limits, counters,
// injected failures and the Win32-to-status mapping.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "simdev_model.h"

namespace {

std::vector<uint16_t> Utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

simdev_config ConfigNamed(const std::string& name) {
  simdev_config config;
  simdev_config_init(&config);
  auto units = Utf16(name);
  simdev_config_set_component(&config, units.data(), static_cast<uint32_t>(units.size()));
  return config;
}

simdev_device DeviceFrom(const simdev_config& config) {
  simdev_device device;
  simdev_device_init(&device, &config);
  return device;
}

uint64_t LoadU64(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

uint32_t LoadU32(const uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

struct Reply {
  uint32_t status;
  uint32_t written;
  std::vector<uint8_t> bytes;
};

// Sends a request with an output buffer of `capacity` bytes prefilled with 0xCC.
Reply Send(simdev_device& device, uint32_t code, uint32_t capacity) {
  Reply reply{0, 0xFFFFFFFFu, std::vector<uint8_t>(capacity, 0xCC)};
  reply.status = simdev_control(&device, code, reply.bytes.data(), 0, capacity, &reply.written);
  return reply;
}

std::array<uint64_t, 2> Read(simdev_device& device) {
  Reply reply = Send(device, TARNPWR_IOCTL_READ, TARNPWR_READ_REPLY_SIZE);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_SUCCESS);
  EXPECT_EQ(reply.written, TARNPWR_READ_REPLY_SIZE);
  return {LoadU64(reply.bytes.data()), LoadU64(reply.bytes.data() + 8)};
}

TEST(SimdevCheck, RepliesTheConfiguredValueLittleEndian) {
  simdev_config config = ConfigNamed("WIFI");
  config.check = 0x1234;
  simdev_device device = DeviceFrom(config);
  Reply reply = Send(device, TARNPWR_IOCTL_CHECK, 2);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_SUCCESS);
  EXPECT_EQ(reply.written, 2u);
  EXPECT_EQ(reply.bytes, (std::vector<uint8_t>{0x34, 0x12}));
}

TEST(SimdevCheck, DefaultsToOneAndRefusesAShortBuffer) {
  simdev_device device = DeviceFrom(ConfigNamed("WIFI"));
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_CHECK, 4).bytes[0], 1);
  Reply reply = Send(device, TARNPWR_IOCTL_CHECK, 1);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reply.written, 0u);
  EXPECT_EQ(reply.bytes[0], 0xCC) << "nothing may be written into a buffer that is too small";
}

TEST(SimdevCheck, NoBufferAtAllIsTooSmallNotACrash) {
  simdev_device device = DeviceFrom(ConfigNamed("WIFI"));
  uint32_t written = 7;
  EXPECT_EQ(simdev_control(&device, TARNPWR_IOCTL_CHECK, nullptr, 0, 0, &written), SIMDEV_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(simdev_control(&device, TARNPWR_IOCTL_READ, nullptr, 0, 16, &written), SIMDEV_STATUS_INVALID_PARAMETER);
}

TEST(SimdevInformation, SizeCountsTheNameAndItsTerminatorFromByte72) {
  EXPECT_EQ(simdev_info_size(&static_cast<const simdev_config&>(ConfigNamed("WIFI"))), 72u + 10u);
  EXPECT_EQ(simdev_info_size(&static_cast<const simdev_config&>(ConfigNamed(""))), 74u);
  EXPECT_EQ(simdev_info_size(&static_cast<const simdev_config&>(ConfigNamed(std::string(63, 'A')))), 72u + 128u);

  simdev_device device = DeviceFrom(ConfigNamed("STORAGE_SSD"));
  Reply reply = Send(device, TARNPWR_IOCTL_INFO_SIZE, 4);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_SUCCESS);
  EXPECT_EQ(reply.written, 4u);
  EXPECT_EQ(LoadU32(reply.bytes.data()), 96u);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_INFO_SIZE, 3).status, SIMDEV_STATUS_BUFFER_TOO_SMALL);
}

TEST(SimdevInformation, BlockCarriesTheNameAtByte72AndAHeader) {
  simdev_config config = ConfigNamed("BATTERY");
  config.check = 2;
  simdev_device device = DeviceFrom(config);
  const uint32_t size = 72 + 16;
  Reply reply = Send(device, TARNPWR_IOCTL_INFO, size + 6);  // a larger buffer gets exactly the block
  ASSERT_EQ(reply.status, SIMDEV_STATUS_SUCCESS);
  ASSERT_EQ(reply.written, size);
  std::u16string name;
  for (uint32_t at = 72; at < size; at += 2)
    name.push_back(static_cast<char16_t>(reply.bytes[at] | (reply.bytes[at + 1] << 8)));
  EXPECT_EQ(name, std::u16string(u"BATTERY\0", 8));
  EXPECT_EQ(LoadU32(&reply.bytes[TARNPWR_INFO_HDR_BLOCK_SIZE]), size);
  EXPECT_EQ(LoadU32(&reply.bytes[TARNPWR_INFO_HDR_VERSION]), TARNPWR_INFO_LAYOUT_VERSION);
  EXPECT_EQ(LoadU32(&reply.bytes[TARNPWR_INFO_HDR_NAME_OFFSET]), 72u);
  EXPECT_EQ(LoadU32(&reply.bytes[TARNPWR_INFO_HDR_NAME_BYTES]), 14u);
  EXPECT_EQ(LoadU32(&reply.bytes[TARNPWR_INFO_HDR_CHECK]), 2u);
  EXPECT_EQ(reply.bytes[40], 0) << "unused header bytes are zero";
  EXPECT_EQ(reply.bytes[size], 0xCC) << "nothing past the block";
}

TEST(SimdevInformation, ABufferOneByteShortIsRefused) {
  simdev_device device = DeviceFrom(ConfigNamed("WIFI"));
  Reply reply = Send(device, TARNPWR_IOCTL_INFO, 81);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reply.written, 0u);
}

TEST(SimdevComponent, LongNamesAreCutAndReportedAndEmbeddedZerosEndTheName) {
  simdev_config config;
  simdev_config_init(&config);
  auto long_name = Utf16(std::string(70, 'X'));
  EXPECT_EQ(simdev_config_set_component(&config, long_name.data(), 70), 0);
  EXPECT_EQ(simdev_component_length(&config), TARNPWR_NAME_MAX);
  auto exact = Utf16(std::string(63, 'Y'));
  EXPECT_NE(simdev_config_set_component(&config, exact.data(), 63), 0);
  const uint16_t with_zero[] = {'A', 'B', 0, 'C'};
  EXPECT_NE(simdev_config_set_component(&config, with_zero, 4), 0);
  EXPECT_EQ(simdev_component_length(&config), 2u);
}

TEST(SimdevComponent, DeviceInitTerminatesANameThatFillsTheArray) {
  simdev_config config;
  simdev_config_init(&config);
  for (auto& unit : config.component) unit = 'Z';
  simdev_device device = DeviceFrom(config);
  EXPECT_EQ(simdev_component_length(&device.config), TARNPWR_NAME_MAX);
  EXPECT_EQ(simdev_info_size(&device.config), 72u + 2u * 64u);
}

TEST(SimdevReading, FixedValuesRepeatAndCountersAdvanceAfterEachRead) {
  simdev_config config = ConfigNamed("WIFI");
  config.reading[0] = {500, 0};
  config.reading[1] = {10, 5};
  simdev_device device = DeviceFrom(config);
  EXPECT_EQ(Read(device), (std::array<uint64_t, 2>{500, 10}));
  EXPECT_EQ(Read(device), (std::array<uint64_t, 2>{500, 15}));
  EXPECT_EQ(Read(device), (std::array<uint64_t, 2>{500, 20}));
}

TEST(SimdevReading, CountersWrapAroundAt64Bits) {
  simdev_config config = ConfigNamed("WIFI");
  config.reading[0] = {UINT64_MAX, 2};
  simdev_device device = DeviceFrom(config);
  EXPECT_EQ(Read(device)[0], UINT64_MAX);
  EXPECT_EQ(Read(device)[0], 1u);
}

TEST(SimdevReading, AShortBufferIsRefusedWithoutAdvancingTheCounters) {
  simdev_config config = ConfigNamed("WIFI");
  config.reading[0] = {1, 1};
  simdev_device device = DeviceFrom(config);
  Reply reply = Send(device, TARNPWR_IOCTL_READ, 15);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reply.bytes[0], 0xCC);
  EXPECT_EQ(Read(device)[0], 1u);
}

TEST(SimdevFailure, TheChosenRequestFailsWithTheMappedStatusAndTheOthersWork) {
  simdev_config config = ConfigNamed("WIFI");
  config.reading[0] = {7, 1};
  config.fail_request = SIMDEV_REQUEST_READ;
  config.fail_error = 31;
  simdev_device device = DeviceFrom(config);
  Reply reply = Send(device, TARNPWR_IOCTL_READ, 16);
  EXPECT_EQ(reply.status, SIMDEV_STATUS_UNSUCCESSFUL);
  EXPECT_EQ(reply.written, 0u);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_CHECK, 2).status, SIMDEV_STATUS_SUCCESS);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_INFO, 82).status, SIMDEV_STATUS_SUCCESS);
  EXPECT_EQ(simdev_open_status(&device), SIMDEV_STATUS_SUCCESS);
  device.config.fail_request = SIMDEV_REQUEST_NONE;
  EXPECT_EQ(Read(device)[0], 7u) << "failed reads do not advance the counters";
}

TEST(SimdevFailure, InfoFailsBothTheSizeAndTheBlockRequests) {
  simdev_config config = ConfigNamed("WIFI");
  config.fail_request = SIMDEV_REQUEST_INFO;
  config.fail_error = 1117;
  simdev_device device = DeviceFrom(config);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_INFO_SIZE, 4).status, SIMDEV_STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_INFO, 82).status, SIMDEV_STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_READ, 16).status, SIMDEV_STATUS_SUCCESS);
}

TEST(SimdevFailure, OpenAndCheckFailuresAndAZeroCodeStillFails) {
  simdev_config config = ConfigNamed("WIFI");
  config.fail_request = SIMDEV_REQUEST_OPEN;
  config.fail_error = 5;
  EXPECT_EQ(simdev_open_status(&static_cast<const simdev_device&>(DeviceFrom(config))), SIMDEV_STATUS_ACCESS_DENIED);
  config.fail_request = SIMDEV_REQUEST_CHECK;
  config.fail_error = 0;  // only reachable through a hand-edited registry value
  simdev_device device = DeviceFrom(config);
  EXPECT_EQ(Send(device, TARNPWR_IOCTL_CHECK, 2).status, SIMDEV_STATUS_UNSUCCESSFUL);
}

TEST(SimdevRequests, UnknownCodesAreInvalidAndEchoNeedsItsInput) {
  simdev_device device = DeviceFrom(ConfigNamed("WIFI"));
  EXPECT_EQ(Send(device, TARNPWR_CTL_CODE(0x004), 16).status, SIMDEV_STATUS_INVALID_DEVICE_REQUEST);
  uint8_t input[4] = {0x8F, 0x04, 0, 0};  // 1167
  uint32_t written = 9;
  EXPECT_EQ(simdev_control(&device, TARNPWR_IOCTL_ECHO_ERROR, input, 4, 0, &written),
            SIMDEV_STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(simdev_control(&device, TARNPWR_IOCTL_ECHO_ERROR, input, 3, 0, &written), SIMDEV_STATUS_INVALID_PARAMETER);
}

TEST(SimdevStatusMapping, EveryCodeGetsItsOwnFailureStatus) {
  std::set<uint32_t> seen;
  for (uint32_t code = 1; code <= 0xFFFF; ++code) {
    uint32_t status = simdev_status_from_win32(code);
    ASSERT_NE(status, SIMDEV_STATUS_SUCCESS) << code;
    ASSERT_NE(status & 0x80000000u, 0u) << "warning or error severity, so the request fails: " << code;
    ASSERT_TRUE(seen.insert(status).second) << "two codes share status " << std::hex << status;
  }
  EXPECT_EQ(simdev_status_from_win32(0), SIMDEV_STATUS_SUCCESS);
  EXPECT_EQ(simdev_status_from_win32(0x10000), SIMDEV_STATUS_UNSUCCESSFUL);
  EXPECT_EQ(simdev_status_from_win32(1460), 0x800705B4u)
      << "codes without a natural status travel in the Win32 facility";
}

}  // namespace
