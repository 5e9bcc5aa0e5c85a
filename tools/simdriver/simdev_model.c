#include "simdev_model.h"

static void store_u16(uint8_t *at, uint16_t value) {
  at[0] = (uint8_t)value;
  at[1] = (uint8_t)(value >> 8);
}

static void store_u32(uint8_t *at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

static void store_u64(uint8_t *at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

static uint32_t load_u32(const uint8_t *at) {
  return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) | ((uint32_t)at[3] << 24);
}

void simdev_config_init(simdev_config *config) {
  uint8_t *bytes = (uint8_t *)config;
  for (uint32_t i = 0; i < sizeof *config; ++i) bytes[i] = 0;
  config->check = 1;
  config->fail_request = SIMDEV_REQUEST_NONE;
}

int simdev_config_set_component(simdev_config *config, const uint16_t *name, uint32_t length) {
  uint32_t count = 0;
  while (count < length && count < TARNPWR_NAME_MAX && name[count] != 0) {
    config->component[count] = name[count];
    ++count;
  }
  config->component[count] = 0;
  return count == length || name[count] == 0;
}

void simdev_device_init(simdev_device *device, const simdev_config *config) {
  device->config = *config;
  /* The name must stay terminated whatever the caller filled in. */
  device->config.component[TARNPWR_NAME_MAX] = 0;
  device->next[0] = config->reading[0].start;
  device->next[1] = config->reading[1].start;
}

uint32_t simdev_component_length(const simdev_config *config) {
  uint32_t length = 0;
  while (length < TARNPWR_NAME_MAX && config->component[length] != 0) ++length;
  return length;
}

uint32_t simdev_info_size(const simdev_config *config) {
  return TARNPWR_INFO_NAME_OFFSET + 2u * (simdev_component_length(config) + 1u);
}

static uint32_t injected_failure(const simdev_device *device, simdev_request request) {
  if (device->config.fail_request != (uint32_t)request) return SIMDEV_STATUS_SUCCESS;
  uint32_t status = simdev_status_from_win32(device->config.fail_error);
  /* A failure that maps to success would let the request pass as if
   * nothing was configured; report a general failure instead. */
  return status == SIMDEV_STATUS_SUCCESS ? SIMDEV_STATUS_UNSUCCESSFUL : status;
}

uint32_t simdev_open_status(const simdev_device *device) { return injected_failure(device, SIMDEV_REQUEST_OPEN); }

static uint32_t reply_check(const simdev_device *device, uint8_t *out, uint32_t capacity, uint32_t *written) {
  if (capacity < TARNPWR_CHECK_REPLY_SIZE) return SIMDEV_STATUS_BUFFER_TOO_SMALL;
  store_u16(out, device->config.check);
  *written = TARNPWR_CHECK_REPLY_SIZE;
  return SIMDEV_STATUS_SUCCESS;
}

static uint32_t reply_info_size(const simdev_device *device, uint8_t *out, uint32_t capacity, uint32_t *written) {
  if (capacity < TARNPWR_INFO_SIZE_REPLY_SIZE) return SIMDEV_STATUS_BUFFER_TOO_SMALL;
  store_u32(out, simdev_info_size(&device->config));
  *written = TARNPWR_INFO_SIZE_REPLY_SIZE;
  return SIMDEV_STATUS_SUCCESS;
}

static uint32_t reply_info(const simdev_device *device, uint8_t *out, uint32_t capacity, uint32_t *written) {
  const uint32_t size = simdev_info_size(&device->config);
  const uint32_t name_length = simdev_component_length(&device->config);
  if (capacity < size) return SIMDEV_STATUS_BUFFER_TOO_SMALL;
  for (uint32_t i = 0; i < TARNPWR_INFO_NAME_OFFSET; ++i) out[i] = 0;
  store_u32(out + TARNPWR_INFO_HDR_BLOCK_SIZE, size);
  store_u32(out + TARNPWR_INFO_HDR_VERSION, TARNPWR_INFO_LAYOUT_VERSION);
  store_u32(out + TARNPWR_INFO_HDR_NAME_OFFSET, TARNPWR_INFO_NAME_OFFSET);
  store_u32(out + TARNPWR_INFO_HDR_NAME_BYTES, 2u * name_length);
  store_u32(out + TARNPWR_INFO_HDR_CHECK, device->config.check);
  for (uint32_t i = 0; i <= name_length; ++i)
    store_u16(out + TARNPWR_INFO_NAME_OFFSET + 2u * i, i < name_length ? device->config.component[i] : 0);
  *written = size;
  return SIMDEV_STATUS_SUCCESS;
}

static uint32_t reply_read(simdev_device *device, uint8_t *out, uint32_t capacity, uint32_t *written) {
  if (capacity < TARNPWR_READ_REPLY_SIZE) return SIMDEV_STATUS_BUFFER_TOO_SMALL;
  store_u64(out, device->next[0]);
  store_u64(out + 8, device->next[1]);
  device->next[0] += device->config.reading[0].step;
  device->next[1] += device->config.reading[1].step;
  *written = TARNPWR_READ_REPLY_SIZE;
  return SIMDEV_STATUS_SUCCESS;
}

static uint32_t reply_echo_error(uint8_t *buffer, uint32_t input_length) {
  if (input_length < 4) return SIMDEV_STATUS_INVALID_PARAMETER;
  return simdev_status_from_win32(load_u32(buffer));
}

uint32_t simdev_control(simdev_device *device, uint32_t code, void *buffer, uint32_t input_length,
                        uint32_t output_length, uint32_t *written) {
  uint8_t *bytes = (uint8_t *)buffer;
  uint32_t status;
  *written = 0;
  if (!bytes && (input_length || output_length)) return SIMDEV_STATUS_INVALID_PARAMETER;
  switch (code) {
    case TARNPWR_IOCTL_CHECK:
      status = injected_failure(device, SIMDEV_REQUEST_CHECK);
      return status ? status : reply_check(device, bytes, output_length, written);
    case TARNPWR_IOCTL_INFO_SIZE:
      status = injected_failure(device, SIMDEV_REQUEST_INFO);
      return status ? status : reply_info_size(device, bytes, output_length, written);
    case TARNPWR_IOCTL_INFO:
      status = injected_failure(device, SIMDEV_REQUEST_INFO);
      return status ? status : reply_info(device, bytes, output_length, written);
    case TARNPWR_IOCTL_READ:
      status = injected_failure(device, SIMDEV_REQUEST_READ);
      return status ? status : reply_read(device, bytes, output_length, written);
    case TARNPWR_IOCTL_ECHO_ERROR: return reply_echo_error(bytes, input_length);
    default: return SIMDEV_STATUS_INVALID_DEVICE_REQUEST;
  }
}

uint32_t simdev_status_from_win32(uint32_t error) {
  switch (error) {
    case 0: return SIMDEV_STATUS_SUCCESS;
    case 1: return SIMDEV_STATUS_INVALID_DEVICE_REQUEST;  /* ERROR_INVALID_FUNCTION */
    case 5: return SIMDEV_STATUS_ACCESS_DENIED;           /* ERROR_ACCESS_DENIED */
    case 8: return SIMDEV_STATUS_NO_MEMORY;               /* ERROR_NOT_ENOUGH_MEMORY */
    case 21: return SIMDEV_STATUS_DEVICE_NOT_READY;       /* ERROR_NOT_READY */
    case 31: return SIMDEV_STATUS_UNSUCCESSFUL;           /* ERROR_GEN_FAILURE */
    case 87: return SIMDEV_STATUS_INVALID_PARAMETER;      /* ERROR_INVALID_PARAMETER */
    case 122: return SIMDEV_STATUS_BUFFER_TOO_SMALL;      /* ERROR_INSUFFICIENT_BUFFER */
    case 1117: return SIMDEV_STATUS_IO_DEVICE_ERROR;      /* ERROR_IO_DEVICE */
    case 1167: return SIMDEV_STATUS_DEVICE_NOT_CONNECTED; /* ERROR_DEVICE_NOT_CONNECTED */
    default: break;
  }
  if (error > 0xFFFFu) return SIMDEV_STATUS_UNSUCCESSFUL;
  return 0x80070000u | error;
}
