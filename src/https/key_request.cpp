// The API key request: a one-time token, encrypted, in a GET to the proxy's
// key service; the 200 reply's body is the new key.
//
// The token's layout is what the key service checks: the digits of five
// random numbers, overwritten in places by the marker letters, the office
// and the provider. A reply counts as a key only when the proxy answered
// 200 and the transfer ended well (a reply cut at the limit, a time-out or
// a broken connection is a failure, 1013).
#include "https/key_request.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "https/gen_aes.h"

namespace qzr {

char authToken[AUTH_TOKEN_SIZE + 1];

namespace {

constexpr int ENCRYPTED_TOKEN_SIZE = 512;  // accepted: 2 to 511 characters

// Copies at most `n` characters of `src` to `dst`, NUL bytes in place of
// the missing ones.
void copyPadded(char* dst, const char* src, std::size_t n)
{
    std::size_t i = 0;
    for (; i < n && src[i] != '\0'; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = '\0';
}

}  // namespace

std::size_t proxyWriteCallback(char* data, std::size_t size, std::size_t count, void* user)
{
    return https_storeChunk(data, size, count, user);
}

void key_formatToken(const std::uint32_t random[5], const char* office, const char* provider,
                     char token[AUTH_TOKEN_SIZE + 1])
{
    unsigned a = random[0] % 9999999u;
    unsigned e = static_cast<unsigned>(static_cast<std::uint64_t>(random[1]) % 99999999999ull);
    unsigned b = random[2] % 9999u;
    unsigned c = random[3] % 9999u;
    unsigned d = random[4] % 9999u;
    std::snprintf(token, AUTH_TOKEN_SIZE + 1, "|%07u-%04u-%04u-%04u-%011u*", a, b, c, d, e);
    token[9] = TOKEN_MARKERS[0];
    token[15] = TOKEN_MARKERS[1];
    token[21] = TOKEN_MARKERS[2];
    copyPadded(token + 4, office, 4);
    copyPadded(token + 26, provider, 9);
    token[AUTH_TOKEN_SIZE] = '\0';
}

int getAppKeyFromProxy(const char* proxyHost, const char* office, const char* provider, const HttpsLimits& limits,
                       char* reply, std::size_t limit, int* replyLen)
{
    reply[0] = '\0';
    *replyLen = 0;
    std::string url =
        "https://" + std::string(proxyHost) + ":" + std::to_string(g_httpsPorts.keyPort) + "/api/AuthenticationRequests";
    log_write(LOG_INFO, "Getting App Key for office %s dentist %s from proxy", log_foreign(office).c_str(),
              log_foreign(provider).c_str());

    bool good = false;
    char encrypted[ENCRYPTED_TOKEN_SIZE] = {};
    std::uint32_t random[5];
    if (!aes_randomBytes(random, sizeof random)) {
        log_write(LOG_ERROR, "The rand_s function failed!");
    } else {
        key_formatToken(random, office, provider, authToken);
        if (debugTrace) log_write(LOG_DEBUG, "Token <%s>", log_foreign(authToken).c_str());
        int encryptedLen = ENCRYPTED_TOKEN_SIZE - 1;
        int sts = EncryptData(authToken, AUTH_TOKEN_SIZE, encrypted, &encryptedLen, AES_KEY_TOKEN);
        good = sts == STS_OK && encryptedLen >= 2 && encryptedLen <= ENCRYPTED_TOKEN_SIZE - 1;
    }
    if (!good) {
        log_write(LOG_ERROR, "Failed to generate Authorization Token");
        return STS_ERROR;
    }
    log_write(LOG_INFO, "Generated encrypted authorization token %s", encrypted);

    HttpsTransfer transfer;
    if (!transfer.valid()) {
        log_write(LOG_ERROR, "Failed to init CURL");
        return STS_ERROR;
    }
    std::string header = std::string("ApiKey:") + encrypted;
    transfer.appendHeader(header.c_str());
    HttpsSink sink{reply, limit, 0};
    HttpsOptions options;
    options.url = url.c_str();
    options.writeFunction = proxyWriteCallback;
    options.writeData = &sink;
    options.limits = limits;
    transfer.setOptions(options);

    log_write(LOG_INFO, "Connecting to %s", url.c_str());
    int result = transfer.perform();
    reply[sink.received] = '\0';
    *replyLen = static_cast<int>(sink.received);
    long code = transfer.responseCode();

    if (result != HTTPS_OK) {
        log_write(LOG_ERROR, "API key request failed: %s. Error message: %s", HttpsTransfer::resultText(result),
                  log_foreign(transfer.errorBuffer()).c_str());
    }
    if (code == 0) {
        log_write(LOG_INFO, "HTTP code=%d communication error.", 0);
        return STS_ENCRYPT_KEY_MISSING;
    }
    if (code == 200 && result == HTTPS_OK) {
        log_write(LOG_INFO, "API key len=%d", *replyLen);
        return STS_OK;
    }
    log_write(LOG_INFO, "HTTP code=%d request failed.", static_cast<int>(code));
    return STS_ENCRYPT_KEY_MISSING;
}

}  // namespace qzr
