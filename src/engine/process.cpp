// Transaction processing: the request in `reqFrame`, the answer in
// `respBuf`, one fall-back to the secondary connection at most.
#include "engine/process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "engine/request_file.h"
#include "engine/sent_claims.h"
#include "foundation/activity.h"
#include "foundation/buffers.h"
#include "foundation/codec.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "foundation/tbx_msg.h"
#include "links/link_ops.h"
#include "links/modem.h"
#include "links/port.h"
#include "os/os_file.h"

namespace qzr {

namespace {

// Text appended to the response after CR LF when not empty; emptied at the
// start of every transaction.
std::string respExtra;

// The response to write: `data` with `len` bytes (empty until a dialog
// returned one).
struct Response {
    const char* data = nullptr;
    int len = 0;
};

char* requestText()
{
    return reinterpret_cast<char*>(reqFrame + 1);
}

int readRequest(const RequestFile& requestFp, const char* reqPath, const ConnectionDef* cnx, transInfo* ti)
{
    animateTrayIcon(TRAY_READ);
    return file_read(requestFp, reqPath, std::span<char>(requestText(), REQ_TEXT_SIZE), cnx->v2convertAccent, ti);
}

// Brings the link of `net->curCnx` up: the dial attempts with their waits.
int bringLinkUp(NetworkDef* net)
{
    const ConnectionDef* cnx = net->curCnx;
    animateTrayIcon(TRAY_LINK);
    // A port kept open from an earlier call is made clean: what waits on it
    // is no answer to this request; a line lost or closed by the host is
    // closed and opened anew below.
    if (net->portOpen) (void)net_reuse(net);
    if (net->linkUp) return STS_OK;
    const int attempts = DIAL_RETRIES.holds(cnx->dialRetries) ? cnx->dialRetries : DIAL_RETRIES.byDefault;
    const int delay = DELAY_BETWEEN_RETRIES.holds(cnx->delayBetweenRetries) ? cnx->delayBetweenRetries
                                                                               : DELAY_BETWEEN_RETRIES.byDefault;
    for (int attempt = 1;; ++attempt) {
        if (!net->portOpen) {
            int status = net_connect(net);
            if (status != STS_OK) {
                net_disconnect(net);
                return status;
            }
        }
        int status = net_dial(net);
        if (status == STS_OK) return STS_OK;
        (void)net_hangup(net);
        net_disconnect(net);
        if (stop_requested() || attempt >= attempts) {
            activity_setStatus(status);
            return status;
        }
        log_write(LOG_INFO, "Wait %d second(s) before reconnection (attempt #%d of %d)", delay, attempt + 1,
                  attempts);
        waitSeconds(static_cast<unsigned>(delay));
    }
}

// One try over the connection in use: the request prepared, the link
// brought up, the dialog of the connection's type. Returns the try's status;
// the response of a dialog that produced one is stored in `resp`.
int tryConnection(const char* reqPath, const char* respPath, NetworkDef* net, transInfo* ti, Response& resp)
{
    const ConnectionDef* cnx = net->curCnx;
    const LinkOps& link = link_opsOf(cnx);
    char* text = requestText();

    if (stop_requested()) return STS_INTERRUPTED;
    if (int err = file_removeResponse(respPath); err != 0) {
        log_write(LOG_ERROR, "Cannot delete %s (errno=%d %s) ", respPath, err, std::strerror(err));
        return STS_CANNOT_REMOVE_OUTPUT;
    }
    log_write(LOG_STATUS, "%s, len=%d Seq=%d CDA-V%d Trn=%d Prov=%s Office=%s Carr=%ld Encrypt=%d", reqPath,
              ti->realLength, ti->seq, ti->cdaVersion, ti->transCode, log_foreign(ti->provider).c_str(),
              log_foreign(ti->office).c_str(), static_cast<long>(ti->carrier), ti->encryptMethod);

    int length = ti->realLength;
    if (g_detailedMessages) log_write(LOG_INFO, "request len =%d", length);
    if (cnx->compress && cnx->dataBit == 8) {
        length = cda_compress(text, length);
        log_write(LOG_INFO, "length after compression=%d", length);
    } else {
        log_write(LOG_INFO, "sending without compression");
    }

    process_setPrefix(text, net);
    if (g_detailedMessages) log_write(LOG_INFO, "Prefix set to \"%.12s\"", text);

    if (ti->encryptMethod > 1) {
        if (!cnx->encrypt) return STS_ENCRYPT_NOT_ALLOWED;
        if (cnx->dataBit != 8) return STS_UNABLE_TO_ENCRYPT;
        if (int status = cda_encrypt(text, length); status != STS_OK) return status;
    }

    if (!link.openPort) {
        // The proxy is reached anew for each request: there is nothing to dial.
        net->linkUp = true;
        net->portOpen = true;
    } else if (int status = bringLinkUp(net); status != STS_OK) {
        return status;
    }

    if (net->simulation) net->portOpen = true;
    animateTrayIcon(TRAY_DIALOG);
    // The dialog frames the text as its protocol wants.
    int respLen = static_cast<int>(RESP_BUF_SIZE);
    int status = link.dialog(net, ti, text, length, respBuf, &respLen);
    if (status == STS_OK || link.failedAnswerKept) {
        resp.data = reinterpret_cast<const char*>(respBuf);
        resp.len = respLen;
    }
    return status;
}

}  // namespace

void process_setPrefix(char* text, const NetworkDef* net)
{
    if (net->prefix) {
        std::memset(text, ' ', 12);
        std::size_t n = std::min<std::size_t>(net->prefix->size(), 12);
        std::memcpy(text, net->prefix->data(), n);
    } else if (net->zar) {
        std::memcpy(text, "HD*         ", 12);
    } else {
        TBX_ASSERT(nullptr, qzr_version[0] >= '0' && qzr_version[0] <= '9');
        TBX_ASSERT(nullptr, qzr_version[2] >= '0' && qzr_version[2] <= '9');
        char a01[13];
        std::snprintf(a01, sizeof a01, "11%c%c1111    ", qzr_version[0], qzr_version[2]);
        std::memcpy(text, a01, 12);
    }
}

int processFile(const RequestFile& requestFp, const char* reqPath, ResponseFile& rsp, NetworkDef* net,
                transInfo* ti)
{
    const char* respPath = rsp.path().c_str();
    respExtra.clear();
    Response resp;
    // Only a link kept up on the secondary carries the next request there.
    // Once that link was released (or the backup failed), the transaction
    // starts on the primary again, with its own fall-back; a port left open
    // on the secondary's device is closed first.
    bool onBackup = false;
    if (net->curCnx && net->curCnx != net->primary && net->linkUp) {
        onBackup = true;
    } else {
        if (net->curCnx && net->curCnx != net->primary && net->portOpen) net_disconnect(net);
        net->curCnx = net->primary;
    }

    // The status of the last try whose frame may have gone out, and whether
    // the last try was that one.
    int sentStatus = STS_OK;
    bool lastTrySent = false;
    int status = readRequest(requestFp, reqPath, net->curCnx, ti);
    while (status == STS_OK) {
        const int framesBefore = sent_framesOut();
        status = tryConnection(reqPath, respPath, net, ti, resp);
        lastTrySent = sent_framesOut() != framesBefore;
        if (lastTrySent) sentStatus = status;
        if (status == STS_OK) {
            animateTrayIcon(TRAY_ANSWERED);
            if (g_detailedMessages) log_write(LOG_INFO, "response len=%d", resp.len);
            if (link_opsOf(net->curCnx).answersInClear) break;  // nothing to expand
            char* start = nullptr;
            int length = 0;
            status = cda_decompress(std::span<char>(reinterpret_cast<char*>(respBuf), RESP_BUF_SIZE), resp.len,
                                    &start, &length);
            resp.data = start;
            resp.len = status == STS_OK ? length : 0;
            if (g_detailedMessages) log_write(LOG_INFO, "length after decomp=%d", resp.len);
            break;
        }
        if (status == STS_CANNOT_REMOVE_OUTPUT || stop_requested() || onBackup || !net->secondary) break;
        log_write(LOG_INFO, "Primary connection status=%d, Trying backup connection", status);
        animateTrayIcon(TRAY_LINK);
        (void)net_hangup(net);
        net_disconnect(net);
        net->curCnx = net->secondary;
        onBackup = true;
        lastTrySent = false;
        status = readRequest(requestFp, reqPath, net->curCnx, ti);
    }
    // The primary sent the claim and the backup failed before its own frame
    // (its port, its dial, its reading of the request): the status of the
    // try that sent it stands, and says the claim may have reached the
    // carrier.
    if (status != STS_OK && sentStatus != STS_OK && !lastTrySent) status = sentStatus;

    // A connection whose dialog failed (or was stopped) may still bring that
    // dialog's answer: it is closed, and the next request connects anew.
    if (status != STS_OK && net->linkUp && net->portOpen && link_opsOf(net->curCnx).closedAfterFailure) {
        (void)net_hangup(net);
        net_disconnect(net);
    }
    activity_setStatus(status);
    activity_setState(ACT_WRITE_RESPONSE);
    // 1003 says the claim was not sent: once its frame may have gone out, the
    // dialog's own status stands, and says it may have reached the carrier.
    if (stop_requested() && status != STS_OK && !sent_frameMayHaveGoneOut()) status = STS_INTERRUPTED;
    ti->status = status;  // the head of the response carries it
    const char* data = resp.data ? resp.data : "";
    // An old response that could not be removed stands in the way: nothing
    // is written over it.
    int written = status == STS_CANNOT_REMOVE_OUTPUT ? status
                                                     : file_writePrepared(rsp, data, resp.len, ti, respExtra.c_str());
    if (written != STS_OK) {
        status = written;
        if (sent_frameMayHaveGoneOut() &&
            sent_keepAnswer(respPath, file_responseBytes(data, resp.len, ti, respExtra.c_str())) != 0) {
            log_write(LOG_ERROR, "****FATAL ERROR**** The answer to %s is in this log only, terminating program. ",
                      reqPath);
            stopForGood = true;
            terminateRequested = true;
        }
    }
    log_write(LOG_INFO, "File:%s processed", reqPath);
    return status;
}

}  // namespace qzr
