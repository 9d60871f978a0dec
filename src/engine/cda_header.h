// The CDAnet request header: the fields the driver needs out of a request.
//
// A request is one CDAnet message on one text line. The header check reads
// the sequence number, version, transaction code, carrier, encryption method,
// declared length, office and provider at their fixed positions (which
// depend on the version and the transaction code) into a `transInfo` record,
// and accepts only versions 02, 03 and 04 with a code that exists there and,
// when the line's real length is known, a declared length equal to it.
//
// What must always hold: nothing is read outside the message given (bytes
// past its end read as NUL); every failure writes one LOG_ERROR line naming
// the file and returns STS_INVALID_CLAIM.
#pragma once

#include <string_view>

#include "foundation/trans_info.h"

namespace qzr {

// The extension of a request path: the text after the first '.' of its file
// name (the part after the last '/'); "" when the name has none. Points into
// `name`.
const char* cda_fileExtension(const char* name);

// Reads the header of `msg` into `ti` (zeroed by the caller) and checks it.
// `name` is the request file's name (kept for `ext`, used in messages);
// bytes past the end of `msg` read as NUL; `realLength` below 1 skips the
// length comparison. Returns STS_OK or STS_INVALID_CLAIM (after one LOG_ERROR
// line); `ti` keeps what was filled before a failure. Does not set `status`.
int cda_parse_header(const char* name, std::string_view msg, int realLength, transInfo* ti);

}  // namespace qzr
