// Comes first: it brings <windows.h>, which must precede protocol/status.h,
// whose status names replace two of winnt.h's.
#include "link/serial_port_win32.h"

#include <cstdlib>

#include "link/new_port_record.h"
#include "link/port_name.h"
#include "link/serial_port.h"
#include "protocol/protocol.h"
#include "protocol/status_names.h"

namespace kormelt {

struct PortRecord {
    HANDLE handle;    // INVALID_HANDLE_VALUE until the device is open
    uint32_t tag;     // PORT_TAG_LIVE while open, PORT_TAG_DEAD otherwise
    uint32_t number;  // n of COMn
    DCB dcb;          // line settings as applied; close edits and applies them again
};

namespace {

Win32Calls RealCalls() {
    Win32Calls calls;
#define KORMELT_WIN32_CALL_REAL(name, type, real) calls.name = real;
    KORMELT_WIN32_CALLS(KORMELT_WIN32_CALL_REAL)
#undef KORMELT_WIN32_CALL_REAL
    return calls;
}

}  // namespace

const Win32Calls WIN32_REAL_CALLS = RealCalls();

Win32Calls Win32Call = WIN32_REAL_CALLS;

namespace {

// 19200 8N1, binary, no flow control of any kind, DTR and RTS held up while
// the port is open, and line errors that do not stop reads and writes. The
// fields not named here keep what the driver reported.
void ApplyLineSettings(DCB *dcb) {
    dcb->BaudRate = LINE_BAUD_RATE;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->wReserved = 0;
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fAbortOnError = FALSE;
}

// Releases a record whose device opened but could not be set up. The open
// fails with status anyway, so a close that fails as well has nothing left
// to report.
int32_t DiscardOpened(PortRecord *record, int32_t status) {
    (void)Win32Call.CloseHandle(record->handle);
    record->tag = PORT_TAG_DEAD;
    Win32Call.free(record);
    return status;
}

}  // namespace

int32_t PortOpen(PortRecord **slot, uint32_t n) {
    PortRecord *record = nullptr;
    const int32_t made = NewPortRecord(Win32Call.malloc, n, slot, &record);
    if (made != STATUS_OK) {
        return made;
    }
    record->handle = INVALID_HANDLE_VALUE;

    char name[WIN32_PORT_NAME_CAPACITY];
    Win32PortName(n, name);
    const HANDLE handle = Win32Call.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Win32Call.free(record);
        return STATUS_PORT_OPEN;
    }
    record->handle = handle;
    record->tag = PORT_TAG_LIVE;

    if (!Win32Call.SetupComm(handle, PORT_QUEUE_BYTES, PORT_QUEUE_BYTES)) {
        return DiscardOpened(record, STATUS_PORT_QUEUES);
    }
    // An infinite interval with zero totals makes a read return at once with
    // whatever is waiting, possibly nothing; PortReadByte does the waiting.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = PORT_WRITE_TIMEOUT_MS;
    if (!Win32Call.SetCommTimeouts(handle, &timeouts)) {
        return DiscardOpened(record, STATUS_PORT_TIMEOUTS);
    }
    record->dcb.DCBlength = sizeof(DCB);
    if (!Win32Call.GetCommState(handle, &record->dcb)) {
        return DiscardOpened(record, STATUS_PORT_STATE);
    }
    ApplyLineSettings(&record->dcb);
    if (!Win32Call.SetCommState(handle, &record->dcb)) {
        return DiscardOpened(record, STATUS_PORT_CONFIG);
    }
    *slot = record;
    return STATUS_OK;
}

int32_t PortClose(PortRecord *record) {
    if (record == nullptr || record->tag != PORT_TAG_LIVE) {
        return STATUS_PORT_NOT_OPEN;
    }
    // Close always completes and frees the record: the results of dropping
    // the lines and of closing the handle are not examined, since a port that
    // cannot drop its lines (a pseudo terminal has none) must still be let go.
    record->dcb.fDtrControl = DTR_CONTROL_DISABLE;
    record->dcb.fRtsControl = RTS_CONTROL_DISABLE;
    (void)Win32Call.SetCommState(record->handle, &record->dcb);
    (void)Win32Call.EscapeCommFunction(record->handle, CLRDTR);
    (void)Win32Call.EscapeCommFunction(record->handle, CLRRTS);
    (void)Win32Call.CloseHandle(record->handle);
    record->handle = INVALID_HANDLE_VALUE;
    record->tag = PORT_TAG_DEAD;
    Win32Call.free(record);
    return STATUS_OK;
}

bool PortWrite(PortRecord *record, const uint8_t *bytes, size_t count, size_t *written) {
    *written = 0;
    // A progress callback may have closed the port between two exchanges;
    // the record is gone then and nothing may reach its handle.
    if (record == nullptr || record->tag != PORT_TAG_LIVE) {
        return false;
    }
    // One call writes at most MAXDWORD bytes; a larger buffer is reported short.
    const DWORD to_write = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
    DWORD done = 0;
    const BOOL ok = Win32Call.WriteFile(record->handle, bytes, to_write, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

int32_t PortReadByte(PortRecord *record, uint8_t *byte_out, uint32_t timeout_ms) {
    if (record == nullptr || record->tag != PORT_TAG_LIVE) {
        return STATUS_TIMEOUT;
    }
    const DWORD start = Win32Call.GetTickCount();
    for (;;) {
        uint8_t received = 0;
        DWORD got = 0;
        // The read returns at once (see the timeouts set at open). Only the
        // count decides: a failed read delivers no byte and is tried again
        // until the time is up.
        (void)Win32Call.ReadFile(record->handle, &received, 1, &got, nullptr);
        if (got == 1) {
            *byte_out = received;
            return STATUS_OK;
        }
        Win32Call.Sleep(0);  // yield the rest of the time slice between polls
        // Unsigned 32-bit difference: correct across a wrap of the tick counter.
        const DWORD elapsed = Win32Call.GetTickCount() - start;
        if (elapsed >= timeout_ms) {
            return STATUS_TIMEOUT;
        }
    }
}

}  // namespace kormelt
