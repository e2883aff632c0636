/* The status codes under the names the library's own code uses. Internal:
 * never installed, never included by the public header, since these
 * unprefixed names collide with Windows' own (winnt.h has STATUS_TIMEOUT and
 * STATUS_NO_MEMORY, ntstatus.h more). */
#ifndef KORMELT_PROTOCOL_STATUS_NAMES_H
#define KORMELT_PROTOCOL_STATUS_NAMES_H

#include "protocol/status.h"

/* The Win32 port includes <windows.h> first; in the library's own files
 * these two names mean the library's codes from here on. */
#ifdef STATUS_TIMEOUT
#undef STATUS_TIMEOUT
#endif
#ifdef STATUS_NO_MEMORY
#undef STATUS_NO_MEMORY
#endif

#define STATUS_OK KORMELT_STATUS_OK
#define STATUS_IMAGE_OPEN KORMELT_STATUS_IMAGE_OPEN
#define STATUS_PORT_OPEN KORMELT_STATUS_PORT_OPEN
#define STATUS_PORT_CONFIG KORMELT_STATUS_PORT_CONFIG
#define STATUS_WRITE KORMELT_STATUS_WRITE
#define STATUS_PORT_NUMBER KORMELT_STATUS_PORT_NUMBER
#define STATUS_CANCELLED KORMELT_STATUS_CANCELLED
#define STATUS_NOT_FOUND KORMELT_STATUS_NOT_FOUND
#define STATUS_TIMEOUT KORMELT_STATUS_TIMEOUT
#define STATUS_CRC KORMELT_STATUS_CRC
#define STATUS_PORT_QUEUES KORMELT_STATUS_PORT_QUEUES
#define STATUS_NO_MEMORY KORMELT_STATUS_NO_MEMORY
#define STATUS_PORT_STATE KORMELT_STATUS_PORT_STATE
#define STATUS_PORT_NOT_OPEN KORMELT_STATUS_PORT_NOT_OPEN
#define STATUS_PORT_TIMEOUTS KORMELT_STATUS_PORT_TIMEOUTS
#define FILE_CHECK_OPEN_FAILED KORMELT_FILE_CHECK_OPEN_FAILED

#endif
