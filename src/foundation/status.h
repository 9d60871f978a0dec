// Status codes of the transaction road.
//
// Every operation of the road returns one plain int: 0 for success, 1001 or
// above for a failure. Callers pass a failure on unchanged unless they have a
// reason to replace it. The numbers and their texts are fixed: they reach the
// response file, the activity record and the log.
#pragma once

namespace qzr {

enum : int {
    STS_OK = 0,
    STS_ERROR = 1001,
    STS_TIMEOUT = 1002,
    STS_INTERRUPTED = 1003,
    STS_ENCRYPT_NOT_ALLOWED = 1011,
    STS_UNABLE_TO_ENCRYPT = 1012,
    STS_ENCRYPT_KEY_MISSING = 1013,
    STS_DIAL_ERROR = 1021,
    STS_NO_DIALTONE = 1022,
    STS_LINE_BUSY = 1023,
    STS_CONNECTION_LOST = 1024,
    STS_NO_CONNECT = 1025,
    STS_NO_ANSWER = 1026,
    STS_DATAPAC_CLEARED = 1027,
    STS_SCRIPT_FAILED = 1028,
    STS_PROTOCOL_ERROR = 1031,
    STS_DECOMPRESS_ERROR = 1032,
    STS_READ_ERROR = 1033,
    STS_INVALID_CLAIM = 1034,
    STS_CANNOT_REMOVE_OUTPUT = 1035,
    STS_CANNOT_WRITE_OUTPUT = 1036,
    STS_ENQ_TIMEOUT = 1041,
    STS_NO_RESPONSE = 1042,
    STS_NO_STX = 1043,
    STS_BAD_LRC = 1044,
    STS_SERVER_CANCEL = 1045,
    STS_PORT_OPEN_ERROR = 1051,
    STS_BAD_COMM_PARAMS = 1052,
    STS_WRITE_ERROR = 1053,
    STS_READ_PORT_ERROR = 1054,
    STS_AES_ERROR = 9999,
};

// The fixed text of a status, with its parentheses ("(timeout)"), or "" for a
// status without one (0, 1001, 9999, unknown codes). Never fails.
const char* statusText(int status);

}  // namespace qzr
