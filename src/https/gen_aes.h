// AES encryption of the HTTPS channel's two secrets: the one-time
// authorisation token of a key request and the API keys in the key store.
//
// AES-128 in CBC mode with PKCS#7 padding and a fresh random 16-byte IV per
// encryption; the encrypted text is standard base64 (with '=' padding, on
// one line) of the IV followed by the ciphertext. The AES keys are derived
// with PBKDF2-HMAC-SHA256 (fixed salt, 20000 iterations, 16 bytes) from key
// material kept in the program, once per process and key index.
//
// What must always hold: the ciphertext never exceeds 1040 bytes (a plain
// text of at most 1039 bytes); nothing is written past the capacity a caller
// gives; a decoded value shorter than the IV and one block is refused as a
// decryption failure. Only the worker thread calls these functions.
#pragma once

#include <cstddef>

namespace qzr {

// Key indexes.
enum : int {
    AES_KEY_TOKEN = 0,  // the authorisation token of a key request
    AES_KEY_STORE = 1,  // the API keys in the key store
};

constexpr int AES_BLOCK_SIZE = 16;
constexpr int AES_IV_SIZE = 16;
constexpr int AES_CIPHER_ROOM = 1040;  // ciphertext room: a plain text of at most 1039 bytes

// Failure statuses of the cipher steps, as `DecryptData` returns them and
// the "Error: 0X%08X (%d)" log lines show them.
enum : int {
    AES_STATUS_FAILED = -1,            // the cipher refused the data (wrong key, bad padding)
    AES_STATUS_BUFFER_TOO_SMALL = -2,  // the result does not fit the room given
    AES_STATUS_INVALID_DATA = -3,      // not the IV and whole blocks, at least one
    AES_STATUS_NO_KEY = -4,            // no key object (invalid index, failed derivation)
    AES_STATUS_NO_RANDOM = -5,         // the random source failed
};

// Encrypts `length` bytes of `data` under the key of `keyIndex` (0 or 1)
// into `text` as base64 of IV and ciphertext, with a terminating NUL.
// `*textLength` is on entry the capacity of `text` including the NUL, on
// return the number of characters written without it. Returns 0, or
// STS_AES_ERROR (9999) when no IV can be drawn or the encryption fails
// (then `*textLength` is left as it was). A text that does not fit the
// capacity gives an empty text and 0.
[[nodiscard]] int EncryptData(const void* data, int length, char* text, int* textLength, int keyIndex);

// Decodes and decrypts `length` characters of `text`, always under key
// index 1, into `plain`. `*plainLength` is on entry the capacity of `plain`,
// on return the number of plain bytes. Returns 0, or a negative AES_STATUS_*
// on a failure (a decoded value shorter than 32 bytes or not of whole
// blocks, a wrong key or padding, no room). A text that is not base64 gives
// an empty plain text and 0.
[[nodiscard]] int DecryptData(const char* text, int length, unsigned char* plain, int* plainLength);

// Decodes standard base64 (line ends and blanks between the characters are
// skipped) into `out`. Returns the number of bytes, or -1 when the text is
// empty, not base64, or decodes to more than `capacity` bytes.
int aes_base64Decode(const char* text, std::size_t length, unsigned char* out, std::size_t capacity);

// Fills `buf` with `len` bytes of the cryptographic random source. Returns
// false when the source failed.
[[nodiscard]] bool aes_randomBytes(void* buf, std::size_t len);

// Faults the tests can inject: the random source fails, or the key
// derivation fails (while the fault is set).
enum : int {
    AES_FAULT_NONE = 0,
    AES_FAULT_RANDOM = 1,
    AES_FAULT_DERIVE = 2,
};
extern int g_aesFault;

// Forgets the derived keys, so that the next use derives them again (tests).
void aes_forgetKeys();

}  // namespace qzr
