// The real driver over TCP/IP (the Simple dialog with a host on a loopback
// socket) and HTTPS (the proxy on loopback, with a test CA).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "driver_fixture.h"
#include "engine/codec.h"
#include "foundation/runtime.h"
#include "https/https_peer.h"
#include "links/link_peers.h"

using namespace qzr::test;

namespace {

// The claim as the driver sends it: the default prefix set.
std::string prefixed(const std::string& claim)
{
    return "11401111    " + claim.substr(12);
}

}  // namespace

TEST_F(DriverTest, TcpIpHostAnswersThroughTheSimpleDialog)
{
    // A mixer, so that the message XOR shows in the bytes the host receives.
    std::string mixer(256, '\0');
    for (int i = 0; i < 256; ++i) mixer[static_cast<std::size_t>(i)] = static_cast<char>(i * 5 + 7);
    dir.write("CDA-ZAVI.CFG", mixer);
    qzr::ExeDir = dir.path().string();
    qzr::cda_forgetMixer();
    std::string c = claim(21);
    std::string expected = prefixed(c);
    ASSERT_EQ(qzr::cda_encrypt(expected.data(), static_cast<int>(expected.size())), 0);

    TcpPeer host;
    std::string received;
    host.start([&](PeerIo& io) {
        received = io.readN(9 + c.size(), 10000);
        io.send(std::string("000011\x01\x01\x20", 9) + "EOB 21 PAID");
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() +
             "\"\ndataBit = 8\n");
    request("NETIP", "REQ.001", c);
    EXPECT_EQ(run(), 0) << log();
    host.join();
    EXPECT_EQ(received, std::string("000069\x01\x01\x20", 9) + expected);
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "21,0,001,EOB 21 PAID");
    EXPECT_TRUE(exists("NETIP/_EQ.001"));
}

TEST_F(DriverTest, TcpIpHostThatClosesGives1042AndTheBackupIsTried)
{
    TcpPeer host;
    host.start([&](PeerIo& io) {
        io.readN(9 + 69, 10000);
        host.closeConnection();
    });
    writeIni(std::string("[NETIP]\nmaxProcessingDelay = 5\nconnectionType = tcpip\naddress = \"") +
             host.address() + "\"\n[SECONDARY_NETIP]\ncomdev = \"COM1\"\nconnectionMode = direct\nspeed = 9600\n"
             "dataBit = 8\nparity = none\n");
    // The backup line leads nowhere: only the primary's failure and the
    // fall-back are checked.
    request("NETIP", "REQ.001", claim(22));
    linkDevice("com1", "/dev/null");
    run();
    host.join();
    std::string l = log();
    EXPECT_NE(l.find("CODE -1042- VOV Protocol error, end dialog"), std::string::npos) << l;
    EXPECT_NE(l.find("Primary connection status=1042, Trying backup connection"), std::string::npos) << l;
}

TEST_F(DriverTest, HttpsProxyAnswersTheClaimWithANewKey)
{
    TestCa ca(dir);
    ASSERT_TRUE(ca.ok);
    ::setenv("CURL_CA_BUNDLE", ca.caFile.c_str(), 1);
    // The proxy's fixed ports, on loopback.
    HttpsServer keyServer(ca, 62978);
    HttpsServer claimServer(ca, 55978);
    ASSERT_EQ(keyServer.port(), 62978);
    ASSERT_EQ(claimServer.port(), 55978);
    keyServer.serve({replyOf(200, "KEY-FOR-9998")});
    claimServer.serve({replyOf(200, "PROXY ANSWER 31")});

    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    std::string c = claim(31);
    request("NETH", "REQ.001", c);
    EXPECT_EQ(run(), 0) << log();
    claimServer.stop();
    keyServer.stop();
    ::unsetenv("CURL_CA_BUNDLE");

    EXPECT_EQ(dir.read("NETH/RSP.001"), "31,0,001,PROXY ANSWER 31");
    ASSERT_EQ(keyServer.requests().size(), 1u);
    auto claims = claimServer.requests();
    ASSERT_EQ(claims.size(), 1u);
    EXPECT_EQ(claims[0].target, "/api/AuthenticationRequests");
    EXPECT_EQ(claims[0].header("Authorization"), "Bearer KEY-FOR-9998");
    // The request text as prepared.
    EXPECT_EQ(claims[0].body, prefixed(c));
    // The key was stored, encrypted, in the working directory's key store.
    EXPECT_TRUE(exists("qzrappk.dat"));
    EXPECT_EQ(dir.read("qzrappk.dat").find("KEY-FOR-9998"), std::string::npos);
}
