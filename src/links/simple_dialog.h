// The Simple dialog: one transaction over a TCP/IP connection. The request
// goes out as one frame, a decimal length header and the message (passed
// through the message XOR first); the host's answer comes back framed the
// same way: six digits giving its length, three bytes that are only logged,
// then the data.
//
// What must always hold: no more text than the caller's capacity is stored,
// and the stored text is followed by a NUL in the buffer's last byte at the
// latest; every failure is logged at a level equal to the status returned,
// and leaves the response length 0.
#pragma once

#include "config/config.h"
#include "foundation/trans_info.h"

namespace qzr {

// Carries `msg` (`len` bytes, scrambled in place; a dialog of
// links/link_ops.h, `ti` is not read) on the open socket of `net` and
// leaves the answer at the start of `resp`, each of its bytes awaited for
// the network's `maxProcessingDelay` (60 seconds when it is 0). The whole
// answer has a limit too, from the request's write: its header within that
// delay, its data within the delay and the time their declared length needs
// at the line's speed (port_transferSeconds; 1042 otherwise). What waits on
// a socket kept from an earlier call is discarded before (net_reuse).
// `*respLen` holds the capacity on entry, the longest answer to keep (`resp`
// holds one byte more, for the answer's NUL), and the answer's length on
// return. Returns 0,
// 1042 (no or bad answer) or 1053 (the frame could not be written, or the
// message is longer than the REQ_TEXT_SIZE bytes a frame holds).
[[nodiscard]] int simple_dialog(NetworkDef* net, const transInfo* ti, char* msg, int len, unsigned char* resp,
                                int* respLen);

}  // namespace qzr
