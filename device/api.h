/* KORMELT: firmware update of a device on a serial line.
 *
 * The six functions below are the whole public interface. Every call runs to
 * completion on the caller's thread. Calls from several threads are
 * serialised by one process-wide lock: a call made while another thread's
 * call runs waits until that one has returned. A progress callback may call
 * the library on its own thread; that call runs at once, inside the one that
 * reported. The library keeps a single process-wide open port, which every
 * thread shares.
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

/* The status codes, KORMELT_STATUS_OK and on, one line each: protocol/status.h. */
#include "protocol/status.h"

/* What the progress reports of each call are; a host may rely on them:
 * - KORMELT_Open reports KORMELT_SEARCH_PERCENT_STEP x (n - 1) before it
 *   tries COMn (0, 12, ... 72 for COM1 to COM7), so its last report before a
 *   success names the port the device answered on; a search that finds
 *   nothing reports KORMELT_PERCENT_DONE last.
 * - KORMELT_Erase reports KORMELT_ERASE_PERCENT_STEP x k before it erases the
 *   block at position k of its KORMELT_ERASE_BLOCK_COUNT (0, 14, ... 84),
 *   then KORMELT_PERCENT_DONE.
 * - KORMELT_Programm reports 100 x (bytes sent) / (image size) before each
 *   packet, then KORMELT_PERCENT_DONE.
 * The constants: protocol/progress.h. */
#include "protocol/progress.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress in percent; return nonzero to cancel the running operation, which
 * then returns KORMELT_STATUS_CANCELLED. The final report of 100 cannot
 * cancel. */
typedef int32_t(KORMELT_CALL *KORMELT_ProgressCallback)(int32_t percent);

/* 0 when the file's CRC over all its bytes comes out zero (its last two bytes
 * are the CRC of the rest, high byte first), 15 when not, -1 when it cannot be
 * opened, is no regular file (a FIFO, a device, a directory: refused at once)
 * or path is null. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_CheckCRC(const char *path);

/* Closes the port left open by KORMELT_Open, if any. Always 0. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Close(void);

/* Erases flash blocks 11, 10, 9, 8, 7, 6, 0. 0, 5, 12, 14, 15, or 42 with no port open. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Erase(KORMELT_ProgressCallback callback);

/* Searches COM1..COM7 for the device and keeps its port open. 0, 12 or 13.
 * A port left open by an earlier call is closed first. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Open(KORMELT_ProgressCallback callback);

/* Uploads the image file in 128-byte packets from device address 0; a path
 * that is no regular file gives 1 at once, like one that cannot be opened.
 * 0, 1, 5, 12, 14, 15, or 42 with no port open. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Programm(const char *path, KORMELT_ProgressCallback callback);

/* Tells the device to restart. 0, 5, 14, 15, or 42 with no port open. */
KORMELT_EXPORT int32_t KORMELT_CALL KORMELT_Restart(void);

/* The exports' types, for hosts that load the library at run time
 * (LoadLibrary and GetProcAddress, dlopen and dlsym). */
typedef int32_t(KORMELT_CALL *KORMELT_CheckCRC_Function)(const char *path);
typedef int32_t(KORMELT_CALL *KORMELT_Close_Function)(void);
typedef int32_t(KORMELT_CALL *KORMELT_Erase_Function)(KORMELT_ProgressCallback callback);
typedef int32_t(KORMELT_CALL *KORMELT_Open_Function)(KORMELT_ProgressCallback callback);
typedef int32_t(KORMELT_CALL *KORMELT_Programm_Function)(const char *path, KORMELT_ProgressCallback callback);
typedef int32_t(KORMELT_CALL *KORMELT_Restart_Function)(void);

#ifdef __cplusplus
}
#endif

#endif
