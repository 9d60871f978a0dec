// The HTTP dialog: one claim posted to the proxy, its reply as the
// response and its HTTP status as the transaction's status.
//
// Statuses of a reply that arrived whole follow the proxy's table: 200 is
// success; 400 and 404 are failures; 401, 500 and any other code pass the
// proxy's text on as the response with status 0, and fail only without
// text. 400 and 401 also delete the stored key. A transfer that did not end
// well (no reply, a time-out, a reply larger than the response buffer, a
// refused redirect) is a failure, whatever arrived before it; when no reply
// came at all, the table's line for code 0 is logged too.
#include "https/http_dialog.h"

#include <string>

#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "https/https_transfer.h"
#include "https/key_store.h"

namespace qzr {

const char* const HTTP_USER_AGENT = "QZR/" QZR_VERSION_TEXT;

namespace {

// The time-outs of the network's transfers: maxProcessingDelay for the
// whole transfer, the connection's connectionTimeout for the connection.
HttpsLimits limitsOf(const NetworkDef* net)
{
    const ConnectionDef* cnx = net->curCnx ? net->curCnx : net->primary;
    HttpsLimits limits;
    limits.transferTimeout = ini_processingDelay(*net);
    limits.connectTimeout =
        cnx && cnx->connectionTimeout > 0 ? cnx->connectionTimeout : DEFAULT_CONNECTION_TIMEOUT;
    return limits;
}

// The table's line for a code it does not name (0 when no reply came).
void logUnexpectedStatus(long code)
{
    log_write(LOG_PROT_ERROR, "Proxy %d: HTTP status unexpected", static_cast<int>(code));
}

// Maps the response code of a reply that arrived whole to the claim's
// status, logging the proxy's verdict; `*deleteKey` tells whether the
// proxy refused the key.
int statusOfReply(long code, const char* reply, int length, bool* deleteKey)
{
    bool text = length > 0;
    *deleteKey = false;
    switch (code) {
    case 200:
        log_write(LOG_PROT, "Proxy 200: Success.");
        return STS_OK;
    case 400:
        log_write(LOG_PROT_ERROR,
                  "Proxy 400: AppKey missing, invalid, or does not match transaction provider + group.");
        log_write(LOG_PROT, "Error response: <%s>",
                  log_foreign(std::string_view(reply, static_cast<std::size_t>(std::max(length, 0)))).c_str());
        *deleteKey = true;
        return STS_ERROR;
    case 401:
        *deleteKey = true;
        if (text) {
            log_write(LOG_PROT_ERROR, "Proxy 401: provide+group unauthorized.");
            return STS_OK;
        }
        log_write(LOG_PROT_ERROR, "Proxy 401 Without response text");
        return STS_ERROR;
    case 404:
        log_write(LOG_PROT_ERROR, "HTTP 404: URL not found or unreachable.");
        return STS_ERROR;
    case 500:
        log_write(LOG_PROT_ERROR, "Proxy 500: remote error or remote communication issues.");
        return text ? STS_OK : STS_ERROR;
    default:
        logUnexpectedStatus(code);
        return text ? STS_OK : STS_ERROR;
    }
}

}  // namespace

std::size_t httpWriteCallback(char* data, std::size_t size, std::size_t count, void* user)
{
    return https_storeChunk(data, size, count, user);
}

int http_dialog(NetworkDef* net, const transInfo* ti, char* request, int requestLen, unsigned char* resp,
                int* respLen)
{
    // The reply is kept to the capacity, its NUL in the byte after it.
    const int capacity = *respLen > 0 ? *respLen : 0;
    if (g_detailedMessages) log_write(LOG_INFO, "HTTP dialog: request length %d bytes", requestLen);

    // The proxy is the primary connection's host, also on the secondary.
    const ConnectionDef* primary = net->primary;
    if (!primary || !primary->address || primary->address->empty()) {
        log_write(LOG_ERROR, "Network %s: the HTTP connection has no address", net->networkName.c_str());
        *respLen = 0;
        resp[0] = '\0';
        return STS_PORT_OPEN_ERROR;
    }
    const std::string& host = *primary->address;
    const HttpsLimits limits = limitsOf(net);

    int keySts = STS_ERROR;
    const char* key = getApiKey(host.c_str(), ti->office, ti->provider, limits, &keySts);
    // A stop or a Cancel that came during the key request: the claim is not
    // posted.
    if (stop_requested()) {
        *respLen = 0;
        resp[0] = '\0';
        return STS_INTERRUPTED;
    }
    if (keySts != STS_OK || !key) {
        log_write(LOG_ERROR, "Failed to obtain API Key for office:%s provider:%s , keySts=%d",
                  log_foreign(ti->office).c_str(), log_foreign(ti->provider).c_str(), keySts);
        *respLen = 0;
        resp[0] = '\0';
        return STS_PROTOCOL_ERROR;
    }
    const std::string header = std::string("Authorization: Bearer ") + key;

    HttpsTransfer transfer;
    const std::string url =
        "https://" + host + ":" + std::to_string(g_httpsPorts.claimPort) + "/api/AuthenticationRequests";
    if (!transfer.valid()) {
        log_write(LOG_ERROR, "Failed to init CURL");
        *respLen = 0;
        resp[0] = '\0';
        return STS_ERROR;
    }
    net->linkUp = true;
    activity_setState(ACT_SEND);

    transfer.appendHeader(header.c_str());
    HttpsSink sink{reinterpret_cast<char*>(resp), static_cast<std::size_t>(capacity) + 1, 0};
    *respLen = 0;
    HttpsOptions options;
    options.url = url.c_str();
    options.writeFunction = httpWriteCallback;
    options.writeData = &sink;
    options.claim = true;
    options.userAgent = HTTP_USER_AGENT;
    options.limits = limits;
    options.postData = request ? request : "";
    options.postSize = request && requestLen > 0 ? requestLen : 0;
    transfer.setOptions(options);

    log_write(LOG_PROT, "Sending claim (%d bytes) to %s  maxDelay=%d s. Waiting for response", requestLen,
              url.c_str(), static_cast<int>(limits.transferTimeout));
    resp[0] = '\0';
    int result = transfer.perform();
    resp[sink.received] = '\0';
    *respLen = static_cast<int>(sink.received);
    long code = transfer.responseCode();
    // A stop that ended the transfer before any byte of the claim went out
    // (while connecting, or in the handshake): the claim was not sent.
    if (result != HTTPS_OK && stop_requested() && !transfer.requestSent()) {
        log_write(LOG_PROT, "HTTP POST stopped before the claim was sent");
        *respLen = 0;
        resp[0] = '\0';
        return STS_INTERRUPTED;
    }

    if (result != HTTPS_OK) {
        log_write(LOG_PROT, "HTTP POST failed: %s. Status=%d ", HttpsTransfer::resultText(result),
                  static_cast<int>(code));
        // libcurl's text may quote the peer (its certificate's names).
        log_write(LOG_PROT, "Error message: %s", log_foreign(transfer.errorBuffer()).c_str());
    } else {
        log_write(LOG_PROT, "HTTP POST Status=%d %d byte response received", static_cast<int>(code), *respLen);
    }
    activity_update();

    int status = STS_ERROR;
    bool deleteKey = false;
    if (result == HTTPS_OK) {
        status = statusOfReply(code, reinterpret_cast<const char*>(resp), *respLen, &deleteKey);
    } else {
        // What arrived stays as the response; a refusal of the key still
        // counts. No reply at all has the table's line of code 0.
        if (code == 0) logUnexpectedStatus(code);
        deleteKey = code == 400 || code == 401;
    }
    if (deleteKey) keystore_deleteKey(ti->office, ti->provider);
    return status;
}

}  // namespace qzr
