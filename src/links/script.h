// The connect-script interpreter: runs a compiled script (ScriptNode list)
// on the link that has just been opened and dialed.
//
// A run sends texts and the connection's address, waits for answers with
// time-outs (a time-out is a branch, not a failure), pauses, and repeats
// steps in counted loops with ten private 8-bit registers. It only reads the
// list, so one list may be run any number of times and shared. An operation
// outside the defined set ends the process with exit code 3: the list is
// corrupt.
#pragma once

#include "config/config.h"

namespace qzr {

// Runs the script whose head is `head` (null: no script) for `net`'s
// connection in use. Returns 0 (the script reached "return 0", or there is
// none), 1028 (STS_SCRIPT_FAILED: another return value, the end of the list
// without a return, a loop register that cannot be set), or the status of a
// failed write or wait, passed on unchanged.
[[nodiscard]] int script_execute(NetworkDef* net, const ScriptNode* head);

}  // namespace qzr
