// The Simple dialog against a host on a loopback socket: the frame the host
// receives, the answers it may give, and their limits.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "foundation/buffers.h"
#include "foundation/codec.h"
#include "foundation/status.h"
#include "links/link_peers.h"
#include "links/modem.h"
#include "links/port.h"
#include "links/simple_dialog.h"

namespace qzr {
namespace {

using test::LinkTest;
using test::PeerIo;
using test::TcpPeer;

const std::string VOV_TAIL = "\x01\x01\x20";

class SimpleDialogTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        cda_forgetMixer();
        cnx.connectionType = CNX_TYPE_TCPIP;
        cnx.address = host.address();
        net = networkOf(&cnx);
        net.maxProcessingDelay = 1;
    }
    void TearDown() override
    {
        host.join();
        net_disconnect(&net);
        LinkTest::TearDown();
    }
    // Connects, runs the dialog for `msg` with `capacity` (the longest text
    // to keep), and returns its status; the answer is in `resp`, its length
    // in `respLen`.
    int exchange(std::string msg, int capacity)
    {
        EXPECT_EQ(net_connect(&net), STS_OK);
        resp.assign(static_cast<std::size_t>(capacity) + 8, 0x7E);
        respLen = capacity;
        sent = msg;
        int sts = simple_dialog(&net, nullptr, sent.data(), static_cast<int>(sent.size()), resp.data(), &respLen);
        host.join();
        return sts;
    }
    std::string answer() const { return std::string(reinterpret_cast<const char*>(resp.data()), respLen); }

    TcpPeer host;
    ConnectionDef cnx;
    NetworkDef net;
    std::string sent;
    std::vector<unsigned char> resp;
    int respLen = 0;
};

TEST_F(SimpleDialogTest, ShortMessageGoesOutUnchangedBehindItsLength)
{
    std::string got;
    host.start([&](PeerIo& io) {
        got = io.readN(9 + 11, 3000);
        io.send("000005abchello");
    });
    const std::string msg("TEST PLAIN\0", 11);
    EXPECT_EQ(exchange(msg, 512), STS_OK);
    EXPECT_EQ(got, "000011" + VOV_TAIL + msg);
    EXPECT_EQ(answer(), "hello");
    EXPECT_EQ(resp[5], 0);  // the text ends within the buffer
    EXPECT_TRUE(net.linkUp);
    EXPECT_NE(logText().find("INFO -prot. Response received 5 bytes Se:0x61 re:0x62 Chk:0x63"), std::string::npos);
    EXPECT_NE(logText().find("INFO -prot. 20 bytes sent, waiting (max=1 sec) for response"), std::string::npos);
}

TEST_F(SimpleDialogTest, LongMessageIsScrambledWithTheMixer)
{
    std::array<unsigned char, 256> mixer;
    for (std::size_t i = 0; i < mixer.size(); ++i) mixer[i] = static_cast<unsigned char>(i * 13 + 1);
    dir.write("CDA-ZAVI.CFG", std::string(reinterpret_cast<const char*>(mixer.data()), mixer.size()));
    std::string msg(120, 'M');
    std::string expected = msg;
    ASSERT_EQ(cda_encrypt(expected.data(), static_cast<int>(expected.size())), STS_OK);
    ASSERT_NE(expected, msg);
    std::string got;
    host.start([&](PeerIo& io) {
        got = io.readN(9 + 120, 3000);
        io.send("000000" + VOV_TAIL);
    });
    EXPECT_EQ(exchange(msg, 512), STS_OK);
    EXPECT_EQ(got, "000120" + VOV_TAIL + expected);
    EXPECT_EQ(sent, expected);  // scrambled in place
    EXPECT_EQ(respLen, 0);
}

TEST_F(SimpleDialogTest, HeaderWidthFollowsTheLength)
{
    struct {
        std::size_t len;
        std::string head;
    } cases[] = {{999999, "999999" + VOV_TAIL}, {1000000, "#01000000" + VOV_TAIL}};
    net.maxProcessingDelay = 20;  // the host takes its time over a megabyte
    for (const auto& c : cases) {
        std::string head;
        std::size_t bodyBytes = 0;
        host.start([&](PeerIo& io) {
            head = io.readN(c.head.size(), 5000);
            bodyBytes = io.readN(c.len, 10000).size();
            io.send("000002" + VOV_TAIL + "ok");
        });
        // Without a mixer file the message XOR leaves it as it is.
        EXPECT_EQ(exchange(std::string(c.len, 'L'), 512), STS_OK) << c.len;
        EXPECT_EQ(head, c.head);
        EXPECT_EQ(bodyBytes, c.len);
        EXPECT_EQ(answer(), "ok");
        host.closeConnection();
        net_disconnect(&net);
    }
}

TEST_F(SimpleDialogTest, AnswerLengthLimits)
{
    struct {
        std::string header;
        std::size_t dataBytes;
        int status;
        int stored;
        const char* logLine;
    } cases[] = {
        {"018000", 18000, STS_OK, 18000, nullptr},
        {"018001", 0, STS_NO_RESPONSE, 0, "Error reading length =18001 from string <018001> "},
        {"01 000", 0, STS_NO_RESPONSE, 0, "Error reading length =-1 from string <01 000> "},
        {"000000", 0, STS_OK, 0, nullptr},
        {"000001", 1, STS_OK, 1, nullptr},
    };
    for (const auto& c : cases) {
        host.start([&](PeerIo& io) {
            io.readN(9 + 40, 3000);
            io.send(c.header + VOV_TAIL + std::string(c.dataBytes, 'd'));
        });
        // The transaction's capacity: 18000 bytes.
        EXPECT_EQ(exchange(std::string(40, 'r'), static_cast<int>(RESP_BUF_SIZE)), c.status) << c.header;
        EXPECT_EQ(respLen, c.stored) << c.header;
        if (c.logLine) {
            std::string log = logText();
            EXPECT_NE(log.find(std::string("CODE -1042- ") + c.logLine), std::string::npos) << log;
            EXPECT_NE(log.find("CODE -1042- VOV Protocol error, end dialog"), std::string::npos);
        }
        host.closeConnection();
        net_disconnect(&net);
    }
}

TEST_F(SimpleDialogTest, AnswerLongerThanTheBufferIsReadToItsEnd)
{
    host.start([&](PeerIo& io) {
        io.readN(9 + 11, 3000);
        io.send("000600" + VOV_TAIL + std::string(600, 'x') + "NEXT");
    });
    // The network test's capacity: 511 bytes of its 512.
    EXPECT_EQ(exchange(std::string("TEST PLAIN\0", 11), 511), STS_OK);
    EXPECT_EQ(respLen, 511);
    EXPECT_EQ(resp[511], 0);
    EXPECT_EQ(resp[512], 0x7E);  // nothing past the text and its NUL
    // The bytes after the answer were not taken as part of it.
    unsigned char c = 0;
    ASSERT_EQ(get_next_char(1, &c), STS_OK);
    EXPECT_EQ(c, 'N');
}

TEST_F(SimpleDialogTest, HostClosingEndsWith1042)
{
    struct {
        std::string reply;
        const char* logLine;
    } cases[] = {
        {"0000", "CODE -1042- Error reading response STATE 2 sts=1002"},
        {"000010" + VOV_TAIL + "abc", "CODE -1042- Error reading response STATE 3 sts=1002"},
    };
    for (const auto& c : cases) {
        host.start([&](PeerIo& io) {
            io.readN(9 + 40, 3000);
            io.send(c.reply);
            host.closeConnection();
        });
        EXPECT_EQ(net_connect(&net), STS_OK);
        std::string msg(40, 'r');
        respLen = 512;
        resp.assign(520, 0);
        int sts = simple_dialog(&net, nullptr, msg.data(), 40, resp.data(), &respLen);
        host.join();
        EXPECT_EQ(sts, STS_NO_RESPONSE);
        EXPECT_EQ(respLen, 0);
        EXPECT_NE(logText().find(c.logLine), std::string::npos) << logText();
        net_disconnect(&net);
    }
}

TEST_F(SimpleDialogTest, RequestTheHostDoesNotTakeEndsWith1053)
{
    // The host hangs up at once: the frame, megabytes long, cannot all go out.
    host.start([&](PeerIo&) { host.closeConnection(); });
    EXPECT_EQ(net_connect(&net), STS_OK);
    host.join();
    std::string msg(8000000, 'w');
    respLen = 512;
    resp.assign(520, 0x7E);
    EXPECT_EQ(simple_dialog(&net, nullptr, msg.data(), static_cast<int>(msg.size()), resp.data(), &respLen),
              STS_WRITE_ERROR);
    EXPECT_EQ(respLen, 0);
    std::string log = logText();
    EXPECT_NE(log.find("CODE -1053- Error writing request STATE 1 sts=1053"), std::string::npos) << log;
    EXPECT_NE(log.find("CODE -1053- VOV Protocol error, end dialog"), std::string::npos) << log;
    EXPECT_EQ(log.find("bytes sent, waiting"), std::string::npos) << log;
}

TEST_F(SimpleDialogTest, RequestTheHostLeavesUnreadEndsWithTheWriteTimeOut)
{
    // The host keeps the connection and reads nothing: once the socket's
    // buffers are full, the write gives up after the link's write time-out
    // (one second here), not a fixed time of its own.
    host.start([](PeerIo&) {});
    EXPECT_EQ(net_connect(&net), STS_OK);
    host.join();
    std::string msg(8000000, 'w');
    respLen = 512;
    resp.assign(520, 0x7E);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(simple_dialog(&net, nullptr, msg.data(), static_cast<int>(msg.size()), resp.data(), &respLen),
              STS_WRITE_ERROR);
    const long took = test::elapsedMs(start);
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 10000);
    EXPECT_EQ(respLen, 0);
    std::string log = logText();
    EXPECT_NE(log.find("CODE -1053- Error writing request STATE 1 sts=1053"), std::string::npos) << log;
    EXPECT_EQ(log.find("bytes sent, waiting"), std::string::npos) << log;
}

TEST_F(SimpleDialogTest, MessageTooLongForTheFrameIsNotSent)
{
    // The longest request text fits; one byte more would not fit the frame.
    std::string got = "unset";
    host.start([&](PeerIo& io) { got = io.readN(12, 5000); });
    EXPECT_EQ(net_connect(&net), STS_OK);
    std::string msg(10099997, 'o');
    respLen = 512;
    resp.assign(520, 0x7E);
    EXPECT_EQ(simple_dialog(&net, nullptr, msg.data(), static_cast<int>(msg.size()), resp.data(), &respLen),
              STS_WRITE_ERROR);
    net_disconnect(&net);  // the host reads the end of the connection
    host.join();
    EXPECT_EQ(got, "");
    EXPECT_EQ(respLen, 0);
    EXPECT_NE(logText().find("CODE -1053- VOV Protocol error, end dialog"), std::string::npos) << logText();
}

}  // namespace
}  // namespace qzr
