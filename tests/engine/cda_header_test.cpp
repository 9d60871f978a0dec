// CDAnet header check: every version and transaction code with its field
// positions, and the three refusals with their exact messages.
#include "engine/cda_header.h"

#include "engine_test_util.h"
#include "foundation/status.h"

#include <cstring>

namespace qzr {
namespace {

using test::Message;

class CdaHeader : public test::WorkDirTest {};

struct Layout {
    int version, code;
    bool carrier;  // A05 read
    int lenPos, lenWidth, provPos, officePos;
    int encrypt;   // A10 for version 04; 1 is expected for 02 and 03
};

const Layout layouts[] = {
    {2, 0, true, 31, 4, 35, 44, 1}, {2, 1, true, 31, 4, 36, 45, 1}, {2, 2, true, 31, 4, 35, 44, 1},
    {2, 3, true, 31, 4, 36, 45, 1}, {2, 4, false, 25, 4, 29, 38, 1}, {3, 0, true, 31, 4, 35, 44, 1},
    {3, 1, true, 31, 4, 36, 45, 1}, {3, 2, true, 31, 4, 35, 44, 1}, {3, 3, true, 31, 4, 36, 45, 1},
    {3, 4, false, 25, 4, 29, 38, 1}, {4, 1, true, 32, 5, 43, 52, 2}, {4, 2, true, 32, 5, 42, 51, 0},
    {4, 3, true, 32, 5, 43, 52, 3}, {4, 4, true, 32, 5, 42, 51, 1}, {4, 5, true, 32, 5, 42, 51, 2},
    {4, 6, true, 32, 5, 42, 51, 2}, {4, 7, true, 32, 5, 43, 52, 2}, {4, 8, true, 32, 5, 42, 51, 2},
    {4, 9, true, 32, 7, 44, 53, 2},
};

// A message laid out as `l` says; every other byte is a letter, so a field
// read at a wrong position cannot look right.
std::string build(const Layout& l, int length)
{
    Message m(static_cast<std::size_t>(length));
    m.put(0, "ABCDEFGHIJKL").putNumber(12, 6, 4711).putNumber(18, 2, l.version).putNumber(20, 2, l.code);
    if (l.carrier) m.putNumber(22, 6, 610099);
    if (l.version == 4) m.putNumber(31, 1, l.encrypt);
    m.putNumber(static_cast<std::size_t>(l.lenPos), l.lenWidth, length);
    m.put(static_cast<std::size_t>(l.provPos), "123456789").put(static_cast<std::size_t>(l.officePos), "W1X2");
    return m.str();
}

TEST_F(CdaHeader, EveryVersionAndCodeReadsItsFields)
{
    for (const Layout& l : layouts) {
        SCOPED_TRACE("version " + std::to_string(l.version) + " code " + std::to_string(l.code));
        std::string msg = build(l, 120);
        transInfo ti;
        ASSERT_EQ(cda_parse_header("NET/REQ.042", msg, 120, &ti), STS_OK);
        EXPECT_EQ(ti.seq, 4711);
        EXPECT_EQ(ti.cdaVersion, l.version);
        EXPECT_EQ(ti.transCode, l.code);
        EXPECT_EQ(ti.carrier, l.carrier ? 610099 : 0);
        EXPECT_EQ(ti.encryptMethod, l.encrypt);
        EXPECT_EQ(ti.msgLength, 120);
        EXPECT_EQ(ti.realLength, 120);
        EXPECT_STREQ(ti.provider, "123456789");
        EXPECT_STREQ(ti.office, "W1X2");
        EXPECT_STREQ(ti.ext, "042");
        EXPECT_EQ(ti.status, 0);  // the callers set it
    }
}

TEST_F(CdaHeader, SevenDigitLengthOfCode09)
{
    Layout l{4, 9, true, 32, 7, 44, 53, 2};
    std::string msg = build(l, 567);  // A07 written with 7 digits: 0000567
    transInfo ti;
    ASSERT_EQ(cda_parse_header("NET/REQ.1", msg, static_cast<int>(msg.size()), &ti), STS_OK);
    EXPECT_EQ(ti.msgLength, 567);
}

struct Refusal {
    const char* version;
    const char* code;
    const char* message;
};

TEST_F(CdaHeader, VersionAndCodeRefusalsNameTheFieldAsWritten)
{
    const Refusal cases[] = {
        {"05", "01", "Invalid request in file <NET/REQ.001>, (field A03=05)"},
        {"01", "01", "Invalid request in file <NET/REQ.001>, (field A03=01)"},
        {"x2", "01", "Invalid request in file <NET/REQ.001>, (field A03=x2)"},
        {"00", "01", "Invalid request in file <NET/REQ.001>, (field A03=00)"},
        {"02", "05", "Invalid request in file <NET/REQ.001>, (field A04=05)"},
        {"03", "ab", "Invalid request in file <NET/REQ.001>, (field A04=ab)"},
        {"04", "00", "Invalid request in file <NET/REQ.001>, (field A04=00)"},
        {"04", "10", "Invalid request in file <NET/REQ.001>, (field A04=10)"},
        {"04", "ab", "Invalid request in file <NET/REQ.001>, (field A04=ab)"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.message);
        log_resetScreen();
        Message m(100);
        m.put(0, "ABCDEFGHIJKL").put(12, "000123").put(18, c.version).put(20, c.code).put(22, "610099");
        m.put(31, "2").put(32, "00100");
        transInfo ti;
        EXPECT_EQ(cda_parse_header("NET/REQ.001", m.str(), 100, &ti), STS_INVALID_CLAIM);
        EXPECT_STREQ(lastErrorLine + 9, c.message);
        EXPECT_TRUE(logHas("ERROR- " + std::string(c.message)));
    }
}

TEST_F(CdaHeader, VersionFourWithBadCodeKeepsTheFieldsReadSoFar)
{
    Message m(100);
    m.put(0, "ABCDEFGHIJKL").put(12, "000123").put(18, "04").put(20, "ab").put(22, "610099").put(31, "2");
    transInfo ti;
    EXPECT_EQ(cda_parse_header("NET/REQ.001", m.str(), 100, &ti), STS_INVALID_CLAIM);
    EXPECT_EQ(ti.transCode, -1);
    EXPECT_EQ(ti.carrier, 610099);
    EXPECT_EQ(ti.encryptMethod, 2);
    EXPECT_EQ(ti.seq, 123);
}

TEST_F(CdaHeader, LengthErrorNamesTheDeclaredLengthExactly)
{
    struct Case {
        Layout layout;
        const char* declared;
        int real;
        const char* message;
    } cases[] = {
        {{2, 1, true, 31, 4, 36, 45, 1}, "0079", 80,
         "Invalid transaction length A07=0079 real length=80 in file <NET/REQ.001>"},
        {{3, 4, false, 25, 4, 29, 38, 1}, "0081", 80,
         "Invalid transaction length A07=0081 real length=80 in file <NET/REQ.001>"},
        {{4, 2, true, 32, 5, 42, 51, 1}, "0x080", 80,
         "Invalid transaction length A07=0x080 real length=80 in file <NET/REQ.001>"},
        {{4, 9, true, 32, 7, 44, 53, 1}, "0000081", 80,
         "Invalid transaction length A07=0000081 real length=80 in file <NET/REQ.001>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::string msg = build(c.layout, c.real);
        msg.replace(static_cast<std::size_t>(c.layout.lenPos), std::strlen(c.declared), c.declared);
        transInfo ti;
        EXPECT_EQ(cda_parse_header("NET/REQ.001", msg, c.real, &ti), STS_INVALID_CLAIM);
        EXPECT_STREQ(lastErrorLine + 9, c.message);
        // The fields are all read before the length is compared.
        EXPECT_STREQ(ti.office, "W1X2");
    }
}

TEST_F(CdaHeader, HeaderOnlyReadSkipsTheLengthTest)
{
    std::string msg = build({2, 0, true, 31, 4, 35, 44, 1}, 80);
    msg.replace(31, 4, "ab12");
    for (int real : {-1, 0}) {
        transInfo ti;
        EXPECT_EQ(cda_parse_header("NET/REQ.001", msg, real, &ti), STS_OK);
        EXPECT_EQ(ti.msgLength, -1);
        EXPECT_EQ(ti.realLength, real);
    }
}

TEST_F(CdaHeader, EmptyLineIsAVersionError)
{
    char zeros[1000] = {};
    transInfo ti;
    EXPECT_EQ(cda_parse_header("NET/REQ.001", std::string_view(zeros, sizeof zeros), 0, &ti), STS_INVALID_CLAIM);
    EXPECT_EQ(ti.seq, -1);
    EXPECT_EQ(ti.cdaVersion, -1);
    EXPECT_EQ(ti.transCode, -1);
    EXPECT_EQ(std::string(lastErrorLine + 9).rfind("Invalid request in file <NET/REQ.001>, (field A03=", 0), 0u);
    // Nothing past the message is read.
    transInfo none;
    EXPECT_EQ(cda_parse_header("NET/REQ.001", std::string_view(), -1, &none), STS_INVALID_CLAIM);
}

TEST_F(CdaHeader, ShortLineReadsMissingFieldsAsEmpty)
{
    std::string msg = build({4, 1, true, 32, 5, 43, 52, 1}, 100).substr(0, 45);
    transInfo ti;
    ASSERT_EQ(cda_parse_header("NET/REQ.001", msg, -1, &ti), STS_OK);
    EXPECT_STREQ(ti.provider, "12");
    EXPECT_STREQ(ti.office, "");
}

TEST_F(CdaHeader, ExtensionIsTakenFromTheFileName)
{
    const struct {
        const char* name;
        const char* ext;
    } cases[] = {
        {"NET/REQ.001", "001"},
        {"NET.X/REQ.002", "002"},
        {"NET/REQ.003.OLD", "003.OLD"},
        {"NET.X/REQ", ""},
        {"REQ.004", "004"},
    };
    std::string msg = build({2, 0, true, 31, 4, 35, 44, 1}, 80);
    for (const auto& c : cases) {
        transInfo ti;
        ASSERT_EQ(cda_parse_header(c.name, msg, 80, &ti), STS_OK);
        EXPECT_STREQ(ti.ext, c.ext) << c.name;
        // It points into the caller's name.
        EXPECT_GE(ti.ext, c.name);
        EXPECT_LE(ti.ext, c.name + std::strlen(c.name));
    }
}

}  // namespace
}  // namespace qzr
