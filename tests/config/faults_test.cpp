// Faulty configurations: each is reported with its exact message at its
// line, the reading goes on or ends as the language says, and the records
// hold what was stored all the same.
#include <cstdlib>
#include <functional>

#include "config_fixture.h"

namespace qzr::test {
namespace {

// "Syntax error, expecting: <what>" at a line of qzr.ini.
std::string S(int line, const std::string& what) {
    return "qzr.ini near line:" + std::to_string(line) + ": %F-0202: Syntax error, expecting: " + what;
}

const std::string GENERAL_LIST =
    " 'defcomdev' 'modemInit' 'HSmodemInit' 'modemHangup' 'inputFileName' 'outputFileName' 'hangAround' "
    "'logFile' 'loggingEnabled' 'logFileAppend' 'detailedMessages' 'disconnectAfterTX' 'hangupDelay' "
    "'v2convertAccent' 'dialRetries' 'delayBetweenRetries' 'id' ";
const std::string CONNECTION_LIST =
    " 'comdev' 'usePKI' 'certificateStore' 'certificateNetworkId' 'certificateQZRId' 'dataBit' 'parity' "
    "'speed' 'phone' 'address' 'compress' 'encrypt' 'connectionMode' 'connectionType' 'connectionTimeout' "
    "'dialRetries' 'delayBetweenRetries' 'v2convertAccent' 'connectScript' ";
const std::string ITEMS = " 'version' 'network' '[' ";
std::string notValidHere(const std::string& token) { return "valid parameter name. '" + token + "' is not valid here."; }

// Four lines: a general part with both file names and the script section.
const std::string B = "[general]\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n";

struct FaultCase {
    const char* name;
    std::string text;
    int result;
    std::vector<std::string> messages;
    std::function<void()> check;
};

std::string manyNetworks(int n) {
    std::string text = B;
    for (int i = 1; i <= n; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "N%02d", i);
        text += std::string("[") + name + "]\ncomdev = \"c\"\n";
    }
    return text;
}

const FaultCase faultCases[] = {
    // The grammar around the items.
    {"MissingScriptSectionHeader",
     "[general]\ninputFileName = req\noutputFileName = rsp\n[NET]\ncomdev = \"com1\"\n", 1001,
     {S(4, "connectScript"), S(5, ITEMS)},
     [] { EXPECT_EQ(networkCount(), 0); }},
    {"GeneralPartWithoutParameter", "[general]\n[connectScript]\n[NET]\ncomdev = \"com1\"\n", 1001,
     {S(2, GENERAL_LIST), S(2, "inputFileName=name"), S(2, "outputFileName=name")},
     [] { EXPECT_EQ(net("NET")->primary->comdev, "COM1"); }},
    {"HeaderWithoutItem", B, 1001, {S(4, ITEMS)}, [] { EXPECT_EQ(networkCount(), 0); }},  // at the end: its last line
    {"TextAfterAVersionIsIgnored", B + "version = \"1.0\"\nthis is ignored # (\n", 0, {},
     [] { EXPECT_EQ(Genparam->version, "1.0"); }},
    {"VersionNotAString", B + "version = v2\n", 1001, {S(5, "string")},
     [] { EXPECT_EQ(Genparam->version, "v2"); }},
    {"FirstTokenBeginsNoForm", "network A1 begin\n", 1001, {S(1, " '[' 'general' ")},
     [] { EXPECT_EQ(networkCount(), 0); }},
    {"SectionWithoutConnectionParameter", B + "[NET]\n[NET2]\ncomdev = \"com2\"\n", 1001, {S(6, CONNECTION_LIST)},
     [] {
         EXPECT_FALSE(net("NET")->primary->comdev);
         EXPECT_EQ(net("NET2")->primary->comdev, "COM2");
     }},
    {"NetworkParameterAfterConnectionParameter", B + "[NET]\ncomdev = \"com1\"\nprefix = \"X\"\n", 1001,
     {S(7, notValidHere("prefix") + " 'prefix' is a network key: it comes before the connection keys of its network.")},
     [] {
         EXPECT_FALSE(net("NET")->prefix);
         EXPECT_EQ(net("NET")->primary->comdev, "COM1");
     }},
    {"SectionFollowedByBlock",
     B + "[NET]\ncomdev = \"com1\"\nnetwork NET2 begin\nprimary connection begin\nend\nend\n", 1001,
     {S(7, notValidHere("network"))}, [] { EXPECT_EQ(networkCount(), 2); }},
    {"BlockFollowedBySection", B + "network NET begin\nprimary connection begin end\nend\n[NET2]\ncomdev = \"com1\"\n",
     1001, {S(8, notValidHere("["))}, [] { EXPECT_EQ(networkCount(), 2); }},
    {"BlockWithoutBegin", B + "network NET\nprimary connection begin end\nend\n", 1001,
     {S(6, "begin"), S(6, "primary"), S(6, " 'connection' "), S(6, "end"), S(6, notValidHere("end"))},
     [] { EXPECT_EQ(net("NET")->primary->speed, 0); }},

    // Network identifiers.
    {"SecondaryEntryBeforeItsNetwork",
     B + "[FIRST]\ncomdev = \"c\"\n[SECONDARY_NET]\ncomdev = \"com1\"\n[NET]\ncomdev = \"com2\"\n", -1,
     {S(7, " network [NET] main entry that should be defined before the secondary entry")},
     [] {
         EXPECT_EQ(networkCount(), 1);  // what was read before stays
         EXPECT_EQ(findNetwork("NET"), nullptr);
     }},
    {"SecondaryEntryOfANameTooLongForIt",
     B + "[ABCDEFGHIJKLMNOPQRSTUVW]\ncomdev = \"c\"\n[SECONDARY_ABCDEFGHIJKLMNOPQRSTUVW]\ncomdev = \"d\"\n", -1,
     {S(7, " network [ABCDEFGHIJKLMNOPQRSTUV] main entry that should be defined before the secondary entry")},
     [] { EXPECT_EQ(net("ABCDEFGHIJKLMNOPQRSTUVW")->secondary, nullptr); }},
    {"KeywordAsNetworkName", B + "[end]\ncomdev = \"com1\"\n", 1001,
     {S(5, " 'id' "), S(5, "]"), S(5, CONNECTION_LIST), S(5, notValidHere("]"))},
     [] { EXPECT_EQ(networkCount(), 0); }},
    {"OneCharacterNetworkName", B + "network A begin\nprimary connection begin end\nend\n", 1001,
     {S(5, " 'id' "), S(5, "begin"), S(5, "primary"), S(6, " 'connection' "), S(6, "end"),
      S(6, notValidHere("connection"))},
     [] { EXPECT_EQ(networkCount(), 0); }},
    {"SixteenNetworks", manyNetworks(16), 0, {}, [] { EXPECT_EQ(networkCount(), 16); }},
    {"SeventeenNetworks", manyNetworks(17), 1001, {S(37, "EOF. Too many networks defined")},
     [] {
         EXPECT_EQ(networkCount(), 16);
         EXPECT_EQ(findNetwork("N17"), nullptr);
         EXPECT_EQ(networkTable[15]->networkName, "N16");
     }},

    // General parameters.
    {"DefcomdevAsString",
     "[general]\ndefcomdev = \"com2\"\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n[NET]\nspeed = 9600\n",
     0, {},
     [] {
         EXPECT_EQ(Genparam->defcomdev, "COM2");
         EXPECT_EQ(net("NET")->primary->comdev, "COM2");
     }},
    {"DefcomdevAsNumber", "[general]\ndefcomdev = 1\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n", 1001,
     // The value is left in place and ends the general part before the file
     // names; the rest of the file is read out of step.
     {S(2, " 'string' 'id' "), S(2, "inputFileName=name"), S(2, "outputFileName=name"), S(2, "["),
      S(3, "connectScript"), S(3, "]"), S(4, "="), S(4, " 'none' 'use' '{' 'transmit' 'wait' 'retry' 'delay' 'return' "),
      S(4, ITEMS)},
     [] {
         EXPECT_FALSE(Genparam->defcomdev);
         EXPECT_EQ(scriptList, nullptr);
     }},
    {"InputFileNameAsString",
     "[general]\ninputFileName = \"req\"\noutputFileName = rsp\n[connectScript]\n[NET]\nspeed = 9600\n", 1001,
     {S(2, "id")}, [] { EXPECT_EQ(Genparam->inputFileName, "REQ"); }},
    {"ModemInitAsIdentifier", B.substr(0, B.size() - 16) + "modemInit = ATZ\n[connectScript]\n[NET]\nspeed = 9600\n",
     1001, {S(4, "string")}, [] { EXPECT_EQ(Genparam->modemInit, "ATZ"); }},
    {"HangupDelayLimits",
     "[general]\ninputFileName = req\noutputFileName = rsp\nhangupDelay = 0\nhangupDelay = 99\nhangupDelay = 100\n"
     "[connectScript]\n[NET]\nspeed = 9600\n",
     1001, {S(6, "hangupDelay=number [0 to 99 seconds] ")}, [] { EXPECT_EQ(Genparam->hangupDelay, 100); }},
    {"HangupDelayNotANumberTakesTheLastInteger",
     "[general]\ninputFileName = req\noutputFileName = rsp\ndialRetries = 4\nhangupDelay = \"x\"\n"
     "[connectScript]\n[NET]\nspeed = 9600\n",
     1001, {S(5, "num")},
     [] {
         EXPECT_EQ(Genparam->hangupDelay, 4);
         EXPECT_EQ(connectionDefaults.dialRetries, 4);
     }},
    {"GeneralRetryDefaultsOutOfRange",
     "[general]\ninputFileName = req\noutputFileName = rsp\ndialRetries = 0\ndelayBetweenRetries = 61\n"
     "[connectScript]\n[NET]\nspeed = 9600\n",
     1001, {S(4, "dialRetries=number [1 to 10]"), S(5, "delayBetweenRetries=number [1 to 60]")},
     [] {
         EXPECT_EQ(connectionDefaults.dialRetries, 0);
         EXPECT_EQ(connectionDefaults.delayBetweenRetries, 61);
         EXPECT_EQ(net("NET")->primary->dialRetries, 0);
         EXPECT_EQ(net("NET")->primary->delayBetweenRetries, 61);
     }},
    {"GeneralRetryDefaultsAtTheirLimits",
     "[general]\ninputFileName = req\noutputFileName = rsp\ndialRetries = 10\ndelayBetweenRetries = 1\n"
     "v2convertAccent = false\n[connectScript]\n[NET]\nspeed = 9600\n",
     0, {},
     [] {
         EXPECT_EQ(net("NET")->primary->dialRetries, 10);
         EXPECT_EQ(net("NET")->primary->delayBetweenRetries, 1);
         EXPECT_FALSE(net("NET")->primary->v2convertAccent);
     }},
    {"BooleanWrittenAsNumber",
     "[general]\ninputFileName = req\noutputFileName = rsp\nhangAround = 1\n[connectScript]\n[NET]\nspeed = 9600\n",
     1001, {S(4, " 'true' 'false' "), S(4, "["), S(5, "connectScript"), S(5, "]"), S(5, ITEMS)},
     [] { EXPECT_FALSE(Genparam->hangAround); }},
    {"GeneralParameterWithoutEquals",
     "[general]\ndefcomdev \"com1\"\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n[NET]\nspeed = 9600\n",
     1001, {S(2, "="), S(3, " 'string' 'id' ")},
     [] {
         EXPECT_FALSE(Genparam->defcomdev);
         EXPECT_EQ(Genparam->inputFileName, "REQ");
     }},
    {"VariableDefinitionWithoutDollar",
     "[general]\ninputFileName = req\noutputFileName = rsp\nHost = \"h\"\n[connectScript]\n[NET]\naddress = $(OST)\n",
     1001, {S(4, "valid parameter name, or a variable defintion syntax: $var_name=\"value\" ")},
     [] { EXPECT_EQ(net("NET")->primary->address, "h"); }},
    {"VariableValueNotAString",
     "[general]\ninputFileName = req\noutputFileName = rsp\n$Port = 5001\n[connectScript]\n[NET]\naddress = $(port)\n",
     1001, {S(4, "string")}, [] { EXPECT_EQ(net("NET")->primary->address, "5001"); }},
    {"UndefinedVariable", B + "[NET]\naddress = $(QZR_NO_SUCH_VARIABLE)\nspeed = 9600\n", 1001,
     {S(6, "a valid variable (QZR_NO_SUCH_VARIABLE is undefined) ")},
     [] {
         EXPECT_FALSE(net("NET")->primary->address);
         EXPECT_EQ(net("NET")->primary->speed, 9600);
     }},
    {"VariableReferenceWithoutParentheses", B + "[NET]\naddress = $ HOST\nspeed = 9600\n", 1001,
     // The name is taken from the token after the missing '(': the next line's keyword.
     {S(6, "("), S(7, "a valid variable (SPEED is undefined) "), S(7, "id"), S(7, ")"), S(7, notValidHere("9600"))},
     [] { EXPECT_FALSE(net("NET")->primary->address); }},

    // Both file names must be given.
    {"MissingInputFileName", "[general]\noutputFileName = rsp\n[connectScript]\n[NET]\nspeed = 9600\n", 1001,
     {S(3, "inputFileName=name")}, [] { EXPECT_EQ(networkCount(), 1); }},
    {"MissingOutputFileNameInBlockForm",
     "general begin\ninputFileName = req\nend\nnetwork NET begin\nprimary connection begin end\nend\n", 1001,
     {S(3, "outputFileName=name")}, [] { EXPECT_EQ(networkCount(), 1); }},

    // Network parameters.
    {"PrefixDefaultAndEmpty", B + "[A1]\nprefix = \"X\"\nprefix = default\nspeed = 1200\n[B2]\nprefix = \"\"\nspeed = 1200\n",
     0, {},
     [] {
         EXPECT_FALSE(net("A1")->prefix);
         ASSERT_TRUE(net("B2")->prefix);
         EXPECT_EQ(*net("B2")->prefix, "");
     }},
    {"PrefixNotAString", B + "[A1]\nprefix = CDN\nspeed = 1200\n", 1001,
     {S(6, " 'string' 'default' '$' "), S(6, CONNECTION_LIST), S(6, notValidHere("CDN"))},
     [] {
         EXPECT_FALSE(net("A1")->prefix);
         EXPECT_EQ(net("A1")->primary->speed, 0);  // the reading ended at CDN
     }},
    {"DelaysAndHardDisconnect", B + "[NET]\nmaxEnqDelay = 0\nmaxProcessingDelay = 0x3C\ndisconnectMethod = HARD\nspeed = 1200\n",
     0, {},
     [] {
         EXPECT_EQ(net("NET")->maxEnqDelay, 0);
         EXPECT_EQ(net("NET")->maxProcessingDelay, 60);
         EXPECT_EQ(net("NET")->disconnectMethod, DISC_HARD);
     }},
    {"DisconnectMethodUnknown", B + "[NET]\ndisconnectMethod = never\nspeed = 1200\n", 1001,
     {S(6, " 'hard' 'soft' 'both' "), S(6, CONNECTION_LIST), S(6, notValidHere("never"))},
     [] { EXPECT_EQ(net("NET")->disconnectMethod, DISC_SOFT); }},
    {"MaxProcessingDelayNotANumber", B + "[NET]\nspeed = 1200\n[N2]\nmaxProcessingDelay = \"60\"\nspeed = 2400\n", 1001,
     {S(8, "num")}, [] { EXPECT_EQ(net("N2")->maxProcessingDelay, 1200); }},

    // Connection parameters.
    {"Speeds", B + "[A1]\nspeed = 4800\n[B2]\nspeed = 300\n", 1001,
     {S(8, "1200 2400 9600 14400 19200 38400 57600.")},
     [] {
         EXPECT_EQ(net("A1")->primary->speed, 4800);
         EXPECT_EQ(net("B2")->primary->speed, 300);
     }},
    {"DataBitNine", B + "[A1]\ndataBit = 9\n[B2]\nspeed = 1200\n", 1001, {S(6, " '7' '8'")},
     [] {
         EXPECT_EQ(net("A1")->primary->dataBit, 9);
         EXPECT_EQ(net("A1")->primary->stopBits, 1);
         EXPECT_EQ(net("B2")->primary->stopBits, 0);
     }},
    {"DataBitNotANumber", B + "[A1]\nspeed = 1200\ndataBit = \"8\"\n", 1001, {S(7, " '7' '8'"), S(7, "num")},
     [] {
         EXPECT_EQ(net("A1")->primary->dataBit, 1200);
         EXPECT_EQ(net("A1")->primary->stopBits, 1);
     }},
    {"ParityMark", B + "[A1]\nparity = mark\n", 1001,
     {S(6, " 'even' 'odd' 'none' "), S(6, notValidHere("mark"))},
     [] { EXPECT_EQ(net("A1")->primary->parity, 0); }},
    {"ParityOdd", B + "[A1]\nparity = ODD\n", 0, {}, [] { EXPECT_EQ(net("A1")->primary->parity, PARITY_ODD); }},
    {"ComdevDefault",
     "[general]\ndefcomdev = com3\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n"
     "[A1]\ncomdev = \"com1\"\ncomdev = default\n[B2]\nspeed = 1200\n[C3]\ncomdev = \"ttyUSB0\"\n",
     0, {},
     [] {
         EXPECT_EQ(net("A1")->primary->comdev, "COM3");
         EXPECT_EQ(net("B2")->primary->comdev, "COM3");
         EXPECT_EQ(net("C3")->primary->comdev, "TTYUSB0");
     }},
    {"ComdevWithoutDefault", B + "[A1]\nspeed = 1200\n", 0, {}, [] { EXPECT_FALSE(net("A1")->primary->comdev); }},
    {"ComdevWithoutEquals", B + "[A1]\ncomdev \"com2\"\nspeed = 9600\n", 1001,
     {S(6, "="), S(7, " 'string' 'default' '$' ")},
     [] {
         EXPECT_FALSE(net("A1")->primary->comdev);
         EXPECT_EQ(net("A1")->primary->speed, 9600);
     }},
    {"CertificateQZRIdForms",
     B + "[A1]\ncertificateQZRId = Provider\n[B2]\ncertificateQZRId = \"1234\"\n[C3]\ncertificateQZRId = DEFAULT\n"
         "[D4]\ncertificateQZRId = 5\n",
     1001, {S(12, " 'default' 'provider' 'clinic' 'none' 'string' "), S(12, notValidHere("5"))},
     [] {
         EXPECT_EQ(net("A1")->primary->certificateQZRId, "Provider");
         EXPECT_EQ(net("B2")->primary->certificateQZRId, "1234");
         EXPECT_EQ(net("C3")->primary->certificateQZRId, "DEFAULT");
         EXPECT_FALSE(net("D4")->primary->certificateQZRId);
     }},
    {"CertificateStoreAsIdentifier", B + "[A1]\ncertificateStore = abc\ncertificateNetworkId = 7\n", 1001,
     {S(6, "string"), S(7, "string")},
     [] {
         EXPECT_EQ(net("A1")->primary->certificateStore, "abc");
         EXPECT_EQ(net("A1")->primary->certificateNetworkId, "7");
     }},
    {"ConnectionTimeoutHasNoRange", B + "[A1]\nconnectionTimeout = 0\n[B2]\nconnectionTimeout = 99999\n", 0, {},
     [] {
         EXPECT_EQ(net("A1")->primary->connectionTimeout, 0);
         EXPECT_EQ(net("B2")->primary->connectionTimeout, 99999);
     }},
    {"ConnectionRetriesOutOfRange", B + "[A1]\ndialRetries = 0\ndelayBetweenRetries = 0x3D\n", 1001,
     {S(6, "dialRetries=number [1 to 10]"), S(7, "delayBetweenRetries=number [1 to 60]")},
     [] {
         EXPECT_EQ(net("A1")->primary->dialRetries, 0);
         EXPECT_EQ(net("A1")->primary->delayBetweenRetries, 61);
     }},
    {"BooleanOfAConnection", B + "[A1]\ncompress = yes\n", 1001, {S(6, " 'true' 'false' "), S(6, notValidHere("yes"))},
     [] { EXPECT_FALSE(net("A1")->primary->compress); }},
    {"ConnectionTypeUnknown", B + "network N1 begin\nprimary connection begin\nconnectionType = x25\nend\nend\n", 1001,
     {S(7, " 'http' 'tcpip' 'datapac' "), S(7, "end"), S(9, notValidHere("end"))},
     [] { EXPECT_EQ(net("N1")->primary->connectionType, 0); }},
    {"ConnectionModeUnknown", B + "[A1]\nconnectionMode = modem\n", 1001,
     {S(6, " 'direct' 'dialup' "), S(6, notValidHere("modem"))},
     [] { EXPECT_EQ(net("A1")->primary->connectionMode, 0); }},
    {"EmptyConnectionBlock", B + "network N1 begin\nprimary connection begin end\nend\n", 0, {},
     [] {
         const ConnectionDef& c = *net("N1")->primary;
         EXPECT_FALSE(c.comdev);
         EXPECT_EQ(c.speed, 0);
         EXPECT_EQ(c.stopBits, 0);
         EXPECT_EQ(c.connectionType, 0);
         EXPECT_TRUE(c.v2convertAccent);
         EXPECT_EQ(c.dialRetries, 2);
         EXPECT_EQ(c.delayBetweenRetries, 2);
         EXPECT_EQ(c.connectScript, nullptr);
         EXPECT_EQ(net("N1")->secondary, nullptr);
     }},
    {"SecondaryBlockOfASecondaryEntry",
     B + "network N1 begin\nprimary connection begin speed = 1200 end\nend\n"
         "network SECONDARY_N1 begin\nmaxEnqDelay = 5\nprimary connection begin speed = 2400 end\n"
         "secondary connection begin speed = 4800 end\nend\n",
     0, {},
     [] {
         EXPECT_EQ(networkCount(), 1);
         EXPECT_EQ(net("N1")->maxEnqDelay, 5);
         EXPECT_EQ(net("N1")->primary->speed, 1200);
         EXPECT_EQ(net("N1")->secondary->speed, 4800);  // the later connection replaced the first
     }},
};

class FaultTest : public ConfigTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, IsReportedAndStoredAsTheLanguageSays) {
    const FaultCase& c = GetParam();
    ::unsetenv("QZR_NO_SUCH_VARIABLE");
    EXPECT_EQ(readIni(c.text), c.result);
    EXPECT_EQ(messages(), c.messages);
    // Every message is counted, shown in a box, and a stop message asks the
    // window to quit while the reading goes on.
    int stops = 0;
    for (const auto& m : c.messages) stops += m.find("%F-") != std::string::npos;
    EXPECT_EQ(iniParser.errorCount, static_cast<int>(c.messages.size()));
    EXPECT_EQ(window.boxes.size(), c.messages.size());
    EXPECT_EQ(static_cast<int>(window.quits.size()), stops);
    EXPECT_EQ(iniParser.file, nullptr);
    c.check();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(faultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qzr::test
