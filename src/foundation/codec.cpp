// Run-length compression, decompression and mixer scrambling of messages.
//
// All three work in place. Compression reads forward, a whole run or a
// stretch without runs at a time, and writes behind its read position (a
// coded run is never longer than the run itself). Decompression reads
// backward from the end of the response and writes backward from the end of
// the buffer, checking before each run that it cannot reach unread input.
// Runs, stretches and markers are found a machine word (8 bytes) at a time,
// so a pass costs a few instructions per byte.
#include "foundation/codec.h"

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "os/os_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>

namespace qzr {

namespace {

std::array<unsigned char, CDA_MIXER_SIZE> mixer{};
bool mixerNotLoaded = true;

// Eight bytes at a time: the scans below look at a machine word per step.
// A word's bytes are numbered from its lowest address.
using Word = std::uint64_t;
constexpr Word ONES = 0x0101010101010101ULL;
constexpr Word LOW7 = 0x7F7F7F7F7F7F7F7FULL;

Word loadWord(const unsigned char* p)
{
    Word v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// The high bit of each byte of `y` that is not zero (exact, no carries).
Word nonZeroBytes(Word y)
{
    return (((y & LOW7) + LOW7) | y) & ~LOW7;
}

// Blank (0x20) and zero (0x30) differ only in 0x10: b | 0x10 is 0x30 for
// exactly those two. The markers 0x09 and 0x0B differ only in 0x02 likewise.
constexpr unsigned char RUN_BIT = 0x10, RUN_KEY = 0x30;
constexpr unsigned char MARK_BIT = 0x02, MARK_KEY = 0x0B;

void storeWord(unsigned char* p, Word v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, sizeof v);
}

// The high bit of each byte of `x` that is a blank or a zero.
Word runChars(Word x)
{
    return ~nonZeroBytes((x | (ONES * RUN_BIT)) ^ (ONES * RUN_KEY)) & ~LOW7;
}

// The first index in [from, len) not holding `c`, or len.
int runEnd(const unsigned char* m, int from, int len, unsigned char c)
{
    int i = from;
    for (; len - i >= 8; i += 8) {
        Word diff = nonZeroBytes(loadWord(m + i) ^ (ONES * c));
        if (diff) return i + __builtin_ctzll(diff) / 8;
    }
    while (i < len && m[i] == c) ++i;
    return i;
}

// The largest index below `end` holding a marker (0x09 or 0x0B), or -1.
long lastMarker(const unsigned char* b, long end)
{
    long i = end;
    for (; i >= 8; i -= 8) {
        Word hits = ~nonZeroBytes((loadWord(b + i - 8) | (ONES * MARK_BIT)) ^ (ONES * MARK_KEY)) & ~LOW7;
        if (hits) return i - 8 + (63 - __builtin_clzll(hits)) / 8;
    }
    while (--i >= 0) {
        if ((b[i] | MARK_BIT) == MARK_KEY) return i;
    }
    return -1;
}

// Copies `n` bytes from `src` to `dst` where the two may overlap.
void moveBytes(unsigned char* dst, const unsigned char* src, std::size_t n)
{
    if (n <= 16 && (dst + n <= src || src + n <= dst)) {
        for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
    } else {
        std::memmove(dst, src, n);
    }
}

// Reports a failed read of the mixer on standard error, or in the log while
// the status window holds the terminal.
void reportReadError(int err)
{
    if (hMainWnd && os_isTerminal(OS_STDOUT)) {
        log_write(LOG_INFO, "Read error: %s", std::strerror(err));
    } else {
        std::fprintf(stderr, "Read error: %s\n", std::strerror(err));
    }
}

// Reads the mixer file; true when a whole block of 256 bytes was read.
bool loadMixer(const std::string& path)
{
    std::FILE* fp = nullptr;
    if (os_fileOpenStream(path.c_str(), OS_OPEN_READ | OS_OPEN_FOLLOW, 0, "rb", fp) != 0) return false;
    std::array<unsigned char, CDA_MIXER_SIZE> block{};
    std::size_t n = std::fread(block.data(), 1, block.size(), fp);
    bool readError = std::ferror(fp) != 0;
    if (readError) reportReadError(errno);
    std::fclose(fp);
    if (readError || n != block.size()) return false;
    mixer = block;
    return true;
}

}  // namespace

int cda_compress(char* msg, int len)
{
    if (len <= CDA_CODEC_KEEP) return len;
    auto* m = reinterpret_cast<unsigned char*>(msg);
    int w = CDA_CODEC_KEEP;
    int r = CDA_CODEC_KEEP;
    while (r < len) {
        // Plain bytes, a word at a time, up to the next blank or zero. A
        // whole word is stored only where it cannot reach unread input.
        while (len - r >= 8) {
            Word x = loadWord(m + r);
            Word hits = runChars(x);
            int k = hits ? __builtin_ctzll(hits) / 8 : 8;
            int gap = r - w;
            if (gap >= 8) {
                storeWord(m + w, x);
            } else if (gap > 0) {
                for (int i = 0; i < k; ++i) m[w + i] = m[r + i];
            }
            w += k;
            r += k;
            if (k < 8) break;
        }
        if (len - r < 8) {
            while (r < len && (m[r] | RUN_BIT) != RUN_KEY) m[w++] = m[r++];
            if (r == len) break;
        }

        // A run of the same character; a blank run followed by a zero run
        // (or the reverse) is two runs.
        unsigned char c = m[r];
        int first = r;
        r = runEnd(m, r + 1, len, c);
        int n = r - first;
        const unsigned char mark = c == ' ' ? CDA_BLANK_MARK : CDA_ZERO_MARK;
        // Every 223 characters make a full pair and the run starts anew.
        for (; n >= CDA_RUN_MAX; n -= CDA_RUN_MAX) {
            m[w] = mark;
            m[w + 1] = 255;
            w += 2;
        }
        if (n >= 3) {
            m[w] = mark;
            m[w + 1] = static_cast<unsigned char>(n + 32);
            w += 2;
        } else {
            for (; n > 0; --n) m[w++] = c;  // one or two stay as they are
        }
    }
    return w;
}

int cda_decompress(std::span<char> buf, int respLen, char** start, int* length)
{
    auto* b = reinterpret_cast<unsigned char*>(buf.data());
    const long size = static_cast<long>(buf.size());
    long r = std::max(respLen, 0) - 1;  // read index
    long w = size - 1;                  // write index
    bool fits = respLen <= size;

    while (fits && r > 0) {
        // The nearest marker that can pair with the byte after it.
        long mark = lastMarker(b, r);

        // Plain bytes between that pair and the read index move as one block.
        long lo = mark >= 0 ? mark + 2 : 1;
        if (lo <= r) {
            long n = r - lo + 1;
            moveBytes(b + w - n + 1, b + lo, static_cast<std::size_t>(n));
            w -= n;
            r = lo - 1;
        }
        if (r <= 0) break;

        // b[r - 1] is a marker and b[r] its count.
        long count = (b[r] - 32) & 0xFF;
        w -= count;
        if (w + 1 < r) {
            fits = false;
            break;
        }
        std::memset(b + w + 1, b[r - 1] == CDA_BLANK_MARK ? ' ' : '0', static_cast<std::size_t>(count));
        r -= 2;
    }
    if (!fits) {
        log_write(LOG_ERROR, "Not enough room to decompress response\n");
        *start = buf.data() + size;
        *length = 0;
        return STS_DECOMPRESS_ERROR;
    }
    if (r == 0) b[w--] = b[0];  // a first byte not taken as a marker
    *start = buf.data() + w + 1;
    *length = static_cast<int>(size - (w + 1));
    return STS_OK;
}

int cda_encrypt(char* msg, int len)
{
    if (mixerNotLoaded) {
        std::string path = ExeDir.empty() ? std::string(CDA_MIXER_FILE) : ExeDir + "/" + CDA_MIXER_FILE;
        if (!loadMixer(path)) {
            log_write(LOG_ERROR,
                      "Error reading %s encryption mixer file, encrypted messages will not be processed "
                      "correctly.",
                      path.c_str());
            return STS_ENCRYPT_KEY_MISSING;
        }
        mixerNotLoaded = false;
        if (g_detailedMessages) {
            log_write(LOG_INFO, "initialize encrypt mixer (%s):<", path.c_str());
            for (int i : {0, 1, 2, 3, 253, 254, 255}) log_append("%03d ", static_cast<signed char>(mixer[i]));
        }
    }
    if (len <= CDA_CODEC_KEEP) return STS_OK;

    auto* m = reinterpret_cast<unsigned char*>(msg);
    int index = 0, step = 5, k = 0;
    int pos = CDA_CODEC_KEEP;
    while (pos < len) {
        if (index + step > 250) {
            // Reset: the first 37 resets take the header bytes 0 to 36, every
            // later one the (already scrambled) byte at position 37.
            index = m[k];
            step = step - 1 == 0 ? 5 : step - 1;
            if (k < CDA_CODEC_KEEP) ++k;
            m[pos++] ^= mixer[static_cast<std::size_t>(index)];
            continue;
        }
        // Positions up to the next reset: the index climbs by `step`.
        int n = std::min((250 - index) / step, len - pos);
        for (int j = 1; j <= n; ++j) m[pos + j - 1] ^= mixer[static_cast<std::size_t>(index + step * j)];
        index += step * n;
        pos += n;
    }
    return STS_OK;
}

void cda_forgetMixer()
{
    mixerNotLoaded = true;
    mixer.fill(0);
}

}  // namespace qzr
