// The operations of each connection type, chosen in one place.
//
// Every decision that depends on whether a connection is serial (direct,
// dial-up, DATAPAC), TCP/IP or HTTP reads the record `link_opsOf` picks for
// it: how its port is opened and named, whether it is dialed, which dialog
// carries a request, what a hang-up sends, whether the link is kept after a
// transaction, whether the answer comes in clear and how the network test
// reaches it. A new connection type is a new row of the table in
// link_ops.cpp, named by its `connectionType` code (and its keyword in the
// configuration reader).
//
// What must always hold: `link_opsOf` is the only place that looks at
// `connectionType`, and it returns a record for every connection, also for
// none and for a type that the file did not give (those are serial); the
// HTTP dialog is handed in (link_setHttpDialog) before the first request is
// carried over an http connection.
#pragma once

#include <optional>
#include <string>

#include "config/config.h"
#include "foundation/trans_info.h"

namespace qzr {

// A dialog: carries `length` bytes of `text`, the request message without a
// frame (the dialog builds its own and may scramble `text` in place), for
// the record `ti` over `net`, and leaves the answer at the start of `resp`.
// `*respLen` holds the capacity on entry, the longest answer to keep (`resp`
// holds one byte more, for the answer's terminator), and the answer's length
// on return. Returns 0 or a status.
using LinkDialog = int (*)(NetworkDef* net, const transInfo* ti, char* text, int length, unsigned char* resp,
                           int* respLen);

// What the network test sends over a connection of the type.
enum class NetTestKind {
    None,   // the type cannot be tested
    Plain,  // the plain test message to a host of the Simple dialog
    Claim,  // the test claim to the proxy
};

// Written with designated initializers; a field a type does not name is
// none or false.
struct LinkOps {
    // The `connectionType` of the type; 0 for the serial line, which also
    // stands for a type that the file did not give.
    int type = 0;
    // Opens the connection's port: 0, 1051 or 1052. None: there is nothing
    // to open or to close (the proxy is reached anew for each request), and
    // nothing to dial: the link is up at once. Otherwise the link is brought
    // up by net_connect and net_dial with their retries.
    int (*openPort)(const ConnectionDef* cnx) = nullptr;
    // Logs the line that announces the opening.
    void (*announceOpen)(const ConnectionDef& cnx) = nullptr;
    // The field that names the port in the traces.
    std::optional<std::string> ConnectionDef::* portName = nullptr;
    // LinkDialog of the type.
    LinkDialog dialog = nullptr;
    // What a failed dialog received is the response all the same (a dialog
    // that empties its answer on a failure has nothing to keep).
    bool failedAnswerKept = false;
    // Sent by a hang-up while the link is up (the Common Protocol's EOT),
    // or none.
    void (*endDialog)() = nullptr;
    // The link stays up after a successful transaction, for the next one.
    bool keepsLink = false;
    // Discards what waits on a port kept open from an earlier call, before
    // the next request (port_discardReceived's result), or none when there
    // is no port.
    long (*discard)() = nullptr;
    // A connection whose dialog failed is closed: the answer of that dialog
    // may still come, late, and must not meet the next request.
    bool closedAfterFailure = false;
    // The answer comes in clear: it is not decompressed.
    bool answersInClear = false;
    NetTestKind test = NetTestKind::None;
};

// The record of the type of `cnx`.
const LinkOps& link_opsOf(const ConnectionDef* cnx);

// Hands in the dialog of connections of type http, which lives in the HTTPS
// channel above the links.
void link_setHttpDialog(LinkDialog dialog);

// Ends a failed dialog with `status`: the line that says what failed, then
// `endLine` ("... Protocol error, end dialog"), both as code lines of
// `status` (log_code). Returns `status`.
[[gnu::format(printf, 3, 4)]] int link_dialogFails(int status, const char* endLine, const char* fmt, ...);

// Ends a failed dialog with `status` when the cause needs no line of its
// own: only `endLine`, as a code line of `status`. Returns `status`.
int link_dialogEnds(int status, const char* endLine);

}  // namespace qzr
