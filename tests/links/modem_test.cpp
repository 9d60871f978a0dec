// Dialing, waiting and hanging up against a Hayes modem played on a
// pseudo-terminal, and against ppp's chat behind socat.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/link_peers.h"
#include "links/modem.h"
#include "links/port.h"
#include "os/os_wait.h"

extern char** environ;

namespace qzr {
namespace {

using test::elapsedMs;
using test::Later;
using test::LinkTest;
using test::PeerIo;
using test::PtyPeer;
using Clock = std::chrono::steady_clock;

// A Hayes modem: answers each command line (ending in "\r\n"), "+++" and
// EOT by what it is told, and records what it received.
struct HayesModem {
    std::string resetReply = "OK\r\n";
    std::string initReply = "OK\r\n";
    std::string dialReply = "\r\nCONNECT 9600\r\n";
    std::string escapeReply = "OK\r\n";
    std::string hangupCommand = "ATH0";
    std::vector<std::string> hangupReplies = {"OK\r\n"};  // by occurrence; the last repeats

    std::vector<std::string> received;  // commands, "+++" and "<EOT>"
    std::atomic<bool> done{false};

    void run(PeerIo& io)
    {
        std::string line;
        int hangups = 0;
        for (;;) {
            unsigned char c;
            if (!io.readByte(c, 50)) {
                if (done) break;  // quiet and told to stop
                continue;
            }
            if (c == 0x04 && line.empty()) {
                received.push_back("<EOT>");
                continue;
            }
            line.push_back(static_cast<char>(c));
            if (line == "+++") {
                received.push_back(line);
                line.clear();
                io.send(escapeReply);
                continue;
            }
            if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) continue;
            received.push_back(line);
            std::string cmd = line.substr(0, line.size() - 2);
            line.clear();
            if (cmd == "ATE0V1") {
                io.send(resetReply);
            } else if (cmd.rfind("ATDT", 0) == 0) {
                io.send(dialReply);
            } else if (cmd == hangupCommand) {
                const std::string& r = hangupReplies[std::min<std::size_t>(hangups, hangupReplies.size() - 1)];
                ++hangups;
                io.send(r);
            } else {
                io.send(initReply);
            }
        }
    }
};

class ModemTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        peer.linkInto(dir.path().string());
        general.modemInit = "AT&F";
        general.modemHangup = "ATH0";
        cnx = serialCnx(CNX_MODE_DIALUP);
        cnx.phone = "5551234";
        cnx.connectionTimeout = 2;
        net = networkOf(&cnx);
    }
    void TearDown() override
    {
        modem.done = true;
        peer.join();
        LinkTest::TearDown();
    }
    // Opens the port and starts the modem.
    void connectWithModem()
    {
        ASSERT_EQ(net_connect(&net), STS_OK);
        peer.start([this](PeerIo& io) { modem.run(io); });
    }
    std::vector<std::string> stopModem()
    {
        modem.done = true;
        peer.join();
        return modem.received;
    }

    PtyPeer peer;
    HayesModem modem;
    ConnectionDef cnx;
    NetworkDef net;
};

using Commands = std::vector<std::string>;

TEST_F(ModemTest, DialsWithResetInitialisationAndNumber)
{
    connectWithModem();
    EXPECT_TRUE(net.portOpen);
    EXPECT_EQ(net_dial(&net), STS_OK);
    EXPECT_TRUE(net.dialed);
    EXPECT_EQ(stopModem(), (Commands{"ATE0V1\r\n", "AT&F\r\n", "ATDT5551234\r\n"}));
    std::string log = logText();
    EXPECT_NE(log.find("INFO - Openning port COM1 9600-8N1"), std::string::npos);
    EXPECT_NE(log.find("INFO - Dialing NET1 primary.(timeout in 2 sec)"), std::string::npos);
    EXPECT_NE(log.find("COM<-- Send ATE0V1"), std::string::npos);
}

TEST_F(ModemTest, TheBackupConnectionIsNamedInTheLog)
{
    ConnectionDef other = cnx;
    net.secondary = &other;
    net.curCnx = &other;
    connectWithModem();
    EXPECT_EQ(net_dial(&net), STS_OK);
    stopModem();
    EXPECT_NE(logText().find("Dialing NET1 backup.(timeout in 2 sec)"), std::string::npos);
}

struct ResultCase {
    const char* reply;
    int status;
};

class ModemResultTest : public ModemTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(ModemResultTest, ModemResultsEndTheDialWithTheirStatus)
{
    modem.dialReply = GetParam().reply;
    cnx.connectionTimeout = 1;
    connectWithModem();
    auto t0 = Clock::now();
    EXPECT_EQ(net_dial(&net), GetParam().status);
    // A result ends the wait as soon as it is read, not at the time-out.
    if (GetParam().status != STS_DIAL_ERROR) {
        EXPECT_LT(elapsedMs(t0), 1500);
    }
    EXPECT_TRUE(net.dialed);  // the initialisation was accepted
}

std::string resultName(const ::testing::TestParamInfo<ResultCase>& info)
{
    return "Status" + std::to_string(info.param.status);
}

INSTANTIATE_TEST_SUITE_P(Results, ModemResultTest,
                         ::testing::Values(ResultCase{"\r\nBUSY\r\n", STS_LINE_BUSY},
                                           ResultCase{"\r\nNO CARRIER\r\n", STS_NO_CONNECT},
                                           ResultCase{"\r\nNO DIALTONE\r\n", STS_NO_DIALTONE},
                                           ResultCase{"\r\nNO ANSWER\r\n", STS_NO_ANSWER},
                                           ResultCase{"\r\nCARRIER LOST\r\n", STS_CONNECTION_LOST},
                                           ResultCase{"DATAPAC: call cleared", STS_DATAPAC_CLEARED},
                                           ResultCase{"", STS_DIAL_ERROR}),
                         resultName);

struct InitCase {
    int speed;
    std::optional<std::string> init, hsInit;
    const char* sent;
};

class ModemInitTest : public ModemTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(ModemInitTest, HighSpeedsUseTheirOwnInitialisation)
{
    cnx.speed = GetParam().speed;
    general.modemInit = GetParam().init;
    general.HSmodemInit = GetParam().hsInit;
    connectWithModem();
    EXPECT_EQ(net_dial(&net), STS_OK);
    Commands got = stopModem();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], GetParam().sent);
}

std::string initName(const ::testing::TestParamInfo<InitCase>& info)
{
    return "Case" + std::to_string(info.index) + "_" + std::to_string(info.param.speed);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, ModemInitTest,
    ::testing::Values(InitCase{9600, "AT&F", "AT&F S37=11", "AT&F\r\n"},
                      InitCase{14400, "AT&F", "AT&F S37=11", "AT&F S37=11\r\n"},
                      InitCase{14400, "AT&F", std::nullopt, "AT&F\r\n"},
                      InitCase{57600, std::nullopt, std::nullopt, "\r\n"},
                      InitCase{9600, "AT&F E0 V1 Q0 X4 S7=60 S11=50 &C1 &D2 &K3 +MS=V34,1,2400,33600,2400,33600",
                               std::nullopt,
                               "AT&F E0 V1 Q0 X4 S7=60 S11=50 &C1 &D2 &K3 +MS=V34,1,2400,33600,2400,33600\r\n"}),
    initName);

TEST_F(ModemTest, AnUnansweredInitialisationFailsBeforeDialing)
{
    modem.initReply = "";
    connectWithModem();
    EXPECT_EQ(net_dial(&net), STS_TIMEOUT);
    EXPECT_FALSE(net.dialed);
    EXPECT_EQ(stopModem(), (Commands{"ATE0V1\r\n", "AT&F\r\n"}));
}

TEST_F(ModemTest, ASimulationNetworkInitialisesButDoesNotDial)
{
    net.simulation = true;
    connectWithModem();
    EXPECT_EQ(net_dial(&net), STS_OK);
    EXPECT_TRUE(net.dialed);
    EXPECT_EQ(stopModem(), (Commands{"ATE0V1\r\n", "AT&F\r\n"}));
}

TEST_F(ModemTest, ADirectLineWithoutScriptSendsNothing)
{
    cnx.connectionMode = CNX_MODE_DIRECT;
    connectWithModem();
    EXPECT_EQ(net_dial(&net), STS_OK);
    EXPECT_FALSE(net.dialed);
    EXPECT_TRUE(stopModem().empty());
}

TEST_F(ModemTest, ASilentModemGetsFiveResetsThenTheInitialisation)
{
    modem.resetReply = "";
    connectWithModem();
    auto t0 = Clock::now();
    EXPECT_EQ(net_dial(&net), STS_OK);
    // Each try: two one-second read time-outs and a one-second pause.
    EXPECT_GE(elapsedMs(t0), 5 * 2900);
    Commands got = stopModem();
    ASSERT_EQ(got.size(), 7u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i], "ATE0V1\r\n");
    EXPECT_EQ(got[5], "AT&F\r\n");
}

TEST_F(ModemTest, HangupBothAfterADialogSendsEotDtrEscapeAndHangup)
{
    net.disconnectMethod = DISC_BOTH;
    connectWithModem();
    ASSERT_EQ(net_dial(&net), STS_OK);
    net.linkUp = true;
    EXPECT_EQ(net_hangup(&net), STS_OK);
    EXPECT_FALSE(net.linkUp);
    EXPECT_FALSE(net.dialed);
    Commands got = stopModem();
    EXPECT_EQ(got, (Commands{"ATE0V1\r\n", "AT&F\r\n", "ATDT5551234\r\n", "<EOT>", "+++", "ATH0\r\n"}));
    std::string log = logText();
    std::size_t hang = log.find("COM<-- Hangup");
    std::size_t dtr = log.find("COM<-- Lower DTR");
    ASSERT_NE(hang, std::string::npos);
    ASSERT_NE(dtr, std::string::npos);
    EXPECT_LT(hang, dtr);
}

TEST_F(ModemTest, SoftHangupWithoutDialogStartsWithoutEscape)
{
    modem.hangupReplies = {"", "OK\r\n"};  // the first hang-up goes unanswered
    connectWithModem();
    ASSERT_EQ(net_dial(&net), STS_OK);
    EXPECT_EQ(net_hangup(&net), STS_OK);
    Commands got = stopModem();
    EXPECT_EQ(got, (Commands{"ATE0V1\r\n", "AT&F\r\n", "ATDT5551234\r\n", "ATH0\r\n", "+++", "ATH0\r\n"}));
}

TEST_F(ModemTest, AnUnansweredHangupIsTriedThreeTimes)
{
    modem.hangupReplies = {""};
    modem.escapeReply = "";
    connectWithModem();
    ASSERT_EQ(net_dial(&net), STS_OK);
    EXPECT_EQ(net_hangup(&net), STS_ERROR);
    EXPECT_FALSE(net.dialed);
    Commands got = stopModem();
    EXPECT_EQ(got, (Commands{"ATE0V1\r\n", "AT&F\r\n", "ATDT5551234\r\n", "ATH0\r\n", "+++", "ATH0\r\n",
                             "+++", "ATH0\r\n"}));
}

TEST_F(ModemTest, HardHangupOnlyDropsDtr)
{
    net.disconnectMethod = DISC_HARD;
    general.modemHangup.reset();
    connectWithModem();
    ASSERT_EQ(net_dial(&net), STS_OK);
    EXPECT_EQ(net_hangup(&net), STS_ERROR);
    EXPECT_EQ(stopModem(), (Commands{"ATE0V1\r\n", "AT&F\r\n", "ATDT5551234\r\n"}));
    EXPECT_NE(logText().find("Lower DTR"), std::string::npos);
}

TEST_F(ModemTest, HangupOfALineNeverDialedOnlyEndsTheDialog)
{
    cnx.connectionMode = CNX_MODE_DIRECT;
    connectWithModem();
    net.linkUp = true;
    comPort.rxRing[0] = 'x';
    comPort.rxWritePos = 1;
    EXPECT_EQ(net_hangup(&net), STS_OK);
    EXPECT_FALSE(net.linkUp);
    EXPECT_TRUE(port_rxRingEmpty());
    EXPECT_EQ(comPort.rxRing[0], 0);
    EXPECT_EQ(stopModem(), (Commands{"<EOT>"}));
    EXPECT_EQ(logText().find("Hangup"), std::string::npos);
}

TEST_F(ModemTest, DisconnectClosesThePortAndClearsTheFlag)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    EXPECT_EQ(net_connect(&net), STS_OK);  // already open: nothing to do
    net_disconnect(&net);
    EXPECT_FALSE(net.portOpen);
    EXPECT_EQ(comPort.portHandle, PORT_CLOSED);
    EXPECT_NE(logText().find("Disconnect port COM1 "), std::string::npos);
}

TEST_F(ModemTest, HttpConnectionsOpenNothing)
{
    ConnectionDef http;
    http.connectionType = CNX_TYPE_HTTP;
    NetworkDef h = networkOf(&http, "PROXY");
    EXPECT_EQ(net_connect(&h), STS_OK);
    EXPECT_TRUE(h.portOpen);
    EXPECT_EQ(comPort.portHandle, PORT_CLOSED);
    net_disconnect(&h);
    EXPECT_FALSE(h.portOpen);
    EXPECT_NE(logText().find("Openning HTTP connection"), std::string::npos);
}

// ---- net_waitfor ----

TEST_F(ModemTest, WaitforFindsItsTextAmidOtherBytes)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    peer.io.send(std::string("xxOKOx\0OK\r\n", 11));
    EXPECT_EQ(net_waitfor("OK\r\n", 1), STS_OK);
    EXPECT_STREQ(modemReply, "xxOKOxOK\r\n");  // NUL bytes are not kept
    EXPECT_EQ(net_waitfor("", 1), STS_OK);
}

TEST_F(ModemTest, WaitforGivesUpAfterSecondsPlusOneTimeouts)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    g_detailedMessages = true;
    auto t0 = Clock::now();
    EXPECT_EQ(net_waitfor("CONNECT", 2), STS_TIMEOUT);
    long ms = elapsedMs(t0);
    EXPECT_GE(ms, 2900);
    EXPECT_LE(ms, 3800);
    std::string log = logText();
    EXPECT_NE(log.find("COM  :- Wait for: len=7 <CONNECT>"), std::string::npos);
    EXPECT_NE(log.find("COM  :- [Wait Timeout]"), std::string::npos);
}

TEST_F(ModemTest, WaitforEndsOnAStopRequestWith1003)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    auto t0 = Clock::now();
    {
        Later stop(200, [] { stopRequested = true; });
        EXPECT_EQ(net_waitfor("CONNECT", 30), STS_INTERRUPTED);
    }
    EXPECT_LT(elapsedMs(t0), 1500);
    EXPECT_NE(logText().find("[Wait interrupted]"), std::string::npos);
}

TEST_F(ModemTest, ASteadyStreamKeepsTheWaitGoingAndTheReplyStaysBounded)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    peer.start([](PeerIo& io) {
        for (int i = 0; i < 30; ++i) {
            io.send(std::string(10, 'z'));
            os_sleepMs(100);
        }
        io.send("OK\r\n");
    });
    // Three seconds of bytes outlast a one-second wait: received bytes do
    // not use up the time-outs.
    EXPECT_EQ(net_waitfor("OK\r\n", 1), STS_OK);
    EXPECT_EQ(std::strlen(modemReply), MODEM_REPLY_SIZE - 1);
}

// A line that keeps talking keeps a wait going, but a stop ends it within a
// round of 500 ms all the same; a wait that begins after the stop (the
// hang-up's) still hears an answer that comes within its own round.
TEST_F(ModemTest, AStopEndsAWaitOnAChattyLineWithinARound)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    std::atomic<bool> answerNow{false};
    auto talkUntil = Clock::now() + std::chrono::seconds(6);
    peer.start([&](PeerIo& io) {
        while (!modem.done && Clock::now() < talkUntil) {
            io.send(answerNow.exchange(false) ? "OK\r\n" : "xyz\r\n");
            os_sleepMs(answerNow ? 0 : 100);
        }
    });
    auto t0 = Clock::now();
    {
        Later stop(1500, [] { stopRequested = true; });
        EXPECT_EQ(net_waitfor("OK\r\n", 1), STS_INTERRUPTED);
    }
    long ms = elapsedMs(t0);
    EXPECT_GE(ms, 1450);  // the chatter outlasted the one-second limit
    EXPECT_LT(ms, 2200);
    EXPECT_NE(logText().find("COM  :- [Wait interrupted]"), std::string::npos);

    // After the stop: an answer within the round is heard, chatter alone is not.
    answerNow = true;
    EXPECT_EQ(net_waitfor("OK\r\n", 3), STS_OK);
    t0 = Clock::now();
    EXPECT_EQ(net_waitfor("OK\r\n", 3), STS_INTERRUPTED);
    EXPECT_LT(elapsedMs(t0), 800);
    modem.done = true;
    peer.join();
}

// A modem that only chatters keeps a reset try going; a stop ends the dial
// with 1003 at once instead of trying the reset again.
TEST_F(ModemTest, AStopEndsTheModemResetAtOnce)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    auto talkUntil = Clock::now() + std::chrono::seconds(6);
    peer.start([this, talkUntil](PeerIo& io) {
        while (!modem.done && Clock::now() < talkUntil) {
            io.send("xyz\r\n");
            io.drain(100);
        }
    });
    auto t0 = Clock::now();
    {
        Later stop(1500, [] { stopRequested = true; });
        EXPECT_EQ(net_dial(&net), STS_INTERRUPTED);
    }
    EXPECT_LT(elapsedMs(t0), 2200);
    modem.done = true;
    peer.join();
    EXPECT_EQ(peer.io.transcript(), "ATE0V1\r\n");
    EXPECT_FALSE(net.dialed);
}

TEST_F(ModemTest, AModemResultInsideTheWaitIsReturned)
{
    ASSERT_EQ(net_connect(&net), STS_OK);
    peer.io.send("\r\nBUSY\r\n");
    EXPECT_EQ(net_waitfor("CONNECT", 5), STS_LINE_BUSY);
    // The awaited text is matched before the results are looked for.
    peer.io.send("NO CARRIER");
    EXPECT_EQ(net_waitfor("NO CARRIER", 5), STS_OK);
}

// ---- ppp's chat as the modem, behind socat ----

bool haveProgram(const char* path)
{
    return ::access(path, X_OK) == 0;
}

TEST_F(ModemTest, ChatBehindSocatAnswersTheDialAndTheLogin)
{
    if (!haveProgram("/usr/bin/socat") || !haveProgram("/usr/sbin/chat")) GTEST_SKIP() << "socat or chat missing";
    // socat makes its own pty and links it where the driver looks.
    std::filesystem::remove(dir.file("devices/com1"));
    dir.write("chat.script",
              "TIMEOUT 5\n"
              "ATE0V1 \\r\\nOK\\r\\n\\c\n"
              "AT&F \\r\\nOK\\r\\n\\c\n"
              "ATDT5551234 \\r\\nCONNECT\\s9600\\r\\nlogin:\\c\n"
              "dental \\r\\npassword:\\c\n"
              "s3cret \\r\\nREADY\\r\\n\\c\n"
              "ATH0 \\r\\nOK\\r\\n\\c\n"
              "'' \\d\\d\\c\n");
    std::string root = dir.path().string();
    dir.write("modem.sh", "#!/bin/sh\n/usr/sbin/chat -f \"$1/chat.script\"\necho $? > \"$1/chat.status\"\n");
    std::string ptyArg = "PTY,link=" + root + "/devices/com1,raw,echo=0";
    // chat needs a terminal of its own.
    std::string execArg = "EXEC:/bin/sh " + root + "/modem.sh " + root + ",pty,raw,echo=0";
    std::vector<std::string> args = {"socat", ptyArg, execArg};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, "/usr/bin/socat", nullptr, nullptr, argv.data(), environ), 0);
    for (int i = 0; i < 500 && !std::filesystem::exists(dir.file("devices/com1")); ++i) os_sleepMs(10);
    ASSERT_TRUE(std::filesystem::exists(dir.file("devices/com1")));

    // The host's login as a connect script:
    //   wait 5 for "login:" then transmit "dental^M"
    //   wait 5 for "password:" then transmit "s3cret^M"
    //   wait 5 for "READY" then return 0
    //   return 1
    ScriptNode n[9];
    n[0] = {OP_ID, "user script", 0, 0, &n[1], nullptr};
    n[1] = {OP_WAIT, "login:", 5, 0, &n[2], &n[2]};
    n[2] = {OP_TRANSMIT, "dental\r", 0, 0, &n[3], nullptr};
    n[3] = {OP_WAIT, "password:", 5, 0, &n[4], &n[4]};
    n[4] = {OP_TRANSMIT, "s3cret\r", 0, 0, &n[5], nullptr};
    n[5] = {OP_WAIT, "READY", 5, 0, &n[6], &n[6]};
    n[6] = {OP_RETURN, "", 0, 0, &n[7], nullptr};
    n[7] = {OP_RETURN, "", 1, 0, nullptr, nullptr};
    cnx.connectScript = &n[0];

    ASSERT_EQ(net_connect(&net), STS_OK);
    EXPECT_EQ(net_dial(&net), STS_OK);
    EXPECT_TRUE(net.dialed);
    EXPECT_EQ(net_hangup(&net), STS_OK);
    net_disconnect(&net);

    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(dir.read("chat.status"), "0\n");
}

}  // namespace
}  // namespace qzr
