// Bytes from outside in what the driver writes: the header fields of a
// request that are logged before its characters are checked reach the log,
// and standard error when there is no log, with each control byte escaped.
#include <gtest/gtest.h>

#include <string>

#include "driver_fixture.h"

using namespace qzr::test;

namespace {

struct HeaderCase {
    const char* name;
    std::size_t at;     // where the hostile bytes go in the claim
    std::string bytes;  // put over the claim's bytes there
    std::string line;   // the error line's text, after its level
};

const HeaderCase HEADER_CASES[] = {
    {"A03 escape and title", 18, "\x1b]", "Invalid request in file <@/REQ.001>, (field A03=#1b])"},
    // A line feed ends the request's line: nothing of the claim after it.
    {"A03 line feed", 18, "\n4", "Invalid request in file <@/REQ.001>, (field A03=#0a)"},
    {"A04 carriage return", 20, "\r1", "Invalid request in file <@/REQ.001>, (field A04=#0d1)"},
    {"A04 bell and escape", 20, "\x07\x1b", "Invalid request in file <@/REQ.001>, (field A04=#07#1b)"},
    {"A07 clear screen", 32, "0\x1b[2J", "Invalid transaction length A07=0#1b[2J real length=69 in file <@/REQ.001>"},
    {"A07 delete, hash, backspace, tab", 32, "\x7f#\b\t1",
     "Invalid transaction length A07=#7f###08#091 real length=69 in file <@/REQ.001>"},
};

}  // namespace

// With the log: the line is there, escaped, and the log holds no raw
// control byte. Without it (loggingEnabled false, no terminal): the line
// goes to standard error, escaped the same way.
TEST_F(DriverTest, HeaderFieldsWithControlBytesAreWrittenEscaped)
{
    for (bool logging : {true, false}) {
        for (const HeaderCase& c : HEADER_CASES) {
            SCOPED_TRACE(std::string(c.name) + (logging ? " (log)" : " (standard error)"));
            std::string ini = std::string(GENERAL) + "hangAround = false\n" +
                              (logging ? "" : "loggingEnabled = false\n") +
                              "[connectScript]\nversion = \"test\"\n" + TEST_NETWORK;
            dir.write("qzr.ini", ini);
            std::filesystem::remove(dir.path() / "qzr.log");
            std::filesystem::remove_all(dir.path() / "TEST");
            std::string hostile = claim(61);
            hostile.replace(c.at, c.bytes.size(), c.bytes);
            request("TEST", "REQ.001", hostile);

            EXPECT_EQ(run(), 1) << log() << dir.read("stderr.txt");
            std::string expected = c.line;
            expected.replace(expected.find('@'), 1, "TEST");
            std::string err = dir.read("stderr.txt");
            if (logging) {
                std::string l = log();
                EXPECT_NE(l.find("ERROR- " + expected + "\n"), std::string::npos) << l;
                expectNoForeignControls(l, true);
            } else {
                EXPECT_FALSE(exists("qzr.log"));
                EXPECT_NE(err.find("ERROR- " + expected + "\n"), std::string::npos) << err;
            }
            expectNoForeignControls(err, false);
            EXPECT_EQ(dir.read("TEST/RSP.001"), "61,1034,001,");
        }
    }
}
