/*
 * The power-monitor device's request codes and reply layouts, shared by the
 * simulated driver, its behaviour model and the probes that talk to it.
 * Plain C with fixed-width types so it builds in the kernel driver, in
 * Windows and Linux user mode, and in C++.
 */
#ifndef TARNPWR_IOCTL_H
#define TARNPWR_IOCTL_H

#include <stdint.h>

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_READ_ACCESS) */
#define TARNPWR_CTL_CODE(function) ((0x22u << 16) | (0x1u << 14) | ((uint32_t)(function) << 2) | 0u)

#define TARNPWR_IOCTL_CHECK TARNPWR_CTL_CODE(0x000)     /* 0x00224000: 2-byte check value */
#define TARNPWR_IOCTL_INFO_SIZE TARNPWR_CTL_CODE(0x001) /* 0x00224004: 4-byte block size */
#define TARNPWR_IOCTL_INFO TARNPWR_CTL_CODE(0x002)      /* 0x00224008: information block */
#define TARNPWR_IOCTL_READ TARNPWR_CTL_CODE(0x003)      /* 0x0022400C: two uint64 readings */

/*
 * Development aid, not part of the power-monitor interface: the input is a
 * 4-byte Win32 error code and the request completes with the status the
 * driver uses to report that code, so a test can see which codes reach the
 * caller unchanged. Function 0x800 lies in the vendor-defined range.
 */
#define TARNPWR_IOCTL_ECHO_ERROR ((0x22u << 16) | (0x0u << 14) | (0x800u << 2) | 0u)

#define TARNPWR_CHECK_REPLY_SIZE 2u
#define TARNPWR_INFO_SIZE_REPLY_SIZE 4u
#define TARNPWR_READ_REPLY_SIZE 16u

/* Information block: a small header, then the component name at byte 72. */
#define TARNPWR_INFO_NAME_OFFSET 72u
#define TARNPWR_INFO_LAYOUT_VERSION 1u
/* Header fields (little-endian uint32 each) at these byte offsets. */
#define TARNPWR_INFO_HDR_BLOCK_SIZE 0u  /* size of the whole block in bytes */
#define TARNPWR_INFO_HDR_VERSION 4u     /* TARNPWR_INFO_LAYOUT_VERSION */
#define TARNPWR_INFO_HDR_NAME_OFFSET 8u /* always TARNPWR_INFO_NAME_OFFSET */
#define TARNPWR_INFO_HDR_NAME_BYTES 12u /* name length in bytes, without the terminator */
#define TARNPWR_INFO_HDR_CHECK 16u      /* the check value this device answers */

/* Longest component name the device holds, in UTF-16 code units. */
#define TARNPWR_NAME_MAX 63u

/* {45BD8344-7ED6-49CF-A440-C276C933B053}, the device interface class. */
#define TARNPWR_INTERFACE_GUID_INIT                                                \
  {                                                                                \
    0x45bd8344, 0x7ed6, 0x49cf, { 0xa4, 0x40, 0xc2, 0x76, 0xc9, 0x33, 0xb0, 0x53 } \
  }

#endif
