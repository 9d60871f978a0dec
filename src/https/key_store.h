// The key store: the API key of each (office, provider) pair, kept between
// runs in the SQLite database `qzrappk.dat` in the working directory.
//
// Table `KeyStore` holds one row per pair: `INDX`, the pair printed with
// "%-4s-%-9s-%d" (office, provider, 8), and `AppKey`, the key encrypted
// under AES key index 1 (base64 of IV and ciphertext). `getApiKey` answers
// the HTTP dialog with the pair's key, from the store or, when none is
// stored or the stored one cannot be used, from a new key request to the
// proxy, which it stores. The HTTP dialog deletes a pair's key when the
// proxy refuses it.
//
// What must always hold: request texts (office, provider) reach SQLite only
// as bound parameters; the INDX text stays "%-4s-%-9s-%d", so stores of
// earlier runs keep working; the connection is opened once per run, on the
// first call, and a file that is not a database is made anew.
#pragma once

#include <cstddef>
#include <string>

#include "https/https_transfer.h"

namespace qzr {

constexpr const char* KEY_STORE_FILE = "qzrappk.dat";

// The INDX text of a pair: "%-4s-%-9s-%d" with office, provider and 8.
std::string keystore_index(const char* office, const char* provider);

// The API key of (office, provider): the stored one, or a new one from the
// proxy at `proxyHost` (which is then stored). Returns the key text and
// sets `*status` to 0, or sets 1001 (STS_ERROR) when no key can be had,
// returning then the proxy's reply to the key request (possibly empty) or
// none. `limits` bound the key request.
const char* getApiKey(const char* proxyHost, const char* office, const char* provider, const HttpsLimits& limits,
                      int* status);

// A trace of a key: with the debug trace, logs the text and its base64
// decoding. Returns 0 for no text (none or empty), else 1.
int checkApiKey(const char* key);

// Deletes the stored key of (office, provider); a failure (also a store
// that is not open) is logged with SQLite's message.
void keystore_deleteKey(const char* office, const char* provider);

// Closes the store and forgets it, so that the next `getApiKey` opens it
// again (tests; the driver keeps it open until the process ends).
void keystore_close();

}  // namespace qzr
