// The message codec: run-length compression of blank and zero runs, its
// inverse, and the scrambling of a request with the mixer table.
//
// A run of 3 to 223 blanks (or zeros) is coded as the marker 0x09 (or 0x0B)
// followed by the run's length plus 32. Compression and scrambling leave the
// first 37 bytes of a request alone, so the CDAnet header up to the message
// length stays readable; decompression works over the whole response.
//
// What must always hold: everything works in place on the caller's buffer
// and allocates nothing; compression never writes past its read position;
// decompression never writes outside its buffer nor over unread input; the
// mixer file is read at most once per run once a load has succeeded.
#pragma once

#include <cstddef>
#include <span>

namespace qzr {

constexpr int CDA_CODEC_KEEP = 37;        // header bytes the codec leaves alone
constexpr int CDA_RUN_MAX = 223;          // longest run one pair codes
constexpr unsigned char CDA_BLANK_MARK = 0x09;
constexpr unsigned char CDA_ZERO_MARK = 0x0B;
constexpr std::size_t CDA_MIXER_SIZE = 256;
constexpr const char* CDA_MIXER_FILE = "CDA-ZAVI.CFG";

// Compresses the `len` bytes of `msg` in place; returns the new length
// (`len` itself when it is 37 or less). Never fails.
int cda_compress(char* msg, int len);

// Expands the `respLen` bytes at the start of `buf` into the end of `buf`
// (the response buffer, respBuf). Returns STS_OK with `*start` and
// `*length` the expanded response (which ends at the end of `buf`), or
// STS_DECOMPRESS_ERROR (after a LOG_ERROR line) with an empty response when
// the expansion would not fit.
int cda_decompress(std::span<char> buf, int respLen, char** start, int* length);

// Scrambles bytes 37 to len-1 of `msg` in place with the mixer, which is
// loaded from CDA-ZAVI.CFG in `ExeDir` at the first call that finds it.
// Returns STS_OK, or STS_ENCRYPT_KEY_MISSING with `msg` unchanged when the
// mixer cannot be loaded.
int cda_encrypt(char* msg, int len);

// Forgets the loaded mixer, so the next scrambling reads the file again
// (tests only).
void cda_forgetMixer();

}  // namespace qzr
