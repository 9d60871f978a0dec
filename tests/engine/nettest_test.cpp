// The network test against hosts on loopback sockets (the Simple dialog)
// and an HTTPS proxy on loopback (the HTTP dialog): what the hosts receive,
// the verdicts and lines in the log, the backup connection, refusals, and
// the state the test leaves behind.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/nettest.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "https/http_dialog.h"
#include "https/https_peer.h"
#include "links/link_ops.h"
#include "links/link_peers.h"
#include "links/modem.h"
#include "links/port.h"
#include "support/in_order.h"
#include "support/test_window.h"

namespace qzr {
namespace {

using test::PeerIo;
using test::TcpPeer;
using test::replyOf;

// The frame of the TCP/IP test message as the host receives it.
const std::string TCP_FRAME = std::string("000011\x01\x01\x20", 9) + std::string("TEST PLAIN\0", 11);
// The HTTP test message with its NUL, as the proxy receives it.
const std::string HTTP_BODY =
    std::string("TEST PLAIN  0000010401000001QZR100069X0000105333330099980533333009998") + '\0';

// A Simple dialog answer frame for `text`.
std::string answerFrame(const std::string& text)
{
    char head[16];
    std::snprintf(head, sizeof head, "%06zu", text.size());
    return std::string(head) + std::string("\x01\x01\x20", 3) + text;
}

// A host that reads the test frame, keeps it, and answers `text`.
struct Host {
    TcpPeer peer;
    std::string received;
    void answers(const std::string& text)
    {
        peer.start([this, text](PeerIo& io) {
            received = io.readN(TCP_FRAME.size(), 5000);
            io.send(answerFrame(text));
            io.drain(200);
        });
    }
};

class NetTestTest : public test::HttpsTest {
protected:
    void SetUp() override
    {
        HttpsTest::SetUp();
        link_setHttpDialog(http_dialog);  // as the worker does at its start
        g_linkTimeouts.tcpConnect = 2;
        transactionBusy = false;
        testInProgress = false;
        testNetTable.fill(nullptr);
        networkTable.fill(nullptr);
    }
    void TearDown() override
    {
        port_close();
        networkTable.fill(nullptr);
        testNetTable.fill(nullptr);
        transactionBusy = false;
        testInProgress = false;
        g_linkTimeouts = LinkTimeouts{};
        HttpsTest::TearDown();
    }

    // A TCP/IP connection to `address`.
    ConnectionDef* tcpip(const std::string& address)
    {
        auto cnx = std::make_unique<ConnectionDef>();
        cnx->connectionType = CNX_TYPE_TCPIP;
        cnx->address = address;
        cnx->connectionTimeout = 2;
        connections.push_back(std::move(cnx));
        return connections.back().get();
    }
    ConnectionDef* http()
    {
        connections.push_back(std::make_unique<ConnectionDef>(test::httpConnection()));
        return connections.back().get();
    }
    ConnectionDef* serial()
    {
        auto cnx = std::make_unique<ConnectionDef>();
        cnx->comdev = "COM1";
        cnx->connectionMode = CNX_MODE_DIRECT;
        cnx->speed = 9600;
        cnx->dataBit = 8;
        cnx->stopBits = 1;
        cnx->parity = PARITY_NONE;
        connections.push_back(std::move(cnx));
        return connections.back().get();
    }
    // A network in the next slot of the table and of the Test menu.
    NetworkDef* network(const char* name, ConnectionDef* primary, ConnectionDef* secondary = nullptr)
    {
        auto net = std::make_unique<NetworkDef>();
        net->networkName = name;
        net->primary = primary;
        net->secondary = secondary;
        net->maxProcessingDelay = 2;
        networks.push_back(std::move(net));
        std::size_t n = networks.size();
        networkTable[n - 1] = networks.back().get();
        if (n <= 3) testNetTable[n] = networks.back().get();
        return networks.back().get();
    }
    bool logged(const std::string& line) { return logText().find(line) != std::string::npos; }
    // The lines the test leaves in the log after `from`, each with its prefix.
    void expectClosed(const NetworkDef* net)
    {
        EXPECT_EQ(net->curCnx, nullptr);
        EXPECT_FALSE(net->portOpen);
        EXPECT_FALSE(net->linkUp);
        EXPECT_EQ(comPort.portHandle, PORT_CLOSED);
        EXPECT_FALSE(testInProgress);
    }

    std::vector<std::unique_ptr<ConnectionDef>> connections;
    std::vector<std::unique_ptr<NetworkDef>> networks;
};

TEST_F(NetTestTest, PrimaryAndBackupAreTestedInTurn)
{
    Host primary, backup;
    primary.answers("HOST ONE READY");
    backup.answers("HOST TWO READY");
    NetworkDef* net = network("NETIP", tcpip(primary.peer.address()), tcpip(backup.peer.address()));

    testNetworkMenu(1);
    primary.peer.join();
    backup.peer.join();

    EXPECT_EQ(primary.received, TCP_FRAME);
    EXPECT_EQ(backup.received, TCP_FRAME);
    std::string log = logText();
    const std::string a1 = primary.peer.address(), a2 = backup.peer.address();
    const std::vector<std::string> inOrder = {
        "INFO - Testing Network NETIP primary connection",
        "INFO - Openning TCPIP port " + a1,
        "INFO -prot. testing network NETIP " + a1,
        "INFO -prot. NETIP Test-1 " + a1 + " HOST ONE READY  Ok",
        "INFO - Disconnect port " + a1,
        "INFO - Testing Network NETIP backup connection",
        "INFO -prot. testing network NETIP " + a2,
        "INFO -prot. NETIP Test-1 " + a2 + " HOST TWO READY  Ok",
        "INFO - Disconnect port " + a2,
    };
    ASSERT_TRUE(test::inOrder(log, inOrder));
    expectClosed(net);
}

TEST_F(NetTestTest, VerdictReadsTheAnswerAsTextWithinItsSpace)
{
    struct Case {
        std::string answer;
        std::string shown;  // the answer as the log shows it
        const char* verdict;
    };
    const std::vector<Case> cases = {
        {"ABC", "ABC", "FAILED"},
        {"ABCD", "ABCD", " Ok"},
        {"", "", "FAILED"},
        {std::string("AB\0DEFGH", 8), "AB", "FAILED"},  // text up to the first NUL
        {std::string(600, 'X'), std::string(511, 'X'), " Ok"},  // 511 bytes and the NUL fit the space
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.size());
        Host host;
        host.answers(c.answer);
        networks.clear();
        networkTable.fill(nullptr);
        testNetTable.fill(nullptr);
        NetworkDef* net = network("NETV", tcpip(host.peer.address()));
        testNetworkMenu(1);
        host.peer.join();
        std::string line = "NETV Test-1 " + host.peer.address() + " " + c.shown + " " + c.verdict + "\n";
        std::string log = logText() + "\n";
        EXPECT_NE(log.find(line), std::string::npos) << log;
        expectClosed(net);
    }
}

TEST_F(NetTestTest, CancelChosenBeforeTheTestDoesNotEndIt)
{
    struct Case {
        const char* what;
        bool terminate;
        bool tested;
    };
    for (const Case& c : {Case{"after a Cancel while idle", false, true}, Case{"during an Exit", true, false}}) {
        SCOPED_TRACE(c.what);
        Host host;
        if (c.tested) host.answers("STILL HERE");
        networks.clear();
        networkTable.fill(nullptr);
        testNetTable.fill(nullptr);
        NetworkDef* net = network("NETC", tcpip(host.peer.address()));
        stopRequested = true;
        terminateRequested = c.terminate;
        testNetworkMenu(1);
        host.peer.join();
        EXPECT_EQ(logged("NETC Test-1 " + host.peer.address() + " STILL HERE  Ok"), c.tested);
        // An Exit keeps its flags: the worker ends after the test.
        EXPECT_EQ(stopRequested, !c.tested);
        expectClosed(net);
        terminateRequested = false;
        stopRequested = false;
    }
}

TEST_F(NetTestTest, HostThatClosesWithoutAnswerFails)
{
    Host host;
    host.peer.start([&](PeerIo& io) {
        host.received = io.readN(TCP_FRAME.size(), 5000);
        host.peer.closeConnection();
    });
    ConnectionDef* cnx = tcpip(host.peer.address());
    cnx->usePKI = true;
    NetworkDef* net = network("NETF", cnx);

    testNetworkMenu(1);
    host.peer.join();

    EXPECT_EQ(host.received, TCP_FRAME);
    EXPECT_TRUE(logged("INFO -prot. NETF Test-1 " + host.peer.address() + " TEST PLAIN : FAILED"));
    // The usePKI remark follows a successful test only.
    EXPECT_FALSE(logged("usePKI"));
    expectClosed(net);
}

TEST_F(NetTestTest, UsePkiIsRemarkedAfterASuccessfulTest)
{
    Host host;
    host.answers("PKI HOST");
    ConnectionDef* cnx = tcpip(host.peer.address());
    cnx->usePKI = true;
    network("NETP", cnx);

    testNetworkMenu(1);
    host.peer.join();

    std::string log = logText();
    std::size_t ok = log.find("NETP Test-1 " + host.peer.address() + " PKI HOST  Ok");
    std::size_t pki = log.find("INFO -prot. NETP param 'usePKI=true' Not supported, use HTTP");
    ASSERT_NE(ok, std::string::npos) << log;
    ASSERT_NE(pki, std::string::npos) << log;
    EXPECT_LT(ok, pki);
}

TEST_F(NetTestTest, RefusedConnectionLogsNoTestAndLeavesThePortClosed)
{
    Host gone;
    std::string address = gone.peer.address();
    gone.peer.closeListener();
    NetworkDef* net = network("NETR", tcpip(address));

    testNetworkMenu(1);

    std::string log = logText();
    EXPECT_NE(log.find("Openning TCPIP port " + address), std::string::npos) << log;
    EXPECT_EQ(log.find("Test-1"), std::string::npos) << log;
    EXPECT_EQ(log.find("testing network"), std::string::npos) << log;
    expectClosed(net);
}

TEST_F(NetTestTest, NetworkWithoutSecondaryTestsOnlyThePrimary)
{
    Host host;
    host.answers("ONLY ONE");
    NetworkDef* net = network("NETS", tcpip(host.peer.address()));

    testNetworkMenu(1);
    host.peer.join();

    EXPECT_TRUE(logged("Testing Network NETS primary connection"));
    EXPECT_FALSE(logged("backup"));
    expectClosed(net);
}

TEST_F(NetTestTest, SerialPrimaryIsNotSupportedAndTheBackupIsStillTested)
{
    Host backup;
    backup.answers("BACKUP HOST");
    NetworkDef* net = network("NETM", serial(), tcpip(backup.peer.address()));

    testNetworkMenu(1);
    backup.peer.join();

    std::string log = logText();
    EXPECT_NE(log.find("INFO - Network NETM primary connection does not use TCPIP or HTTP, test is not supported"),
              std::string::npos)
        << log;
    // Nothing was opened for the serial line.
    EXPECT_EQ(log.find("Openning port COM1"), std::string::npos) << log;
    EXPECT_NE(log.find("NETM Test-1 " + backup.peer.address() + " BACKUP HOST  Ok"), std::string::npos) << log;
    expectClosed(net);
}

TEST_F(NetTestTest, RefusedCommandsDoNothing)
{
    Host host;  // never started: a test that ran would fail to be answered
    NetworkDef* net = network("NETX", tcpip(host.peer.address()));
    test::TestWindow window;

    struct Case {
        const char* what;
        int n;
        bool busy;
        bool testing;
    };
    const std::vector<Case> cases = {
        {"item 0", 0, false, false},
        {"item 4", 4, false, false},
        {"an empty slot", 2, false, false},
        {"during a transaction", 1, true, false},
        {"during another test", 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        transactionBusy = c.busy;
        testInProgress = c.testing;
        testNetworkMenu(c.n);
        EXPECT_EQ(testInProgress, c.testing);
        EXPECT_EQ(net->curCnx, nullptr);
    }
    transactionBusy = false;
    testInProgress = false;
    EXPECT_EQ(logText(), "");
    EXPECT_EQ(window.repaints, 0);
    EXPECT_TRUE(window.boxes.empty());
}

// A window whose first repaint during a test chooses another Test item, as
// a wait inside the test would dispatch it.
class NestedChoiceWindow : public test::TestWindow {
public:
    void repaint() override
    {
        TestWindow::repaint();
        if (testInProgress && !chose) {
            chose = true;
            testNetworkMenu(2);
        }
    }
    bool chose = false;
};

TEST_F(NetTestTest, SecondChoiceDuringATestIsRefused)
{
    Host first, second;
    first.answers("FIRST HOST");
    network("NET1", tcpip(first.peer.address()));
    network("NET2", tcpip(second.peer.address()));
    NestedChoiceWindow window;

    testNetworkMenu(1);
    first.peer.join();

    EXPECT_TRUE(window.chose);
    std::string log = logText();
    EXPECT_NE(log.find("NET1 Test-1 " + first.peer.address() + " FIRST HOST  Ok"), std::string::npos) << log;
    EXPECT_EQ(log.find("NET2"), std::string::npos) << log;
    // The outcome is shown in the window's lines, never in a box.
    EXPECT_TRUE(window.boxes.empty());
    bool shown = false;
    for (const char* line : screenLines.display)
        if (line && std::string(line).find("NET1 Test-1") != std::string::npos) shown = true;
    EXPECT_TRUE(shown);
    EXPECT_FALSE(testInProgress);
}

TEST_F(NetTestTest, PortLeftOpenByAnotherNetworkIsClosedFirst)
{
    Host kept, tested;
    kept.peer.start([](PeerIo& io) { io.drain(3000); });
    tested.answers("TESTED HOST");
    NetworkDef* other = network("KEPT", tcpip(kept.peer.address()));
    NetworkDef* net = network("NETT", tcpip(tested.peer.address()));
    // A transaction left KEPT's port open after its link was released.
    other->curCnx = other->primary;
    ASSERT_EQ(net_connect(other), 0);
    ASSERT_TRUE(other->portOpen);

    testNetworkMenu(2);
    tested.peer.join();

    EXPECT_EQ(tested.received, TCP_FRAME);
    EXPECT_TRUE(logged("NETT Test-1 " + tested.peer.address() + " TESTED HOST  Ok"));
    EXPECT_TRUE(logged("Disconnect port " + kept.peer.address()));
    EXPECT_FALSE(other->portOpen);
    EXPECT_EQ(other->curCnx, nullptr);
    expectClosed(net);
    kept.peer.closeConnection();
}

TEST_F(NetTestTest, HttpPrimaryAndBackupPostTheTestClaim)
{
    keyServer->serve({replyOf(200, "KEY-OF-9998")});
    claimServer->serve({replyOf(200, "PROXY TEST ANSWER"), replyOf(200, "OK")});
    ConnectionDef* backup = http();
    backup->address = "backup.invalid";  // the proxy is the primary's host
    NetworkDef* net = network("NETH", http(), backup);
    debugTrace = true;

    testNetworkMenu(1);
    claimServer->stop();
    keyServer->stop();

    auto claims = claimServer->requests();
    ASSERT_EQ(claims.size(), 2u);
    for (const auto& claim : claims) {
        EXPECT_EQ(claim.method, "POST");
        EXPECT_EQ(claim.target, "/api/AuthenticationRequests");
        EXPECT_EQ(claim.body, HTTP_BODY);
        EXPECT_EQ(claim.header("Authorization"), "Bearer KEY-OF-9998");
    }
    // One key, asked once for the test record's office and provider.
    EXPECT_EQ(keyServer->requests().size(), 1u);
    EXPECT_TRUE(storedKey("9998-053333300-8").has_value());

    std::string log = logText();
    const std::vector<std::string> inOrder = {
        "INFO - Testing Network NETH primary connection",
        "INFO - Openning HTTP connection",
        "INFO -prot. testing network NETH",
        "INFO -prot. Test request:<" + HTTP_BODY.substr(0, 69) + ">",
        "INFO -prot. NETH PROXY TEST ANSWER  Ok",
        "INFO - Testing Network NETH backup connection",
        "INFO -prot. NETH OK FAILED",
    };
    ASSERT_TRUE(test::inOrder(log, inOrder));
    expectClosed(net);
}

TEST_F(NetTestTest, HttpRefusalIsATestFailure)
{
    keyServer->serve({replyOf(200, "KEY-OF-9998")});
    claimServer->serve({replyOf(404, "")});
    NetworkDef* net = network("NETH", http());

    testNetworkMenu(1);
    claimServer->stop();
    keyServer->stop();

    std::string log = logText();
    EXPECT_NE(log.find("INFO -prot. NETH TEST FAILED"), std::string::npos) << log;
    // Without the debug trace the request is not shown.
    EXPECT_EQ(log.find("Test request:"), std::string::npos) << log;
    expectClosed(net);
}

// The answer space keeps 511 bytes of a proxy's answer and its NUL: 511
// bytes are the verdict's text, one more fails the test.
TEST_F(NetTestTest, HttpAnswerFillsTheSpaceLessItsNul)
{
    keyServer->serve({replyOf(200, "KEY-OF-9998")});
    claimServer->serve({replyOf(200, std::string(511, 'P')), replyOf(200, std::string(512, 'Q'))});
    NetworkDef* net = network("NETH", http(), http());

    testNetworkMenu(1);
    claimServer->stop();
    keyServer->stop();

    ASSERT_TRUE(test::inOrder(logText(), {"INFO -prot. NETH " + std::string(511, 'P') + "  Ok\n",
                                          "INFO - Testing Network NETH backup connection",
                                          "INFO -prot. NETH TEST FAILED"}))
        << logText();
    expectClosed(net);
}

TEST_F(NetTestTest, HttpAnswerLongerThanTheSpaceKeepsWhatFits)
{
    keyServer->serve({replyOf(200, "KEY-OF-9998")});
    claimServer->serve({replyOf(200, std::string(2000, 'P'))});
    NetworkDef* net = network("NETH", http());

    testNetworkMenu(1);
    claimServer->stop();
    keyServer->stop();

    // The transfer ends at the chunk that would fill the space: a failure
    // that never reads past the answer's 512 bytes.
    std::string log = logText();
    EXPECT_NE(log.find("INFO -prot. NETH TEST FAILED"), std::string::npos) << log;
    expectClosed(net);
}

}  // namespace
}  // namespace qzr
