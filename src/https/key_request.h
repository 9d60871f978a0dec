// The API key request: asks the proxy's key service for a new API key of an
// (office, provider) pair.
//
// A one-time authorisation token of 36 bytes is made from five random
// numbers, the office and the provider, encrypted under AES key index 0 and
// sent as the header "ApiKey:<token>" of an HTTPS GET to the proxy's key
// port. A 200 reply's body is the key; any other reply is the proxy's
// explanation.
//
// What must always hold: the token is exactly 36 bytes with '|' at 0, '*'
// at 35, the marker letters at 9, 15 and 21 and '-' at 8, 13, 18 and 23;
// the reply stored is at most the caller's limit less one byte and ends in
// a NUL; a transfer that did not end well never counts as a key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "https/https_transfer.h"

namespace qzr {

constexpr int AUTH_TOKEN_SIZE = 36;
// The marker letters of the token, at positions 9, 15 and 21.
constexpr char TOKEN_MARKERS[3] = {'Q', 'Z', 'R'};

// The token of the last key request (36 bytes, NUL bytes included, and a
// terminating NUL).
extern char authToken[AUTH_TOKEN_SIZE + 1];

// Forms a token into `token` (36 bytes and a NUL) from five random numbers,
// the office (its first 4 characters at 4-7) and the provider (its first 9
// at 26-34), NUL bytes in place of missing characters.
void key_formatToken(const std::uint32_t random[5], const char* office, const char* provider,
                     char token[AUTH_TOKEN_SIZE + 1]);

// Asks the proxy at `proxyHost` for the key of (office, provider). The reply
// goes into `reply` (at most `limit` - 1 bytes and a NUL), its length into
// `*replyLen`. Returns 0 (STS_OK) when the proxy answered 200 and the reply
// arrived whole; 1013 (STS_ENCRYPT_KEY_MISSING) for any other reply, no
// reply or a failed transfer; 1001 (STS_ERROR) when no token or no transfer
// handle could be made (nothing is sent).
int getAppKeyFromProxy(const char* proxyHost, const char* office, const char* provider, const HttpsLimits& limits,
                       char* reply, std::size_t limit, int* replyLen);

// The write callback of the key request (see https_storeChunk).
std::size_t proxyWriteCallback(char* data, std::size_t size, std::size_t count, void* user);

}  // namespace qzr
