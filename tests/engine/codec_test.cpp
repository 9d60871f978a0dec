// Message codec: the run coding's examples, decompression's room check, the
// mixer walk with its resets, and round trips over random messages.
#include "foundation/codec.h"

#include "engine_test_util.h"
#include "foundation/status.h"
#include "support/test_window.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <random>

namespace qzr {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

const std::string header(37, 'H');

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}

std::string compress(std::string msg)
{
    int n = cda_compress(msg.data(), static_cast<int>(msg.size()));
    EXPECT_LE(n, static_cast<int>(msg.size()));
    msg.resize(static_cast<std::size_t>(n));
    return msg;
}

// Puts `resp` at the start of an 18000-byte buffer and expands it.
int decompress(const std::string& resp, std::string* out, std::size_t bufSize = 18000)
{
    std::vector<char> buf(bufSize, '\x7f');
    std::copy(resp.begin(), resp.end(), buf.begin());
    char* start = nullptr;
    int length = -1;
    int sts = cda_decompress(std::span<char>(buf), static_cast<int>(resp.size()), &start, &length);
    EXPECT_GE(length, 0);
    EXPECT_EQ(start + length, buf.data() + buf.size());
    *out = std::string(start, static_cast<std::size_t>(length));
    return sts;
}

class Codec : public test::WorkDirTest {
protected:
    void TearDown() override
    {
        cda_forgetMixer();
        test::WorkDirTest::TearDown();
    }
};

TEST_F(Codec, CompressionExamples)
{
    const struct {
        const char* what;
        std::string tail;
        std::string coded;
    } cases[] = {
        {"five blanks and X", "     X", bytes({0x09, 0x25, 'X'})},
        {"one and two blanks stay", "A B  C", "A B  C"},
        {"one and two zeros stay", "A0B00C", "A0B00C"},
        {"three zeros", "000", bytes({0x0B, 0x23})},
        {"223 zeros", std::string(223, '0'), bytes({0x0B, 0xFF})},
        {"224 zeros", std::string(224, '0'), bytes({0x0B, 0xFF, '0'})},
        {"226 blanks", std::string(226, ' '), bytes({0x09, 0xFF, 0x09, 0x23})},
        {"446 blanks", std::string(446, ' '), bytes({0x09, 0xFF, 0x09, 0xFF})},
        {"225 zeros", std::string(225, '0'), bytes({0x0B, 0xFF, '0', '0'})},
        {"blanks then zeros", "    00000X", bytes({0x09, 0x24, 0x0B, 0x25, 'X'})},
        {"zeros then blanks at the end", "Y000   ", bytes({'Y', 0x0B, 0x23, 0x09, 0x23})},
        {"two blanks then two zeros", "  00", "  00"},
        {"runs between letters", "a   b000c  d", bytes({'a', 0x09, 0x23, 'b', 0x0B, 0x23, 'c', ' ', ' ', 'd'})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(compress(header + c.tail), header + c.coded);
    }
}

TEST_F(Codec, HeaderAndShortMessagesAreLeftAlone)
{
    std::string msg(37, ' ');
    EXPECT_EQ(cda_compress(msg.data(), 37), 37);
    EXPECT_EQ(msg, std::string(37, ' '));
    std::string withRun = std::string(20, '0') + std::string(17, ' ') + "   ";
    EXPECT_EQ(compress(withRun), std::string(20, '0') + std::string(17, ' ') + bytes({0x09, 0x23}));
    EXPECT_EQ(cda_compress(nullptr, 0), 0);
}

TEST_F(Codec, DecompressionRestoresTheExamples)
{
    std::string out;
    ASSERT_EQ(decompress(header + bytes({0x09, 0x25, 'X'}), &out), STS_OK);
    EXPECT_EQ(out, header + "     X");
    ASSERT_EQ(decompress(bytes({0x0B, 0xFF, 0x09, 0x23, 'Z'}), &out), STS_OK);
    EXPECT_EQ(out, std::string(223, '0') + "   Z");
    // A marker as the very first byte pairs with the next one.
    ASSERT_EQ(decompress(bytes({0x09, 0x23}), &out), STS_OK);
    EXPECT_EQ(out, "   ");
    // A lone marker at the end (no count after it) is copied as it stands.
    ASSERT_EQ(decompress(bytes({'A', 0x09}), &out), STS_OK);
    EXPECT_EQ(out, bytes({'A', 0x09}));
    ASSERT_EQ(decompress(bytes({0x0B}), &out), STS_OK);
    EXPECT_EQ(out, bytes({0x0B}));
    ASSERT_EQ(decompress("", &out), STS_OK);
    EXPECT_EQ(out, "");
    ASSERT_EQ(decompress("Q", &out), STS_OK);
    EXPECT_EQ(out, "Q");
}

TEST_F(Codec, FullResponseWithoutRunsIsUnchanged)
{
    std::string resp(18000, 'r');
    for (std::size_t i = 0; i < resp.size(); ++i) resp[i] = static_cast<char>('A' + i % 26);
    std::string out;
    ASSERT_EQ(decompress(resp, &out), STS_OK);
    EXPECT_EQ(out, resp);
}

TEST_F(Codec, ExpansionThatDoesNotFitFailsForBlanksAndZeros)
{
    for (int marker : {0x09, 0x0B}) {
        SCOPED_TRACE(marker);
        char fill = marker == 0x09 ? ' ' : '0';
        // 17899 letters and one pair of 100 fit: the run may cover the pair
        // itself, but not the byte before its marker.
        std::string letters(17899, 'L');
        std::string out;
        ASSERT_EQ(decompress(letters + bytes({marker, 100 + 32}), &out), STS_OK);
        EXPECT_EQ(out, letters + std::string(100, fill));
        // One letter more does not.
        log_resetScreen();
        ASSERT_EQ(decompress(letters + "L" + bytes({marker, 100 + 32}), &out), STS_DECOMPRESS_ERROR);
        EXPECT_EQ(out, "");
        EXPECT_NE(std::string(lastErrorLine).find("Not enough room to decompress response"), std::string::npos);
        // A run in the middle whose expansion would overwrite what is still unread.
        ASSERT_EQ(decompress(std::string(9000, 'a') + bytes({marker, 255}) + std::string(8998, 'b'), &out),
                  STS_DECOMPRESS_ERROR);
    }
    // A count byte below 32 counts modulo 256: 224 and more.
    std::string out;
    ASSERT_EQ(decompress(bytes({'A', 0x09, 0x00}), &out), STS_OK);
    EXPECT_EQ(out, "A" + std::string(224, ' '));
}

// The compression as the run coding defines it, one byte at a time.
std::string referenceCompress(std::string m)
{
    if (m.size() <= 37) return m;
    std::size_t w = 37;
    int blanks = 0, zeros = 0;
    auto end = [&](int& n, char mark) {
        if (n >= 3) {
            m[w] = mark;
            m[w + 1] = static_cast<char>(n + 32);
            w += 2;
        } else {
            w += static_cast<std::size_t>(n);
        }
        n = 0;
    };
    for (std::size_t r = 37; r < m.size(); ++r) {
        char c = m[r];
        if (c == ' ' || c == '0') {
            int& mine = c == ' ' ? blanks : zeros;
            int& other = c == ' ' ? zeros : blanks;
            if (other) end(other, c == ' ' ? 0x0B : 0x09);
            ++mine;
            if (mine <= 2) {
                m[w + static_cast<std::size_t>(mine) - 1] = c;
            } else if (mine == 223) {
                m[w] = c == ' ' ? 0x09 : 0x0B;
                m[w + 1] = static_cast<char>(255);
                w += 2;
                mine = 0;
            }
        } else {
            if (blanks) end(blanks, 0x09);
            if (zeros) end(zeros, 0x0B);
            m[w++] = c;
        }
    }
    if (blanks) end(blanks, 0x09);
    if (zeros) end(zeros, 0x0B);
    m.resize(w);
    return m;
}

// Printable messages with runs of blanks and zeros of every length.
std::string randomMessage(std::mt19937& rng, std::size_t length)
{
    std::string m;
    std::uniform_int_distribution<int> kind(0, 9), runLen(1, 500), printable(33, 126);
    while (m.size() < length) {
        int k = kind(rng);
        if (k == 0) {
            m.append(static_cast<std::size_t>(runLen(rng)), ' ');
        } else if (k == 1) {
            m.append(static_cast<std::size_t>(runLen(rng)), '0');
        } else if (k == 2) {
            m.push_back(' ');
        } else if (k == 3) {
            m.push_back('0');
        } else {
            m.push_back(static_cast<char>(printable(rng)));
        }
    }
    m.resize(length);
    return m;
}

TEST_F(Codec, RandomMessagesSurviveCompressionAndDecompression)
{
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<std::size_t> len(0, 6000);
    for (int i = 0; i < 400; ++i) {
        std::string msg = randomMessage(rng, len(rng));
        std::string packed = compress(msg);
        ASSERT_EQ(packed, referenceCompress(msg)) << "message " << i;
        std::string out;
        ASSERT_EQ(decompress(packed, &out), STS_OK) << "message " << i;
        ASSERT_EQ(out, msg) << "message " << i;
    }
}

// The expansion as the run coding defines it, one byte at a time from the
// end. Returns the status; `out` is the expanded response.
int referenceDecompress(const std::string& resp, std::size_t size, std::string* out)
{
    std::vector<unsigned char> b(size, 0x7f);
    std::copy(resp.begin(), resp.end(), b.begin());
    long r = static_cast<long>(resp.size()) - 1;
    long w = static_cast<long>(size) - 1;
    while (r > 0) {
        if (b[static_cast<std::size_t>(r - 1)] == 0x09 || b[static_cast<std::size_t>(r - 1)] == 0x0B) {
            long count = (b[static_cast<std::size_t>(r)] - 32) & 0xFF;
            w -= count;
            if (w + 1 < r) {
                out->clear();
                return STS_DECOMPRESS_ERROR;
            }
            char fill = b[static_cast<std::size_t>(r - 1)] == 0x09 ? ' ' : '0';
            for (long i = 1; i <= count; ++i) b[static_cast<std::size_t>(w + i)] = static_cast<unsigned char>(fill);
            r -= 2;
        } else {
            b[static_cast<std::size_t>(w--)] = b[static_cast<std::size_t>(r--)];
        }
    }
    if (r == 0) b[static_cast<std::size_t>(w--)] = b[0];
    *out = std::string(reinterpret_cast<const char*>(b.data()) + w + 1, size - static_cast<std::size_t>(w + 1));
    return STS_OK;
}

TEST_F(Codec, AnyResponseExpandsAsTheRunCodingDefines)
{
    // Responses from the host may hold markers anywhere: one after another,
    // as the first or last byte, as a count, with counts below 32. Small
    // buffers make the room check decide often.
    std::mt19937 rng(31337);
    std::uniform_int_distribution<int> kind(0, 11), any(0, 255), len(0, 120);
    for (int i = 0; i < 3000; ++i) {
        std::string resp;
        std::size_t n = static_cast<std::size_t>(len(rng));
        while (resp.size() < n) {
            int k = kind(rng);
            resp.push_back(static_cast<char>(k == 0 ? 0x09 : k == 1 ? 0x0B : any(rng)));
            if (k <= 1 && any(rng) < 128) resp.push_back(static_cast<char>(32 + any(rng) % 16));  // a short run
        }
        resp.resize(n);
        std::size_t size = resp.size() + static_cast<std::size_t>(any(rng)) * static_cast<std::size_t>(i % 8);
        if (size == 0) continue;
        std::string expected, out;
        int want = referenceDecompress(resp, size, &expected);
        ASSERT_EQ(decompress(resp, &out, size), want) << "response " << i;
        ASSERT_EQ(out, expected) << "response " << i;
    }
}

TEST_F(Codec, LargeMessageRoundTripInABufferOfItsSize)
{
    std::mt19937 rng(7);
    std::string msg = randomMessage(rng, 2'000'000);
    std::string packed = compress(msg);
    ASSERT_LT(packed.size(), msg.size());
    std::string out;
    // The room check keeps one byte spare before the first run.
    ASSERT_EQ(decompress(packed, &out, msg.size() + 1), STS_OK);
    EXPECT_EQ(out, msg);
}

// The scrambling as the mixer walk defines it, one position at a time.
std::string referenceEncrypt(std::string m, const std::array<unsigned char, 256>& mixer)
{
    int index = 0, step = 5;
    std::size_t k = 0;
    for (std::size_t pos = 37; pos < m.size(); ++pos) {
        index += step;
        if (index > 250) {
            index = static_cast<unsigned char>(m[k]);
            step = step - 1 == 0 ? 5 : step - 1;
            if (k < 37) ++k;
        }
        m[pos] = static_cast<char>(static_cast<unsigned char>(m[pos]) ^ mixer[static_cast<std::size_t>(index)]);
    }
    return m;
}

class Scrambling : public Codec {
protected:
    void SetUp() override
    {
        Codec::SetUp();
        for (std::size_t i = 0; i < mixer.size(); ++i) mixer[i] = static_cast<unsigned char>(i * 7 + 3);
        writeMixer();
    }
    void writeMixer(std::size_t size = 256)
    {
        std::string content(reinterpret_cast<const char*>(mixer.data()), mixer.size());
        content.resize(size, 'z');
        writeFile(ExeDir + "/CDA-ZAVI.CFG", content);
    }
    std::array<unsigned char, 256> mixer{};
};

TEST_F(Scrambling, ThirtyEightBytesScrambleOnlyTheLastWithMixerFive)
{
    std::string msg = header + "A";
    ASSERT_EQ(cda_encrypt(msg.data(), static_cast<int>(msg.size())), STS_OK);
    EXPECT_EQ(msg.substr(0, 37), header);
    EXPECT_EQ(static_cast<unsigned char>(msg[37]), 'A' ^ mixer[5]);

    std::string shortMsg = header;
    ASSERT_EQ(cda_encrypt(shortMsg.data(), 37), STS_OK);
    EXPECT_EQ(shortMsg, header);
}

TEST_F(Scrambling, FirstResetTakesByteZeroAfterPosition86)
{
    std::string msg = std::string(1, static_cast<char>(200)) + std::string(36, 'h') + std::string(60, 'm');
    std::string before = msg;
    ASSERT_EQ(cda_encrypt(msg.data(), static_cast<int>(msg.size())), STS_OK);
    for (std::size_t pos = 37; pos <= 86; ++pos) {
        std::size_t index = 5 * (pos - 36);
        ASSERT_EQ(static_cast<unsigned char>(msg[pos]), 'm' ^ mixer[index]) << pos;
    }
    EXPECT_EQ(static_cast<unsigned char>(msg[87]), 'm' ^ mixer[200]);
    // Then the step is 4: index 204, 208, ...
    EXPECT_EQ(static_cast<unsigned char>(msg[88]), 'm' ^ mixer[204]);
    EXPECT_EQ(msg.substr(0, 37), before.substr(0, 37));
}

TEST_F(Scrambling, LongMessagesFollowTheWalkThroughEveryReset)
{
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> byte(0, 255);
    for (std::size_t i = 0; i < mixer.size(); ++i) mixer[i] = static_cast<unsigned char>(byte(rng));
    writeMixer();
    for (std::size_t len : {38u, 86u, 87u, 88u, 300u, 5000u, 70000u}) {
        std::string msg(len, 'x');
        for (auto& c : msg) c = static_cast<char>(byte(rng));
        // Header bytes near 250 make resets come one after another.
        msg[3] = static_cast<char>(250);
        msg[4] = static_cast<char>(255);
        std::string expected = referenceEncrypt(msg, mixer);
        ASSERT_EQ(cda_encrypt(msg.data(), static_cast<int>(len)), STS_OK);
        EXPECT_EQ(msg, expected) << len;
    }
}

TEST_F(Scrambling, MixerMissingOrShortGivesKeyMissingUntilItCanBeRead)
{
    fs::remove(ExeDir + "/CDA-ZAVI.CFG");
    std::string msg = header + "payload";
    std::string before = msg;
    EXPECT_EQ(cda_encrypt(msg.data(), static_cast<int>(msg.size())), STS_ENCRYPT_KEY_MISSING);
    EXPECT_EQ(msg, before);
    EXPECT_TRUE(logHas("ERROR- Error reading " + ExeDir +
                       "/CDA-ZAVI.CFG encryption mixer file, encrypted messages will not be processed correctly."));

    writeMixer(255);
    EXPECT_EQ(cda_encrypt(msg.data(), static_cast<int>(msg.size())), STS_ENCRYPT_KEY_MISSING);
    EXPECT_EQ(msg, before);

    // Bytes past 256 are ignored; the next call loads it.
    writeMixer(300);
    EXPECT_EQ(cda_encrypt(msg.data(), static_cast<int>(msg.size())), STS_OK);
    EXPECT_EQ(static_cast<unsigned char>(msg[37]), 'p' ^ mixer[5]);
}

// Runs `fn` with descriptor `fd` pointing at `target`; restores it after.
template <typename Fn>
void withDescriptor(int fd, int target, Fn fn)
{
    std::fflush(nullptr);
    int saved = ::dup(fd);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(target, fd), fd);
    fn();
    std::fflush(nullptr);
    ::dup2(saved, fd);
    ::close(saved);
}

// A mixer file that opens but cannot be read: a link to a regular file of
// /proc whose first bytes give an I/O error.
void makeUnreadableMixer()
{
    fs::remove(ExeDir + "/CDA-ZAVI.CFG");
    fs::create_symlink("/proc/self/mem", ExeDir + "/CDA-ZAVI.CFG");
}

// A read error is reported on standard error; a mixer file that is no
// regular file fails as one that cannot be opened, without a read error (and
// a FIFO without a writer does not hold the open).
TEST_F(Scrambling, MixerReadErrorIsReportedOnStandardError)
{
    const struct {
        const char* what;
        void (*make)();
        const char* stderrText;
    } cases[] = {
        {"unreadable", makeUnreadableMixer, "Read error: Input/output error\n"},
        {"directory", [] { fs::create_directories(ExeDir + "/CDA-ZAVI.CFG"); }, ""},
        {"FIFO", [] { ASSERT_EQ(::mkfifo((ExeDir + "/CDA-ZAVI.CFG").c_str(), 0644), 0); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(ExeDir + "/CDA-ZAVI.CFG");
        c.make();
        std::string errPath = root + "/scratch/stderr.txt";
        int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(errFd, 0);
        std::string msg = header + "A";
        int sts = -1;
        log_resetScreen();
        withDescriptor(2, errFd, [&] { sts = cda_encrypt(msg.data(), 38); });
        ::close(errFd);
        EXPECT_EQ(sts, STS_ENCRYPT_KEY_MISSING);
        EXPECT_EQ(readFile(errPath), c.stderrText);
        EXPECT_FALSE(logHas("Read error"));
        // (The screen's copy of the line is cut at its width.)
        EXPECT_EQ(std::string(lastErrorLine + 9).rfind("Error reading " + ExeDir + "/CDA-ZAVI.CFG encryption", 0), 0u)
            << lastErrorLine;
    }
}

TEST_F(Scrambling, MixerReadErrorGoesToTheLogWhileTheWindowHoldsTheTerminal)
{
    makeUnreadableMixer();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    std::string errPath = root + "/scratch/stderr.txt";
    int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(errFd, 0);

    test::TestWindow window;
    std::string msg = header + "A";
    int sts = -1;
    withDescriptor(1, terminal, [&] { withDescriptor(2, errFd, [&] { sts = cda_encrypt(msg.data(), 38); }); });
    ::close(errFd);
    ::close(terminal);
    ::close(master);
    EXPECT_EQ(sts, STS_ENCRYPT_KEY_MISSING);
    EXPECT_EQ(readFile(errPath), "");
    EXPECT_TRUE(logHas("INFO - Read error: Input/output error")) << logText();
}

TEST_F(Scrambling, MixerIsReadOnce)
{
    std::string msg = header + "A";
    ASSERT_EQ(cda_encrypt(msg.data(), 38), STS_OK);
    writeFile(ExeDir + "/CDA-ZAVI.CFG", std::string(256, '\0'));
    msg = header + "A";
    ASSERT_EQ(cda_encrypt(msg.data(), 38), STS_OK);
    EXPECT_EQ(static_cast<unsigned char>(msg[37]), 'A' ^ mixer[5]);
    fs::remove(ExeDir + "/CDA-ZAVI.CFG");
    EXPECT_EQ(cda_encrypt(msg.data(), 38), STS_OK);
}

TEST_F(Scrambling, DetailedMessagesShowTheMixerEnds)
{
    mixer[0] = 1;
    mixer[1] = 22;
    mixer[2] = 0x80;
    mixer[3] = 0xFF;
    mixer[253] = 7;
    mixer[254] = 100;
    mixer[255] = 0xFE;
    writeMixer();
    g_detailedMessages = true;
    std::string msg = header + "A";
    ASSERT_EQ(cda_encrypt(msg.data(), 38), STS_OK);
    EXPECT_TRUE(logHas("INFO - initialize encrypt mixer (" + ExeDir + "/CDA-ZAVI.CFG):<001 022 -128 -01 007 100 -02 "))
        << logText();
}

}  // namespace
}  // namespace qzr
