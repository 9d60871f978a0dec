// One HTTPS transfer to the proxy through libcurl's easy interface.
//
// A transfer sets up libcurl's global state and an easy handle when it is
// made and frees the handle, its header list and the global state when it
// ends, as each key request and each claim does. Every transfer speaks only
// https (redirects included), verifies the proxy's certificate with
// libcurl's defaults (the system's CA store, or the file named by the
// environment variable CURL_CA_BUNDLE), has a connect time-out and a total
// time-out, ends soon after a stop or a Cancel is requested (the window's
// messages are dispatched while it runs, so its Close is one), and keeps
// its verbose trace out of standard error: with the debug trace (-d) it
// goes to the log, otherwise it is off.
//
// What must always hold: only this module includes libcurl's headers; the
// write callbacks store at most their limit less one byte.
#pragma once

#include <cstddef>

#include "config/config.h"

namespace qzr {

// The proxy's ports: claims and key requests. Tests point them at their
// loopback servers; nothing else changes them.
struct HttpsPorts {
    int claimPort = 55978;
    int keyPort = 62978;
};
extern HttpsPorts g_httpsPorts;

// The time-outs of a transfer, in seconds.
struct HttpsLimits {
    long transferTimeout = 60;  // the whole transfer
    long connectTimeout = DEFAULT_CONNECTION_TIMEOUT;  // the connection and its TLS handshake
};

// Where a write callback stores a reply: `buf` holds at most `limit` - 1
// bytes; `received` counts what was stored.
struct HttpsSink {
    char* buf = nullptr;
    std::size_t limit = 0;
    std::size_t received = 0;
};

// A libcurl write callback: (data, item size, item count, user pointer).
using https_write_fn = std::size_t (*)(char* data, std::size_t size, std::size_t count, void* user);

// Stores a chunk of a reply in the HttpsSink `user`. When the bytes received
// so far and the chunk reach the sink's limit, stores nothing and returns 0,
// which ends the transfer with a write error; otherwise appends the chunk
// and returns its size.
std::size_t https_storeChunk(char* data, std::size_t size, std::size_t count, void* user);

// The options of one transfer, set in this order: header list, URL,
// trace, the progress callback, write callback, [a claim: no fail on error,]
// error buffer, [a claim: user agent,] write data, redirects, time-outs,
// [post body].
struct HttpsOptions {
    const char* url = nullptr;
    https_write_fn writeFunction = nullptr;
    void* writeData = nullptr;
    bool claim = false;               // a claim: error replies deliver their body, `userAgent` is sent
    const char* userAgent = nullptr;  // a claim's user agent
    HttpsLimits limits;
    const void* postData = nullptr;   // set: a POST of `postSize` bytes
    long postSize = 0;
};

// CURLE_OK: the transfer's result when it ended well.
constexpr int HTTPS_OK = 0;

class HttpsTransfer {
public:
    // curl_global_init(CURL_GLOBAL_ALL) and curl_easy_init.
    HttpsTransfer();
    // curl_easy_cleanup, curl_slist_free_all (when a list was made) and
    // curl_global_cleanup.
    ~HttpsTransfer();
    HttpsTransfer(const HttpsTransfer&) = delete;
    HttpsTransfer& operator=(const HttpsTransfer&) = delete;

    // Whether an easy handle was made.
    bool valid() const { return handle_ != nullptr; }
    // Appends `line` ("Name: value") to the header list.
    void appendHeader(const char* line);
    // Sets every option of the transfer.
    void setOptions(const HttpsOptions& options);
    // Runs the transfer (synchronous). Returns libcurl's result, HTTPS_OK
    // when the transfer ended well (a transfer ended by a stop did not; one
    // asked for under a stop does not start).
    int perform();
    // The response code of the last reply, 0 when none was received.
    long responseCode() const;
    // Whether any byte of the request (its head or its body) was handed to
    // the connection: a transfer ended before that posted nothing.
    bool requestSent() const;
    // libcurl's error buffer (empty when it holds nothing).
    const char* errorBuffer() const { return errorBuffer_; }
    // The text of a transfer's result (curl_easy_strerror).
    static const char* resultText(int result);

private:
    void* handle_ = nullptr;   // CURL*
    void* headers_ = nullptr;  // curl_slist*
    char errorBuffer_[256] = {};
};

}  // namespace qzr
