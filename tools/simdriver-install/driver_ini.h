/*
 * driver.ini, the description of a simulated machine's power-monitor
 * devices: one [device] section per device interface.
 *
 *   [device]
 *   path = \\?\root#tarnpwr#0000#{45bd8344-7ed6-49cf-a440-c276c933b053}
 *   component = WIFI            ; the name at byte 72 of the information block
 *   check = 1                   ; the check reply (default 1)
 *   reading0 = 500              ; decimal or 0x hex, or "counter START STEP"
 *   reading1 = 0
 *   fail = read 31              ; this request (open, check, info, read) fails
 *
 * Comments start with ';' at the beginning of a line or after a blank. Names
 * of sections, keys and requests are matched without regard to case; values
 * are trimmed. Plain C over a UTF-8 buffer, so the Windows installer and the
 * unit tests on Linux share it.
 */
#ifndef DRIVER_INI_H
#define DRIVER_INI_H

#include <stddef.h>
#include <stdint.h>

#include "simdev_model.h"

#ifdef __cplusplus
extern "C" {
#endif

#define DRIVER_INI_PATH_MAX 260u
#define DRIVER_INI_ERROR_MAX 256u

typedef struct driver_ini_device {
  unsigned line;                  /* line of the [device] header */
  char path[DRIVER_INI_PATH_MAX]; /* "" when the section has no path */
  simdev_config config;           /* what the device answers */
  unsigned instance;              /* set by driver_ini_assign_instances */
} driver_ini_device;

typedef struct driver_ini {
  driver_ini_device *devices;
  size_t count;
  unsigned warnings; /* unknown sections and keys that were skipped */
} driver_ini;

/*
 * Parses `length` bytes of UTF-8 text (a leading byte order mark is
 * skipped). Returns 1 on success; on failure returns 0, leaves `ini` empty
 * and writes a message naming the line into `error`. Warnings (unknown
 * sections or keys, which are skipped) go to `warn` when it is not NULL.
 */
int driver_ini_parse(const char *text, size_t length, driver_ini *ini, char *error, size_t error_size,
                     void (*warn)(const char *message, void *context), void *context);

void driver_ini_free(driver_ini *ini);

/*
 * Chooses each device's instance number (ROOT\TARNPWR\NNNN), so that the
 * interface paths the driver gets, \\?\root#tarnpwr#NNNN#{...}, sort in the
 * same order as the paths in the file:
 *   - when every section's path already has that form, NNNN is taken from it
 *     and the path under Wine equals the path in the file (in lower case);
 *   - otherwise the devices are numbered 0, 1, 2, ... in the ordinal order of
 *     their paths, sections without a path last in file order.
 * Returns 0 with a message when two sections name the same path or number.
 */
int driver_ini_assign_instances(driver_ini *ini, char *error, size_t error_size);

/* Parses "123", "0x7B" (no sign, no blanks) into *value; 0 when invalid or
 * out of range. */
int driver_ini_parse_u64(const char *text, uint64_t *value);

#ifdef __cplusplus
}
#endif

#endif
