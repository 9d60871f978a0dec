// The static message buffers.
#include "foundation/buffers.h"

namespace qzr {

unsigned char reqFrame[REQ_FRAME_SIZE];
unsigned char respBuf[RESP_BUF_SIZE + 1];

}  // namespace qzr
