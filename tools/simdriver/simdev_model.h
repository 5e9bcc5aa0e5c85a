/*
 * Behaviour of one simulated power-monitor device: what it answers to each
 * request, how its readings advance, and which request it fails on purpose.
 *
 * Freestanding C (no C runtime beyond <stdint.h>), so the same code runs in
 * the kernel driver and in the unit tests on Linux and Windows. Not thread
 * safe: the driver serialises calls per device.
 */
#ifndef SIMDEV_MODEL_H
#define SIMDEV_MODEL_H

#include <stdint.h>

#include "tarnpwr_ioctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* NTSTATUS values the model reports (the kernel headers are not used here). */
#define SIMDEV_STATUS_SUCCESS 0x00000000u
#define SIMDEV_STATUS_UNSUCCESSFUL 0xC0000001u
#define SIMDEV_STATUS_INVALID_PARAMETER 0xC000000Du
#define SIMDEV_STATUS_INVALID_DEVICE_REQUEST 0xC0000010u
#define SIMDEV_STATUS_NO_MEMORY 0xC0000017u
#define SIMDEV_STATUS_ACCESS_DENIED 0xC0000022u
#define SIMDEV_STATUS_BUFFER_TOO_SMALL 0xC0000023u
#define SIMDEV_STATUS_DEVICE_NOT_CONNECTED 0xC000009Du
#define SIMDEV_STATUS_DEVICE_NOT_READY 0xC00000A3u
#define SIMDEV_STATUS_IO_DEVICE_ERROR 0xC0000185u

/* The requests a device can be told to fail ("fail = <request> <code>"). */
typedef enum simdev_request {
  SIMDEV_REQUEST_NONE = 0,
  SIMDEV_REQUEST_OPEN = 1,  /* IRP_MJ_CREATE: CreateFileW fails */
  SIMDEV_REQUEST_CHECK = 2, /* the check request */
  SIMDEV_REQUEST_INFO = 3,  /* both the information-size and the information request */
  SIMDEV_REQUEST_READ = 4   /* the reading request */
} simdev_request;

/* A reading source: START on the first read, then START + n*STEP (mod 2^64).
 * A fixed value is a source whose step is 0. */
typedef struct simdev_reading {
  uint64_t start;
  uint64_t step;
} simdev_reading;

typedef struct simdev_config {
  uint16_t component[TARNPWR_NAME_MAX + 1]; /* UTF-16, NUL-terminated */
  uint16_t check;
  simdev_reading reading[2];
  uint32_t fail_request; /* a simdev_request */
  uint32_t fail_error;   /* Win32 error code the failing request reports */
} simdev_config;

typedef struct simdev_device {
  simdev_config config;
  uint64_t next[2]; /* the values the next reading request returns */
} simdev_device;

/* Defaults: empty component name, check 1, both readings 0, no failure. */
void simdev_config_init(simdev_config *config);

/* Copies the component name (at most TARNPWR_NAME_MAX units; stops at a 0
 * unit or after `length` units). Returns 0 when the name had to be cut. */
int simdev_config_set_component(simdev_config *config, const uint16_t *name, uint32_t length);

void simdev_device_init(simdev_device *device, const simdev_config *config);

/* Number of UTF-16 units of the component name, without the terminator. */
uint32_t simdev_component_length(const simdev_config *config);

/* Size in bytes of the information block: the name's terminator included. */
uint32_t simdev_info_size(const simdev_config *config);

/* Status of an open request (IRP_MJ_CREATE). */
uint32_t simdev_open_status(const simdev_device *device);

/*
 * Answers one device control request, METHOD_BUFFERED style: `buffer` holds
 * `input_length` bytes of input and receives up to `output_length` bytes of
 * reply (input and output share it). Returns the NTSTATUS and stores the
 * number of reply bytes in *written (0 on failure). A reading request that
 * succeeds advances the counters; one that fails leaves them alone.
 */
uint32_t simdev_control(simdev_device *device, uint32_t code, void *buffer, uint32_t input_length,
                        uint32_t output_length, uint32_t *written);

/*
 * The NTSTATUS a request completes with to report the Win32 error `error`.
 * Common codes get the status a real driver would use; every other code in
 * 1..0xFFFF is carried as 0x8007xxxx (an NTSTATUS in the Win32 facility),
 * which the status-to-error translation of Windows and Wine undoes. 0 gives
 * success; codes above 0xFFFF cannot be carried and give STATUS_UNSUCCESSFUL.
 */
uint32_t simdev_status_from_win32(uint32_t error);

#ifdef __cplusplus
}
#endif

#endif
