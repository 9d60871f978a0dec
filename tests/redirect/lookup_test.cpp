// Lookups by office and carrier: the probe order, the nine result codes and
// their texts, and the pairs that never match.
#include <cstring>

#include "switch_fixture.h"

namespace qzr::test {
namespace {

// A file whose rules meet in several pairs, so that the probe order decides.
const char* const MIXED_RULES = R"(; redirection rules of the test office
version = "test-1"
do not redirect groups = "A001" and carriers = "000001"
redirect to "net1" groups = "A001", "A002" and carriers = "000001", "000002"
redirect to "NETB" groups = "B001" and carriers = all
redirect to "NETC" groups = all and carriers = "000003"
do not redirect groups = all and carriers = "000005"
do not redirect groups = "D001" and carriers = all
redirect to "NETE" groups = "E001" and carriers = "000007"
redirect to "NETF" groups = "E001" and carriers = all
)";

struct LookupCase {
    const char* office;
    const char* carrier;
    int code;
    const char* target;  // null: none
};

// Looks every case up and checks code, target and text.
void checkCases(const std::vector<LookupCase>& cases)
{
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(std::string(c.office ? c.office : "(null)") + "/" +
                     (c.carrier ? c.carrier : "(null)"));
        int code = -1;
        const char* text = "untouched";
        const char* target = lookupSwitchTable(c.office, c.carrier, code, &text);
        EXPECT_EQ(code, c.code);
        if (c.target)
            EXPECT_STREQ(target, c.target);
        else
            EXPECT_EQ(target, nullptr);
        if (c.code == 0) {
            EXPECT_STREQ(text, "untouched");
        } else {
            EXPECT_STREQ(text, switchResultText(c.code));
            EXPECT_EQ(std::strncmp(text, std::to_string(c.code).c_str(), 3), 0);
        }
    }
}

TEST_F(SwitchTest, ProbeOrderDecidesBetweenRules)
{
    load(writeRules(MIXED_RULES));
    checkCases({
        // The interdiction of the pair comes before its redirection.
        {"A001", "000001", REDIR_DENY_OFFICE_CARRIER, nullptr},
        {"A001", "000002", REDIR_OFFICE_CARRIER, "NET1"},
        {"A002", "000001", REDIR_OFFICE_CARRIER, "NET1"},
        {"A002", "000002", REDIR_OFFICE_CARRIER, "NET1"},
        // One office for all carriers against all offices for one carrier.
        {"B001", "000003", REDIR_OFFICE, "NETB"},
        {"C001", "000003", REDIR_CARRIER, "NETC"},
        {"B001", "000009", REDIR_OFFICE, "NETB"},
        // The office's own carrier first, then its rule for all carriers.
        {"E001", "000007", REDIR_OFFICE_CARRIER, "NETE"},
        {"E001", "000001", REDIR_OFFICE, "NETF"},
        {"E001", "000003", REDIR_OFFICE, "NETF"},
        // Interdictions from the widest to the narrowest, before redirections.
        {"A001", "000005", REDIR_DENY_CARRIER, nullptr},
        {"D001", "000005", REDIR_DENY_CARRIER, nullptr},
        {"D001", "000003", REDIR_DENY_OFFICE, nullptr},
        {"D001", "000001", REDIR_DENY_OFFICE, nullptr},
        {"C001", "000001", REDIR_NO_RULE, nullptr},
        {"A001", "000009", REDIR_NO_RULE, nullptr},
        // Rule offices are upper case: a lower-case request office is another office.
        {"b001", "000003", REDIR_CARRIER, "NETC"},
        {"b001", "000009", REDIR_NO_RULE, nullptr},
        {"e001", "000007", REDIR_NO_RULE, nullptr},
    });
}

TEST_F(SwitchTest, WrongLengthsGiveCodeZero)
{
    load(writeRules(MIXED_RULES));
    checkCases({
        {"A01", "000001", REDIR_NONE, nullptr},
        {"A0011", "000001", REDIR_NONE, nullptr},
        {"A001", "00001", REDIR_NONE, nullptr},
        {"A001", "0000011", REDIR_NONE, nullptr},
        {"", "", REDIR_NONE, nullptr},
        {nullptr, "000001", REDIR_NONE, nullptr},
        {"A001", nullptr, REDIR_NONE, nullptr},
        // A request naming the all-offices marker meets the rule's own pair
        // at the first redirection probe.
        {"*   ", "*     ", REDIR_NO_RULE, nullptr},
        {"*   ", "000003", REDIR_OFFICE_CARRIER, "NETC"},
    });
}

TEST_F(SwitchTest, InterdictionOfEverythingAnswers601)
{
    load(writeRules(R"(version = "locked"
redirect to "NET1" groups = "A001" and carriers = "000001"
do not redirect groups = all and carriers = all
redirect to "NET2" groups = all and carriers = all
)"));
    checkCases({
        {"A001", "000001", REDIR_DENY_ALL, nullptr},
        {"Z999", "123456", REDIR_DENY_ALL, nullptr},
        {"....", "......", REDIR_DENY_ALL, nullptr},
        {"A001", "00001", REDIR_NONE, nullptr},
    });
}

TEST_F(SwitchTest, RuleForEverythingAlone)
{
    load(writeRules("version = \"x\"\nredirect to \"anywhere\" groups = all and carriers = all\n"));
    checkCases({
        {"A001", "000001", REDIR_ALL, "ANYWHERE"},
        {"zzzz", "abcdef", REDIR_ALL, "ANYWHERE"},
        {"A001", "0000001", REDIR_NONE, nullptr},
    });
}

TEST_F(SwitchTest, WithoutFileEveryLookupFindsNoRule)
{
    load(dir_ + "/missing.dat");
    checkCases({
        {"A001", "000001", REDIR_NO_RULE, nullptr},
        {"*   ", "*     ", REDIR_NO_RULE, nullptr},
    });
    EXPECT_TRUE(capturedMessages().empty());
    EXPECT_EQ(switchTable.count + notSwitchTable.count + switchNetworks.count, 0u);
}

TEST_F(SwitchTest, LookupWithoutTextOutParameterAndNeverInserts)
{
    load(writeRules(MIXED_RULES));
    // Unlocked, the tables would take any key a find offered them.
    switchTable.flags &= ~TBX_HASH_FIND_ONLY;
    notSwitchTable.flags &= ~TBX_HASH_FIND_ONLY;
    const unsigned before = switchTable.count + notSwitchTable.count;
    int code = 0;
    EXPECT_STREQ(lookupSwitchTable("A002", "000002", code), "NET1");
    EXPECT_EQ(code, REDIR_OFFICE_CARRIER);
    EXPECT_EQ(lookupSwitchTable("Q123", "999999", code), nullptr);
    EXPECT_EQ(code, REDIR_NO_RULE);
    EXPECT_EQ(switchTable.count + notSwitchTable.count, before);
}

TEST_F(SwitchTest, ResultTexts)
{
    const std::pair<int, const char*> texts[] = {
        {601, "601 No office redirection allowed for any carrier"},
        {602, "602 No office redirection allowed for this carrier"},
        {603, "603 No redirection allowed for this office"},
        {604, "604 No redirection allowed for this office and carrier"},
        {701, "701 this office is redirected for this carrier"},
        {702, "702 this office is redirected for all carriers"},
        {703, "703 All offices redirected for this carrier"},
        {704, "704 All offices redirected for all carriers"},
        {699, "699 No redirection rule found"},
        {0, ""},
        {700, ""},
    };
    for (const auto& [code, text] : texts) EXPECT_STREQ(switchResultText(code), text) << code;
}

}  // namespace
}  // namespace qzr::test
