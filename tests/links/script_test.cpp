// The connect-script interpreter, running scripts compiled by the
// configuration reader against a host played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "links/link_peers.h"
#include "links/modem.h"
#include "links/port.h"
#include "links/script.h"
#include "support/child.h"

namespace qzr {
namespace {

using test::LinkTest;
using test::PeerIo;
using test::PtyPeer;

void quietHook(int, const char*) {}

class ScriptTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        tbx_reset_errors();
        tbx_message_hook = quietHook;
        ini_resetConfiguration();
        peer.linkInto(dir.path().string());
        cnx = serialCnx();
        cnx.address = "92100086";
        net = networkOf(&cnx);
        ASSERT_EQ(net_connect(&net), STS_OK);
    }
    void TearDown() override
    {
        done = true;
        peer.join();
        ini_resetConfiguration();
        tbx_reset_errors();
        LinkTest::TearDown();
    }

    // Compiles `script` as the connect script of a direct connection and
    // returns its head (null for none). Named scripts may come before.
    ScriptNode* compile(const std::string& script, const std::string& named = "")
    {
        std::string ini = "general begin\n inputFileName = REQ\n outputFileName = RSP\nend\n" + named +
                          "network NETS begin\n primary connection begin\n  comdev = \"COM1\"\n"
                          "  connectionMode = direct\n  connectScript = " +
                          script + "\n end\nend\n";
        EXPECT_EQ(ini_readFile(dir.write("qzr.ini", ini).c_str()), 0) << ini;
        NetworkDef* n = findNetwork("NETS");
        EXPECT_NE(n, nullptr);
        return n ? n->primary->connectScript : nullptr;
    }

    // A host that answers each text it is waiting for with its reply, and
    // records everything it receives.
    void host(std::vector<std::pair<std::string, std::string>> steps)
    {
        peer.start([this, steps](PeerIo& io) {
            for (const auto& [expect, reply] : steps) {
                if (!expect.empty() && io.readUntil(expect, 5000).find(expect) == std::string::npos) return;
                io.send(reply);
            }
            while (!done) io.drain(50);
            io.drain(50);  // what came after the last look
        });
    }
    std::string received()
    {
        done = true;
        peer.join();
        return peer.io.transcript();
    }

    PtyPeer peer;
    ConnectionDef cnx;
    NetworkDef net;
    std::atomic<bool> done{false};
};

TEST_F(ScriptTest, NoScriptSucceedsWithoutSendingAndListsOnlyTheTitle)
{
    debugTrace = true;
    EXPECT_EQ(script_execute(&net, nullptr), STS_OK);
    EXPECT_EQ(received(), "");
    std::string log = logText();
    EXPECT_NE(log.find("INFO - Script"), std::string::npos);
    EXPECT_EQ(log.find("next="), std::string::npos);
}

TEST_F(ScriptTest, AScriptMustReachReturnZero)
{
    debugTrace = true;
    g_detailedMessages = true;
    EXPECT_EQ(script_execute(&net, compile("{ }")), STS_SCRIPT_FAILED);
    EXPECT_NE(logText().find("script halted"), std::string::npos);
    EXPECT_EQ(script_execute(&net, compile("return 7")), STS_SCRIPT_FAILED);
    EXPECT_NE(logText().find("script *NOT* successful"), std::string::npos);
    EXPECT_EQ(script_execute(&net, compile("return 0")), STS_OK);
    std::string log = logText();
    EXPECT_NE(log.find("Executing script user script"), std::string::npos);
    EXPECT_NE(log.find("script successful"), std::string::npos);
}

TEST_F(ScriptTest, LogsInToAHost)
{
    ScriptNode* s = compile("use HOST_LOGIN",
                            "connectScript HOST_LOGIN = {\n"
                            " wait 3 for \"login:\" then transmit \"dental^M\"\n"
                            " wait 3 for \"password:\" then transmit \"s3cret^M\"\n"
                            " wait 3 for \"READY\" then return 0\n"
                            " return 1\n}\n");
    host({{"", "\r\nlogin: "}, {"dental\r", "password: "}, {"s3cret\r", "READY\r\n"}});
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    EXPECT_EQ(received(), "dental\rs3cret\r");
}

TEST_F(ScriptTest, AWaitThatTimesOutSkipsItsThenPart)
{
    // The host never sends "login:", so "x" is not sent; the statement
    // after the wait still runs.
    ScriptNode* s = compile("{ wait 1 for \"login:\" then { transmit \"x\" transmit \"y\" } transmit \"z\" return 0 }");
    host({});
    debugTrace = true;
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    EXPECT_EQ(received(), "z");
    EXPECT_NE(logText().find("script timeout"), std::string::npos);
}

TEST_F(ScriptTest, ARetryRunsItsBodyNTimes)
{
    ScriptNode* s = compile("{ retry 3 { transmit \"a\" wait 1 for \"b\" then return 0 } return 1 }");
    host({});
    debugTrace = true;
    EXPECT_EQ(script_execute(&net, s), STS_SCRIPT_FAILED);
    EXPECT_EQ(received(), "aaa");
    std::string log = logText();
    std::size_t at = 0;
    for (int v : {4, 3, 2, 1}) {
        at = log.find("script retry reg0=" + std::to_string(v), at);
        EXPECT_NE(at, std::string::npos) << v;
    }
}

TEST_F(ScriptTest, ARetryLeavesItsLoopWhenTheBodySucceeds)
{
    ScriptNode* s = compile("{ retry 5 { transmit \"a\" wait 1 for \"b\" then return 0 } return 1 }");
    host({{"aa", "b"}});
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    EXPECT_EQ(received(), "aa");
}

TEST_F(ScriptTest, NestedRetriesUseTheirOwnRegisters)
{
    ScriptNode* s = compile("{ retry 2 { transmit \"<\" retry 3 { transmit \".\" } transmit \">\" } return 0 }");
    host({});
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    EXPECT_EQ(received(), "<...><...>");
}

TEST_F(ScriptTest, ALoopOf254RunsAndElevenNestedLoopsAreRefused)
{
    ScriptNode* s = compile("{ retry 254 { transmit \"r\" } return 0 }");
    host({});
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    EXPECT_EQ(received(), std::string(254, 'r'));

    std::string nested = "transmit \"in\"";
    for (int i = 0; i < 11; ++i) nested = "retry 1 { " + nested + " }";
    EXPECT_EQ(script_execute(&net, compile("{ " + nested + " return 0 }")), STS_SCRIPT_FAILED);
    EXPECT_NE(logText().find("ERROR- script error too many imbricated blocs"), std::string::npos);
}

TEST_F(ScriptTest, TransmitAddressSendsTheConnectionsAddress)
{
    ScriptNode* s = compile("{ transmit address \"^M\" return 0 }");
    host({});
    debugTrace = true;
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    cnx.address.reset();
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    EXPECT_EQ(received(), "92100086\r\r");
    std::string log = logText();
    EXPECT_NE(log.find("script transmit address (\"92100086\")"), std::string::npos);
    EXPECT_NE(log.find("script transmit address (\"<empty>\")"), std::string::npos);
}

TEST_F(ScriptTest, AFailedWriteEndsTheRun)
{
    ScriptNode* s = compile("{ transmit \"a\" delay 5 return 0 }");
    port_close();  // nothing to write on
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(script_execute(&net, s), STS_WRITE_ERROR);
    EXPECT_LT(test::elapsedMs(t0), 1000);  // the delay never ran
}

TEST_F(ScriptTest, AWaitPassesOnAStopAndAModemResult)
{
    ScriptNode* s = compile("{ wait 5 for \"CALL CONNECTED\" then return 0 return 1 }");
    peer.io.send("DATAPAC: call cleared");
    EXPECT_EQ(script_execute(&net, s), STS_DATAPAC_CLEARED);
    stopRequested = true;
    EXPECT_EQ(script_execute(&net, s), STS_INTERRUPTED);
}

TEST_F(ScriptTest, TheListingShowsEveryNode)
{
    debugTrace = true;
    ScriptNode* s = compile("{ retry 2 { wait 1 for \"b\" then delay 1 } return 0 }");
    host({{"", "b"}});
    EXPECT_EQ(script_execute(&net, s), STS_OK);
    std::string log = logText();
    for (const char* entry : {"id user script       ", "setreg Reg0 = 2      ", "retry (Reg0--) ",
                              "wait 1 seconds for b ", "delay 1       ", "jmp ", "return 0      ", "next="})
        EXPECT_NE(log.find(entry), std::string::npos) << entry;
}

TEST_F(ScriptTest, AnOperationOutsideTheSetEndsTheProcessWithCode3)
{
    ScriptNode bad[2];
    bad[0] = {OP_ID, "broken", 0, 0, &bad[1], nullptr};
    bad[1] = {42, "", 0, 0, nullptr, nullptr};
    test::ChildResult r = test::runInChild([&] {
        int sts = script_execute(&net, &bad[0]);
        (void)sts;
    });
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(logText().find("Invalid script error() operation=42"), std::string::npos);
}

TEST_F(ScriptTest, ABrokenRegisterIndexIsRefusedNotUsed)
{
    ScriptNode n[3];
    n[0] = {OP_ID, "broken", 0, 0, &n[1], nullptr};
    n[1] = {OP_RETRY, "", 0, 200, &n[2], &n[2]};
    n[2] = {OP_RETURN, "", 0, 0, nullptr, nullptr};
    EXPECT_EQ(script_execute(&net, &n[0]), STS_SCRIPT_FAILED);
}

}  // namespace
}  // namespace qzr
