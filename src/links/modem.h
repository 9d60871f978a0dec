// Opening and closing a network's link, dialing a Hayes modem, waiting for
// a text on the link, and hanging up by the network's method.
//
// A call goes: net_connect, net_dial, the dialog, net_hangup, and
// net_disconnect when the port is to be released. Only one port is open at a
// time (links/port.h). The network's run-time flags follow the link:
// `portOpen` (net_connect / net_disconnect), `dialed` (net_dial once the
// modem accepted its initialisation / net_hangup), `linkUp` (the dialogs /
// net_hangup). Modem strings are sent whole; an unset one sends only "\r\n".
#pragma once

#include <cstddef>

#include "config/config.h"

namespace qzr {

// The first 127 non-NUL bytes received during one net_waitfor.
constexpr std::size_t MODEM_REPLY_SIZE = 128;
extern char modemReply[MODEM_REPLY_SIZE];

// Opens the port of `net->curCnx` as its type opens one (links/link_ops.h;
// nothing for http). Returns 0 or the status of the open (1051, 1052); sets
// `portOpen` on success.
[[nodiscard]] int net_connect(NetworkDef* net);

// Resets, initialises and dials the modem of a dial-up connection, then runs
// the connection's connect script. Returns 0, a write or wait status (1003
// at once when a stop ends a reset try), 1021 when CONNECT does not come in
// time, a modem result status, or the script's status.
[[nodiscard]] int net_dial(NetworkDef* net);

// Reads until `text` has been received, during `seconds` one-second read
// time-outs (the (seconds+1)-th ends it; bytes that keep coming keep the
// wait going). Returns 0; 1002 (time-out); 1003 (stop requested: the wait
// ends within a round of 500 ms from its start or from the request, however
// busy the line); or the status of a modem result seen in the bytes (1022 to
// 1027). An empty text is seen at once.
[[nodiscard]] int net_waitfor(const char* text, int seconds);

// Ends the dialog (the type's end, the Common Protocol's EOT, while the link
// is up) and hangs the modem up by the network's disconnect method, also
// after a stop. Returns 0, or 1001 when the modem never answered the hang-up
// (or for method hard, without a connection, or on a lost line, where
// nothing is sent). The flags are cleared whatever happens.
int net_hangup(NetworkDef* net);

// Readies a port kept open from an earlier call for the next request: what
// waits on it is no answer to this request and is discarded (the type's
// discard, links/link_ops.h; the count is logged). A line found lost, or a
// connection the host has closed, is hung up without a byte and closed, so
// that net_connect opens it anew. Returns whether the port is still open;
// false also when none was.
bool net_reuse(NetworkDef* net);

// Closes the port or socket of the network's connection (also what a failed
// open left behind; nothing for a type that opens none) and clears
// `portOpen`.
void net_disconnect(NetworkDef* net);

}  // namespace qzr
