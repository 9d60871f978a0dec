// Rule files of every shape, each compared whole with its expected output:
// the debug dump and the rules report as the loader prints them, the log
// lines and toolbox messages the reading writes, the report's result, and
// the code and target of every lookup over the offices and carriers the
// rules name plus a few they do not. The expected files (data/<name>.out)
// pin what the tables show, in its order, however the tables work inside.
//
// QZR_WRITE_EXPECTED=1 writes the .out files afresh from the running code,
// for a deliberate change of what shows; review the difference before
// keeping it.
#include <cstdlib>

#include "switch_fixture.h"

namespace qzr::test {
namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Replaces every occurrence of `from` in `text` with `to`.
std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class ExpectedOutput : public SwitchTest, public ::testing::WithParamInterface<const char*> {
protected:
    // Everything that shows of the rules in `name`.dat, as one text.
    std::string shownOf(const std::string& name)
    {
        RecordingWindow window;
        hMainWnd = &window;
        debugTrace = true;
        const std::string rules = readFile(std::string(QZR_TEST_DATA) + "/" + name + ".dat");
        load(writeRules(rules));

        const std::vector<std::string> loaded = printed();
        std::string out = "-- printed\n";
        for (const std::string& line : loaded) out += line + "\n";

        const auto [rc, lines] = report();
        out += "-- report result " + std::to_string(rc) + "\n";
        // The report written to a stream is the one the loader printed last.
        EXPECT_LE(lines.size(), loaded.size());
        if (lines.size() <= loaded.size()) {
            EXPECT_EQ(lines, std::vector<std::string>(loaded.end() - static_cast<long>(lines.size()), loaded.end()));
        }

        out += "-- log\n";
        // Without the time stamp; the temporary directory as <dir>.
        for (const std::string& line : splitLines(replaceAll(logText(), dir_, "<dir>")))
            if (!line.empty()) out += line.substr(line.size() > 18 ? 18 : 0) + "\n";

        out += "-- messages (" + std::to_string(window.boxes.size()) + " boxes, " +
               std::to_string(window.quits) + " quits)\n";
        for (const std::string& text : messageTexts()) out += replaceAll(text, dir_, "<dir>") + "\n";

        out += "-- lookups\n";
        std::vector<std::string> offices = keysOf(groupsTable);
        std::vector<std::string> carriers = keysOf(carriersTable);
        for (const char* o : {"....", "*   ", "ZZZZ", "a001", "A00"}) offices.push_back(o);
        for (const char* c : {"......", "*     ", "999999", "00001"}) carriers.push_back(c);
        for (const std::string& office : offices) {
            for (const std::string& carrier : carriers) {
                int code = -1;
                const char* text = "untouched";
                const char* target = lookupSwitchTable(office.c_str(), carrier.c_str(), code, &text);
                out += "[" + office + "][" + carrier + "] " + std::to_string(code) + " " +
                       (target ? target : "-") + " / " + text + "\n";
            }
        }
        return out;
    }
};

TEST_P(ExpectedOutput, RulesShowAsExpected)
{
    const std::string name = GetParam();
    const std::string shown = shownOf(name);
    const std::string expectedPath = std::string(QZR_TEST_DATA) + "/" + name + ".out";
    const char* write = std::getenv("QZR_WRITE_EXPECTED");
    if (write && std::string(write) == "1") {
        std::ofstream(expectedPath, std::ios::binary) << shown;
        GTEST_SKIP() << "wrote " << expectedPath;
    }
    const std::string expected = readFile(expectedPath);
    ASSERT_FALSE(expected.empty()) << expectedPath;
    const std::vector<std::string> shownLines = splitLines(shown);
    const std::vector<std::string> expectedLines = splitLines(expected);
    // The first line that differs, then the whole comparison.
    for (std::size_t i = 0; i < shownLines.size() && i < expectedLines.size(); ++i) {
        if (shownLines[i] != expectedLines[i]) {
            ADD_FAILURE() << "line " << i + 1 << ": expected\n  " << expectedLines[i] << "\nshown\n  "
                          << shownLines[i];
            break;
        }
    }
    EXPECT_EQ(shownLines.size(), expectedLines.size());
}

INSTANTIATE_TEST_SUITE_P(RuleFiles, ExpectedOutput,
                         ::testing::Values("mixed", "wide", "dots", "errors", "locked", "empty"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace qzr::test
