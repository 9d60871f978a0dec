// The message buffers of the transaction road, made once and reused by every
// transaction: the request frame (STX, the request text, ETX, LRC) and the
// response buffer the dialogs fill.
#pragma once

#include <cstddef>

namespace qzr {

// The longest request text and the longest response text. A request line
// holds one byte less than REQ_TEXT_SIZE.
constexpr std::size_t REQ_TEXT_SIZE = 10099996;
constexpr std::size_t RESP_BUF_SIZE = 18000;

// STX, the request text, ETX, LRC.
constexpr std::size_t REQ_FRAME_SIZE = 1 + REQ_TEXT_SIZE + 2;

// reqFrame[0] is the STX; the request text starts at reqFrame + 1.
extern unsigned char reqFrame[REQ_FRAME_SIZE];
// The longest response and one byte more, for the dialog's terminator after
// an 18000-byte answer (the ETX while its LRC is checked, then a NUL).
extern unsigned char respBuf[RESP_BUF_SIZE + 1];

}  // namespace qzr
