// One transaction, from the request file to the response file.
//
// `processFile` reads and checks the whole request, sets its prefix,
// compresses and scrambles it as the connection and the request ask, brings
// the link up with the configured retries, runs the dialog of the
// connection's type, falls back once to the network's secondary connection,
// expands the answer and writes the response file. It always writes a
// response file, also after a failure, and returns the transaction's status.
#pragma once

#include <string>

#include "config/config.h"
#include "engine/cda_header.h"
#include "engine/request_file.h"

namespace qzr {

// Runs the transaction of the request `reqPath` (relative to the working
// directory), open as `requestFp`, on `net`, writing its response through
// `rsp`, made ready before. Returns its status; on return `ti->status` holds
// the status and `net->curCnx` is the connection last used. The request
// stays open for its rename. A stop gives 1003 only while the claim's frame
// had not begun to go out; after that the dialog's own status stands. When
// the response cannot be written
// and the frame may have gone out, the answer is kept (sent_keepAnswer);
// when it cannot be kept either, the run stops for good (`stopForGood`).
int processFile(const RequestFile& requestFp, const char* reqPath, ResponseFile& rsp, NetworkDef* net,
                transInfo* ti);

// Replaces the first 12 bytes of `text` (A01) with the network's prefix,
// "HD*" on the network ZAR, or the default "11" + version digits + "1111".
void process_setPrefix(char* text, const NetworkDef* net);

}  // namespace qzr
