// The redirection file reader: grammar, upper-casing, office and carrier
// checks, syntax errors with and without a main window.
#include <algorithm>

#include "switch_fixture.h"

namespace qzr::test {
namespace {

const char* const SYNTAX = "%F-0202: Syntax error, expecting: ";
const char* const OFFICE_MESSAGE = " valid office number, must be exactly 4 caracters.";

int codeOf(const char* office, const char* carrier, const char** target = nullptr)
{
    int code = -1;
    const char* t = lookupSwitchTable(office, carrier, code);
    if (target) *target = t;
    return code;
}

// Creates empty, unlocked switch tables, as the loader does before reading.
void createTables()
{
    tbx_hash_init(switchTable, 70);
    tbx_hash_init(notSwitchTable, 70);
    tbx_hash_init(carriersTable, 70);
    tbx_hash_init(groupsTable, 70);
    tbx_hash_init(switchNetworks, 5);
}

TEST_F(SwitchTest, EmptyFileWithWindowReportsVersionAndReadsNothing)
{
    RecordingWindow window;
    hMainWnd = &window;
    const std::string path = writeRules("");
    load(path);

    ASSERT_EQ(capturedMessages().size(), 1u);
    const auto& [flags, text] = capturedMessages()[0];
    EXPECT_EQ(flags, TBX_SEV_STOP | TBX_SEV_CONTEXT);
    const std::string tail = std::string(SYNTAX) + " 'version' ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].title, "QZR Error");
    EXPECT_EQ(window.boxes[0].text, text);
    EXPECT_EQ(window.boxes[0].style, MB_STYLE_ERROR);
    EXPECT_EQ(window.quits, 1);

    EXPECT_EQ(logCount("ERROR- ", "Error processing switching file " + path + "\n"), 1);
    EXPECT_EQ(switchTable.count + notSwitchTable.count, 0u);
    EXPECT_EQ(g_version, "");
    EXPECT_EQ(codeOf("A001", "000001"), REDIR_NO_RULE);
}

TEST_F(SwitchTest, EmptyFileWithoutWindowStopsTheWorker)
{
    const std::string path = writeRules("");
    EXPECT_THROW(loadSwitchTable(path.c_str()), StopThread);
    EXPECT_EQ(capturedMessages().size(), 1u);
    // The pair tables are locked whatever ended the loading.
    EXPECT_NE(switchTable.flags & TBX_HASH_FIND_ONLY, 0u);
    EXPECT_NE(notSwitchTable.flags & TBX_HASH_FIND_ONLY, 0u);
}

TEST_F(SwitchTest, VersionOnlyInLowerCase)
{
    const std::string path = writeRules("version = \"rules-b.2\" ; no rule yet\n");
    load(path);
    EXPECT_EQ(g_version, "RULES-B.2");
    EXPECT_TRUE(capturedMessages().empty());
    EXPECT_EQ(logCount("ERROR- ", "Error processing switching file"), 0);
    EXPECT_EQ(switchTable.count + notSwitchTable.count + switchNetworks.count, 0u);
}

TEST_F(SwitchTest, KeywordsInAnyCaseAndTextsUpperCased)
{
    load(writeRules(R"(VeRsIoN = "Mixed.Case_1"
REDIRECT TO "net-é1" Groups = ALL aNd Carriers = "abc123"
Do NoT rEdIrEcT gRoUpS = "q1w2" AND CARRIERS = all
)"));
    EXPECT_EQ(g_version, "MIXED.CASE_1");
    const char* target = nullptr;
    EXPECT_EQ(codeOf("X001", "ABC123", &target), REDIR_CARRIER);
    EXPECT_STREQ(target, "NET-é1");  // only a-z change
    EXPECT_EQ(codeOf("X001", "abc123"), REDIR_NO_RULE);
    EXPECT_EQ(codeOf("Q1W2", "ABC123"), REDIR_DENY_OFFICE);
    EXPECT_TRUE(capturedMessages().empty());
}

TEST_F(SwitchTest, MisspeltKeywordEndsReadingSilently)
{
    const std::string path = writeRules(R"(version = "v2"
redirect to "NET1" groups = "A001" and carriers = "000001"
redirec to "NET2" groups = "A002" and carriers = "000002"
redirect to "NET3" groups = "A003" and carriers = "000003"
)");
    RecordingWindow window;
    hMainWnd = &window;
    load(path);
    EXPECT_EQ(codeOf("A001", "000001"), REDIR_OFFICE_CARRIER);
    EXPECT_EQ(codeOf("A002", "000002"), REDIR_NO_RULE);
    EXPECT_EQ(codeOf("A003", "000003"), REDIR_NO_RULE);
    EXPECT_TRUE(capturedMessages().empty());
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(window.quits, 0);
    EXPECT_EQ(logCount("ERROR- ", "Error processing switching file"), 0);
}

TEST_F(SwitchTest, StrayStringEndsReadingSilently)
{
    load(writeRules(R"(version = "v"
do not redirect groups = "A001" and carriers = all
"oops"
do not redirect groups = "A002" and carriers = all
)"));
    EXPECT_EQ(codeOf("A001", "000001"), REDIR_DENY_OFFICE);
    EXPECT_EQ(codeOf("A002", "000001"), REDIR_NO_RULE);
    EXPECT_TRUE(capturedMessages().empty());
}

const char* const MISSING_EQUAL = R"(version = "v"
redirect to "NET0" groups = "A000" and carriers = "000000"
redirect to "NET1" groups "A001" and carriers = "000001"
redirect to "NET2" groups = "A002" and carriers = "000002"
)";

TEST_F(SwitchTest, MissingEqualWithWindowSkipsTokenAndReadsOn)
{
    RecordingWindow window;
    hMainWnd = &window;
    const std::string path = writeRules(MISSING_EQUAL);
    load(path);

    // "A001" is taken for the "=", so the office list then meets "and".
    const std::string where = path + " near line:3: " + SYNTAX;
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{where + "=", where + " 'all' 'string' "}));
    EXPECT_EQ(window.boxes.size(), 2u);
    EXPECT_EQ(window.quits, 2);
    EXPECT_EQ(logCount("ERROR- ", "Error processing switching file " + path), 1);

    const char* target = nullptr;
    EXPECT_EQ(codeOf("A000", "000000", &target), REDIR_OFFICE_CARRIER);
    EXPECT_STREQ(target, "NET0");
    EXPECT_EQ(codeOf("A001", "000001"), REDIR_NO_RULE);
    EXPECT_EQ(codeOf("A002", "000002", &target), REDIR_OFFICE_CARRIER);
    EXPECT_STREQ(target, "NET2");
}

TEST_F(SwitchTest, MissingEqualWithoutWindowStopsAtFirstError)
{
    const std::string path = writeRules(MISSING_EQUAL);
    EXPECT_THROW(loadSwitchTable(path.c_str()), StopThread);
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{path + " near line:3: " + SYNTAX + "="}));
    EXPECT_EQ(codeOf("A000", "000000"), REDIR_OFFICE_CARRIER);
    EXPECT_EQ(codeOf("A002", "000002"), REDIR_NO_RULE);
}

TEST_F(SwitchTest, FiveCharacterOfficeAndCarrierAreDropped)
{
    const std::string path = writeRules(R"(version = "v"
redirect to "NET1" groups = "A0001" and carriers = "000001"
redirect to "NET2" groups = "A002" and carriers = "00002"
redirect to "NET3" groups = "A0003", "A003" and carriers = "000003", "0000033"
)");
    load(path);
    EXPECT_TRUE(capturedMessages().empty());
    EXPECT_EQ(logCount("ERROR- ", OFFICE_MESSAGE), 2);
    EXPECT_NE(std::string(lastErrorLine).find(OFFICE_MESSAGE), std::string::npos);
    EXPECT_EQ(logCount("ERROR- ", "Error processing switching file"), 0);

    EXPECT_EQ(keysOf(switchTable), std::vector<std::string>{"A003000003"});
    EXPECT_EQ(keysOf(groupsTable), std::vector<std::string>{"A003"});
    EXPECT_EQ(keysOf(carriersTable), std::vector<std::string>{"000003"});
    EXPECT_EQ(keysOf(switchNetworks), std::vector<std::string>{"NET3"});
    EXPECT_EQ(codeOf("A002", "000002"), REDIR_NO_RULE);
}

TEST_F(SwitchTest, OfficesDoNotLeakIntoTheNextRule)
{
    load(writeRules(R"(version = "v"
redirect to "NET1" groups = "A001" and carriers = "000001"
redirect to "NET2" groups = "A002" and carriers = "000002"
do not redirect groups = all and carriers = "000009"
redirect to "NET3" groups = "A003" and carriers = "000009"
)"));
    EXPECT_EQ(codeOf("A001", "000002"), REDIR_NO_RULE);
    EXPECT_EQ(codeOf("A002", "000001"), REDIR_NO_RULE);
    EXPECT_EQ(codeOf("A003", "000009"), REDIR_DENY_CARRIER);
    EXPECT_EQ(keysOf(notSwitchTable), std::vector<std::string>{"*   000009"});
    EXPECT_EQ(keysOf(ruleGroups), std::vector<std::string>{"A003"});
}

TEST_F(SwitchTest, SameOfficeTwiceInOneListCountsOnce)
{
    load(writeRules(R"(version = "v"
/* the second and third name the same office */
redirect to "N" groups = "A001", "a001", "A001" and carriers = "000001", "000002"
)"));
    EXPECT_EQ(switchTable.count, 2u);
    EXPECT_EQ(groupsTable.count, 1u);
    EXPECT_EQ(logCount("ERROR- ", " grp already defined"), 0);
}

TEST_F(SwitchTest, FirstRuleKeepsAPair)
{
    load(writeRules(R"(version = "v"
redirect to "FIRST" groups = "A001" and carriers = "000001"
redirect to "SECOND" groups = "A001", "A002" and carriers = "000001"
do not redirect groups = "A003" and carriers = all
do not redirect groups = "A003" and carriers = all
)"));
    EXPECT_EQ(logCount("ERROR- ", " grp already defined"), 2);
    const char* target = nullptr;
    EXPECT_EQ(codeOf("A001", "000001", &target), REDIR_OFFICE_CARRIER);
    EXPECT_STREQ(target, "FIRST");
    EXPECT_EQ(codeOf("A002", "000001", &target), REDIR_OFFICE_CARRIER);
    EXPECT_STREQ(target, "SECOND");
    EXPECT_EQ(codeOf("A003", "000001"), REDIR_DENY_OFFICE);
    // Every target named by a rule is listed, "N/A" of the interdictions too.
    auto networks = keysOf(switchNetworks);
    std::sort(networks.begin(), networks.end());
    EXPECT_EQ(networks, (std::vector<std::string>{"FIRST", "N/A", "SECOND"}));
}

TEST_F(SwitchTest, WordAfterCommaIsOfferedAsOffice)
{
    RecordingWindow window;
    hMainWnd = &window;
    const std::string path = writeRules(R"(version = "v"
redirect to "NET1" groups = "A001", abcd and carriers = "000001"
)");
    load(path);
    EXPECT_EQ(messageTexts(), std::vector<std::string>{path + " near line:2: " + SYNTAX + "string"});
    EXPECT_EQ(codeOf("A001", "000001"), REDIR_OFFICE_CARRIER);
    EXPECT_EQ(codeOf("ABCD", "000001"), REDIR_OFFICE_CARRIER);
}

TEST_F(SwitchTest, TargetMustBeAString)
{
    RecordingWindow window;
    hMainWnd = &window;
    const std::string path = writeRules(R"(version = v3
redirect to net1 groups = "A001" and carriers = "000001"
)");
    load(path);
    EXPECT_EQ(messageTexts(), (std::vector<std::string>{path + " near line:1: " + SYNTAX + "string",
                                                        path + " near line:2: " + SYNTAX + "string"}));
    // The texts are taken all the same.
    EXPECT_EQ(g_version, "V3");
    const char* target = nullptr;
    EXPECT_EQ(codeOf("A001", "000001", &target), REDIR_OFFICE_CARRIER);
    EXPECT_STREQ(target, "NET1");
}

TEST_F(SwitchTest, ResultCountsOnlyItsOwnReading)
{
    RecordingWindow window;
    hMainWnd = &window;
    createTables();
    EXPECT_EQ(readSwitchFile(writeRules("", "bad.dat").c_str()), 1001);
    createTables();
    EXPECT_EQ(readSwitchFile(writeRules("version = \"ok\"\n", "good.dat").c_str()), 0);
    EXPECT_EQ(g_version, "OK");
}

TEST_F(SwitchTest, AddGroupChecksLength)
{
    tbx_hash_init(ruleGroups, 70);
    EXPECT_EQ(addGroup("A001"), 1);
    EXPECT_EQ(addGroup("A001"), 1);
    EXPECT_EQ(ruleGroups.count, 1u);
    EXPECT_EQ(logCount("ERROR- ", OFFICE_MESSAGE), 0);
    EXPECT_EQ(addGroup("A01"), 0);
    EXPECT_EQ(addGroup("A0001"), 0);
    EXPECT_EQ(addGroup(nullptr), 0);
    EXPECT_EQ(ruleGroups.count, 1u);
    EXPECT_EQ(logCount("ERROR- ", OFFICE_MESSAGE), 3);
}

TEST_F(SwitchTest, AddSwitchTablePairsCarrierWithEveryOffice)
{
    createTables();
    tbx_hash_init(ruleGroups, 70);
    ASSERT_EQ(addGroup("A001"), 1);
    ASSERT_EQ(addGroup("*   "), 1);
    tbx_hash_find(ruleGroups, "A01");  // not an office: skipped

    EXPECT_EQ(addSwitchTable(switchTable, "000001", "NET1"), 2);
    EXPECT_EQ(addSwitchTable(switchTable, "000001", "NET2"), 0);
    EXPECT_EQ(logCount("ERROR- ", " grp already defined"), 2);
    EXPECT_EQ(addSwitchTable(switchTable, "00001", "NET1"), 0);
    EXPECT_EQ(addSwitchTable(switchTable, nullptr, "NET1"), 0);
    EXPECT_EQ(addSwitchTable(switchTable, "000002", nullptr), 0);
    EXPECT_EQ(addSwitchTable(notSwitchTable, "*     ", "N/A"), 2);

    EXPECT_EQ(switchTable.count, 2u);
    EXPECT_EQ(notSwitchTable.count, 2u);
    // The markers for all offices and all carriers are not listed as names.
    EXPECT_EQ(keysOf(carriersTable), std::vector<std::string>{"000001"});
    EXPECT_EQ(keysOf(groupsTable), std::vector<std::string>{"A001"});
    auto networks = keysOf(switchNetworks);
    std::sort(networks.begin(), networks.end());
    EXPECT_EQ(networks, (std::vector<std::string>{"N/A", "NET1", "NET2"}));
}

TEST_F(SwitchTest, FileLivesInProgramDirectory)
{
    const std::string saved = ExeDir;
    ExeDir = "/opt/quarzel";
    EXPECT_EQ(switchFilePath(), "/opt/quarzel/qzrredir.dat");
    ExeDir = saved;
}

}  // namespace
}  // namespace qzr::test
