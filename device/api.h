/* KORMELT: firmware update of a device on a serial line.
 *
 * The six functions below are the whole public interface. Every call runs to
 * completion on the caller's thread; calls are made one at a time (the library
 * keeps a single process-wide open port and has no locks).
 *
 * Calling convention: every export and the progress callback use the C
 * calling convention (cdecl), also on 32-bit Windows.
 *
 * Port names: KORMELT_Open searches COM1..COM7. On Windows COMn is the device
 * "\\.\COMn". On Linux and other POSIX systems COMn is the device path held in
 * the environment variable KORMELT_COM<n> when that is set and not empty, and
 * /dev/ttyS<n-1> otherwise.
 */
#ifndef KORMELT_API_H
#define KORMELT_API_H

#include <stdint.h>

#if defined(_WIN32)
#define KORMELT_CALL __cdecl
#else
#define KORMELT_CALL
#endif

#if defined(KORMELT_BUILDING) && !defined(_WIN32)
/* Windows exports through the .def file; elsewhere everything else is hidden. */
#define KORMELT_EXPORT __attribute__((visibility("default")))
#else
#define KORMELT_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. 0 is success; the values are fixed and the gaps stay empty.
 * Windows' winnt.h has exception codes named STATUS_TIMEOUT and
 * STATUS_NO_MEMORY; a host that includes <windows.h> includes it before this
 * header, and from here on those names mean this library's codes. */
#ifdef STATUS_TIMEOUT
#undef STATUS_TIMEOUT
#endif
#ifdef STATUS_NO_MEMORY
#undef STATUS_NO_MEMORY
#endif
#define STATUS_OK 0               /* success */
#define STATUS_IMAGE_OPEN 1       /* the image file to upload cannot be opened or read */
#define STATUS_PORT_OPEN 2        /* the COM device cannot be opened (missing or held by another program) */
#define STATUS_PORT_CONFIG 4      /* the line settings are refused */
#define STATUS_WRITE 5            /* a frame write failed or wrote fewer bytes than the frame holds */
#define STATUS_PORT_NUMBER 8      /* port number outside 1 to 64 */
#define STATUS_CANCELLED 12       /* the progress callback returned nonzero */
#define STATUS_NOT_FOUND 13       /* no device identified itself on COM1 to COM7 */
#define STATUS_TIMEOUT 14         /* no reply byte within 3000 ms, or a reply that never completes */
#define STATUS_CRC 15             /* a CRC did not come out zero (reply frame or image file), or a reply too long */
#define STATUS_PORT_QUEUES 19     /* the driver queue sizes are refused */
#define STATUS_NO_MEMORY 30       /* the port record cannot be allocated */
#define STATUS_PORT_STATE 39      /* the line settings cannot be read */
#define STATUS_PORT_NOT_OPEN 42   /* no port is open, or a port record is not live */
#define STATUS_PORT_TIMEOUTS 43   /* the port timeouts are refused */
#define FILE_CHECK_OPEN_FAILED (-1) /* the file to check cannot be opened */

/* Progress in percent; return nonzero to cancel the running operation, which
 * then returns STATUS_CANCELLED. The final report of 100 cannot cancel. */
typedef int32_t(KORMELT_CALL *ProgressCallback)(int32_t percent);

/* 0 when the file's CRC over all its bytes comes out zero (its last two bytes
 * are the CRC of the rest, high byte first), 15 when not, -1 when it cannot be
 * opened or path is null. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_CheckCRC(const char *path);

/* Closes the port left open by KORMELT_Open, if any. Always 0. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Close(void);

/* Erases flash blocks 11, 10, 9, 8, 7, 6, 0. 0, 5, 12, 14, 15, or 42 with no port open. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Erase(ProgressCallback callback);

/* Searches COM1..COM7 for the device and keeps its port open. 0, 12 or 13.
 * A port left open by an earlier call is closed first. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Open(ProgressCallback callback);

/* Uploads the image file in 128-byte packets from device address 0.
 * 0, 1, 5, 12, 14, 15, or 42 with no port open. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Programm(const char *path, ProgressCallback callback);

/* Tells the device to restart. 0, 5, 14, 15, or 42 with no port open. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Restart(void);

#ifdef __cplusplus
}
#endif

#endif
