// The reader's entry points: variables and the environment, redefined
// networks, the prefix limit, files that cannot be opened, the supplemental
// file's own rules, and the stop of a reading in service mode.
#include <cstdlib>

#include "config_fixture.h"
#include "foundation/runtime.h"

namespace qzr::test {
namespace {

const std::string B = "[general]\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n";

std::string S(const std::string& file, int line, const std::string& what) {
    return file + " near line:" + std::to_string(line) + ": %F-0202: Syntax error, expecting: " + what;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line) return true;
    }
    return false;
}

TEST_F(ConfigTest, VariableReferenceTakesTheEnvironmentWhenNotDefined) {
    const char* path = std::getenv("PATH");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(readIni(B + "[A1]\naddress = $(path)\n"), 0);
    EXPECT_EQ(net("A1")->primary->address, path);
}

TEST_F(ConfigTest, DefinedVariableWinsOverTheEnvironment) {
    EXPECT_EQ(readIni("[general]\ninputFileName = req\noutputFileName = rsp\n$PATH = \"first\"\n$Path = \"/opt/%s%n\"\n"
                      "[connectScript]\n[A1]\naddress = $(Path)\nphone = $(PATH)\n"),
              0);
    EXPECT_EQ(net("A1")->primary->address, "/opt/%s%n");  // the later definition, kept as text
    EXPECT_EQ(net("A1")->primary->phone, "/opt/%s%n");
    tbx_hash_entry* e = tbx_hash_find(variableTable, "PATH");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data[0], 1);
}

TEST_F(ConfigTest, VariableFromTheEnvironmentOnlyWhenSet) {
    ::setenv("QZR_CFG_TEST_HOST", "env.example:1", 1);
    EXPECT_EQ(readIni(B + "[A1]\naddress = $(qzr_cfg_test_host)\n[B2]\nprefix = $(QZR_CFG_TEST_NONE)\nspeed = 1200\n"),
              1001);
    ::unsetenv("QZR_CFG_TEST_HOST");
    EXPECT_EQ(net("A1")->primary->address, "env.example:1");
    EXPECT_FALSE(net("B2")->prefix);
    EXPECT_EQ(messages(), std::vector<std::string>{S("qzr.ini", 8, "a valid variable (QZR_CFG_TEST_NONE is undefined) ")});
    // The name that was only looked up is in the table, undefined.
    tbx_hash_entry* e = tbx_hash_find(variableTable, "QZR_CFG_TEST_NONE");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data[0], 0);
}

TEST_F(ConfigTest, RedefinedNetworkKeepsItsSlotWithTheLaterDefinition) {
    EXPECT_EQ(readIni(B + "[Main]\ncomdev = \"com1\"\nphone = \"1\"\n[SECONDARY_MAIN]\nphone = \"2\"\n"
                          "[Other]\ncomdev = \"com3\"\n[MAIN]\nmaxEnqDelay = 9\ncomdev = \"com2\"\n"),
              0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    ASSERT_EQ(networkCount(), 2);
    const NetworkDef& m = *networkTable[0];
    EXPECT_EQ(m.networkName, "MAIN");
    EXPECT_EQ(m.primary->comdev, "COM2");
    EXPECT_FALSE(m.primary->phone);
    EXPECT_EQ(m.secondary, nullptr);
    EXPECT_EQ(m.maxEnqDelay, 9);
    EXPECT_EQ(m.maxProcessingDelay, 30);
    EXPECT_EQ(networkTable[1]->networkName, "OTHER");

    const std::string file = dir.file("qzr.ini");
    auto lines = logLines();
    const std::vector<std::string> warning = {"INFO - **",
                                              "INFO - ** WARNING ** Network MAIN redefined at line 12 of ini file '" +
                                                  file + "'",
                                              "INFO - **"};
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines, warning);

    // The supplemental file may redefine a network of qzr.ini too.
    ini_closeFile();
    EXPECT_EQ(readSup("network other begin\nprimary connection begin speed = 2400 end\nend\n"), 0);
    ASSERT_EQ(networkCount(), 2);
    EXPECT_EQ(networkTable[1]->primary->speed, 2400);
    EXPECT_FALSE(networkTable[1]->primary->comdev);
    EXPECT_TRUE(contains(logLines(), "INFO - ** WARNING ** Network OTHER redefined at line 1 of ini file '" +
                                         dir.file("qzrsup.ini") + "'"));
}

TEST_F(ConfigTest, PrefixLongerThanTheTransactionPrefixIsCut) {
    EXPECT_EQ(readIni("[general]\ninputFileName = req\noutputFileName = rsp\n$Long = \"1234567890ABC\"\n"
                      "[connectScript]\n[A1]\nprefix = \"ABCDEFGHIJKLMNOP\"\nspeed = 1200\n"
                      "[B2]\nprefix = \"ABCDEFGHIJKL\"\nspeed = 1200\n[C3]\nprefix = $(long)\nspeed = 1200\n"),
              0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(net("A1")->prefix, "ABCDEFGHIJKL");
    EXPECT_EQ(net("B2")->prefix, "ABCDEFGHIJKL");
    EXPECT_EQ(net("C3")->prefix, "1234567890AB");
    const std::string file = dir.file("qzr.ini");
    const std::vector<std::string> expected = {
        "INFO - ** WARNING ** Prefix 'ABCDEFGHIJKLMNOP' of network A1 cut to 'ABCDEFGHIJKL' at line 7 of ini file '" +
            file + "'",
        "INFO - ** WARNING ** Prefix '1234567890ABC' of network C3 cut to '1234567890AB' at line 13 of ini file '" +
            file + "'"};
    EXPECT_EQ(logLines(), expected);
}

TEST_F(ConfigTest, FileThatCannotBeOpenedReadsAsEmpty) {
    const std::string missing = dir.file("missing.ini");
    EXPECT_EQ(ini_readFile(missing.c_str()), 1001);
    EXPECT_EQ(messages(), std::vector<std::string>{"%F-0204: Error openning file: 'missing.ini'"});
    EXPECT_EQ(iniParser.errorCount, 1);
    EXPECT_EQ(window.quits.size(), 1u);
    EXPECT_EQ(networkCount(), 0);
    EXPECT_FALSE(Genparam->inputFileName);

    EXPECT_EQ(ini_readSupplementalFile(dir.file("nosup.ini").c_str()), 1001);
    EXPECT_EQ(messages().size(), 2u);
    EXPECT_EQ(messages()[1], "%F-0204: Error openning file: 'nosup.ini'");
    EXPECT_EQ(iniParser.errorCount, 2);
}

TEST_F(ConfigTest, DirectoryInPlaceOfTheFileIsNotRead) {
    std::filesystem::create_directory(dir.path() / "qzr.ini");
    const int result = ini_readFile(dir.file("qzr.ini").c_str());
    EXPECT_EQ(result, 1001);
    EXPECT_GE(iniParser.errorCount, 1);
    EXPECT_EQ(networkCount(), 0);
}

TEST_F(ConfigTest, SupplementalFileReadsOnlyVersionsAndNetworkBlocks) {
    ASSERT_EQ(readIni(B + "[MAIN]\nspeed = 1200\n"), 0);
    ini_closeFile();
    EXPECT_EQ(readSup("[general]\ninputFileName = other\n"), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(Genparam->inputFileName, "REQ");

    EXPECT_EQ(readSup("general begin\nend\n"), 0);
    EXPECT_EQ(readSup("version = \"s1\"\nversion = \"s2\"\n[NET2]\nspeed = 1200\n"), 0);
    EXPECT_EQ(Genparam->version, "s2");
    EXPECT_EQ(networkCount(), 1);
}

TEST_F(ConfigTest, SupplementalFileErrors) {
    ASSERT_EQ(readIni(B + "[MAIN]\nspeed = 1200\n"), 0);
    ini_closeFile();
    EXPECT_EQ(readSup("network NET2 begin\nprimary connection begin speed = 2400 end\nend\n[NET3]\nspeed = 1200\n"), 1001);
    EXPECT_EQ(messages(), std::vector<std::string>{S("qzrsup.ini", 4, "valid parameter name. '[' is not valid here.")});
    EXPECT_EQ(networkCount(), 2);

    EXPECT_EQ(readSup("network SECONDARY_NOPE begin\nprimary connection begin end\nend\n"), -1);
    EXPECT_EQ(messages().back(),
              S("qzrsup.ini", 1, " network [NOPE] main entry that should be defined before the secondary entry"));
    EXPECT_EQ(iniParser.file, nullptr);
}

TEST_F(ConfigTest, SupplementalResultCarriesTheErrorsOfTheMainFile) {
    EXPECT_EQ(readIni(B + "[MAIN]\nspeed = 300\n"), 1001);
    ini_closeFile();
    EXPECT_EQ(readSup("version = \"ok\"\n"), 1001);
    EXPECT_EQ(Genparam->version, "ok");
}

TEST_F(ConfigTest, WithoutAWindowTheFirstSyntaxErrorStopsTheReading) {
    hMainWnd = nullptr;  // service mode
    EXPECT_THROW(readIni(B + "[A1]\nspeed = 300\n[B2]\nspeed = 1200\n"), StopThread);
    EXPECT_EQ(messages(), std::vector<std::string>{S("qzr.ini", 6, "1200 2400 9600 14400 19200 38400 57600.")});
    EXPECT_EQ(findNetwork("B2"), nullptr);
    EXPECT_EQ(iniParser.file, nullptr);  // the stop leaves no stream open
    hMainWnd = &window;
}

TEST_F(ConfigTest, WithoutAWindowAnErrorOfTheSupplementalFileStopsItsReading) {
    ASSERT_EQ(readIni(B + "[MAIN]\nspeed = 1200\n"), 0);
    ini_closeFile();
    hMainWnd = nullptr;
    EXPECT_THROW(readSup("version = v1\nnetwork NET2 begin\nprimary connection begin end\nend\n"), StopThread);
    EXPECT_EQ(messages(), std::vector<std::string>{S("qzrsup.ini", 1, "string")});
    EXPECT_EQ(findNetwork("NET2"), nullptr);
    EXPECT_EQ(iniParser.file, nullptr);
    hMainWnd = &window;
}

TEST_F(ConfigTest, WithoutAWindowAGoodFileReadsWhole) {
    hMainWnd = nullptr;
    EXPECT_EQ(readIni(B + "[A1]\nspeed = 9600\n[B2]\nspeed = 1200\n"), 0);
    EXPECT_EQ(networkCount(), 2);
    hMainWnd = &window;
}

TEST_F(ConfigTest, CloseFileResetsTheReadingPosition) {
    // A reading that ends before the end of the file leaves nothing open.
    EXPECT_EQ(readIni(B + "version = \"1\"\nstop here\nmore text\n"), 0);
    EXPECT_EQ(iniParser.file, nullptr);
    EXPECT_EQ(iniParser.lineNumber, 6);
    ini_closeFile();
    EXPECT_EQ(iniParser.file, nullptr);
    EXPECT_EQ(iniParser.lineNumber, 0);
    EXPECT_EQ(iniParser.lineIndex, TBX_LINE_NEW);
    EXPECT_EQ(iniParser.current, ' ');
}

TEST_F(ConfigTest, ResetForgetsEverything) {
    ASSERT_EQ(readIni("[general]\ninputFileName = req\noutputFileName = rsp\ndialRetries = 7\n$X = \"1\"\n"
                      "[connectScript]\nS1 = return 0\n[A1]\nspeed = 300\n"),
              1001);
    ini_resetConfiguration();
    EXPECT_FALSE(Genparam->inputFileName);
    EXPECT_EQ(Genparam, &genparamRecord);
    EXPECT_EQ(connectionDefaults.dialRetries, 2);
    EXPECT_EQ(networkCount(), 0);
    EXPECT_EQ(scriptList, nullptr);
    EXPECT_EQ(variableTable.count, 0u);
    EXPECT_EQ(iniParser.errorCount, 0);
    EXPECT_EQ(Curnet, nullptr);
    EXPECT_EQ(Curcnx, nullptr);
    // And a new reading starts afresh.
    EXPECT_EQ(readIni(B + "[A1]\nspeed = 1200\n"), 0);
}

TEST_F(ConfigTest, SimulationAndZarNetworksAreKnownByTheirNames) {
    ASSERT_EQ(readIni(B + "[test]\nspeed = 1200\n[Zar]\nspeed = 1200\n[TEST2]\nspeed = 1200\n[ZAR2]\nspeed = 1200\n"
                          "[SECONDARY_TEST]\nspeed = 2400\n"),
              0);
    ini_closeFile();
    ASSERT_EQ(readSup("network zar begin\nprimary connection begin speed = 2400 end\nend\n"
                      "network ATEST begin\nprimary connection begin speed = 2400 end\nend\n"),
              0);
    struct {
        const char* name;
        bool simulation;
        bool zar;
    } cases[] = {{"TEST", true, false}, {"ZAR", false, true}, {"TEST2", false, false},
                 {"ZAR2", false, false}, {"ATEST", false, false}};
    ASSERT_EQ(networkCount(), 5);
    for (const auto& c : cases) {
        EXPECT_EQ(net(c.name)->simulation, c.simulation) << c.name;
        EXPECT_EQ(net(c.name)->zar, c.zar) << c.name;
    }
    EXPECT_EQ(net("ZAR")->primary->speed, 2400);  // redefined by the supplemental file, still ZAR
}

TEST_F(ConfigTest, FindNetworkStopsAtTheFirstEmptySlot) {
    ASSERT_EQ(readIni(B + "[A1]\nspeed = 1200\n[B2]\nspeed = 1200\n"), 0);
    EXPECT_EQ(findNetwork("B2"), networkTable[1]);
    EXPECT_EQ(findNetwork("b2"), nullptr);
    EXPECT_EQ(findNetwork(""), nullptr);
    EXPECT_EQ(findNetwork(nullptr), nullptr);
}

TEST_F(ConfigTest, SupplementalFileLivesInTheProgramDirectory) {
    const std::string saved = ExeDir;
    ExeDir = dir.path().string();
    EXPECT_EQ(ini_supplementalPath(), dir.file("qzrsup.ini"));
    ExeDir = saved;
}

}  // namespace
}  // namespace qzr::test
