#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/tbx_msg.h"
#include "foundation/tbx_pars.h"
#include "support/child.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

using namespace qzr;

namespace {

std::vector<std::pair<int, std::string>> hooked;
void captureHook(int flags, const char* text)
{
    hooked.emplace_back(flags, text);
}

class TbxMessageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tbx_reset_errors();
        hooked.clear();
        tbx_message_hook = captureHook;
    }
    void TearDown() override { tbx_reset_errors(); }
};

void silentPrinter(const char*) {}

}  // namespace

TEST_F(TbxMessageTest, RegistersTheToolboxCodesInOrder)
{
    tbx_init_errors();
    const int order[] = {100, 200, 209, 201, 202, 203, 204, 205, 206, 208,
                         210, 212, 207, 211, 213, 214, 215, 216, 299};
    const tbx_error_entry* table = tbx_error_table();
    for (int i = 0; i < 19; ++i) EXPECT_EQ(table[i].code, order[i]) << i;
    for (int i = 19; i < TBX_MAXERROR; ++i) EXPECT_EQ(table[i].code, 0) << i;
    EXPECT_EQ(table[4].flags, 24);
    EXPECT_STREQ(table[4].format, "Syntax error, expecting: %s");
}

TEST_F(TbxMessageTest, SeveritiesGiveTheirPrefixTitleAndStop)
{
    test::TestWindow window;
    struct {
        int code;
        const char* text;
        const char* title;
        unsigned style;
        bool stops;
    } cases[] = {
        {215, "%I-0215: hello", "QZR Information", 0x10040, false},
        {216, "%E-0216: hello", "QZR Error", 0x10010, false},
        {299, "%F-0299: hello", "QZR Error", 0x10010, true},
        {213, "%E-0213: Objet 'hello' is not defined", "QZR Error", 0x10010, false},
        {203, "%W-0203: Syntax error, expecting: hello", "QZR Warning", 0x10030, false},
    };
    for (const auto& c : cases) {
        window.boxes.clear();
        window.quits.clear();
        hooked.clear();
        tbx_error(nullptr, c.code, "hello");
        ASSERT_EQ(window.boxes.size(), 1u) << c.code;
        EXPECT_EQ(window.boxes[0].text, c.text);
        EXPECT_EQ(window.boxes[0].title, c.title);
        EXPECT_EQ(window.boxes[0].style, c.style);
        EXPECT_EQ(window.quits.size(), c.stops ? 1u : 0u) << c.code;
        ASSERT_EQ(hooked.size(), 1u);
        EXPECT_EQ(hooked[0].second, c.text);
    }
}

TEST_F(TbxMessageTest, SyntaxErrorWithParserCarriesContextAndCounts)
{
    test::TestWindow window;
    test::TempDir dir;
    std::string path = dir.write("qzr.ini", "[general]\nhangAround = ;\n");
    tbx_print_fn savedPrinter = tbx_context_printer;
    tbx_context_printer = silentPrinter;
    tbx_parser p;
    tbx_init_parser(&p, nullptr);
    for (unsigned char c : {'[', ']', '='}) p.classes[c] = c;
    ASSERT_TRUE(tbx_open_file(&p, nullptr, path.c_str()));
    for (int i = 0; i < 4; ++i) tbx_next_token(&p);  // [ general ] hangAround
    tbx_error(&p, TBX_ERR_SYNTAX, "integer");
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, path + " near line:2: %F-0202: Syntax error, expecting: integer");
    EXPECT_EQ(window.boxes[0].title, "QZR Error");
    EXPECT_EQ(window.quits, std::vector<int>{0});
    EXPECT_EQ(hooked[0].first, 24);
    EXPECT_EQ(p.errorCount, 1);
    // A warning with context counts as a warning; one without a parser counts nothing.
    tbx_error(&p, TBX_ERR_ILLEGAL_CHAR, '#', '#');
    EXPECT_EQ(p.warningCount, 1);
    tbx_error(nullptr, TBX_ERR_ILLEGAL_CHAR, '#', '#');
    EXPECT_EQ(window.boxes.back().text, "%W-0201: Illegal character in file: '#' (0x23)");
    EXPECT_EQ(p.warningCount, 1);
    tbx_context_printer = savedPrinter;
}

// However deep the file's directory, the context keeps its path, " near
// line:" and the number; the prefix and message after it keep their own
// 519 characters.
TEST_F(TbxMessageTest, ContextIsKeptWholeHoweverLongThePath)
{
    test::TestWindow window;
    test::TempDir dir;
    tbx_print_fn savedPrinter = tbx_context_printer;
    tbx_context_printer = silentPrinter;
    struct {
        std::size_t depth;  // characters of directories below the temporary one
        std::string argument;
        std::size_t bodySize;  // the prefix and the message
    } cases[] = {
        {160, "integer", std::string("%F-0202: Syntax error, expecting: integer").size()},
        {700, "integer", std::string("%F-0202: Syntax error, expecting: integer").size()},
        {700, std::string(1000, 'x'), static_cast<std::size_t>(TBX_TEXT_SIZE - 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.depth);
        std::string sub;
        while (sub.size() < c.depth) sub += std::string(sub.empty() ? "" : "/") + std::string(40, 'd');
        std::string path = dir.write(sub + "/qzr.ini", "[general]\n\nhangAround = ;\n");
        window.boxes.clear();
        hooked.clear();
        tbx_parser p;
        tbx_init_parser(&p, nullptr);
        for (unsigned char ch : {'[', ']', '='}) p.classes[ch] = ch;
        ASSERT_TRUE(tbx_open_file(&p, nullptr, path.c_str()));
        for (int i = 0; i < 5; ++i) tbx_next_token(&p);  // [ general ] hangAround =
        tbx_error(&p, TBX_ERR_SYNTAX, c.argument.c_str());
        std::string context = path + " near line:3: ";
        std::string body = ("%F-0202: Syntax error, expecting: " + c.argument).substr(0, c.bodySize);
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].text, context + body);
        ASSERT_EQ(hooked.size(), 1u);
        EXPECT_EQ(hooked[0].second, context + body);
    }
    tbx_context_printer = savedPrinter;
}

TEST_F(TbxMessageTest, PercentSignsInTextsArriveUnchanged)
{
    test::TestWindow window;
    tbx_error(nullptr, TBX_MSG_INFO, "C:%s%d%n 100%");
    EXPECT_EQ(window.boxes.at(0).text, "%I-0215: C:%s%d%n 100%");
    EXPECT_EQ(hooked.at(0).second, "%I-0215: C:%s%d%n 100%");
}

TEST_F(TbxMessageTest, LongTextIsCutToItsBuffer)
{
    test::TestWindow window;
    std::string big(2000, 'z');
    tbx_error(nullptr, TBX_MSG_ERROR, big.c_str());
    EXPECT_EQ(window.boxes.at(0).text.size(), static_cast<std::size_t>(TBX_TEXT_SIZE - 1));
    EXPECT_EQ(window.boxes.at(0).text.substr(0, 9), "%E-0216: ");
}

TEST_F(TbxMessageTest, StopWithoutWindowEndsTheThread)
{
    testing::internal::CaptureStderr();
    EXPECT_THROW(tbx_error(nullptr, TBX_MSG_STOP, "fatal"), StopThread);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "QZR Error: %F-0299: fatal\n");
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(tbx_error(nullptr, TBX_MSG_ERROR, "not fatal"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "QZR Error: %E-0216: not fatal\n");
}

TEST_F(TbxMessageTest, WithoutHookTextGoesToStandardOutput)
{
    tbx_message_hook = nullptr;
    testing::internal::CaptureStdout();
    tbx_message(4, "%s", "a 100% text");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "4-a 100% text\n");
}

TEST_F(TbxMessageTest, ConfigErrorBoxHasItsTitle)
{
    test::TestWindow window;
    showConfigError("QZR is already running in this directory.");
    EXPECT_EQ(window.boxes.at(0).title, "Configuration QZR non valide/ Invalid QZR configuration");
    EXPECT_EQ(window.boxes.at(0).style, 0x10010u);
}

TEST_F(TbxMessageTest, MisusesEndTheProcessWithCode1)
{
    struct {
        const char* what;
        void (*body)();
        const char* out;
    } cases[] = {
        {"code twice", [] { tbx_register_error(202, 4, "again", 0); },
         "tbx_register_error: error code 202 already defined \n"},
        {"code 0 while slots are free", [] { tbx_register_error(0, 1, "zero", 0); },
         "tbx_register_error: error code 0 already defined \n"},
        {"51st code",
         [] {
             for (int code = 1000; code < 1031; ++code) tbx_register_error(code, 1, "x", 0);
             std::printf("full\n");
             tbx_register_error(2000, 1, "x", 0);
         },
         "full\ntbx_register_error: More than TBX_MAXERROR (50) error codes have been defined \n"},
        {"unregistered code", [] { tbx_error(nullptr, 4242); }, "Undefined error code '4242'"},
    };
    for (const auto& c : cases) {
        test::ChildResult r = test::runInChild(c.body);
        EXPECT_EQ(r.exitCode, 1) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
    }
}
