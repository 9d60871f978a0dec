// The CDAnet header check: fixed positions by version and transaction code.
//
// Positions count from 0 at the message's first byte. Numeric fields are a
// fixed number of decimal digits; any other character (NUL included) makes
// the field -1. The field tables:
//   all versions: A02 seq 12/6, A03 version 18/2, A04 code 20/2, A05 carrier 22/6
//   02, 03: A07 4 digits; codes 0,2: A07 31, B01 35, B02 44; codes 1,3: A07 31,
//           B01 36, B02 45; code 4: no carrier, A07 25, B01 29, B02 38
//   04: A10 31/1, A07 at 32; codes 1,3,7: A07 5 digits, B01 43, B02 52;
//       codes 2,4,5,6,8: 5 digits, B01 42, B02 51; code 9: 7 digits, B01 44, B02 53
#include "engine/cda_header.h"

#include "foundation/log.h"
#include "foundation/status.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qzr {

namespace {

// The byte at `pos`, or NUL past the end of the message.
char byteAt(std::string_view msg, int pos)
{
    return static_cast<std::size_t>(pos) < msg.size() ? msg[static_cast<std::size_t>(pos)] : '\0';
}

// The decimal number of the `width` digits at `pos`, or -1 when one of them
// is not a digit.
int digits(std::string_view msg, int pos, int width)
{
    int value = 0;
    for (int i = 0; i < width; ++i) {
        char c = byteAt(msg, pos + i);
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Copies at most `width` characters from `pos`, stopping at a NUL; the
// destination's terminating NUL comes from the zeroed record.
void copyText(char* dst, std::string_view msg, int pos, int width)
{
    for (int i = 0; i < width; ++i) {
        char c = byteAt(msg, pos + i);
        if (c == '\0') break;
        dst[i] = c;
    }
}

// The `width` bytes at `pos`, up to a NUL or the end of the message.
std::string_view fieldAt(std::string_view msg, int pos, int width)
{
    std::string_view field = msg.substr(std::min(static_cast<std::size_t>(pos), msg.size()),
                                        static_cast<std::size_t>(width));
    return field.substr(0, field.find('\0'));
}

// Logs the refusal of the two-character field `field` at `pos`. The
// request's characters are checked only later: the field is written
// escaped.
void logInvalidField(const char* name, const char* field, std::string_view msg, int pos)
{
    log_write(LOG_ERROR, "Invalid request in file <%s>, (field %s=%s)", name, field,
              log_foreign(fieldAt(msg, pos, 2)).c_str());
}

}  // namespace

const char* cda_fileExtension(const char* name)
{
    const char* base = std::strrchr(name, '/');
    base = base ? base + 1 : name;
    const char* dot = std::strchr(base, '.');
    return dot ? dot + 1 : base + std::strlen(base);
}

int cda_parse_header(const char* name, std::string_view msg, int realLength, transInfo* ti)
{
    ti->realLength = realLength;
    ti->cdaVersion = digits(msg, 18, 2);
    ti->transCode = digits(msg, 20, 2);
    ti->seq = digits(msg, 12, 6);
    ti->ext = cda_fileExtension(name);

    int lenPos = 0, lenWidth = 0, provPos = 0, officePos = 0;
    switch (ti->cdaVersion) {
    case 2:
    case 3:
        ti->encryptMethod = 1;
        lenWidth = 4;
        switch (ti->transCode) {
        case 0:
        case 2:
            ti->carrier = digits(msg, 22, 6);
            lenPos = 31, provPos = 35, officePos = 44;
            break;
        case 1:
        case 3:
            ti->carrier = digits(msg, 22, 6);
            lenPos = 31, provPos = 36, officePos = 45;
            break;
        case 4:
            lenPos = 25, provPos = 29, officePos = 38;
            break;
        default:
            logInvalidField(name, "A04", msg, 20);
            return STS_INVALID_CLAIM;
        }
        break;
    case 4:
        ti->encryptMethod = digits(msg, 31, 1);
        lenPos = 32;
        lenWidth = 5;
        ti->carrier = digits(msg, 22, 6);
        switch (ti->transCode) {
        case 1:
        case 3:
        case 7:
            provPos = 43, officePos = 52;
            break;
        case 2:
        case 4:
        case 5:
        case 6:
        case 8:
            provPos = 42, officePos = 51;
            break;
        case 9:
            lenWidth = 7;
            provPos = 44, officePos = 53;
            break;
        default:
            logInvalidField(name, "A04", msg, 20);
            return STS_INVALID_CLAIM;
        }
        break;
    default:
        logInvalidField(name, "A03", msg, 18);
        return STS_INVALID_CLAIM;
    }

    copyText(ti->provider, msg, provPos, CDA_PROVIDER_LEN);
    copyText(ti->office, msg, officePos, CDA_OFFICE_LEN);
    ti->msgLength = digits(msg, lenPos, lenWidth);

    if (ti->realLength < 1 || ti->realLength == ti->msgLength) return STS_OK;

    std::string declared = log_foreign(fieldAt(msg, lenPos, lenWidth));
    log_write(LOG_ERROR, "Invalid transaction length A07=%s real length=%d in file <%s>", declared.c_str(),
              ti->realLength, name);
    return STS_INVALID_CLAIM;
}

}  // namespace qzr
