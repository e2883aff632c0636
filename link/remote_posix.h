// A port on the network: a TCP connection to a serial server, plain
// (socket://) or telnet with the line's settings (rfc2217://). It takes the
// place of the device in the port's record and keeps the device's limits:
// the whole write within PORT_WRITE_TIMEOUT_MS, each byte read within the
// reply timeout. Every platform call goes through PosixCall.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/port_url.h"
#include "link/remote_connect_posix.h"
#include "link/serial_port_posix.h"

namespace kormelt {

// rfc2217: from the first offer to the answers to the line settings.
constexpr uint32_t REMOTE_NEGOTIATION_TIMEOUT_MS = 2000;
// At close, how long the server is given to end the connection after ours.
constexpr uint32_t REMOTE_CLOSE_DRAIN_MS = 250;
// A connection whose far end went away without a word is noticed by the
// keep-alive probes: after this idle time, every interval, given up after
// the count unanswered.
constexpr int REMOTE_KEEPALIVE_IDLE_S = 2;
constexpr int REMOTE_KEEPALIVE_INTERVAL_S = 1;
constexpr int REMOTE_KEEPALIVE_PROBES = 3;

// Connects to url's server (remote_connect_posix.h) and, for rfc2217, agrees binary both ways and
// sets the line (19200 8N1, no flow control, then DTR and RTS on). On
// success the record holds the socket and 0 is returned. Failures: 2 (no
// connection: a name that could not be looked up, refused, not answered in time, closed
// during the agreement), 43 (the socket's options refused), 4 (the server
// refused or did not answer the line settings in time, or answered other
// values; under Rfc2217Refusal::Tolerant a server that refuses
// COM-PORT-OPTION is taken as it is). The socket is left in record->handle
// for the caller to release on failure.
int32_t RemoteOpen(PortRecord *record, const PortUrl &url);

// rfc2217: the device's bytes of one read into rx, the server's commands
// taken out and answered; *count may be 0 when only commands came. False
// when the connection failed or the server closed it.
bool RemoteTake(PortRecord *record, size_t *count);

// rfc2217: writes count bytes with every 0xFF doubled, before deadline_ns;
// *written counts the caller's bytes that went out whole.
bool RemoteWrite(PortRecord *record, const uint8_t *bytes, size_t count, int64_t deadline_ns, size_t *written);

// rfc2217: DTR and then RTS dropped, as a device's port drops them. Then,
// for both kinds, the connection is ended and the socket closed. Always
// completes.
void RemoteClose(PortRecord *record);

}  // namespace kormelt
