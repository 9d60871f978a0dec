// The Common Protocol dialog, as a state machine:
//   STATE 0   wait for the host's ENQ, then send the request
//   STATE 1A  wait for the host's STX (ENQ or NAK: send again; NUL: ignored;
//             anything else: NAK, until too much time has passed)
//   STATE 2   keep the response up to its ETX (a second STX restarts it,
//             EOT ends the dialog)
//   STATE 3   read and check the LRC
//   STATE 4   ACK a good response, NAK a bad one and await it again
// Every read's time-out bounds the silence before one byte. The wait for
// the answer's STX, resends included, and each response frame have limits
// on their whole time, and so have all the frames of one answer: a host
// that fills the line, asks for the request again and again or sends bad
// frames without end cannot hold the call.
// The request frame is built here, in `reqFrame`, around the text.
#include "links/common_dialog.h"

#include <cstring>

#include "foundation/activity.h"
#include "foundation/buffers.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "links/link_ops.h"
#include "links/modem.h"
#include "links/port.h"
#include "os/os_wait.h"

namespace qzr {

namespace {

enum class State { Enq, WaitAnswer, Response, Lrc, Ack, Nak };

std::int64_t nowSeconds()
{
    return os_monotonicMs() / 1000;
}

constexpr const char* END_LINE = "Common Protocol error, end dialog";

// The longest text a frame in `reqFrame` holds: all but STX, ETX and LRC.
constexpr int MAX_TEXT = static_cast<int>(REQ_FRAME_SIZE) - 3;

// Builds the request frame in `reqFrame`: STX, the text (copied unless it
// is already in place), ETX, and the LRC of the text and the ETX.
void buildFrame(const char* text, int length)
{
    unsigned char* body = reqFrame + 1;
    if (length > 0 && reinterpret_cast<const unsigned char*>(text) != body)
        std::memmove(body, text, static_cast<std::size_t>(length));
    reqFrame[0] = CP_STX;
    body[length] = CP_ETX;
    body[length + 1] = static_cast<unsigned char>(cp_lrc(body, static_cast<std::size_t>(length)) ^ CP_ETX);
}

int writeByte(unsigned char b)
{
    return serial_write(&b, 1, g_linkTimeouts.protocolWrite);
}

}  // namespace

unsigned char cp_lrc(const unsigned char* bytes, std::size_t len)
{
    unsigned char lrc = 0;
    for (std::size_t i = 0; i < len; ++i) lrc ^= bytes[i];
    return lrc;
}

void cp_endDialog()
{
    if (g_detailedMessages) log_write(LOG_COM_OUT, "End Dialog");
    int ignored = port_writeEnding(&CP_EOT, 1, g_linkTimeouts.protocolWrite);
    (void)ignored;
}

long cp_discardStale()
{
    // Frames (STX to ETX and the LRC) are stale answers; an ENQ after the
    // last of them is the host's invitation, which still stands.
    enum class Scan { Between, InFrame, Lrc };
    Scan scan = Scan::Between;
    bool invited = false;
    long n = port_discardReceived([&](unsigned char b) {
        switch (scan) {
        case Scan::InFrame:
            if (b == CP_ETX) scan = Scan::Lrc;
            break;
        case Scan::Lrc: scan = Scan::Between; break;
        case Scan::Between:
            if (b == CP_STX) {
                scan = Scan::InFrame;
                invited = false;
            } else if (b == CP_ENQ) {
                invited = true;
            } else if (b == CP_EOT) {
                invited = false;
            }
            break;
        }
    });
    if (n == PORT_LINE_LOST || !invited) return n;
    port_putBack(CP_ENQ);
    return n - 1;
}

int common_dialog(NetworkDef* net, const transInfo*, char* text, int length, unsigned char* respBuf, int* respLen)
{
    const int respCapacity = *respLen;
    *respLen = 0;
    if (length < 0) length = 0;
    if (length > MAX_TEXT)
        return link_dialogFails(STS_WRITE_ERROR, END_LINE, "Request too long for the frame (%d bytes)", length);
    const int frameLen = length + 3;
    std::int64_t start = nowSeconds();
    int lrcTriesLeft = 3;
    if (g_detailedMessages) log_write(LOG_INFO, "Dialog: request length %d bytes", frameLen);
    // A response text is kept up to the capacity, and its ETX in the byte
    // after it while the LRC is checked; the text's NUL then takes the ETX's
    // place. A longer text loses its ETX and fails the LRC check.
    const int textMax = respCapacity > 0 ? respCapacity : 0;
    const int keepMax = textMax + 1;
    respBuf[0] = '\0';

    if (net->simulation) {
        int timeout = net->curCnx ? net->curCnx->connectionTimeout : 0;
        log_write(LOG_INFO, "Simulation mode: the request will be echoed back in %d sec", timeout);
        int n = length;
        if (n > textMax) n = textMax;
        if (n > 0) std::memcpy(respBuf, text, static_cast<std::size_t>(n));
        respBuf[n] = '\0';
        *respLen = n;
        activity_setState(ACT_SIMULATION);
        waitSeconds(static_cast<unsigned>(timeout > 0 ? timeout : 0));
        net->linkUp = true;
        activity_setState(ACT_RECEIVE);
        if (stop_requested()) return STS_INTERRUPTED;
        return STS_OK;
    }

    const int maxProcessing = net->maxProcessingDelay;
    // The host's time to answer, and to recover from stray bytes; a host
    // without one gets a minute, as over TCP/IP and HTTPS.
    const int answerDelay = ini_processingDelay(*net);
    buildFrame(text, length);
    // Each response frame, from its STX or from the NAK that asks for it
    // again, must end within the host's time and the time the longest frame
    // needs at the line's speed, however the host spaces its bytes.
    const int frameSeconds = answerDelay + port_transferSeconds(net->curCnx, keepMax + 2);
    // The answer's STX must come within the host's time from the request's
    // first write, and the time of the request sent three times at the
    // line's speed (the resends an ENQ or a NAK asks for); all its frames
    // (the first and those a NAK asks for again) within three frames' time
    // from the first STX.
    const int stxSeconds = answerDelay + 3 * port_transferSeconds(net->curCnx, frameLen);
    const int responseSeconds = 3 * frameSeconds;
    std::int64_t firstStxAt = 0;
    PortAnswerScope answerScope;
    int count = 0;               // bytes kept of the current response
    bool etxKept = false;        // the response's ETX found room in the buffer
    unsigned char c = 0;

    // Sends the whole request frame. Returns 0 or the end status: 1003 when
    // a stop came before the first byte of the first frame (the claim was
    // not sent), else 1053.
    bool frameWentOut = false;
    auto sendRequest = [&]() -> int {
        port_clearRxRing();
        net->linkUp = true;
        activity_setState(ACT_SEND);
        int sts = serial_write(reqFrame, static_cast<std::size_t>(frameLen), g_linkTimeouts.protocolWrite);
        const bool unsent = sts == STS_INTERRUPTED && !frameWentOut;
        if (!frameWentOut) port_setAnswerLimit(stxSeconds);
        frameWentOut = true;
        if (sts != STS_OK)
            return link_dialogFails(unsent ? STS_INTERRUPTED : STS_WRITE_ERROR, END_LINE,
                                    "Error writing request STATE 1 sts=%d", sts);
        log_write(LOG_PROT, "%d bytes sent, waiting (max=%d sec) for response", frameLen, maxProcessing);
        activity_update();
        return STS_OK;
    };

    // Limits the response frame that starts now (at its STX, or at the NAK
    // that asks for it again), within the limit of all the answer's frames.
    auto limitFrame = [&]() {
        const std::int64_t now = os_monotonicMs();
        if (firstStxAt == 0) firstStxAt = now;
        if (now + frameSeconds * 1000LL < firstStxAt + responseSeconds * 1000LL)
            port_setAnswerLimit(frameSeconds, now);
        else
            port_setAnswerLimit(responseSeconds, firstStxAt);
    };

    // Keeps one response byte (or drops it when the buffer is full).
    auto keep = [&](unsigned char b) -> bool {
        if (count >= keepMax) return false;
        respBuf[count++] = b;
        if (count % 1000 == 0) log_write(LOG_INFO, "%d characters read", count);
        return true;
    };

    State state = State::Enq;
    for (;;) {
        switch (state) {
        case State::Enq: {
            log_write(LOG_PROT, "Waiting (max=%d sec) for ENQ", net->maxEnqDelay);
            activity_setState(ACT_WAIT_ENQ);
            static const char enq[] = {static_cast<char>(CP_ENQ), '\0'};
            int sts = net_waitfor(enq, net->maxEnqDelay);
            if (sts != STS_OK)
                return link_dialogFails(STS_ENQ_TIMEOUT, END_LINE, "Error reading ENQ STATE 0 sts=%d", sts);
            if (int e = sendRequest(); e != STS_OK) return e;
            state = State::WaitAnswer;
            break;
        }

        case State::WaitAnswer: {
            activity_setState(ACT_WAIT_ANSWER);
            int sts = get_next_char(answerDelay, &c);
            if (sts != STS_OK)
                return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading host ACK STATE 1A sts=%d", sts);
            if (c == 0x00) break;
            if (c == CP_STX) {
                if (g_detailedMessages) log_write(LOG_PROT, "STX received ");
                count = 0;
                activity_setState(ACT_RECEIVE);
                activity_update();
                limitFrame();
                sts = get_next_char(g_linkTimeouts.responseByte, &c);
                if (sts != STS_OK)
                    return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading response STATE 2 sts=%d", sts);
                state = State::Response;
                break;
            }
            if (c == CP_ENQ || c == CP_NAK) {
                log_write(LOG_PROT, c == CP_ENQ ? "another ENQ received" : "NAK received");
                if (int e = sendRequest(); e != STS_OK) return e;
                break;
            }
            log_code(STS_NO_STX, "another character received :ASCII(%d) ERROR ", c);
            waitSeconds(static_cast<unsigned>(g_linkTimeouts.errorPause));
            port_clearRxRing();
            // A stop ended the pause: the wait for the host's answer ends
            // as a read ended by the stop does, and no NAK asks for more.
            if (stop_requested())
                return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading host ACK STATE 1A sts=%d",
                                        STS_TIMEOUT);
            if (nowSeconds() - start > answerDelay) {
                return link_dialogFails(STS_NO_STX, END_LINE, "Too many errors ");
            }
            log_code(STS_NO_STX, "Send a NAK and wait for response");
            sts = writeByte(CP_NAK);
            if (sts != STS_OK)
                return link_dialogFails(STS_WRITE_ERROR, END_LINE, "Error writing NAK STATE 1A sts=%d", sts);
            break;
        }

        case State::Response: {
            // `c` holds a byte just received.
            bool kept = keep(c);
            if (c == CP_STX) {
                log_write(LOG_PROT, "another <STX> received restart message");
                count = 0;
            } else if (c == CP_ETX) {
                etxKept = kept;
                state = State::Lrc;
                break;
            } else if (c == CP_EOT) {
                return link_dialogEnds(STS_SERVER_CANCEL, END_LINE);
            }
            int sts = get_next_char(g_linkTimeouts.responseByte, &c);
            if (sts != STS_OK)
                return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading response STATE 2 sts=%d", sts);
            break;
        }

        case State::Lrc: {
            int sts = get_next_char(g_linkTimeouts.lrcByte, &c);
            if (sts != STS_OK) {
                if (lrcTriesLeft > 1) {
                    --lrcTriesLeft;
                    log_code(STS_BAD_LRC, "Timeout reading LRC STATE 3 sts=%d", sts);
                    state = State::Nak;
                    break;
                }
                return link_dialogFails(STS_BAD_LRC, END_LINE, "Error reading LRC STATE 3 sts=%d", sts);
            }
            if (c == cp_lrc(respBuf, static_cast<std::size_t>(count))) {
                state = State::Ack;
            } else {
                log_code(STS_BAD_LRC, "LRC Error");
                state = State::Nak;
            }
            break;
        }

        case State::Ack: {
            // The answer is here: its ACK goes out also after a stop.
            int sts = port_writeEnding(&CP_ACK, 1, g_linkTimeouts.protocolWrite);
            if (sts != STS_OK)
                return link_dialogFails(STS_WRITE_ERROR, END_LINE, "Error writing ACK STATE 4 sts=%d", sts);
            // The text without its ETX (when the ETX found room).
            int len = etxKept ? count - 1 : count;
            if (len > textMax) len = textMax;
            respBuf[len] = '\0';
            *respLen = len;
            log_write(LOG_PROT, "Response received %d bytes", len);
            return STS_OK;
        }

        case State::Nak: {
            int sts = writeByte(CP_NAK);
            if (sts != STS_OK)
                return link_dialogFails(STS_WRITE_ERROR, END_LINE, "Error writing NAK STATE 4 sts=%d", sts);
            count = 0;
            limitFrame();
            sts = get_next_char(g_linkTimeouts.responseByte, &c);
            if (sts != STS_OK)
                return link_dialogFails(STS_NO_RESPONSE, END_LINE, "Error reading response STATE 2 sts=%d", sts);
            state = State::Response;
            break;
        }
        }
    }
}

}  // namespace qzr
