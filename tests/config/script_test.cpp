// The connect-script compiler: node shapes of every statement, named and
// inline scripts, caret conversion, and the script errors.
#include "config_fixture.h"

namespace qzr::test {
namespace {

const std::string B = "[general]\ninputFileName = req\noutputFileName = rsp\n[connectScript]\n";

std::string S(int line, const std::string& what) {
    return "qzr.ini near line:" + std::to_string(line) + ": %F-0202: Syntax error, expecting: " + what;
}

class ScriptTest : public ConfigTest {
protected:
    static constexpr int ANY_RESULT = -1000;

    // Reads a network whose connection has `script` as its connectScript and
    // returns the compiled head.
    ScriptNode* compile(const std::string& script, int expectedResult = 0) {
        const int result = readIni(B + "[NET]\nconnectScript = " + script + "\n");
        if (expectedResult != ANY_RESULT) {
            EXPECT_EQ(result, expectedResult) << script;
        }
        NetworkDef* n = findNetwork("NET");
        return n != nullptr ? n->primary->connectScript : nullptr;
    }
};

TEST_F(ScriptTest, NoneGivesNoScriptAndAnEmptyBlockItsHeaderAlone) {
    EXPECT_EQ(compile("none"), nullptr);
    ini_resetConfiguration();
    auto n = nodes(compile("{ }"));
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0]->op, OP_ID);
    EXPECT_EQ(n[0]->string, "user script");
    EXPECT_EQ(n[0]->last, nullptr);
    EXPECT_EQ(messages(), std::vector<std::string>{});
}

TEST_F(ScriptTest, SingleStatementWithoutBraces) {
    auto n = nodes(compile("transmit \"ATDT5551234^M\""));
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0]->op, OP_ID);
    EXPECT_EQ(n[0]->string, "user script");
    EXPECT_EQ(n[1]->op, OP_TRANSMIT);
    EXPECT_EQ(n[1]->string, "ATDT5551234\r");
    EXPECT_EQ(scriptList, nullptr);  // inline scripts are not named scripts
}

TEST_F(ScriptTest, WaitWhoseThenSendsTheAddress) {
    auto n = nodes(compile("wait 5 for \"NUA?\" then transmit address \"^M\""));
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n[1]->op, OP_WAIT);
    EXPECT_EQ(n[1]->count, 5);
    EXPECT_EQ(n[1]->string, "NUA?");
    EXPECT_EQ(n[2]->op, OP_TRANSMIT_ADDRESS);
    EXPECT_EQ(n[3]->op, OP_TRANSMIT);
    EXPECT_EQ(n[3]->string, "\r");
    EXPECT_EQ(n[1]->last, n[3]);
}

TEST_F(ScriptTest, WaitWithAnEmptyThenJumpsToItself) {
    auto n = nodes(compile("{ wait 7 for \"x\" then { } return 0 }"));
    ASSERT_EQ(n.size(), 3u);
    EXPECT_EQ(n[1]->op, OP_WAIT);
    EXPECT_EQ(n[1]->last, n[1]);
    EXPECT_EQ(n[2]->op, OP_RETURN);
    EXPECT_EQ(n[2]->count, 0);
}

TEST_F(ScriptTest, RetryAroundAWait) {
    auto n = nodes(compile("retry 3 { transmit \"a\" wait 5 for \"b\" then return 0 }"));
    ASSERT_EQ(n.size(), 7u);
    const std::uint8_t ops[] = {OP_ID, OP_SETREG, OP_RETRY, OP_TRANSMIT, OP_WAIT, OP_RETURN, OP_JMP};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(n[i]->op, ops[i]) << i;
    EXPECT_EQ(n[1]->count, 3);
    EXPECT_EQ(n[1]->reg, 0);
    EXPECT_EQ(n[1]->last, nullptr);
    EXPECT_EQ(n[2]->reg, 0);
    EXPECT_EQ(n[2]->last, n[6]);
    EXPECT_EQ(n[3]->string, "a");
    EXPECT_EQ(n[4]->count, 5);
    EXPECT_EQ(n[4]->string, "b");
    EXPECT_EQ(n[4]->last, n[5]);
    EXPECT_EQ(n[6]->last, n[1]);
    EXPECT_EQ(n[6]->next, nullptr);
}

TEST_F(ScriptTest, ElevenNestedRetriesUseRegistersZeroToTen) {
    std::string script;
    for (int i = 0; i < 11; ++i) script += "retry " + std::to_string(i + 1) + "\n";
    script += "return 0";
    auto n = nodes(compile(script));
    // header, 11 x (SETREG, RETRY), return, 11 x JMP
    ASSERT_EQ(n.size(), 1u + 22u + 1u + 11u);
    for (int d = 0; d < 11; ++d) {
        ScriptNode* s = n[1 + 2 * d];
        ScriptNode* r = n[2 + 2 * d];
        ScriptNode* j = n[24 + (10 - d)];
        EXPECT_EQ(s->op, OP_SETREG) << d;
        EXPECT_EQ(s->count, d + 1) << d;
        EXPECT_EQ(s->reg, d) << d;
        EXPECT_EQ(r->op, OP_RETRY) << d;
        EXPECT_EQ(r->reg, d) << d;
        EXPECT_EQ(r->last, j) << d;
        EXPECT_EQ(j->op, OP_JMP) << d;
        EXPECT_EQ(j->last, s) << d;
    }
    EXPECT_EQ(n[23]->op, OP_RETURN);
}

TEST_F(ScriptTest, RetryBodyMayBeASecondRetryAfterAStatement) {
    auto n = nodes(compile("{ retry 2 { delay 1 retry 4 transmit \"x\" } retry 5 delay 3 }"));
    // header, S0 R0, delay, S1 R1, transmit, J1, J0, S0' R0', delay, J0'
    ASSERT_EQ(n.size(), 13u);
    EXPECT_EQ(n[4]->op, OP_SETREG);
    EXPECT_EQ(n[4]->reg, 1);
    EXPECT_EQ(n[4]->count, 4);
    EXPECT_EQ(n[5]->reg, 1);
    EXPECT_EQ(n[5]->last, n[7]);
    EXPECT_EQ(n[2]->last, n[8]);
    EXPECT_EQ(n[9]->op, OP_SETREG);
    EXPECT_EQ(n[9]->reg, 0);  // back at depth 0 after the first loop
    EXPECT_EQ(n[9]->count, 5);
    EXPECT_EQ(n[12]->last, n[9]);
}

TEST_F(ScriptTest, CountsOutOfRangeAreReportedAndStoredAsTheirLowByte) {
    auto n = nodes(compile("{\nretry 255 { delay 0 }\nreturn 256\nwait 0 for \"x\" then { }\ndelay \"5\"\n}", 1001));
    EXPECT_EQ(messages(), (std::vector<std::string>{S(7, " number [1 to 254] "), S(7, " number [1 to 255] "),
                                                    S(8, " number [0 to 255] "), S(9, " number [1 to 255] "),
                                                    S(10, " number [1 to 255] "), S(10, "num")}));
    ASSERT_EQ(n.size(), 8u);
    EXPECT_EQ(n[1]->count, 255);
    EXPECT_EQ(n[3]->op, OP_DELAY);
    EXPECT_EQ(n[3]->count, 0);
    EXPECT_EQ(n[5]->op, OP_RETURN);
    EXPECT_EQ(n[5]->count, 0);
    EXPECT_EQ(n[6]->op, OP_WAIT);
    EXPECT_EQ(n[6]->count, 0);
    EXPECT_EQ(n[7]->op, OP_DELAY);
    EXPECT_EQ(n[7]->count, 0);  // the last integer read was the wait's 0
}

TEST_F(ScriptTest, LimitsOfTheCountsAreAccepted) {
    auto n = nodes(compile("{ retry 254 { delay 255 } retry 1 { wait 255 for \"x\" then return 255 } return 0 }"));
    EXPECT_EQ(messages(), std::vector<std::string>{});
    // header, S R delay J, S R wait return J, return
    ASSERT_EQ(n.size(), 11u);
    EXPECT_EQ(n[1]->count, 254);
    EXPECT_EQ(n[3]->count, 255);
    EXPECT_EQ(n[5]->count, 1);
    EXPECT_EQ(n[7]->count, 255);
    EXPECT_EQ(n[8]->count, 255);
    EXPECT_EQ(n[10]->count, 0);
}

TEST_F(ScriptTest, CaretNotation) {
    struct {
        const char* written;
        std::string stored;
    } cases[] = {
        {"^A^Z", std::string("\x01\x1a")},
        {"ATZ^M^J", "ATZ\r\n"},
        {"abc^", "abc^"},
        {"^^A", "^^A"},
        {"^a", "^a"},
        {"^@^[", "^@^["},
        {"^", "^"},
        {"", ""},
    };
    for (const auto& c : cases) {
        ini_resetConfiguration();
        auto n = nodes(compile(std::string("transmit \"") + c.written + "\""));
        ASSERT_EQ(n.size(), 2u) << c.written;
        EXPECT_EQ(n[1]->string, c.stored) << c.written;
    }
}

TEST_F(ScriptTest, LongestStringIsKeptWhole) {
    // 255 characters: the tokenizer warns although nothing is cut, and the
    // whole text is sent.
    const std::string text(255, 'x');
    auto n = nodes(compile("transmit \"" + text + "\""));
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[1]->string, text);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0], "qzr.ini near line:6: %W-0205: String too long, truncated to: '" + text + "'");
    EXPECT_EQ(iniParser.errorCount, 0);
    EXPECT_EQ(iniParser.warningCount, 1);
}

TEST_F(ScriptTest, StatementErrors) {
    struct {
        const char* script;
        std::vector<std::string> messages;
    } cases[] = {
        {"transmit ATZ", {S(6, "string")}},
        {"{ transmit \"a\" return 0", {}},  // the end of the file stands where '}' should
        {"wait 5 for \"x\" return 0", {S(6, "then"), S(6, " 'none' 'use' '{' 'transmit' 'wait' 'retry' 'delay' 'return' "),
                                       S(6, "valid parameter name. '0' is not valid here.")}},
        {"\"ATZ\"", {S(6, " 'none' 'use' '{' 'transmit' 'wait' 'retry' 'delay' 'return' "),
                     S(6, "valid parameter name. 'ATZ' is not valid here.")}},
        {"{ transmit \"a\" goto 3 }", {S(6, "}"), S(6, "valid parameter name. '3' is not valid here.")}},
    };
    for (const auto& c : cases) {
        ini_resetConfiguration();
        const size_t before = messages().size();
        compile(c.script, 1001);
        const auto all = messages();
        std::vector<std::string> got(all.begin() + static_cast<long>(before), all.end());
        if (std::string(c.script) == "{ transmit \"a\" return 0") {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0], "qzr.ini near line:6: %F-0202: Syntax error, expecting: }");
        } else {
            EXPECT_EQ(got, c.messages) << c.script;
        }
    }
}

TEST_F(ScriptTest, TransmitNotAStringStoresTheTokenAsWritten) {
    auto n = nodes(compile("transmit ATZ", 1001));
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[1]->string, "ATZ");
}

TEST_F(ScriptTest, NamedScriptsAreFoundInAnyCase) {
    EXPECT_EQ(readIni(B + "Login = { return 0 }\nDial = retry 2 transmit \"x\"\n[A1]\nconnectScript = use LOGIN\n"
                          "[B2]\nconnectScript = use login\n[C3]\nconnectScript = use dial\n"),
              0);
    ASSERT_NE(ini_findScript("LOGIN"), nullptr);
    EXPECT_EQ(ini_findScript("Login"), nullptr);  // names are stored upper-cased
    EXPECT_EQ(net("A1")->primary->connectScript, ini_findScript("LOGIN"));
    EXPECT_EQ(net("B2")->primary->connectScript, ini_findScript("LOGIN"));
    auto d = nodes(net("C3")->primary->connectScript);
    ASSERT_EQ(d.size(), 5u);
    EXPECT_EQ(d[0]->string, "DIAL");
}

TEST_F(ScriptTest, NamedScriptDefinedTwiceEndsTheReading) {
    EXPECT_EQ(readIni(B + "Login = { return 0 }\nLOGIN = { return 1 }\n[A1]\nspeed = 1200\n"), -1);
    EXPECT_EQ(messages(), std::vector<std::string>{"qzr.ini near line:7: %E-0214: Redefinition of the object 'LOGIN'"});
    EXPECT_EQ(iniParser.errorCount, 1);
    EXPECT_TRUE(window.quits.empty());  // an error without the stop flag
    EXPECT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].title, "QZR Error");
    ASSERT_NE(scriptList, nullptr);
    EXPECT_EQ(scriptList->next, nullptr);
    EXPECT_EQ(networkCount(), 0);
}

TEST_F(ScriptTest, NamedScriptThatUsesAnotherIsARedefinition) {
    EXPECT_EQ(readIni(B + "A1SCRIPT = { return 0 }\nB2 = use a1script\n[A1]\nspeed = 1200\n"), -1);
    EXPECT_EQ(messages(), std::vector<std::string>{"qzr.ini near line:7: %E-0214: Redefinition of the object 'A1SCRIPT'"});
}

TEST_F(ScriptTest, UseOfAnUndefinedScriptEndsTheReading) {
    EXPECT_EQ(readIni(B + "[A1]\nspeed = 1200\n[B2]\nconnectScript = use NoSuch\nspeed = 2400\n[C3]\nspeed = 1200\n"), -1);
    EXPECT_EQ(messages(), std::vector<std::string>{"qzr.ini near line:8: %E-0213: Objet 'NoSuch' is not defined"});
    EXPECT_EQ(iniParser.errorCount, 1);
    EXPECT_EQ(networkCount(), 2);  // what was read before stays
    EXPECT_EQ(net("B2")->primary->connectScript, nullptr);
    EXPECT_EQ(net("B2")->primary->speed, 0);
}

TEST_F(ScriptTest, NamedScriptDefinedAsNoneIsRefused) {
    EXPECT_EQ(readIni(B + "Quiet = none\nLogin = { return 0 }\n[A1]\nconnectScript = use login\n"), 1001);
    EXPECT_EQ(messages(),
              std::vector<std::string>{S(5, " 'use' '{' 'transmit' 'wait' 'retry' 'delay' 'return' ")});
    ASSERT_NE(scriptList, nullptr);
    EXPECT_EQ(scriptList->head->string, "LOGIN");
    EXPECT_EQ(scriptList->next, nullptr);
    EXPECT_EQ(net("A1")->primary->connectScript, scriptList->head);
}

TEST_F(ScriptTest, BlockFormNamedScripts) {
    EXPECT_EQ(readIni("general begin\ninputFileName = req\noutputFileName = rsp\nend\n"
                      "connectScript Login = { return 0 }\nconnectScript 5 = { return 1 }\n"
                      "network A1 begin\nprimary connection begin connectScript = use LOGIN end\nend\n"),
              1001);
    EXPECT_EQ(messages(), std::vector<std::string>{S(6, "id")});
    ASSERT_NE(scriptList, nullptr);
    ASSERT_NE(scriptList->next, nullptr);
    EXPECT_EQ(scriptList->next->head->string, "5");
    EXPECT_EQ(net("A1")->primary->connectScript, scriptList->head);
}

TEST_F(ScriptTest, NoneAsABodyIsAnEmptyBody) {
    auto n = nodes(compile("{ wait 5 for \"x\" then none retry 2 none return 0 }"));
    EXPECT_EQ(messages(), std::vector<std::string>{});
    ASSERT_EQ(n.size(), 6u);
    EXPECT_EQ(n[0]->op, OP_ID);
    EXPECT_EQ(n[1]->op, OP_WAIT);
    EXPECT_EQ(n[1]->last, n[1]);
    EXPECT_EQ(n[2]->op, OP_SETREG);
    EXPECT_EQ(n[3]->op, OP_RETRY);
    EXPECT_EQ(n[4]->op, OP_JMP);
    EXPECT_EQ(n[3]->last, n[4]);
    EXPECT_EQ(n[5]->op, OP_RETURN);
}

TEST_F(ScriptTest, NamedScriptWhoseBodyIsNoneStaysNamed) {
    EXPECT_EQ(readIni(B + "Login = wait 5 for \"x\" then none\n[A1]\nconnectScript = use login\n"), 0);
    ASSERT_NE(scriptList, nullptr);
    EXPECT_EQ(scriptList->head->string, "LOGIN");
    EXPECT_EQ(nodes(scriptList->head).size(), 2u);
}

TEST_F(ScriptTest, UseAsABodyIsRefused) {
    auto n = nodes(compile("{ wait 5 for \"x\" then use Login return 0 }", 1001));
    EXPECT_EQ(messages(),
              std::vector<std::string>{"qzr.ini near line:6: %F-0202: Syntax error, expecting:  'none' '{' 'transmit' "
                                       "'wait' 'retry' 'delay' 'return' "});
    EXPECT_EQ(iniParser.errorCount, 1);
    ASSERT_EQ(n.size(), 3u);  // the head stays the connection's own script
    EXPECT_EQ(n[0]->string, "user script");
    EXPECT_EQ(n[1]->last, n[1]);
    EXPECT_EQ(n[2]->op, OP_RETURN);
}

TEST_F(ScriptTest, NestingBeyondTheRegistersEndsTheReading) {
    std::string deep;
    for (int i = 0; i < 255; ++i) deep += "retry 1\n";
    auto n = nodes(compile(deep + "return 0"));
    ASSERT_EQ(n.size(), 1u + 2u * 255u + 1u + 255u);
    EXPECT_EQ(n[509]->reg, 254);

    ini_resetConfiguration();
    EXPECT_EQ(readIni(B + "[NET]\nconnectScript = " + deep + "retry 1\nreturn 0\n"), -1);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0],
              "qzr.ini near line:261: %F-0210: The 'retry' instruction cannot be nested more than 255 time(s)");

    ini_resetConfiguration();
    std::string waits;
    for (int i = 0; i < 256; ++i) waits += "wait 1 for \"x\" then\n";
    EXPECT_EQ(readIni(B + "[NET]\nconnectScript = " + waits + "return 0\n"), -1);
    ASSERT_EQ(messages().size(), 2u);
    EXPECT_EQ(messages()[1],
              "qzr.ini near line:261: %F-0210: The 'wait' instruction cannot be nested more than 255 time(s)");
}

}  // namespace
}  // namespace qzr::test
