// The real driver on configurations it must refuse: numbers below their
// key's range (a minus sign is part of the number), errors at the end of a
// file, keys out of their place, and request and response names that would
// mix responses with requests. Each refusal names the file, the line and
// what was expected, and ends the run with status 2 before any request is
// touched.
#include <gtest/gtest.h>

#include <string>

#include "driver_fixture.h"

using namespace qzr::test;

namespace {

// The general part with the given file names, and an empty script section.
std::string generalWith(const std::string& input, const std::string& output)
{
    return "[general]\ninputFileName = " + input + "\noutputFileName = " + output +
           "\nloggingEnabled = true\n[connectScript]\n";
}

struct Refusal {
    const char* what;
    std::string ini;       // the whole qzr.ini
    int line;              // the line the error names
    std::string expected;  // the text after "expecting: "
};

class SettingsTest : public DriverTest {
protected:
    // Runs the driver on `r`'s qzr.ini with a request waiting: the run ends
    // with status 2, the error names the file, the line and what was
    // expected, and the request is left as it was.
    void expectRefused(const Refusal& r)
    {
        SCOPED_TRACE(r.what);
        dir.write("qzr.ini", r.ini);
        request("TEST", "REQ.001", claim(1));
        EXPECT_EQ(run(), 2);
        const std::string err = dir.read("stderr.txt");
        EXPECT_NE(err.find("QZR Error: " + dir.file("qzr.ini") + " near line:" + std::to_string(r.line) +
                           ": %F-0202: Syntax error, expecting: " + r.expected + "\n"),
                  std::string::npos)
            << err;
        // A minus sign is no illegal character to be skipped.
        EXPECT_EQ(err.find("%W-0201"), std::string::npos) << err;
        EXPECT_TRUE(exists("TEST/REQ.001"));
        EXPECT_FALSE(exists("TEST/RSP.001"));
        EXPECT_FALSE(exists("TEST/_EQ.001"));
    }
};

}  // namespace

// A negative number is read as one number, and judged by its key's range:
// every key that holds a count, seconds or a speed is refused below 0 (or
// below 1), in either file form, in the general part, a network, a
// connection or a connect script.
TEST_F(SettingsTest, NegativeNumbersAreRefusedWithTheirRange)
{
    const std::string general = generalWith("req", "rsp");  // 5 lines
    const std::string net = "[TEST]\nspeed = 9600\n";     // lines 6 and 7
    const Refusal refusals[] = {
        {"hangupDelay", "[general]\ninputFileName = req\noutputFileName = rsp\nhangupDelay = -1\n[connectScript]\n" + net,
         4, "hangupDelay=number [0 to 99 seconds] "},
        {"general dialRetries", "[general]\ninputFileName = req\noutputFileName = rsp\ndialRetries = -2\n[connectScript]\n" + net,
         4, "dialRetries=number [1 to 10]"},
        {"general delayBetweenRetries",
         "[general]\ninputFileName = req\noutputFileName = rsp\ndelayBetweenRetries = -5\n[connectScript]\n" + net, 4,
         "delayBetweenRetries=number [1 to 60]"},
        {"speed", general + "[TEST]\nspeed = -9600\n", 7, "1200 2400 9600 14400 19200 38400 57600."},
        {"dataBit", general + net + "dataBit = -8\n", 8, " '7' '8'"},
        {"connectionTimeout", general + net + "connectionTimeout = -3\n", 8,
         "connectionTimeout=number [0 or more seconds]"},
        {"connection dialRetries", general + net + "dialRetries = -1\n", 8, "dialRetries=number [1 to 10]"},
        {"maxProcessingDelay", general + "[TEST]\nmaxProcessingDelay = -30\nspeed = 9600\n", 7,
         "maxProcessingDelay=number [0 or more seconds]"},
        {"maxEnqDelay (block form)",
         "general begin\ninputFileName = req\noutputFileName = rsp\nend\nnetwork TEST begin\nmaxEnqDelay = - 7\n"
         "primary connection begin\nspeed = 9600\nend\nend\n",
         6, "maxEnqDelay=number [0 or more seconds]"},
        {"script delay", general + net + "connectScript = { delay -5 }\n", 8, " number [1 to 255] "},
        {"script retry", general + net + "connectScript = retry -2 transmit \"AT\"\n", 8, " number [1 to 254] "},
    };
    for (const Refusal& r : refusals) expectRefused(r);
}

// An error met at the end of a file names the file and its last line, in
// the same message.
TEST_F(SettingsTest, ErrorsAtTheEndOfTheFileNameTheFileAndLine)
{
    const Refusal refusals[] = {
        {"ends after the general part", "[general]\ninputFileName = req\noutputFileName = rsp\n", 3, "["},
        {"ends after the script section", generalWith("req", "rsp"), 5, " 'version' 'network' '[' "},
        {"empty", "", 1, " '[' 'general' "},
        {"a minus sign at the end", generalWith("req", "rsp") + "[TEST]\nspeed = 9600\nconnectionTimeout = -", 8,
         "num"},
    };
    for (const Refusal& r : refusals) expectRefused(r);
}

// A key met out of its place says where it belongs.
TEST_F(SettingsTest, AMisplacedKeySaysWhereItBelongs)
{
    const std::string general = generalWith("req", "rsp");
    const Refusal refusals[] = {
        {"network key after a connection key", general + "[TEST]\nspeed = 9600\nmaxProcessingDelay = 3\n", 8,
         "valid parameter name. 'maxProcessingDelay' is not valid here. 'maxProcessingDelay' is a network key: it "
         "comes before the connection keys of its network."},
        {"general key in a connection block",
         "general begin\ninputFileName = req\noutputFileName = rsp\nend\nnetwork TEST begin\nprimary connection "
         "begin\nspeed = 9600\nhangupDelay = 3\nend\nend\n",
         8, "end. 'hangupDelay' is a general key: it belongs to the general part."},
    };
    for (const Refusal& r : refusals) expectRefused(r);
}

// A response name that requests would take, or served requests, and a
// request name that marks a served request, are refused at their key.
TEST_F(SettingsTest, NamesThatMixResponsesWithRequestsAreRefused)
{
    const std::string net = "[TEST]\nspeed = 9600\n";
    const Refusal refusals[] = {
        {"the request's own name", generalWith("req", "REQ") + net, 3,
         "outputFileName=name other than inputFileName (the response REQ.001 would replace the request)"},
        {"the request's own name in another case", generalWith("Req", "rEQ") + net, 3,
         "outputFileName=name other than inputFileName (the response REQ.001 would replace the request)"},
        {"the served request's name", generalWith("req", "_EQ") + net, 3,
         "outputFileName=name other than a served request's (the response _EQ.001 is the name of the request "
         "REQ.001 once served)"},
        {"a name served requests take", generalWith("req", "_eq.x") + net, 3,
         "outputFileName=name other than a served request's (the response _EQ.X.001 is the name of the request "
         "REQ.X.001 once served)"},
        {"a name the request pattern takes", generalWith("req", "REQ.RSP") + net, 3,
         "outputFileName=name whose files are no requests (the response REQ.RSP.001 would be read as a request)"},
        {"a request name with a dot", generalWith("req.a", "req") + net, 3,
         "outputFileName=name whose files are no requests (the response REQ.A.001 would be read as a request)"},
        {"a request name that begins with '_'", generalWith("_req", "rsp") + net, 2,
         "inputFileName=name that does not begin with '_' (a name that begins with '_' marks a served request)"},
    };
    for (const Refusal& r : refusals) expectRefused(r);
}

// Names near those refused are accepted, and served.
TEST_F(SettingsTest, NamesThatOnlyLookAlikeAreServed)
{
    linkDevice("com1", "/dev/ptmx");
    const std::pair<const char*, const char*> names[] = {{"req", "REQX"}, {"req", "RSP.REQ"}, {"req", "_EQX"}};
    for (const auto& [input, output] : names) {
        SCOPED_TRACE(output);
        dir.write("qzr.ini", generalWith(input, output) + TEST_NETWORK);
        request("TEST", "REQ.001", claim(5));
        EXPECT_EQ(run(), 0) << dir.read("stderr.txt");
        EXPECT_EQ(dir.read("TEST/" + std::string(output) + ".001").substr(0, 8), "5,0,001,");
        EXPECT_TRUE(exists("TEST/_EQ.001"));
        std::filesystem::remove_all(dir.path() / "TEST");
    }
}

// A "do not redirect" rule names no network: no warning says it is not
// defined.
TEST_F(SettingsTest, AnInterdictionRuleIsNoUndefinedNetwork)
{
    dir.write("qzr.ini", generalWith("req", "rsp") + TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrredir.dat", "version = \"r1\"\ndo not redirect groups = \"0789\" and carriers = all\n"
                              "redirect to \"NOWHERE\" groups = \"0123\" and carriers = all\n");
    request("TEST", "REQ.001", claim(3));
    EXPECT_EQ(run(), 0);
    const std::string l = log();
    EXPECT_EQ(l.find("Network 'N/A'"), std::string::npos) << l;
    EXPECT_NE(l.find("** WARNING ** Network 'NOWHERE' is not defined"), std::string::npos) << l;
}

// An empty rules file is an error at its end: it names the file and line.
TEST_F(SettingsTest, AnEmptyRulesFileNamesItsFileAndLine)
{
    dir.write("qzr.ini", generalWith("req", "rsp") + TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrredir.dat", "");
    request("TEST", "REQ.001", claim(4));
    run();
    const std::string err = dir.read("stderr.txt");
    EXPECT_NE(err.find("QZR Error: " + dir.file("qzrredir.dat") + " near line:1: %F-0202: Syntax error, expecting:"),
              std::string::npos)
        << err;
}

// The supplemental file is read as qzr.ini is: a negative number is judged
// by its key's range, and an error at its end names the file and its last
// line. Its errors are reported and the run goes on.
TEST_F(SettingsTest, TheSupplementalFileNamesItsFileAndLine)
{
    const std::pair<std::string, std::string> cases[] = {
        {"network SUP begin\nmaxEnqDelay = -3\nprimary connection begin\nspeed = 9600\nend\nend\n",
         " near line:2: %F-0202: Syntax error, expecting: maxEnqDelay=number [0 or more seconds]\n"},
        {"network SUP begin\nprimary connection begin\nconnectScript = { retry -2 transmit \"x\" }\nend\nend\n",
         " near line:3: %F-0202: Syntax error, expecting:  number [1 to 254] \n"},
        {"network SUP begin\nprimary connection begin\nspeed = 9600\n",
         " near line:3: %F-0202: Syntax error, expecting: end\n"},
    };
    dir.write("qzr.ini", generalWith("req", "rsp") + TEST_NETWORK);
    for (const auto& [sup, expected] : cases) {
        SCOPED_TRACE(sup);
        dir.write("qzrsup.ini", sup);
        run();
        const std::string err = dir.read("stderr.txt");
        EXPECT_NE(err.find("QZR Error: " + dir.file("qzrsup.ini") + expected), std::string::npos) << err;
        EXPECT_EQ(err.find("%W-0201"), std::string::npos) << err;
        EXPECT_NE(log().find("Error processing supplemental ini file '" + dir.file("qzrsup.ini") + "'"),
                  std::string::npos);
    }
}
