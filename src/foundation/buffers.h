// The message buffers of the transaction road, made once and reused by every
// transaction: the request frame (STX, the request text, ETX, LRC) and the
// response buffer the dialogs fill.
#pragma once

#include <cstddef>

namespace qzr {

// STX, the request text (10099996 bytes of room), ETX, LRC.
constexpr std::size_t REQ_FRAME_SIZE = 1 + 10099996 + 2;
constexpr std::size_t RESP_BUF_SIZE = 18000;

// reqFrame[0] is the STX; the request text starts at reqFrame + 1.
extern unsigned char reqFrame[REQ_FRAME_SIZE];
// The longest response and one byte more, for the dialog's terminator after
// an 18000-byte answer (the ETX while its LRC is checked, then a NUL).
extern unsigned char respBuf[RESP_BUF_SIZE + 1];

}  // namespace qzr
