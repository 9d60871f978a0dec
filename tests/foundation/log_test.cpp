#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "foundation/log.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

using namespace qzr;

namespace {

// The part of a screen line after its "HH:MM:SS " stamp.
std::string screenText(const char* line)
{
    std::string s = line ? line : "";
    return s.size() >= 9 ? s.substr(9) : s;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { log_resetScreen(); }
    void TearDown() override { log_close(); }
    std::string openLog(bool append = false)
    {
        std::string path = dir.file("qzr.log");
        EXPECT_EQ(log_open(path.c_str(), append), 0);
        return path;
    }
    std::string closeAndRead()
    {
        log_close();
        return dir.read("qzr.log");
    }
    test::TempDir dir;
};

}  // namespace

TEST_F(LogTest, LinesCarryStampAndLevelPrefix)
{
    openLog();
    struct { int level; const char* prefix; } cases[] = {
        {LOG_INFO, "INFO - "}, {LOG_STATUS, "INFO - "}, {LOG_COM_OUT, "COM<-- "},
        {LOG_COM_IN, "COM  :- "}, {LOG_COM_WAIT, "COM  :- "}, {LOG_PROT, "INFO -prot. "},
        {LOG_TAPI_INFO, "TAPI-INF-  "}, {LOG_TAPI_ERROR, "TAPI-ERR-  "}, {LOG_ERROR, "ERROR- "},
        {LOG_PROT_ERROR, "ERROR-prot. "}, {LOG_DEBUG, "CODE -420- "}, {0, "CODE -000- "},
        {24, "CODE -024- "}, {1034, "CODE -1034- "},
    };
    std::string expected;
    for (const auto& c : cases) {
        log_write(c.level, "text %d", c.level);
        expected += std::string(c.prefix) + "text " + std::to_string(c.level) + "\n";
    }
    std::string content = closeAndRead();
    // A rewritten log starts with an empty line; the last line has no line feed.
    ASSERT_EQ(content[0], '\n');
    ASSERT_NE(content.back(), '\n');
    std::regex stamp("\n[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2} ");
    std::string got;
    for (std::sregex_iterator it(content.begin(), content.end(), stamp), end; it != end; ++it) {
        auto next = std::next(it);
        std::size_t from = static_cast<std::size_t>(it->position() + it->length());
        std::size_t to = next == end ? content.size() : static_cast<std::size_t>(next->position());
        got += content.substr(from, to - from) + "\n";
    }
    EXPECT_EQ(got, expected);
}

TEST_F(LogTest, CodeLinesCarryTheirNumberAndMarkNoError)
{
    openLog();
    log_write(LOG_ERROR, "last error");
    log_write(LOG_STATUS, "last status");
    log_code(0, "note %s", "zero");
    log_code(1043, "Too many errors ");
    EXPECT_EQ(screenText(lastErrorLine), "last error");
    EXPECT_EQ(screenText(statusLine), "last status");
    EXPECT_EQ(screenText(screenLines.current), "Too many errors ");
    log_code(1031, "a level's own number");
    EXPECT_EQ(screenText(lastErrorLine), "a level's own number");
    std::string content = closeAndRead();
    EXPECT_NE(content.find(" CODE -000- note zero\n"), std::string::npos) << content;
    EXPECT_NE(content.find(" CODE -1043- Too many errors \n"), std::string::npos) << content;
    EXPECT_NE(content.find(" ERROR-prot. a level's own number"), std::string::npos) << content;
}

TEST_F(LogTest, AppendModeKeepsAndRewriteModeReplaces)
{
    openLog();
    log_write(LOG_INFO, "first");
    log_close();
    openLog(true);
    log_write(LOG_INFO, "second");
    std::string both = closeAndRead();
    EXPECT_NE(both.find("first"), std::string::npos);
    EXPECT_NE(both.find("second"), std::string::npos);
    openLog(false);
    log_write(LOG_INFO, "third");
    std::string only = closeAndRead();
    EXPECT_EQ(only.find("first"), std::string::npos);
    EXPECT_NE(only.find("third"), std::string::npos);
}

// Nothing waits in a buffer: a process killed just after a write leaves the
// line, continued or dumped, in the file.
TEST_F(LogTest, EveryWriteIsInTheFileWhenItReturns)
{
    openLog();
    log_write(LOG_INFO, "visible");
    EXPECT_NE(dir.read("qzr.log").find("INFO - visible"), std::string::npos);
    log_append(" continued");
    EXPECT_NE(dir.read("qzr.log").find("INFO - visible continued"), std::string::npos);
    log_dump(LOG_COM_OUT, "sent", "\x02" "AB", 3);
    EXPECT_NE(dir.read("qzr.log").find("COM<-- sent len=3 <#02AB>"), std::string::npos);
    log_dump(LOG_COM_IN, nullptr, "CD", 2);
    EXPECT_NE(dir.read("qzr.log").find("<#02AB>CD"), std::string::npos);
    log_flush();
    EXPECT_NE(dir.read("qzr.log").find("CD"), std::string::npos);
}

TEST_F(LogTest, UnopenableLogReportsAndLeavesLogClosed)
{
    std::string bad = dir.file("missing/dir/qzr.log");
    EXPECT_EQ(log_open(bad.c_str(), false), 2);
    EXPECT_FALSE(log_isOpen());
    EXPECT_EQ(screenText(lastErrorLine), "cannot open log file " + bad + "\n");
}

TEST_F(LogTest, StatusAndErrorLinesFollowTheirLevels)
{
    log_write(LOG_STATUS, "Waiting %s", "for requests");
    EXPECT_STREQ(statusLine, screenLines.current);
    EXPECT_EQ(screenText(statusLine), "Waiting for requests");
    EXPECT_TRUE(std::regex_match(std::string(statusLine), std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2} Waiting for requests")));
    log_write(LOG_INFO, "not a status");
    EXPECT_EQ(screenText(statusLine), "Waiting for requests");
    log_write(LOG_PROT_ERROR, "bad frame");
    EXPECT_EQ(screenText(lastErrorLine), "bad frame");
    log_write(LOG_ERROR, "worse");
    EXPECT_EQ(screenText(lastErrorLine), "worse");
}

TEST_F(LogTest, NinthLineReplacesTheFirst)
{
    for (int i = 1; i <= 7; ++i) log_write(LOG_INFO, "line %d", i);
    EXPECT_EQ(screenLines.display[0], nullptr);
    EXPECT_EQ(screenText(screenLines.display[1]), "line 1");
    log_write(LOG_INFO, "line 8");
    log_write(LOG_INFO, "line 9");
    for (int i = 0; i < SCREEN_LINE_COUNT; ++i)
        EXPECT_EQ(screenText(screenLines.display[i]), "line " + std::to_string(i + 2)) << i;
    // The ninth went into the first line's slot.
    EXPECT_EQ(screenLines.current, screenLines.lines[0]);
    EXPECT_EQ(screenLines.ringIndex, 1);
}

TEST_F(LogTest, LongTextIsCutOnScreenButWholeInTheLog)
{
    openLog();
    std::string longText(300, 'x');
    longText += "%d%s";  // a finished text passed through "%s" stays as it is
    log_write(LOG_ERROR, "%s", longText.c_str());
    EXPECT_EQ(std::string(screenLines.current).size(), SCREEN_LINE_SIZE - 1);
    EXPECT_EQ(std::string(lastErrorLine).size(), SCREEN_LINE_SIZE - 1);
    EXPECT_NE(closeAndRead().find("ERROR- " + longText), std::string::npos);
}

// A cut that falls inside a character of UTF-8 drops the whole character.
TEST_F(LogTest, CutFallsOnAWholeCharacter)
{
    // The screen line holds 127 bytes, the time and its blank 9 of them.
    const std::size_t room = SCREEN_LINE_SIZE - 1 - 9;
    for (const std::string ch : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}) {  // é, €, an emoji
        for (std::size_t inside = 1; inside < ch.size(); ++inside) {
            std::string before(room - inside, 'p');
            log_write(LOG_ERROR, "%s", (before + ch + "tail").c_str());
            EXPECT_EQ(screenText(screenLines.current), before) << ch.size() << " " << inside;
            EXPECT_EQ(screenText(lastErrorLine), before);
        }
        // A character that ends just at the cut stays.
        std::string before(room - ch.size(), 'p');
        log_write(LOG_INFO, "%s", (before + ch + "tail").c_str());
        EXPECT_EQ(screenText(screenLines.current), before + ch);
    }
    // Text in another encoding is cut where it falls.
    log_write(LOG_INFO, "%s", (std::string(room - 1, 'p') + "\xe9t\xe9").c_str());
    EXPECT_EQ(screenText(screenLines.current), std::string(room - 1, 'p') + "\xe9");
}

TEST_F(LogTest, WindowIsRepaintedForEachLine)
{
    test::TestWindow window;
    log_write(LOG_INFO, "a");
    log_write(LOG_INFO, "b");
    EXPECT_EQ(window.repaints, 2);
}

TEST_F(LogTest, ClosedLogStillFillsTheScreenAndAppendDoesNothing)
{
    log_write(LOG_INFO, "screen only");
    log_append("ignored");
    EXPECT_EQ(screenText(screenLines.current), "screen only");
}

// Lines kept while the log is closed are written first when it opens, in
// their order and with the time they were written; once keeping is off,
// lines of a closed log reach only the screen, and what was kept is gone.
TEST_F(LogTest, LinesKeptWhileClosedReachTheLogWhenItOpens)
{
    log_keepWhileClosed(true);
    log_write(LOG_INFO, "kept %d", 1);
    log_write(LOG_ERROR, "kept %s", "two");
    EXPECT_EQ(screenText(screenLines.current), "kept two");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    openLog();
    log_keepWhileClosed(false);
    log_write(LOG_INFO, "after");
    log_close();
    log_write(LOG_INFO, "screen only");
    log_keepWhileClosed(true);
    log_write(LOG_INFO, "forgotten");
    log_keepWhileClosed(false);
    openLog(true);
    std::string content = closeAndRead();

    std::smatch m;
    ASSERT_TRUE(std::regex_match(content, m,
                                 std::regex("\n([0-9]{8} [0-9:]{8}) INFO - kept 1\n([0-9]{8} [0-9:]{8}) ERROR- kept two"
                                            "\n([0-9]{8} [0-9:]{8}) INFO - after")))
        << content;
    EXPECT_LE(m[1].str(), m[2].str());
    EXPECT_LT(m[2].str(), m[3].str());  // the time it was written, not that of the opening
}

// Without a terminal, the error lines of a closed log also go to standard
// error, each on a line of its own; other levels, and errors of an open
// log, do not.
TEST_F(LogTest, ErrorsOfAClosedLogGoToStandardErrorWhenAsked)
{
    std::string errPath = dir.file("stderr.txt");
    std::fflush(stderr);
    int saved = ::dup(2);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(err, 0);
    ::dup2(err, 2);
    ::close(err);

    log_write(LOG_ERROR, "not asked");
    log_errorsToStderrWhileClosed(true);
    log_write(LOG_ERROR, "cannot open log file %s\n", "x.log");
    log_write(LOG_ERROR, "no line feed");
    log_write(LOG_PROT_ERROR, "protocol");
    log_write(LOG_INFO, "information");
    openLog();
    log_write(LOG_ERROR, "into the log");
    log_close();
    log_errorsToStderrWhileClosed(false);
    log_write(LOG_ERROR, "no longer asked");

    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    EXPECT_EQ(dir.read("stderr.txt"), "ERROR- cannot open log file x.log\nERROR- no line feed\n");
}

TEST_F(LogTest, DumpWithTitleWritesBothForms)
{
    openLog();
    const unsigned char frame[] = {0x02, 'A', 0x03};
    log_dump(LOG_COM_OUT, "Send", frame, sizeof frame);
    EXPECT_EQ(screenText(screenLines.current), "Send len=3 <{stx}A{etx}");
    EXPECT_NE(closeAndRead().find("COM<-- Send len=3 <#02A#03>"), std::string::npos);
}

TEST_F(LogTest, DumpEscapesEveryControlByteAndHash)
{
    openLog();
    log_write(LOG_COM_IN, "Recv:");
    const unsigned char bytes[] = {0x00, 0x01, 0x04, 0x05, 0x06, 0x07, 0x09, 0x0A, 0x0B, 0x0D,
                                   0x15, 0x1F, '#', 0x7F, 0x80, 0xFF, ' '};
    log_dump(LOG_COM_IN, nullptr, bytes, sizeof bytes);
    EXPECT_EQ(screenText(screenLines.current),
              "Recv:{nul}{0x01}{eot}{enq}{ack}{0x07}{ht}[lf]{vt}[cr]{nak}{0x1f}#{0x7f}{0x80}{0xff} ");
    std::string log = closeAndRead();
    EXPECT_NE(log.find("Recv:#00#01#04#05#06#07#09#0a#0b#0d#15#1f###7f\x80\xff "), std::string::npos);
    EXPECT_EQ(log.find('>'), std::string::npos);
}

TEST_F(LogTest, DumpShowsOnScreenOnlyUpToTheLimit)
{
    openLog();
    std::string bytes(200, 'b');
    log_dump(LOG_COM_IN, "In", bytes.data(), bytes.size());
    std::string screen = screenLines.current;
    EXPECT_EQ(screen.size(), SCREEN_DUMP_LIMIT);
    // A wide form near the limit still fits its line.
    log_write(LOG_COM_IN, "%s", std::string(111, 'c').c_str());
    const unsigned char wide[] = {0x80, 0x81, 0x82};
    log_dump(LOG_COM_IN, nullptr, wide, sizeof wide);
    EXPECT_EQ(std::string(screenLines.current).size(), 120u + 6u);
    EXPECT_NE(closeAndRead().find("In len=200 <" + bytes + ">"), std::string::npos);
}

TEST_F(LogTest, DumpAtOtherLevelsWritesOnlyTheLog)
{
    openLog();
    log_write(LOG_INFO, "before");
    log_dump(LOG_COM_WAIT, nullptr, "OK\r\n", 4);
    log_dump(LOG_INFO, nullptr, "data", 4);
    EXPECT_EQ(screenText(screenLines.current), "before");
    EXPECT_NE(closeAndRead().find("INFO - beforeOK#0d#0adata"), std::string::npos);
}

// Foreign text keeps its printable bytes and loses every control byte to an
// escape, '#' doubled as in a dump, so no byte of it can end its line.
TEST(LogForeign, ControlBytesAreEscapedAndTheRestKept)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain text", "plain text"},
        {std::string("\x1b]0;pwned\x07", 10), "#1b]0;pwned#07"},
        {"a\r\n20261210 09:00:00 forged", "a#0d#0a20261210 09:00:00 forged"},
        {"\x1b[2J\x1b[31mred", "#1b[2J#1b[31mred"},
        {std::string("nul\0after", 9), "nul#00after"},
        {"del\x7f", "del#7f"},
        {"#5", "##5"},
        // Bytes above 0x7F are the log's as they came (a UTF-8 letter here).
        {"caf\xc3\xa9 \xc2\x9b", "caf\xc3\xa9 \xc2\x9b"},
    };
    for (const auto& c : cases) EXPECT_EQ(log_foreign(c.in), c.out) << c.in;
}

TEST(LogForeign, OverlongTextIsCutWithAMark)
{
    std::string text(LOG_FOREIGN_LIMIT, 'x');
    EXPECT_EQ(log_foreign(text), text);
    EXPECT_EQ(log_foreign(text + "\n\nyz"), text + "...(4 bytes cut)");
}

// Standard error may be a terminal: C1 controls are escaped there too, in
// either form, and whole UTF-8 characters are kept.
TEST(LogForeign, StandardErrorLineIsFreeOfTerminalControls)
{
    test::TempDir dir;
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"two\nlines", "two\nlines\n"},
        {"esc\x1b[2J bel\x07 cr\r tab\t del\x7f", "esc#1b[2J bel#07 cr#0d tab#09 del#7f\n"},
        {"csi\xc2\x9b" "31m nel\xc2\x85", "csi#c2#9b31m nel#c2#85\n"},
        {"raw\x9b" "31m", "raw#9b31m\n"},
        {"\xc3\x89tat D\xc3\xa9p\xc3\xb4t \xc2\xa0", "\xc3\x89tat D\xc3\xa9p\xc3\xb4t \xc2\xa0\n"},
        {"latin \xe9t\xe9", "latin \xe9t\xe9\n"},
    };
    for (const auto& c : cases) {
        std::fflush(stderr);
        int saved = ::dup(2);
        int out = ::open(dir.file("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 2);
        ::close(out);
        log_toStderr(c.in);
        ::dup2(saved, 2);
        ::close(saved);
        EXPECT_EQ(dir.read("err.txt"), c.out) << c.in;
    }
}
