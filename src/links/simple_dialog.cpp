// The Simple dialog over TCP/IP.
#include "links/simple_dialog.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/activity.h"
#include "foundation/buffers.h"
#include "foundation/codec.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/link_ops.h"
#include "links/port.h"
#include "os/os_wait.h"

namespace qzr {

namespace {

constexpr int MAX_TEXT = static_cast<int>(REQ_TEXT_SIZE);
constexpr int RESPONSE_MAX = static_cast<int>(RESP_BUF_SIZE);

// The request frame: a 9- or 12-byte header and the longest message.
char vovFrame[12 + MAX_TEXT];

constexpr const char* END_LINE = "VOV Protocol error, end dialog";

}  // namespace

int simple_dialog(NetworkDef* net, const transInfo*, char* msg, int len, unsigned char* resp, int* respLen)
{
    const int capacity = *respLen;
    *respLen = 0;
    if (len < 0) len = 0;
    if (g_detailedMessages) log_write(LOG_INFO, "Simple dialog: request length %d bytes", len);
    (void)cda_encrypt(msg, len);
    if (g_detailedMessages) log_write(LOG_PROT, "Simple dialog: length after encryption %d bytes", len);

    // A message that does not fit the frame is refused rather than cut.
    if (len > MAX_TEXT)
        return link_dialogFails(STS_WRITE_ERROR, END_LINE, "Request too long for the frame (%d bytes)", len);

    int head;
    if (len <= 999999) {
        head = std::snprintf(vovFrame, sizeof vovFrame, "%06d%c%c%c", len, 0x01, 0x01, 0x20);
    } else {
        head = std::snprintf(vovFrame, sizeof vovFrame, "#%08d%c%c%c", len, 0x01, 0x01, 0x20);
    }
    std::memcpy(vovFrame + head, msg, static_cast<std::size_t>(len));
    const int frameLen = head + len;

    port_clearRxRing();
    net->linkUp = true;
    activity_setState(ACT_SEND);

    // A stop before the frame's first byte leaves the claim unsent: the
    // write's 1003 is the dialog's, as its 1053 is.
    if (int sts = serial_write(vovFrame, static_cast<std::size_t>(frameLen), g_linkTimeouts.protocolWrite);
        sts != STS_OK)
        return link_dialogFails(sts, END_LINE, "Error writing request STATE 1 sts=%d", sts);
    log_write(LOG_PROT, "%d bytes sent, waiting (max=%d sec) for response", frameLen, net->maxProcessingDelay);
    activity_update();

    // Each byte of the answer within the network's delay; a host without
    // one gets a minute, as over HTTPS. The whole header must come within
    // that delay too, and the data within it and the time their declared
    // length needs at the line's speed: a host that trickles cannot hold
    // the call.
    const int byteTimeout = ini_processingDelay(*net);
    PortAnswerScope answerScope;
    port_setAnswerLimit(byteTimeout);
    const std::int64_t sentAt = os_monotonicMs();
    unsigned char header[9];
    for (int i = 0; i < 9; ++i) {
        if (int sts = get_next_char(byteTimeout, &header[i]); sts != STS_OK)
            return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading response STATE 2 sts=%d", sts);
        if (i == 0) {
            activity_setState(ACT_RECEIVE);
            activity_update();
        }
    }
    int length = 0;
    for (int i = 0; i < 6; ++i) {
        if (header[i] < '0' || header[i] > '9') {
            length = -1;
            break;
        }
        length = length * 10 + (header[i] - '0');
    }
    if (length < 0 || length > RESPONSE_MAX) {
        // The host's bytes, up to a NUL, escaped.
        const char* text = reinterpret_cast<const char*>(header);
        return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading length =%d from string <%s> ", length,
                                log_foreign(std::string_view(text, ::strnlen(text, 6))).c_str());
    }

    port_setAnswerLimit(byteTimeout + port_transferSeconds(net->curCnx, length), sentAt);

    // The text is kept to the capacity and ends with a NUL in the byte after
    // it; the rest is read and dropped.
    const int keepMax = capacity > 0 ? capacity : 0;
    int stored = 0;
    for (int i = 0; i < length; ++i) {
        unsigned char c;
        if (int sts = get_next_char(byteTimeout, &c); sts != STS_OK)
            return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading response STATE 3 sts=%d", sts);
        if (stored < keepMax) resp[stored++] = c;
    }
    resp[stored] = '\0';
    log_write(LOG_PROT, "Response received %d bytes Se:0x%X re:0x%X Chk:0x%X", stored, header[6], header[7],
              header[8]);
    if (g_detailedMessages) log_write(LOG_PROT, "Simple dialog: length after decryption %d bytes", stored);
    *respLen = stored;
    return STS_OK;
}

}  // namespace qzr
