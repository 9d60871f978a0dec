// The libcurl layer of the HTTPS channel: one easy transfer per key request
// or claim.
//
// The only file that includes libcurl's headers. Options follow the order
// of the key request and the claim; to libcurl's defaults it adds only what
// keeps the worker safe: https alone (also for redirects, at most 10 of
// them), a connect time-out and a total time-out, a progress callback that
// ends the transfer at a stop or a Cancel, close-on-exec sockets,
// the test or site CA of CURL_CA_BUNDLE, and the verbose trace in the log
// with the debug trace only (it shows the bearer key and the token).
// libcurl's own handling of SIGPIPE stays on (no CURLOPT_NOSIGNAL): a TLS
// write to a proxy that has gone must not end the process; its resolver
// runs on a thread, so name look-ups keep their time-out without signals.
#include "https/https_transfer.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <curl/curl.h>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/stop.h"
#include "links/msg_pump.h"
#include "os/os_file.h"

namespace qzr {

namespace {

// The proxy's ports. A build with its tests also takes them from
// QZR_TEST_HTTPS_PORTS ("<claim port>:<key port>"), so that the tests'
// proxies listen on ports of their own and suites share a machine.
HttpsPorts portsAtStart()
{
    HttpsPorts ports;
#ifdef QZR_TEST_PORTS
    if (const char* text = std::getenv("QZR_TEST_HTTPS_PORTS"); text != nullptr) {
        char* end = nullptr;
        const long claim = std::strtol(text, &end, 10);
        const long key = *end == ':' ? std::strtol(end + 1, &end, 10) : 0;
        if (*end == '\0' && claim > 0 && claim < 65536 && key > 0 && key < 65536)
            ports = {static_cast<int>(claim), static_cast<int>(key)};
    }
#endif
    return ports;
}

}  // namespace

HttpsPorts g_httpsPorts = portsAtStart();

namespace {

CURL* easy(void* handle) { return static_cast<CURL*>(handle); }

// libcurl's verbose trace, one log line per line of text or header.
int traceToLog(CURL*, curl_infotype type, char* data, std::size_t size, void*)
{
    const char* mark;
    switch (type) {
    case CURLINFO_TEXT: mark = "* "; break;
    case CURLINFO_HEADER_IN: mark = "< "; break;
    case CURLINFO_HEADER_OUT: mark = "> "; break;
    case CURLINFO_DATA_IN:
        log_write(LOG_DEBUG, "<= Recv data, %zu bytes", size);
        return 0;
    case CURLINFO_DATA_OUT:
        log_write(LOG_DEBUG, "=> Send data, %zu bytes", size);
        return 0;
    default: return 0;  // TLS records
    }
    std::string text(data, size);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) log_write(LOG_DEBUG, "%s%s", mark, log_foreign(line).c_str());
        start = end + 1;
    }
    return 0;
}

// libcurl's progress callback, called while the transfer runs (about once a
// second when nothing moves): it hands the window its messages, so the
// status window stays alive and its Close is taken, and aborts the transfer
// (non-zero) once a stop or a Cancel is requested.
int progressCheck(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    pump_peekMessages();
    return stop_requested() ? 1 : 0;
}

// Keeps the transfer's sockets out of spawned programs.
int closeOnExec(void*, curl_socket_t fd, curlsocktype)
{
    (void)os_setCloseOnExec(fd);
    return CURL_SOCKOPT_OK;
}

}  // namespace

std::size_t https_storeChunk(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* sink = static_cast<HttpsSink*>(user);
    std::size_t n = size * count;
    if (sink->received + n >= sink->limit) return 0;
    std::memcpy(sink->buf + sink->received, data, n);
    sink->received += n;
    return n;
}

HttpsTransfer::HttpsTransfer()
{
    curl_global_init(CURL_GLOBAL_ALL);
    handle_ = curl_easy_init();
}

HttpsTransfer::~HttpsTransfer()
{
    if (handle_) curl_easy_cleanup(easy(handle_));
    if (headers_) curl_slist_free_all(static_cast<curl_slist*>(headers_));
    curl_global_cleanup();
}

void HttpsTransfer::appendHeader(const char* line)
{
    curl_slist* list = curl_slist_append(static_cast<curl_slist*>(headers_), line);
    if (list) headers_ = list;
}

void HttpsTransfer::setOptions(const HttpsOptions& o)
{
    CURL* h = easy(handle_);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers_));
    curl_easy_setopt(h, CURLOPT_URL, o.url);
    if (debugTrace) {
        curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, traceToLog);
        curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    }
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progressCheck);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, o.writeFunction);
    if (o.claim) curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer_);
    if (o.claim) curl_easy_setopt(h, CURLOPT_USERAGENT, o.userAgent);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, o.writeData);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_TIMEOUT, o.limits.transferTimeout);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, o.limits.connectTimeout);
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, closeOnExec);
    if (const char* bundle = std::getenv("CURL_CA_BUNDLE"); bundle && *bundle) {
        curl_easy_setopt(h, CURLOPT_CAINFO, bundle);
    }
    if (o.postData) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, o.postData);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, o.postSize);
    }
}

int HttpsTransfer::perform()
{
    errorBuffer_[0] = '\0';
    // Looked at just before the transfer starts: once a stop is requested
    // nothing is posted (the progress callback ends a transfer under way).
    if (stop_requested()) return static_cast<int>(CURLE_ABORTED_BY_CALLBACK);
    return static_cast<int>(curl_easy_perform(easy(handle_)));
}

long HttpsTransfer::responseCode() const
{
    long code = 0;
    if (curl_easy_getinfo(easy(handle_), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return 0;
    return code;
}

bool HttpsTransfer::requestSent() const
{
    long head = 0;
    curl_off_t body = 0;
    if (curl_easy_getinfo(easy(handle_), CURLINFO_REQUEST_SIZE, &head) != CURLE_OK) return true;
    if (curl_easy_getinfo(easy(handle_), CURLINFO_SIZE_UPLOAD_T, &body) != CURLE_OK) return true;
    return head > 0 || body > 0;
}

const char* HttpsTransfer::resultText(int result)
{
    return curl_easy_strerror(static_cast<CURLcode>(result));
}

}  // namespace qzr
