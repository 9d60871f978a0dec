// Texts of the status codes.
#include "foundation/status.h"

namespace qzr {

const char* statusText(int status)
{
    switch (status) {
    case STS_TIMEOUT: return "(timeout)";
    case STS_INTERRUPTED: return "(interrupted)";
    case STS_ENCRYPT_NOT_ALLOWED: return "(encryption not allowed)";
    case STS_UNABLE_TO_ENCRYPT: return "(unable to encrypt)";
    case STS_ENCRYPT_KEY_MISSING: return "(encryption key missing)";
    case STS_DIAL_ERROR: return "(dial error)";
    case STS_NO_DIALTONE: return "(no dial tone)";
    case STS_LINE_BUSY: return "(line busy)";
    case STS_CONNECTION_LOST: return "(connection lost)";
    case STS_NO_CONNECT: return "(could not connect)";
    case STS_NO_ANSWER: return "(no answer)";
    case STS_DATAPAC_CLEARED: return "(datapac call cleared)";
    case STS_SCRIPT_FAILED: return "(script unsuccessful)";
    case STS_PROTOCOL_ERROR: return "(common protocol error or timeout)";
    case STS_DECOMPRESS_ERROR: return "(decompression error)";
    case STS_READ_ERROR: return "(error reading transaction file)";
    case STS_INVALID_CLAIM: return "(invalid CDAnet claim)";
    case STS_CANNOT_REMOVE_OUTPUT: return "(cannot remove output file)";
    case STS_CANNOT_WRITE_OUTPUT: return "(cannot write to output file)";
    case STS_ENQ_TIMEOUT: return "(ENQ timeout)";
    case STS_NO_RESPONSE: return "(no response from server)";
    case STS_NO_STX: return "(no STX response from server)";
    case STS_BAD_LRC: return "(bad LRC)";
    case STS_SERVER_CANCEL: return "(server cancel)";
    case STS_PORT_OPEN_ERROR: return "(cannot open communication port)";
    case STS_BAD_COMM_PARAMS: return "(invalid communication parameters)";
    case STS_WRITE_ERROR: return "(communication write error)";
    case STS_READ_PORT_ERROR: return "(communication read error)";
    default: return "";
    }
}

}  // namespace qzr
