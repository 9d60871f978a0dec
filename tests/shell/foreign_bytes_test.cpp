// Bytes from outside in what the driver writes: the header fields of a
// request that are logged before its characters are checked reach the log,
// and standard error when there is no log, with each control byte escaped.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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

namespace {

struct FieldCase {
    const char* name;
    std::string office;    // the claim's office (B02)
    std::string provider;  // the claim's provider (B01)
    std::string response;  // the response's head
    std::vector<std::string> lines;  // escaped lines the log holds
};

}  // namespace

// The office and provider of a claim are named in the log before their
// characters are checked (the redirection's line) and after (0x7F passes
// the check: the transaction's and the statistics' lines): each is written
// escaped.
TEST_F(DriverTest, OfficeAndProviderAreLoggedEscapedBeforeAndAfterTheirCheck)
{
    const FieldCase cases[] = {
        {"escape in the office, refused", "9\x1b[J", "053333300", "61,1034,001,",
         {"INFO - Transaction file:TEST/REQ.001 Office=9#1b[J Carr=000001\n"}},
        {"delete in the office and provider, served", "99\x7f" "8", "05333\x7f" "300", "61,0,001,",
         {"INFO - Transaction file:TEST/REQ.001 Office=99#7f8 Carr=000001\n",
          "Prov=05333#7f300 Office=99#7f8 Carr=1 ", "INFO - Group:99#7f8 processed\n"}},
    };
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.path() / "qzr.log");
        std::filesystem::remove_all(dir.path() / "TEST");
        std::string hostile = claim(61, "000001", c.office);
        hostile.replace(43, 9, c.provider);
        request("TEST", "REQ.001", hostile);
        run();
        EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, c.response.size()), c.response);
        std::string l = log();
        for (const std::string& line : c.lines) EXPECT_NE(l.find(line), std::string::npos) << line << "\n" << l;
        expectNoForeignControls(l, true);
    }
}
