// The Common Protocol dialog: one transaction over a serial, modem or DATAPAC
// link. The host invites with ENQ, the request frame (STX, message, ETX,
// LRC), which the dialog builds in `reqFrame`, goes out, the host answers
// with a response frame, which is checked by its LRC and acknowledged. On
// the simulation network the request's message comes back as the response.
//
// What must always hold: the response text is stored within the caller's
// buffer, at most its capacity, and is followed by a NUL in the buffer's
// last byte at the latest; every failure is logged at a level equal to the
// status returned.
#pragma once

#include <cstddef>

#include "config/config.h"
#include "foundation/trans_info.h"

namespace qzr {

constexpr unsigned char CP_ENQ = 0x05;
constexpr unsigned char CP_STX = 0x02;
constexpr unsigned char CP_ETX = 0x03;
constexpr unsigned char CP_EOT = 0x04;
constexpr unsigned char CP_ACK = 0x06;
constexpr unsigned char CP_NAK = 0x15;

// The LRC of a frame: the exclusive-or of `len` bytes.
unsigned char cp_lrc(const unsigned char* bytes, std::size_t len);

// Carries the message `text` of `length` bytes (a dialog of
// links/link_ops.h; `ti` is not read) in one request frame built in
// `reqFrame` (foundation/buffers.h) around it: a text already at
// `reqFrame + 1`, as the transaction processing leaves it, is not copied.
// Leaves the response text at the start of `respBuf`. `*respLen` holds the
// capacity on entry, the longest text to keep (RESP_BUF_SIZE for a transaction;
// `respBuf` holds one byte more, for the text's ETX and then its NUL), and is
// 0 on every failure, the text's length on success. Returns 0, 1003 (stop
// during the simulation), 1041 (no ENQ), 1042 (no response), 1043
// (unexpected bytes for too long), 1044 (no LRC three times), 1045 (EOT from
// the host) or 1053 (a write failed, or the text does not fit the frame).
// The host's answer, and its recovery from stray bytes, get the network's
// `maxProcessingDelay` (60 seconds when it is 0); each response frame, from
// its STX or from the NAK that asks for it again, must end within that
// delay and the time the longest frame needs at the line's speed (1042
// otherwise).
[[nodiscard]] int common_dialog(NetworkDef* net, const transInfo* ti, char* text, int length,
                                unsigned char* respBuf, int* respLen);

// Ends the dialog on the link kept up after it: EOT (a hang-up sends it,
// also after a stop).
void cp_endDialog();

// Discards what waits on a line kept open before the next dialog
// (port_discardReceived): stale answer frames and stray bytes go, but an
// ENQ received after the last frame stays for the ENQ wait, as the host's
// invitation. Returns the count discarded (the ENQ kept not counted) or
// PORT_LINE_LOST.
long cp_discardStale();

}  // namespace qzr
