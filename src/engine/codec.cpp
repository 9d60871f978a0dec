// Run-length compression, decompression and mixer scrambling of messages.
//
// All three work in place. Compression reads forward and writes behind its
// read position; decompression reads backward from the end of the response
// and writes backward from the end of the buffer, checking before each run
// that it cannot reach unread input. Long stretches without a run are found
// with a block scan (or memrchr) and moved with memmove, so a pass costs a
// few instructions per byte.
#include "engine/codec.h"

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace qzr {

namespace {

std::array<unsigned char, CDA_MIXER_SIZE> mixer{};
bool mixerNotLoaded = true;

constexpr int BLOCK = 32;

// The first index in [from, len) holding a blank or a zero, or len.
int nextRunChar(const unsigned char* m, int from, int len)
{
    int i = from;
    while (len - i >= BLOCK) {
        unsigned hit = 0;
        for (int j = 0; j < BLOCK; ++j) hit |= static_cast<unsigned>(m[i + j] == ' ') | (m[i + j] == '0');
        if (hit) break;
        i += BLOCK;
    }
    while (i < len && m[i] != ' ' && m[i] != '0') ++i;
    return i;
}

// The largest index below `end` holding `c`, or -1.
long lastIndexOf(const unsigned char* b, long end, unsigned char c)
{
    if (end <= 0) return -1;
    const void* p = memrchr(b, c, static_cast<std::size_t>(end));
    return p ? static_cast<const unsigned char*>(p) - b : -1;
}

// Reads the mixer file; true when a whole block of 256 bytes was read.
bool loadMixer(const std::string& path)
{
    std::FILE* fp = std::fopen(path.c_str(), "rbe");
    if (!fp) return false;
    std::array<unsigned char, CDA_MIXER_SIZE> block{};
    std::size_t n = std::fread(block.data(), 1, block.size(), fp);
    bool readError = std::ferror(fp) != 0;
    if (readError) std::fprintf(stderr, "Read error: %s\n", std::strerror(errno));
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
    int blanks = 0, zeros = 0;  // at most one of them is non-zero

    auto endRun = [&](int& n, unsigned char mark) {
        if (n >= 3) {
            m[w] = mark;
            m[w + 1] = static_cast<unsigned char>(n + 32);
            w += 2;
        } else {
            w += n;  // one or two characters, already written
        }
        n = 0;
    };

    int r = CDA_CODEC_KEEP;
    while (r < len) {
        unsigned char c = m[r];
        if (c == ' ') {
            if (zeros) endRun(zeros, CDA_ZERO_MARK);
            ++blanks;
            if (blanks <= 2) {
                m[w + blanks - 1] = c;
            } else if (blanks == CDA_RUN_MAX) {
                m[w] = CDA_BLANK_MARK;
                m[w + 1] = 255;
                w += 2;
                blanks = 0;
            }
            ++r;
        } else if (c == '0') {
            if (blanks) endRun(blanks, CDA_BLANK_MARK);
            ++zeros;
            if (zeros <= 2) {
                m[w + zeros - 1] = c;
            } else if (zeros == CDA_RUN_MAX) {
                m[w] = CDA_ZERO_MARK;
                m[w + 1] = 255;
                w += 2;
                zeros = 0;
            }
            ++r;
        } else {
            if (blanks) endRun(blanks, CDA_BLANK_MARK);
            if (zeros) endRun(zeros, CDA_ZERO_MARK);
            // Copy the whole stretch up to the next blank or zero at once.
            int end = nextRunChar(m, r + 1, len);
            int n = end - r;
            if (w != r) std::memmove(m + w, m + r, static_cast<std::size_t>(n));
            w += n;
            r = end;
        }
    }
    if (blanks) endRun(blanks, CDA_BLANK_MARK);
    if (zeros) endRun(zeros, CDA_ZERO_MARK);
    return w;
}

int cda_decompress(std::span<char> buf, int respLen, char** start, int* length)
{
    auto* b = reinterpret_cast<unsigned char*>(buf.data());
    const long size = static_cast<long>(buf.size());
    long r = std::max(respLen, 0) - 1;  // read index
    long w = size - 1;                  // write index
    bool fits = respLen <= size;
    long mBlank = -2, mZero = -2;       // cached marker positions below r (-2: unknown)

    while (fits && r > 0) {
        // The nearest marker that can pair with the byte after it.
        if (mBlank == -2 || mBlank > r - 1) mBlank = lastIndexOf(b, r, CDA_BLANK_MARK);
        if (mZero == -2 || mZero > r - 1) mZero = lastIndexOf(b, r, CDA_ZERO_MARK);
        long mark = std::max(mBlank, mZero);

        // Plain bytes between that pair and the read index move as one block.
        long lo = mark >= 0 ? mark + 2 : 1;
        if (lo <= r) {
            long n = r - lo + 1;
            std::memmove(b + w - n + 1, b + lo, static_cast<std::size_t>(n));
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
