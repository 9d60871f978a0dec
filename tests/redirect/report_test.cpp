// The rules report and the debug dump, compared whole, line by line. Lines of
// a step follow the tables' bucket order: offices A002 (bucket 10), A001
// (50), B001 (51), D001 (53), E001 (54); carriers 000002 (10), 000001 (21),
// 000007 (43), 000005 (65), 000003 (68) in tables of 70 slots.
#include "switch_fixture.h"

namespace qzr::test {
namespace {

using Lines = std::vector<std::string>;

TEST_F(SwitchTest, ReportOfMixedRules)
{
    load(writeRules(R"(version = "test-1"
do not redirect groups = "A001" and carriers = "000001"
redirect to "net1" groups = "A001", "A002" and carriers = "000001", "000002"
redirect to "NETB" groups = "B001" and carriers = all
redirect to "NETC" groups = all and carriers = "000003"
do not redirect groups = all and carriers = "000005"
do not redirect groups = "D001" and carriers = all
redirect to "NETE" groups = "E001" and carriers = "000007"
redirect to "NETF" groups = "E001" and carriers = all
)"));
    const Lines expected = {
        "Redirection rules report:",
        "  Interdiction Rules:",
        "  No redirection for Carrier 000005 (any office)",
        "  No redirection for Office D001",
        "  No redirection for Office A001 + Carrier 000001",
        "  Redirection Rules:",
        "  Office A002  Carrier 000002:   -> NET1",
        "  Office A002  Carrier 000001:   -> NET1",
        "  Office A001  Carrier 000002:   -> NET1",
        "  Office B001  all carriers      -> NETB",
        "  Office E001  Carrier 000007:   -> NETE",
        "  Office E001  any other carrier -> NETF",
        "  Any office + Carrier 000003    -> NETC",
        "  * * * NO OTHER office or carrier will be redirected * * *",
        "* END of Report *",
    };
    EXPECT_EQ(printed(), expected);
    const auto [rc, lines] = report();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lines, expected);
}

TEST_F(SwitchTest, ReportWhenEverythingIsForbidden)
{
    load(writeRules(R"(version = "locked"
redirect to "NET1" groups = "A001" and carriers = "000001"
do not redirect groups = all and carriers = all
)"));
    const Lines expected = {
        "Redirection rules report:",
        "  No redirection allowed (all other rules ignored)",
        "* END of Report *",
    };
    EXPECT_EQ(printed(), expected);
    const auto [rc, lines] = report();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(lines, expected);
}

TEST_F(SwitchTest, ReportOfRuleForEverything)
{
    load(writeRules("version = \"x\"\nredirect to \"anywhere\" groups = all and carriers = all\n"));
    const Lines expected = {
        "Redirection rules report:",
        "  Interdiction Rules:",
        "  Redirection Rules:",
        "  Any other office or carrier    -> ANYWHERE",
        "* END of Report *",
    };
    EXPECT_EQ(printed(), expected);
    EXPECT_EQ(report().second, expected);
}

TEST_F(SwitchTest, ReportWithoutFileGoesToStandardOutput)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadSwitchTable((dir_ + "/no-such-file.dat").c_str()), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Redirection rules report:\n"
              "  Interdiction Rules:\n"
              "  Redirection Rules:\n"
              "  * * * NO OTHER office or carrier will be redirected * * *\n"
              "* END of Report *\n");
    EXPECT_EQ(logText().find("Error processing switching file"), std::string::npos);
}

TEST_F(SwitchTest, DebugDumpPrecedesReportAndShowsAbsentTargetsEmpty)
{
    debugTrace = true;
    load(writeRules(R"(version = "d"
do not redirect groups = "A001" and carriers = "000001"
redirect to "net1" groups = "A002" and carriers = all
redirect to "net2" groups = "A001" and carriers = "000002"
)"));
    const Lines expected = {
        "Debug NOT Switch Table: ",
        "0 A001000001 -> N/A",
        "Switch Table:",
        "0 A001000002 -> NET2",
        "1 A002*      -> NET1",
        "Carriers Table:",
        "0 000002 -> ",
        "1 000001 -> ",
        "Groups Table:",
        "0 A002 -> ",
        "1 A001 -> ",
        "Redirection rules report:",
        "  Interdiction Rules:",
        "  No redirection for Office A001 + Carrier 000001",
        "  Redirection Rules:",
        "  Office A002  all carriers      -> NET1",
        "  Office A001  Carrier 000002:   -> NET2",
        "  * * * NO OTHER office or carrier will be redirected * * *",
        "* END of Report *",
    };
    EXPECT_EQ(printed(), expected);
}

TEST_F(SwitchTest, NoDumpWithoutDebugTrace)
{
    load(writeRules("version = \"d\"\nredirect to \"net1\" groups = \"A002\" and carriers = all\n"));
    for (const std::string& line : printed()) EXPECT_EQ(line.find("Table:"), std::string::npos);
}

TEST_F(SwitchTest, ReportToLogWhileWindowHoldsTerminal)
{
    switch_report_printer = switch_logPrinter;
    testing::internal::CaptureStdout();
    ASSERT_EQ(loadSwitchTable(writeRules("version = \"x\"\nredirect to \"far\" groups = all and carriers = all\n").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(logCount("INFO - ", "Redirection rules report:\n\n"), 0);  // no line feed kept
    EXPECT_EQ(logCount("INFO - ", "Redirection rules report:"), 1);
    EXPECT_EQ(logCount("INFO - ", "  Any other office or carrier    -> FAR"), 1);
    EXPECT_EQ(logCount("INFO - ", "* END of Report *"), 1);
}

// The report's walks over the carriers restart for every office, and an
// office that names both its own carriers and all carriers says "any other".
TEST_F(SwitchTest, ReportNestedWalksRestartForEveryOffice)
{
    load(writeRules(R"(version = "n"
redirect to "N1" groups = "A001", "A002" and carriers = "000001", "000002"
do not redirect groups = "A001", "A002" and carriers = "000007"
)"));
    const Lines expected = {
        "Redirection rules report:",
        "  Interdiction Rules:",
        "  No redirection for Office A002 + Carrier 000007",
        "  No redirection for Office A001 + Carrier 000007",
        "  Redirection Rules:",
        "  Office A002  Carrier 000002:   -> N1",
        "  Office A002  Carrier 000001:   -> N1",
        "  Office A001  Carrier 000002:   -> N1",
        "  Office A001  Carrier 000001:   -> N1",
        "  * * * NO OTHER office or carrier will be redirected * * *",
        "* END of Report *",
    };
    EXPECT_EQ(printed(), expected);
}

}  // namespace
}  // namespace qzr::test
