// The Common Protocol dialog against a host played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>

#include "foundation/buffers.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/common_dialog.h"
#include "links/link_peers.h"
#include "links/modem.h"
#include "links/port.h"
#include "os/os_wait.h"

namespace qzr {
namespace {

using test::elapsedMs;
using test::Later;
using test::LinkTest;
using test::PeerIo;
using test::PtyPeer;
using Clock = std::chrono::steady_clock;

using test::ACK;
using test::ENQ;
using test::EOT;
using test::ETX;
using test::NAK;
using test::STX;
using test::frameOf;
using test::lrcOf;



constexpr int RESP_SIZE = 18000;

class CommonDialogTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        peer.linkInto(dir.path().string());
        cnx = serialCnx();
        net = networkOf(&cnx);
        ASSERT_EQ(net_connect(&net), STS_OK);
        request = frameOf(message);
        std::memset(resp, 0x55, sizeof resp);
    }
    void TearDown() override
    {
        peer.join();
        LinkTest::TearDown();
    }

    // Runs the dialog with the message (whose frame the host expects in
    // `request`) and a response text of at most `capacity` bytes (the buffer
    // has room for more).
    int dialog(int capacity = RESP_SIZE)
    {
        std::string text = message;
        respLen = capacity;
        return common_dialog(&net, nullptr, text.data(), static_cast<int>(text.size()), resp, &respLen);
    }
    std::string response() const { return std::string(reinterpret_cast<const char*>(resp), respLen); }

    // The host's reading of one request frame: up to its ETX and the LRC.
    static std::string readFrame(PeerIo& io)
    {
        std::string f = io.readUntil(ETX, 3000);
        f += io.readN(1, 3000);
        return f;
    }

    PtyPeer peer;
    ConnectionDef cnx;
    NetworkDef net;
    std::string message = "HD*         0000010401000001QZR100069X00001";
    std::string request;
    unsigned char resp[RESP_SIZE + 64];
    int respLen = -1;
};

TEST_F(CommonDialogTest, CarriesARequestAndItsAnswer)
{
    std::string got, ack;
    peer.start([&](PeerIo& io) {
        io.send("noise" + ENQ);
        got = readFrame(io);
        io.send(frameOf("ANSWER 123"));
        ack = io.readN(1, 3000);
    });
    g_detailedMessages = true;
    EXPECT_EQ(dialog(), STS_OK);
    peer.join();
    EXPECT_EQ(got, request);
    EXPECT_EQ(ack, ACK);
    EXPECT_EQ(response(), "ANSWER 123");
    EXPECT_EQ(respLen, 10);
    EXPECT_EQ(resp[10], 0);
    EXPECT_TRUE(net.linkUp);
    std::string log = logText();
    EXPECT_NE(log.find("INFO - Dialog: request length 46 bytes"), std::string::npos);
    EXPECT_NE(log.find("INFO -prot. Waiting (max=1 sec) for ENQ"), std::string::npos);
    EXPECT_NE(log.find("INFO -prot. 46 bytes sent, waiting (max=1 sec) for response"), std::string::npos);
    EXPECT_NE(log.find("INFO -prot. STX received "), std::string::npos);
    EXPECT_NE(log.find("INFO -prot. Response received 10 bytes"), std::string::npos);
}

TEST_F(CommonDialogTest, NulsAreIgnoredAndEnqOrNakGetTheFrameAgain)
{
    std::string frames;
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        frames += readFrame(io);
        io.send(std::string("\0\0", 2) + ENQ);
        frames += readFrame(io);
        io.send(NAK);
        frames += readFrame(io);
        io.send(std::string(1, '\0') + frameOf("OK"));
        io.readN(1, 3000);
    });
    EXPECT_EQ(dialog(), STS_OK);
    peer.join();
    EXPECT_EQ(frames, request + request + request);
    EXPECT_EQ(response(), "OK");
    std::string log = logText();
    EXPECT_NE(log.find("another ENQ received"), std::string::npos);
    EXPECT_NE(log.find("NAK received"), std::string::npos);
}

TEST_F(CommonDialogTest, AWrongLrcIsAnsweredWithNakAndTheResponseAwaitedAgain)
{
    std::string replies;
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        std::string bad = frameOf("FIRST");
        bad.back() = static_cast<char>(bad.back() ^ 0x40);
        io.send(bad);
        replies += io.readN(1, 3000);
        io.send(frameOf("SECOND"));
        replies += io.readN(1, 3000);
    });
    EXPECT_EQ(dialog(), STS_OK);
    peer.join();
    EXPECT_EQ(replies, NAK + ACK);
    EXPECT_EQ(response(), "SECOND");
    EXPECT_NE(logText().find("CODE -1044- LRC Error"), std::string::npos);
}

TEST_F(CommonDialogTest, TheThirdLrcTimeoutEndsTheDialog)
{
    std::string replies;
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        for (int i = 0; i < 3; ++i) {
            io.send(STX + "NOLRC" + ETX);
            replies += io.readN(1, 2500);
        }
    });
    EXPECT_EQ(dialog(), STS_BAD_LRC);
    peer.join();
    EXPECT_EQ(replies, NAK + NAK);
    EXPECT_EQ(respLen, 0);
    std::string log = logText();
    std::size_t first = log.find("CODE -1044- Timeout reading LRC STATE 3 sts=1002");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("CODE -1044- Timeout reading LRC STATE 3 sts=1002", first + 1), std::string::npos);
    EXPECT_NE(log.find("CODE -1044- Error reading LRC STATE 3 sts=1002"), std::string::npos);
    EXPECT_NE(log.find("CODE -1044- Common Protocol error, end dialog"), std::string::npos);
}

TEST_F(CommonDialogTest, ASecondStxRestartsTheResponse)
{
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        io.send(STX + "PARTIAL" + frameOf("WHOLE"));
        io.readN(1, 3000);
    });
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(response(), "WHOLE");
    EXPECT_NE(logText().find("another <STX> received restart message"), std::string::npos);
}

TEST_F(CommonDialogTest, AnEmptyResponseSucceeds)
{
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        io.send(STX + ETX + "\x03");
        io.readN(1, 3000);
    });
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(respLen, 0);
    EXPECT_EQ(resp[0], 0);
}

TEST_F(CommonDialogTest, EotWhileReceivingEndsWith1045)
{
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        io.send(STX + "HALF" + EOT + "MORE" + ETX);
    });
    EXPECT_EQ(dialog(), STS_SERVER_CANCEL);
    EXPECT_EQ(respLen, 0);
    EXPECT_NE(logText().find("CODE -1045- Common Protocol error, end dialog"), std::string::npos);
}

struct SilenceCase {
    const char* name;
    std::function<void(PeerIo&)> host;
    int status;
    const char* message;
};

TEST_F(CommonDialogTest, SilentAndFailingHostsEndWithTheirStatus)
{
    // Each case with its own pty; the fixture's stays unused here.
    std::vector<SilenceCase> cases = {
        {"no ENQ", [](PeerIo&) {}, STS_ENQ_TIMEOUT, "CODE -1041- Error reading ENQ STATE 0 sts=1002"},
        {"modem result instead of ENQ", [](PeerIo& io) { io.send("\r\nNO CARRIER\r\n"); }, STS_ENQ_TIMEOUT,
         "CODE -1041- Error reading ENQ STATE 0 sts=1025"},
        {"no answer", [](PeerIo& io) { io.send(ENQ); }, STS_NO_RESPONSE,
         "CODE -1042- Error reading host ACK STATE 1A sts=1002"},
        {"response cut",
         [](PeerIo& io) {
             io.send(ENQ);
             readFrame(io);
             io.send(std::string(20, '\0') + STX + "PART");
         },
         STS_NO_RESPONSE, "CODE -1042- Error reading response STATE 2 sts=1002"},
    };
    for (SilenceCase& k : cases) {
        port_close();
        net.portOpen = false;
        PtyPeer host;
        std::filesystem::remove(dir.file("devices/com1"));
        host.linkInto(dir.path().string());
        ASSERT_EQ(net_connect(&net), STS_OK);
        host.start(k.host);
        EXPECT_EQ(dialog(), k.status) << k.name;
        host.join();
        EXPECT_EQ(respLen, 0) << k.name;
        EXPECT_NE(logText().find(k.message), std::string::npos) << k.name;
    }
}

TEST_F(CommonDialogTest, UnexpectedBytesAreNakedUntilTooMuchTimeHasPassed)
{
    // Two seconds, so a loaded machine still answers the first byte in time.
    net.maxProcessingDelay = 2;
    std::string replies;
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        for (int i = 0; i < 4; ++i) {
            io.send("?");
            unsigned char c;
            if (!io.readByte(c, 2500)) break;
            replies.push_back(static_cast<char>(c));
        }
    });
    auto t0 = Clock::now();
    EXPECT_EQ(dialog(), STS_NO_STX);
    peer.join();
    EXPECT_GE(elapsedMs(t0), 2000);
    ASSERT_FALSE(replies.empty());
    EXPECT_EQ(replies, std::string(replies.size(), NAK[0]));
    std::string log = logText();
    EXPECT_NE(log.find("CODE -1043- another character received :ASCII(63) ERROR "), std::string::npos);
    EXPECT_NE(log.find("CODE -1043- Send a NAK and wait for response"), std::string::npos);
    EXPECT_NE(log.find("CODE -1043- Too many errors "), std::string::npos);
    EXPECT_NE(log.find("CODE -1043- Common Protocol error, end dialog"), std::string::npos);
}

TEST_F(CommonDialogTest, LongResponsesCountTheirThousands)
{
    struct Case {
        std::size_t textLen;
        std::vector<int> counts;
    } cases[] = {{998, {}}, {999, {1000}}, {2500, {1000, 2000}}};
    for (const Case& k : cases) {
        std::string text(k.textLen, 'R');
        log_close();
        ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
        peer.start([&](PeerIo& io) {
            io.send(ENQ);
            readFrame(io);
            io.send(frameOf(text));
            io.readN(1, 3000);
        });
        EXPECT_EQ(dialog(), STS_OK);
        peer.join();
        EXPECT_EQ(response(), text);
        std::string log = logText();
        std::size_t lines = 0;
        for (std::size_t at = 0; (at = log.find("characters read", at)) != std::string::npos; ++at) ++lines;
        EXPECT_EQ(lines, k.counts.size()) << k.textLen;
        for (int c : k.counts) EXPECT_NE(log.find(std::to_string(c) + " characters read"), std::string::npos);
    }
}

TEST_F(CommonDialogTest, AResponseNeverPassesTheCapacity)
{
    // A response longer than the capacity: its bytes beyond the capacity and
    // the byte for the ETX are dropped; the LRC of the kept bytes does not
    // match, the host gives up.
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
        io.send(frameOf(std::string(40, 'L')));
        io.readN(1, 3000);
        io.send(EOT);
    });
    EXPECT_EQ(dialog(16), STS_SERVER_CANCEL);
    for (std::size_t i = 17; i < sizeof resp; ++i) ASSERT_EQ(resp[i], 0x55) << i;
}

// Texts of the capacity, one byte less and one byte more, and the longest
// of a transaction: the first ones are accepted whole and end with their NUL
// in the byte after them (where their ETX was kept while the LRC was
// checked); the longer one loses its ETX, is refused by its LRC, and the
// host gives up.
TEST_F(CommonDialogTest, AResponseOfTheCapacityIsAcceptedWhole)
{
    struct {
        int capacity;
        std::size_t textLen;
        int status;
        const char* reply;
    } cases[] = {
        {16, 16, STS_OK, "\x06"},
        {16, 15, STS_OK, "\x06"},
        {16, 17, STS_SERVER_CANCEL, "\x15"},
        {RESP_SIZE, RESP_SIZE, STS_OK, "\x06"},
    };
    for (const auto& k : cases) {
        std::memset(resp, 0x55, sizeof resp);
        std::string text(k.textLen, 'M');
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 23);
        std::string reply;
        peer.start([&](PeerIo& io) {
            io.send(ENQ);
            readFrame(io);
            io.send(frameOf(text));
            reply = io.readN(1, 3000);
            if (reply != ACK) io.send(EOT);
        });
        EXPECT_EQ(dialog(k.capacity), k.status) << k.textLen;
        peer.join();
        EXPECT_EQ(reply, k.reply) << k.textLen;
        if (k.status == STS_OK) {
            EXPECT_EQ(respLen, static_cast<int>(k.textLen));
            EXPECT_TRUE(response() == text) << k.textLen;
            EXPECT_EQ(resp[k.textLen], 0) << k.textLen;
        }
        EXPECT_EQ(resp[k.capacity + 1], 0x55) << k.textLen;
    }
}

TEST_F(CommonDialogTest, StopRequestsEndTheEnqWaitAndTheAnswerWait)
{
    {
        Later stop(200, [] { stopRequested = true; });
        EXPECT_EQ(dialog(), STS_ENQ_TIMEOUT);
    }
    EXPECT_NE(logText().find("Error reading ENQ STATE 0 sts=1003"), std::string::npos);

    stopRequested = false;
    net.maxProcessingDelay = 30;
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        readFrame(io);
    });
    auto t0 = Clock::now();
    {
        Later stop(400, [] { stopRequested = true; });
        EXPECT_EQ(dialog(), STS_NO_RESPONSE);
    }
    EXPECT_LT(elapsedMs(t0), 2000);
    EXPECT_TRUE(net.linkUp);  // the request went out
}

TEST_F(CommonDialogTest, ARequestThatCannotBeWrittenEndsWith1053)
{
    message = std::string(1 << 20, 'W');  // more than the line takes
    peer.io.send(ENQ);                     // and the host never reads
    EXPECT_EQ(dialog(), STS_WRITE_ERROR);
    std::string log = logText();
    EXPECT_NE(log.find("CODE -1053- Error writing request STATE 1 sts=1053"), std::string::npos);
    EXPECT_NE(log.find("CODE -1053- Common Protocol error, end dialog"), std::string::npos);
}

TEST_F(CommonDialogTest, TheSimulationEchoesTheRequestAfterTheTimeout)
{
    port_close();
    net.portOpen = false;
    net.simulation = true;
    cnx.connectionTimeout = 1;
    auto t0 = Clock::now();
    EXPECT_EQ(dialog(), STS_OK);
    long ms = elapsedMs(t0);
    EXPECT_GE(ms, 950);
    EXPECT_LE(ms, 1500);
    EXPECT_EQ(response(), message);
    EXPECT_TRUE(net.linkUp);
    EXPECT_NE(logText().find("Simulation mode: the request will be echoed back in 1 sec"), std::string::npos);

    // Into a small capacity: that many bytes and the terminator.
    std::memset(resp, 0x55, sizeof resp);
    cnx.connectionTimeout = 0;
    EXPECT_EQ(dialog(7), STS_OK);
    EXPECT_EQ(respLen, 7);
    EXPECT_EQ(response(), message.substr(0, 7));
    EXPECT_EQ(resp[7], 0);
    EXPECT_EQ(resp[8], 0x55);

    // A stop during the wait ends it early with 1003.
    cnx.connectionTimeout = 10;
    t0 = Clock::now();
    {
        Later cancel(200, [] {
            stopRequested = true;
            wakeFlag = true;
        });
        EXPECT_EQ(dialog(), STS_INTERRUPTED);
    }
    EXPECT_LT(elapsedMs(t0), 1500);
}

TEST_F(CommonDialogTest, TheFrameIsBuiltAroundATextAlreadyInPlace)
{
    // The transaction processing leaves the text at reqFrame + 1; the bytes
    // around it are the frame's own, whatever they held before.
    std::string got;
    peer.start([&](PeerIo& io) {
        io.send(ENQ);
        got = readFrame(io);
        io.send(frameOf("OK"));
        io.readN(1, 3000);  // the ACK
    });
    std::memset(reqFrame, 0x77, 64);
    std::memcpy(reqFrame + 1, message.data(), message.size());
    respLen = RESP_SIZE;
    EXPECT_EQ(common_dialog(&net, nullptr, reinterpret_cast<char*>(reqFrame + 1), static_cast<int>(message.size()),
                            resp, &respLen),
              STS_OK);
    peer.join();
    EXPECT_EQ(got, request);
    EXPECT_EQ(response(), "OK");
}

TEST_F(CommonDialogTest, ATextLongerThanTheFrameHoldsIsNotSent)
{
    std::string text(REQ_FRAME_SIZE - 2, 'L');  // one byte more than the frame has room for
    respLen = RESP_SIZE;
    EXPECT_EQ(common_dialog(&net, nullptr, text.data(), static_cast<int>(text.size()), resp, &respLen),
              STS_WRITE_ERROR);
    EXPECT_EQ(respLen, 0);
    EXPECT_FALSE(net.linkUp);  // nothing went out
    std::string log = logText();
    EXPECT_NE(log.find("CODE -1053- Request too long for the frame (10099997 bytes)"), std::string::npos) << log;
    EXPECT_NE(log.find("CODE -1053- Common Protocol error, end dialog"), std::string::npos) << log;
}

TEST(CommonProtocolLrc, IsTheExclusiveOrOfTheBytes)
{
    const unsigned char f[] = {'A', 'B', 0x03};
    EXPECT_EQ(cp_lrc(f, 3), 'A' ^ 'B' ^ 0x03);
    EXPECT_EQ(cp_lrc(f, 0), 0);
}

// What waits on a line kept open before the next dialog: stale frames and
// stray bytes are discarded; an ENQ that came after the last frame is the
// host's invitation and stays for the ENQ wait; one before a frame, or
// withdrawn by an EOT, does not.
TEST_F(CommonDialogTest, DiscardKeepsOnlyAnInvitationAfterTheLastFrame)
{
    const std::string stale = frameOf("EOB 1 PAID");
    const struct {
        const char* name;
        std::string waiting;
        bool invited;
    } cases[] = {
        {"nothing", "", false},
        {"a stale frame", stale, false},
        {"an ENQ after a stale frame", stale + ENQ, true},
        {"an ENQ before a stale frame", ENQ + stale, false},
        {"ENQs and NULs around a frame", ENQ + stale + std::string(1, '\0') + ENQ + ENQ, true},
        {"an ENQ inside a frame's text", frameOf("A\x05Z"), false},
        {"an ENQ withdrawn by an EOT", ENQ + EOT, false},
        {"an ENQ as a frame's LRC", STX + "D" + ETX + ENQ, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer.io.send(c.waiting);
        os_sleepMs(50);
        long n = cp_discardStale();
        EXPECT_EQ(n, static_cast<long>(c.waiting.size()) - (c.invited ? 1 : 0));
        unsigned char b = 0;
        if (c.invited) {
            ASSERT_EQ(get_next_char(1, &b), STS_OK);
            EXPECT_EQ(b, 0x05);
        }
        EXPECT_TRUE(port_rxRingEmpty());
    }
}

// The discard costs nothing when nothing waits, waits for quiet when
// something did, and tells a line that hung up (the far end closed).
TEST_F(CommonDialogTest, DiscardWaitsOnlyWhenSomethingWaitedAndTellsALostLine)
{
    auto t0 = Clock::now();
    EXPECT_EQ(port_discardReceived(), 0);
    EXPECT_LT(elapsedMs(t0), 50);
    peer.io.send("xyz");
    os_sleepMs(50);
    t0 = Clock::now();
    EXPECT_EQ(port_discardReceived(), 3);
    EXPECT_GE(elapsedMs(t0), 90);
    peer.closeMaster();
    EXPECT_EQ(port_discardReceived(), PORT_LINE_LOST);
    EXPECT_TRUE(port_lineLost());
    EXPECT_EQ(port_discardReceived(), PORT_LINE_LOST);
    EXPECT_FALSE(net_reuse(&net));
    EXPECT_FALSE(net.portOpen);
    EXPECT_EQ(comPort.portHandle, PORT_CLOSED);
    EXPECT_FALSE(port_lineLost());
    EXPECT_NE(logText().find("Line lost on port COM1, it is opened anew"), std::string::npos);
}

}  // namespace
}  // namespace qzr
