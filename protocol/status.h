/* Status codes of every call of the library: 0 is success, the values are
 * fixed and the gaps between them stay empty. Every layer returns them, from
 * the serial port up to the exports. Plain C89, and part of what hosts
 * include (installed as KORMELT/protocol/status.h beside KORMELT/api.h), so
 * every name carries the library's prefix: no include order with
 * <windows.h> or <ntstatus.h> can change a value. The library's own code
 * uses the shorter names of protocol/status_names.h. */
#ifndef KORMELT_PROTOCOL_STATUS_H
#define KORMELT_PROTOCOL_STATUS_H

#define KORMELT_STATUS_OK 0               /* success */
#define KORMELT_STATUS_IMAGE_OPEN 1       /* the image file to upload cannot be opened or read */
#define KORMELT_STATUS_PORT_OPEN 2        /* the COM device cannot be opened (missing or held by another program) */
#define KORMELT_STATUS_PORT_CONFIG 4      /* the line settings are refused */
#define KORMELT_STATUS_WRITE 5            /* a frame write failed or wrote fewer bytes than the frame holds */
#define KORMELT_STATUS_PORT_NUMBER 8      /* port number outside 1 to 64 */
#define KORMELT_STATUS_CANCELLED 12       /* the progress callback returned nonzero */
#define KORMELT_STATUS_NOT_FOUND 13       /* no device identified itself on COM1 to COM7 */
#define KORMELT_STATUS_TIMEOUT 14         /* no reply byte within 3000 ms, or a reply that never completes */
#define KORMELT_STATUS_CRC 15             /* a CRC did not come out zero (reply frame or image file), or a reply too long */
#define KORMELT_STATUS_PORT_QUEUES 19     /* the driver queue sizes are refused */
#define KORMELT_STATUS_NO_MEMORY 30       /* the port record cannot be allocated */
#define KORMELT_STATUS_PORT_STATE 39      /* the line settings cannot be read */
#define KORMELT_STATUS_PORT_NOT_OPEN 42   /* no port is open, or a port record is not live */
#define KORMELT_STATUS_PORT_TIMEOUTS 43   /* the port timeouts are refused */
#define KORMELT_FILE_CHECK_OPEN_FAILED (-1) /* the file to check cannot be opened */

#endif
