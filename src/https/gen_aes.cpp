// AES-128-CBC of tokens and stored API keys, PBKDF2 key derivation, base64
// and random bytes, through OpenSSL's libcrypto.
//
// The only file that includes OpenSSL's headers. The log lines keep the
// names and line numbers of the cipher steps as the support staff know
// them ("gen_AES.c line:%d %s Error: 0X%08X (%d)"), whatever library does
// the work. Every failure clears libcrypto's error queue, so that no stale
// error reaches the TLS layer of a later transfer.
#include "https/gen_aes.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"

namespace qzr {

int g_aesFault = AES_FAULT_NONE;

namespace {

constexpr int KEY_SIZE = 16;

// The PBKDF2 passwords: 16 characters each, used as 16 bytes without the
// terminator.
constexpr char KEY_MATERIAL[2][KEY_SIZE + 1] = {
    "4f0a93c7d2e81b65",  // AES_KEY_TOKEN
    "Ce9aDb47f1A0e3B8",  // AES_KEY_STORE
};
constexpr unsigned char PBKDF2_SALT[16] = {0x5c, 0x3a, 0x91, 0xe7, 0x02, 0xb8, 0x4d, 0x6f,
                                           0xa0, 0x13, 0xc9, 0x7e, 0x28, 0xd4, 0xb1, 0x66};
constexpr unsigned PBKDF2_ITERATIONS = 20000;

// An AES key object: the derived key of one index.
struct AesKey {
    bool ready = false;
    unsigned char key[KEY_SIZE] = {};
};

// The algorithm providers, fetched on first use and kept for the process.
EVP_CIPHER* aesProvider = nullptr;
EVP_KDF* pbkdf2Provider = nullptr;
AesKey keyCache[2];

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

// Logs the failure of a cipher step in the form the support staff know.
void logStepError(int line, const char* function, int status)
{
    log_write(LOG_ERROR, "gen_AES.c line:%d %s Error: 0X%08X (%d)", line, function,
              static_cast<unsigned>(status), status);
}

// Derives the AES key of `material` (16 bytes) into `out`. Returns true, or
// false after logging the failed step; `out` is then left unready.
bool deriveKey(const char* material, AesKey* out)
{
    if (!aesProvider) {
        aesProvider = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
        if (!aesProvider) {
            ERR_clear_error();
            logStepError(90, "BCryptOpenAlgorithmProvider", AES_STATUS_FAILED);
            return false;
        }
    }
    if (!pbkdf2Provider) {
        pbkdf2Provider = EVP_KDF_fetch(nullptr, "PBKDF2", nullptr);
        if (!pbkdf2Provider) {
            ERR_clear_error();
            logStepError(146, "BCryptOpenAlgorithmProvider", AES_STATUS_FAILED);
            return false;
        }
    }
    std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> kdf(EVP_KDF_CTX_new(pbkdf2Provider));
    if (!kdf) {
        ERR_clear_error();
        logStepError(161, "BCryptGenerateSymmetricKey", AES_STATUS_FAILED);
        return false;
    }

    char digest[] = "SHA256";
    unsigned iterations = PBKDF2_ITERATIONS;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(material), KEY_SIZE),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(PBKDF2_SALT),
                                          sizeof PBKDF2_SALT),
        OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iterations),
        OSSL_PARAM_construct_end(),
    };
    unsigned char derived[KEY_SIZE];
    if (g_aesFault == AES_FAULT_DERIVE || EVP_KDF_derive(kdf.get(), derived, sizeof derived, params) != 1) {
        ERR_clear_error();
        logStepError(174, "BCryptKeyDerivation", AES_STATUS_FAILED);
        return false;
    }
    // The key object: AES-128 takes exactly the 16 derived bytes, in CBC mode.
    if (EVP_CIPHER_get_key_length(aesProvider) != KEY_SIZE) {
        OPENSSL_cleanse(derived, sizeof derived);
        logStepError(191, "BCryptGenerateSymmetricKey", AES_STATUS_FAILED);
        return false;
    }
    if (EVP_CIPHER_get_mode(aesProvider) != EVP_CIPH_CBC_MODE) {
        OPENSSL_cleanse(derived, sizeof derived);
        logStepError(205, "BCryptSetProperty", AES_STATUS_FAILED);
        return false;
    }
    int blockLength = EVP_CIPHER_get_block_size(aesProvider);
    if (blockLength != AES_BLOCK_SIZE) {
        OPENSSL_cleanse(derived, sizeof derived);
        log_write(LOG_ERROR, "Block size is %d must be %d !", blockLength, AES_BLOCK_SIZE);
        return false;
    }
    std::memcpy(out->key, derived, sizeof derived);
    OPENSSL_cleanse(derived, sizeof derived);
    out->ready = true;
    return true;
}

// The key object of `keyIndex`, derived on first use; null for an invalid
// index or a failed derivation (which is tried again at the next use).
const AesKey* getKey(int keyIndex)
{
    if (keyIndex != AES_KEY_TOKEN && keyIndex != AES_KEY_STORE) {
        log_write(LOG_ERROR, "gen_AES:getKey() keyIndex %d is invalid", keyIndex);
        return nullptr;
    }
    AesKey& k = keyCache[keyIndex];
    if (!k.ready && !deriveKey(KEY_MATERIAL[keyIndex], &k)) return nullptr;
    return &k;
}

// Runs AES-128-CBC with PKCS#7 padding over `in` into `out` (room `room`).
// Returns 0 with the output length in `*outLen`, or an AES_STATUS_*.
int runCipher(const AesKey* key, bool encrypt, const unsigned char* iv, const unsigned char* in, int inLen,
              unsigned char* out, int room, int* outLen)
{
    *outLen = 0;
    if (!key) return AES_STATUS_NO_KEY;
    if (inLen < 0) return AES_STATUS_INVALID_DATA;
    int most = encrypt ? (inLen / AES_BLOCK_SIZE + 1) * AES_BLOCK_SIZE : inLen;
    if (most > room) return AES_STATUS_BUFFER_TOO_SMALL;
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    int tail = 0;
    bool ok = ctx && EVP_CipherInit_ex2(ctx.get(), aesProvider, key->key, iv, encrypt ? 1 : 0, nullptr) == 1 &&
              EVP_CipherUpdate(ctx.get(), out, &n, in, inLen) == 1 &&
              EVP_CipherFinal_ex(ctx.get(), out + n, &tail) == 1;
    if (!ok) {
        ERR_clear_error();
        return AES_STATUS_FAILED;
    }
    *outLen = n + tail;
    return 0;
}

bool isBase64Char(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

void aes_forgetKeys()
{
    for (AesKey& k : keyCache) {
        OPENSSL_cleanse(k.key, sizeof k.key);
        k.ready = false;
    }
}

bool aes_randomBytes(void* buf, std::size_t len)
{
    if (g_aesFault == AES_FAULT_RANDOM) return false;
    if (RAND_bytes(static_cast<unsigned char*>(buf), static_cast<int>(len)) != 1) {
        ERR_clear_error();
        return false;
    }
    return true;
}

int aes_base64Decode(const char* text, std::size_t length, unsigned char* out, std::size_t capacity)
{
    std::string clean;
    clean.reserve(length);
    std::size_t padding = 0;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
        } else if (!isBase64Char(c) || padding > 0) {
            return -1;  // a stray character, or data after the padding
        }
        clean.push_back(static_cast<char>(c));
    }
    if (clean.empty() || clean.size() % 4 != 0 || padding > 2) return -1;
    std::vector<unsigned char> decoded(clean.size() / 4 * 3 + 1);
    int n = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                            static_cast<int>(clean.size()));
    if (n < 0) {
        ERR_clear_error();
        return -1;
    }
    std::size_t bytes = static_cast<std::size_t>(n) - padding;
    if (bytes > capacity) {
        OPENSSL_cleanse(decoded.data(), decoded.size());
        return -1;
    }
    std::memcpy(out, decoded.data(), bytes);
    OPENSSL_cleanse(decoded.data(), decoded.size());
    return static_cast<int>(bytes);
}

int EncryptData(const void* data, int length, char* text, int* textLength, int keyIndex)
{
    const AesKey* key = getKey(keyIndex);

    unsigned char iv[AES_IV_SIZE];
    if (!aes_randomBytes(iv, sizeof iv)) {
        logStepError(294, "BCryptGenRandom", AES_STATUS_NO_RANDOM);
        logStepError(361, "EncryptData", AES_STATUS_NO_RANDOM);
        return STS_AES_ERROR;
    }

    // IV, then the ciphertext behind it; the cipher works on a copy of the IV.
    unsigned char work[AES_IV_SIZE + AES_CIPHER_ROOM];
    std::memcpy(work, iv, sizeof iv);
    int cipherLen = 0;
    int status = runCipher(key, true, iv, static_cast<const unsigned char*>(data), length, work + AES_IV_SIZE,
                           AES_CIPHER_ROOM, &cipherLen);
    if (status != 0) {
        logStepError(328, "BCryptEncrypt", status);
        logStepError(361, "EncryptData", status);
        return STS_AES_ERROR;
    }

    int total = AES_IV_SIZE + cipherLen;
    int needed = 4 * ((total + 2) / 3);  // base64 characters, without the NUL
    int capacity = *textLength;
    int written = 0;
    if (needed < capacity) {
        written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), work, total);
    }
    if (capacity > 0) text[written] = '\0';
    if (debugTrace) log_write(LOG_DEBUG, "IV + Encrypted Message: %s", capacity > 0 ? text : "");
    *textLength = written;
    return STS_OK;
}

int DecryptData(const char* text, int length, unsigned char* plain, int* plainLength)
{
    const AesKey* key = getKey(AES_KEY_STORE);

    unsigned char work[AES_CIPHER_ROOM];
    int decoded = length > 0 ? aes_base64Decode(text, static_cast<std::size_t>(length), work, sizeof work) : -1;
    if (decoded < 0) {
        *plainLength = 0;
        return STS_OK;
    }

    int status = 0;
    int plainLen = 0;
    unsigned char clear[AES_CIPHER_ROOM];
    int cipherLen = decoded - AES_IV_SIZE;
    if (cipherLen < AES_BLOCK_SIZE || cipherLen % AES_BLOCK_SIZE != 0) {
        status = AES_STATUS_INVALID_DATA;
    } else {
        status = runCipher(key, false, work, work + AES_IV_SIZE, cipherLen, clear, sizeof clear, &plainLen);
    }
    if (status == 0 && plainLen > *plainLength) {
        status = AES_STATUS_BUFFER_TOO_SMALL;  // the length needed is reported
    } else if (status != 0) {
        plainLen = 0;
    }
    if (status != 0) {
        OPENSSL_cleanse(clear, sizeof clear);
        logStepError(435, "BCryptDecrypt", status);
        *plainLength = plainLen;
        logStepError(468, "DecryptData", status);
        return status;
    }
    std::memcpy(plain, clear, static_cast<std::size_t>(plainLen));
    OPENSSL_cleanse(clear, sizeof clear);
    *plainLength = plainLen;
    return STS_OK;
}

}  // namespace qzr
