#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/tbx_msg.h"
#include "foundation/tbx_pars.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

using namespace qzr;

namespace {

std::string printed;
void capturePrinter(const char* text)
{
    printed += text;
}

struct Token {
    int id;
    std::string text;
    int value;
    int line;
};

// Tokenizes a file written from `content`, in window mode so that fatal
// reports return, collecting the tokens and the reported texts.
class Tokenizer : public ::testing::Test {
protected:
    void SetUp() override
    {
        tbx_reset_errors();
        saved = tbx_context_printer;
        tbx_context_printer = capturePrinter;
        printed.clear();
        tbx_hash_init(keywords, 85);
    }
    void TearDown() override
    {
        tbx_context_printer = saved;
        tbx_reset_errors();
    }

    std::vector<Token> tokenize(const std::string& content, bool withKeywords = false)
    {
        path = dir.write("test.ini", content);
        tbx_init_parser(&p, withKeywords ? &keywords : nullptr);
        p.includeKeyword = includeId;
        for (unsigned char c : {'=', '[', ']', '{', '}', ','}) p.classes[c] = c;
        EXPECT_TRUE(tbx_open_file(&p, nullptr, path.c_str()));
        std::vector<Token> tokens;
        for (int guard = 0; guard < 10000; ++guard) {
            int id = tbx_next_token(&p);
            tokens.push_back({id, p.token, p.value, p.lineNumber});
            if (id == TBX_EOF) break;
        }
        return tokens;
    }
    std::vector<std::string> reports() const
    {
        std::vector<std::string> r;
        for (const auto& b : window.boxes) r.push_back(b.text);
        return r;
    }

    test::TestWindow window;
    test::TempDir dir;
    tbx_hash keywords;
    tbx_parser p;
    std::string path;
    int includeId = -1;
    tbx_print_fn saved = nullptr;
};

}  // namespace

TEST_F(Tokenizer, IdentifiersIntegersStringsAndPunctuation)
{
    auto t = tokenize("abc;comment\nname = \"a \\\"q\\\" \\\\ b\" 42 0x1F 1x0 {x}\n/* block\n comment */ end");
    ASSERT_EQ(t.size(), 12u);
    EXPECT_EQ(t[0].id, TBX_IDENTIFIER);
    EXPECT_EQ(t[0].text, "abc");
    EXPECT_EQ(t[1].text, "name");
    EXPECT_EQ(t[1].line, 2);
    EXPECT_EQ(t[2].id, '=');
    EXPECT_EQ(t[3].id, TBX_STRING);
    EXPECT_EQ(t[3].text, "a \"q\" \\ b");
    EXPECT_EQ(t[4].id, TBX_INTEGER);
    EXPECT_EQ(t[4].value, 42);
    EXPECT_EQ(t[5].value, 31);
    EXPECT_EQ(t[5].text, "0x1F");
    EXPECT_EQ(t[6].value, 16);
    EXPECT_EQ(t[7].id, '{');
    EXPECT_EQ(t[9].id, '}');
    EXPECT_EQ(t[10].text, "end");
    EXPECT_EQ(t[11].id, TBX_EOF);
    EXPECT_EQ(t[11].text, "EOF");
    EXPECT_STREQ(p.blockComment, " block\n comment ");
    EXPECT_TRUE(reports().empty());
}

TEST_F(Tokenizer, UpperCasedTextStandsBesideTheTextAsRead)
{
    tokenize("MixedCase");
    tbx_init_parser(&p, nullptr);
    ASSERT_TRUE(tbx_open_file(&p, nullptr, path.c_str()));
    tbx_next_token(&p);
    EXPECT_STREQ(p.token, "MixedCase");
    EXPECT_STREQ(p.tokenUpper, "MIXEDCASE");
}

TEST_F(Tokenizer, KeywordsAreFoundWithoutRegard_toCase)
{
    tbx_add_keyword(keywords, "hangAround", 620);
    keywords.flags |= TBX_HASH_FIND_ONLY;
    auto t = tokenize("HANGAROUND hangaround other E", true);
    EXPECT_EQ(t[0].id, 620);
    EXPECT_EQ(t[1].id, 620);
    EXPECT_EQ(t[2].id, TBX_IDENTIFIER);
    EXPECT_EQ(t[3].id, 'E');  // a one-character identifier takes its class
    EXPECT_EQ(keywords.count, 1u);  // looking up "other" inserted nothing
    EXPECT_EQ(tbx_token_name(&p, 620), "HANGAROUND");
    // A locked table refuses new keywords.
    tbx_add_keyword(keywords, "late", 621);
    EXPECT_EQ(reports().back(), "%F-0207: keyword 'late' not registered ");
}

// The keyword lookup only finds: on a table that is not locked, words that
// are no keyword insert nothing and the table's flags stay as they were.
TEST_F(Tokenizer, KeywordLookupNeverInserts)
{
    tbx_add_keyword(keywords, "hangAround", 620);
    auto t = tokenize("hangaround other words", true);
    EXPECT_EQ(t[0].id, 620);
    EXPECT_EQ(t[1].id, TBX_IDENTIFIER);
    EXPECT_EQ(t[2].id, TBX_IDENTIFIER);
    EXPECT_EQ(keywords.count, 1u);
    EXPECT_EQ(keywords.flags, 0u);

    struct {
        unsigned flags;
        const char* name;
        bool found;
    } cases[] = {
        {0, "HANGAROUND", true},  {0, "hangAround", true},  {0, "absent", false},
        {TBX_HASH_CASE_SENSITIVE, "caseKept", true}, {TBX_HASH_CASE_SENSITIVE, "CASEKEPT", false},
    };
    tbx_hash sensitive;
    tbx_hash_init(sensitive, 85);
    sensitive.flags = TBX_HASH_CASE_SENSITIVE;
    tbx_add_keyword(sensitive, "caseKept", 621);
    for (const auto& c : cases) {
        tbx_hash& table = c.flags ? sensitive : keywords;
        const unsigned count = table.count;
        const tbx_hash_entry* e = tbx_find_keyword(table, c.name);
        EXPECT_EQ(e != nullptr, c.found) << c.name;
        if (e) {
            EXPECT_EQ(e->data[0], c.flags ? 621 : 620) << c.name;
        }
        EXPECT_EQ(table.count, count) << c.name;
        EXPECT_EQ(table.flags, c.flags) << c.name;
    }
    // A table never made holds no keyword.
    tbx_hash never;
    EXPECT_EQ(tbx_find_keyword(never, "hangAround"), nullptr);
}

TEST_F(Tokenizer, TokenNames)
{
    tbx_init_parser(&p, nullptr);
    struct { int id; const char* name; } cases[] = {
        {'=', "="}, {'!', "!"}, {127, "\x7f"}, {32, "[0x20]"}, {200, "[0xC8]"},
        {TBX_KEYWORD, "keyword"}, {TBX_IDENTIFIER, "identifier"}, {TBX_INTEGER, "integer"},
        {TBX_STRING, "string"}, {TBX_EOF, "EOF"}, {TBX_NOT_EQUAL, "<>"}, {TBX_LESS_EQUAL, "<="},
        {TBX_GREATER_EQUAL, ">="}, {TBX_INCREMENT, "++"}, {TBX_DECREMENT, "--"},
    };
    for (const auto& c : cases) EXPECT_EQ(tbx_token_name(&p, c.id), c.name) << c.id;
    EXPECT_EQ(tbx_token_name(&p, 400), "");
    EXPECT_EQ(reports().back(), "%F-0211: Token id '400' has not been defined");
}

TEST_F(Tokenizer, IntegerLimits)
{
    struct { const char* text; int value; bool tooBig; } cases[] = {
        {"2147483647", 2147483647, false},
        {"2147483648", 214748364, true},
        {"0x7FFFFFFF", 2147483647, false},
        {"0x80000000", 134217728, true},
        {"0x7fffffff", 2147483647, false},
    };
    for (const auto& c : cases) {
        window.boxes.clear();
        auto t = tokenize(c.text);
        EXPECT_EQ(t[0].id, TBX_INTEGER) << c.text;
        EXPECT_EQ(t[0].value, c.value) << c.text;
        if (c.tooBig) {
            ASSERT_EQ(window.boxes.size(), 1u) << c.text;
            EXPECT_EQ(window.boxes[0].text, path + " near line:1: %F-0209: Constant too big!");
        } else {
            EXPECT_TRUE(window.boxes.empty()) << c.text;
        }
        EXPECT_EQ(t[1].id, TBX_EOF);
    }
}

TEST_F(Tokenizer, ExponentRuleSplits12E5)
{
    auto t = tokenize("12E5 12Ex 3e4");
    ASSERT_GE(t.size(), 7u);
    EXPECT_EQ(t[0].value, 12);
    EXPECT_EQ(t[1].text, "E");
    EXPECT_EQ(t[2].value, 5);
    EXPECT_EQ(t[3].value, 12);
    EXPECT_EQ(t[4].text, "Ex");
    EXPECT_EQ(t[5].value, 3);
    EXPECT_EQ(t[6].text, "e4");  // only 'E' sets the flag
}

TEST_F(Tokenizer, IdentifierKeepsItsFirst32Characters)
{
    std::string id40 = "abcdefghij" "klmnopqrst" "uvwxyz_$.1" "234567890X";
    auto t = tokenize(id40 + " next");
    EXPECT_EQ(t[0].text, id40.substr(0, 32));
    EXPECT_EQ(t[1].text, "next");
}

TEST_F(Tokenizer, StringLimitsAndBrokenStrings)
{
    std::string s254(254, 's'), s255(255, 's'), s300(300, 's');
    auto t = tokenize("\"" + s254 + "\"\n\"" + s255 + "\"\n\"" + s300 + "\"\n\"broken\nnext");
    EXPECT_EQ(t[0].text, s254);
    EXPECT_EQ(t[1].text, s255);
    EXPECT_EQ(t[2].text, s255);
    EXPECT_EQ(t[3].id, TBX_STRING);
    EXPECT_EQ(t[3].text, "broken");
    EXPECT_EQ(t[4].text, "next");
    EXPECT_EQ(t[4].line, 5);
    std::vector<std::string> expected = {
        path + " near line:2: %W-0205: String too long, truncated to: '" + s255 + "'",
        path + " near line:3: %W-0205: String too long, truncated to: '" + s255 + "'",
        path + " near line:4: %E-0206: Invalid string 'broken'",
    };
    // The 255-character string is reported although nothing was cut. The
    // composed texts are held in 520 characters.
    ASSERT_EQ(window.boxes.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(window.boxes[i].text, expected[i].substr(0, TBX_TEXT_SIZE - 1)) << i;
    EXPECT_EQ(p.warningCount, 2);
    EXPECT_EQ(p.errorCount, 1);
}

TEST_F(Tokenizer, StringBrokenAfterBackslashOrAtEndOfFile)
{
    auto t = tokenize("\"abc\\\nx \"tail");
    EXPECT_EQ(t[0].text, "abc");
    EXPECT_EQ(t[1].text, "x");
    EXPECT_EQ(t[2].text, "tail");
    EXPECT_EQ(t[3].id, TBX_EOF);
    EXPECT_EQ(p.errorCount, 2);
}

TEST_F(Tokenizer, LongLinesAreReadInPiecesCountedAsLines)
{
    // 600 characters: the first piece holds 511 of them, the second the rest.
    std::string line600 = std::string(505, ' ') + "first" + std::string(10, ' ') + "second" +
                          std::string(74, ' ');
    ASSERT_EQ(line600.size(), 600u);
    auto t = tokenize(line600 + "\nlast");
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].text, "first");
    EXPECT_EQ(t[0].line, 1);
    EXPECT_EQ(t[1].text, "second");
    EXPECT_EQ(t[1].line, 2);
    EXPECT_EQ(t[2].text, "last");
    EXPECT_EQ(t[2].line, 3);
}

TEST_F(Tokenizer, LineEndsCrLfLfOrNone)
{
    for (const char* text : {"one\r\ntwo\r\n", "one\ntwo\n", "one\ntwo"}) {
        auto t = tokenize(text);
        ASSERT_EQ(t.size(), 3u) << text;
        EXPECT_EQ(t[0].text, "one");
        EXPECT_EQ(t[1].text, "two");
        EXPECT_EQ(t[1].line, 2);
        EXPECT_TRUE(window.boxes.empty()) << text;
    }
}

TEST_F(Tokenizer, CommentsAndSlashes)
{
    auto t = tokenize("a / b /* open to the end");
    EXPECT_EQ(t[0].text, "a");
    EXPECT_EQ(t[1].text, "b");  // the slash was illegal: reported and skipped
    EXPECT_EQ(t[2].id, TBX_EOF);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, path + " near line:1: %W-0201: Illegal character in file: '/' (0x2F)");
    EXPECT_EQ(window.boxes[0].title, "QZR Warning");
}

TEST_F(Tokenizer, ContextShowsTheLineAndACaret)
{
    auto t = tokenize("first line\n\tkey = @ value\n");
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, path + " near line:2: %W-0201: Illegal character in file: '@' (0x40)");
    EXPECT_EQ(printed, "\tkey = @ value\n\t      ^\n");
    // Reading went on where it was.
    EXPECT_EQ(t[4].text, "value");
}

// A report on the last token of a file whose last line has no line feed:
// reading past that token reached the end and closed the file, yet the
// report shows the file, the line and the caret as it does when the line
// ends with one. A report at the end itself has no line to show, either
// way: it names the file and the last line, and says it is the end.
TEST_F(Tokenizer, ReportOnTheLastLineKeepsItsContextWithOrWithoutLineFeed)
{
    struct Case {
        const char* ending;
        int tokens;  // read before the report
        const char* box;
        const char* printed;
    } cases[] = {
        {"", 6, "near line:2: %F-0202: Syntax error, expecting: num", "\tdelay = zz\n\t        ^\n"},
        {"\n", 6, "near line:2: %F-0202: Syntax error, expecting: num", "\tdelay = zz\n\t        ^\n"},
        {"\r\n", 6, "near line:2: %F-0202: Syntax error, expecting: num", "\tdelay = zz\n\t        ^\n"},
        {"", 7, "near line:2: %F-0202: Syntax error, expecting: num", "(end of file)\n"},
        {"\n", 7, "near line:2: %F-0202: Syntax error, expecting: num", "(end of file)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ending '" << c.ending << "', tokens " << c.tokens);
        path = dir.write("test.ini", std::string("[general]\n\tdelay = zz") + c.ending);
        tbx_init_parser(&p, nullptr);
        for (unsigned char ch : {'=', '[', ']'}) p.classes[ch] = ch;
        ASSERT_TRUE(tbx_open_file(&p, nullptr, path.c_str()));
        for (int i = 0; i < c.tokens; ++i) tbx_next_token(&p);
        ASSERT_STREQ(p.token, c.tokens == 6 ? "zz" : "EOF");
        window.boxes.clear();
        printed.clear();
        tbx_error(&p, TBX_ERR_SYNTAX, "num");
        ASSERT_EQ(window.boxes.size(), 1u);
        EXPECT_EQ(window.boxes[0].text, (c.printed[0] ? path + " " : std::string()) + c.box);
        EXPECT_EQ(printed, c.printed);
    }
    // What was kept is not shown for another file.
    window.boxes.clear();
    EXPECT_FALSE(tbx_open_file(&p, nullptr, dir.file("none.ini").c_str()));
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "%F-0204: Error openning file: '" + dir.file("none.ini") + "'");
}

TEST_F(Tokenizer, MissingFileReports204)
{
    tbx_init_parser(&p, nullptr);
    EXPECT_FALSE(tbx_open_file(&p, nullptr, dir.file("none.ini").c_str()));
    EXPECT_EQ(reports().back(), "%F-0204: Error openning file: '" + dir.file("none.ini") + "'");
    EXPECT_EQ(tbx_next_token(&p), TBX_EOF);
}

TEST_F(Tokenizer, FailedOpenLeavesNothingOfThePreviousFile)
{
    auto t = tokenize("first second\nthird");
    ASSERT_EQ(t.size(), 4u);
    // Read the same file again, stop after its first token, then open a
    // file that is not there: the rest of the first file is never read.
    tbx_init_parser(&p, nullptr);
    ASSERT_TRUE(tbx_open_file(&p, nullptr, path.c_str()));
    ASSERT_EQ(tbx_next_token(&p), TBX_IDENTIFIER);
    ASSERT_STREQ(p.token, "first");
    window.boxes.clear();
    const std::string missing = dir.file("none.ini");
    EXPECT_FALSE(tbx_open_file(&p, nullptr, missing.c_str()));
    EXPECT_EQ(p.file, nullptr);
    ASSERT_EQ(window.boxes.size(), 1u);
    // The report has no context of the file read before.
    EXPECT_EQ(window.boxes[0].text, "%F-0204: Error openning file: '" + missing + "'");
    EXPECT_EQ(tbx_next_token(&p), TBX_EOF);
    EXPECT_EQ(tbx_next_token(&p), TBX_EOF);
}

TEST_F(Tokenizer, BlockCommentLeftOpenKeepsOnlyItsOwnText)
{
    tokenize("/* a much longer first comment */ x /* ab");
    EXPECT_STREQ(p.blockComment, " ab");
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(Tokenizer, IncludesReadTheNamedFileInPlace)
{
    dir.write("inner.ini", "inner1 inner2");
    tbx_add_keyword(keywords, "include", 700);
    keywords.flags |= TBX_HASH_FIND_ONLY;
    includeId = 700;
    std::string inner = dir.file("inner.ini");
    auto t = tokenize("before include \"" + inner + "\" after", true);
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].text, "before");
    EXPECT_EQ(t[1].text, "inner1");
    EXPECT_EQ(t[2].text, "inner2");
    EXPECT_EQ(t[3].text, "after");
    EXPECT_EQ(t[4].id, TBX_EOF);
}
