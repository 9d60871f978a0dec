// The real driver over TCP/IP (the Simple dialog with a host on a loopback
// socket) and HTTPS (the proxy on loopback, with a test CA).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "driver_fixture.h"
#include "foundation/codec.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "https/https_peer.h"
#include "links/link_peers.h"
#include "os/os_wait.h"
#include "support/in_order.h"
#include "support/version_texts.h"

using namespace qzr::test;

namespace {

// The claim as the driver sends it: the default prefix set.
std::string prefixed(const std::string& claim)
{
    return defaultPrefix() + claim.substr(12);
}

// An answer with a run of blanks after the codec's 37 header bytes, and its
// compressed form as a host sends it.
const std::string EXPANDED_ANSWER = std::string(37, 'H') + std::string(30, ' ') + "PAID";

std::string compressedAnswer()
{
    std::string a = EXPANDED_ANSWER;
    a.resize(static_cast<std::size_t>(qzr::cda_compress(a.data(), static_cast<int>(a.size()))));
    return a;
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

TEST_F(DriverTest, TcpIpRequestToScrambleIsScrambledTwiceAndItsAnswerExpanded)
{
    std::string mixer(256, '\0');
    for (int i = 0; i < 256; ++i) mixer[static_cast<std::size_t>(i)] = static_cast<char>(i * 7 + 3);
    dir.write("CDA-ZAVI.CFG", mixer);
    qzr::ExeDir = dir.path().string();
    qzr::cda_forgetMixer();
    // Long enough for the two scramblings not to cancel each other out: they
    // differ once the mixer walk restarts from already scrambled bytes.
    std::string c = claim(23) + std::string(11931, 'Q');
    c.replace(32, 5, "12000");
    c[31] = '2';  // the request asks to be scrambled
    // Once by the transaction, once more by the dialog.
    std::string expected = prefixed(c);
    ASSERT_EQ(qzr::cda_encrypt(expected.data(), static_cast<int>(expected.size())), 0);
    std::string once = expected;
    ASSERT_EQ(qzr::cda_encrypt(expected.data(), static_cast<int>(expected.size())), 0);
    ASSERT_NE(expected, once);
    ASSERT_NE(expected, prefixed(c));
    const std::string answer = compressedAnswer();
    ASSERT_LT(answer.size(), EXPANDED_ANSWER.size());

    TcpPeer host;
    std::string received;
    host.start([&](PeerIo& io) {
        received = io.readN(9 + c.size(), 10000);
        char head[16];
        std::snprintf(head, sizeof head, "%06zu\x01\x01\x20", answer.size());
        io.send(head + answer);
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() +
             "\"\ndataBit = 8\nencrypt = true\n");
    request("NETIP", "REQ.001", c);
    EXPECT_EQ(run(), 0) << log();
    host.join();
    EXPECT_EQ(received, std::string("012000\x01\x01\x20", 9) + expected);
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "23,0,001," + EXPANDED_ANSWER);
}

TEST_F(DriverTest, HttpsProxyAnswersTheClaimWithANewKey)
{
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    HttpsServer& keyServer = proxy.keyServer;
    HttpsServer& claimServer = proxy.claimServer;
    keyServer.serve({replyOf(200, "KEY-FOR-9998")});
    // The proxy answers in clear: what looks like a compressed answer is
    // kept as it came. A refusal's text is the response all the same.
    claimServer.serve(
        {replyOf(200, "PROXY ANSWER 31"), replyOf(200, compressedAnswer()), replyOf(404, "NO SUCH SERVICE")});

    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    std::string c = claim(31);
    request("NETH", "REQ.001", c);
    EXPECT_EQ(run(), 0) << log();
    request("NETH", "REQ.002", claim(32));
    EXPECT_EQ(run(), 0) << log();
    request("NETH", "REQ.003", claim(33));
    EXPECT_EQ(run(), 1) << log();
    proxy.stop();

    EXPECT_EQ(dir.read("NETH/RSP.001"), "31,0,001,PROXY ANSWER 31");
    EXPECT_EQ(dir.read("NETH/RSP.002"), "32,0,002," + compressedAnswer());
    EXPECT_EQ(dir.read("NETH/RSP.003"), "33,1001,003,NO SUCH SERVICE");
    ASSERT_EQ(keyServer.requests().size(), 1u);  // the stored key serves the later claims
    auto claims = claimServer.requests();
    ASSERT_EQ(claims.size(), 3u);
    EXPECT_EQ(claims[0].target, "/api/AuthenticationRequests");
    EXPECT_EQ(claims[0].header("Authorization"), "Bearer KEY-FOR-9998");
    // The request text as prepared.
    EXPECT_EQ(claims[0].body, prefixed(c));
    // The key was stored, encrypted, in the working directory's key store.
    EXPECT_TRUE(exists("qzrappk.dat"));
    EXPECT_EQ(dir.read("qzrappk.dat").find("KEY-FOR-9998"), std::string::npos);
}

// The longest answer a TCP/IP host may give, 18000 bytes, is kept whole.
TEST_F(DriverTest, TcpIpHostsLongestAnswerIsKeptWhole)
{
    std::string big;
    for (int i = 0; i < 18000; ++i) big.push_back(static_cast<char>('a' + i % 26));
    TcpPeer host;
    host.start([&](PeerIo& io) {
        io.readN(9 + 69, 10000);
        io.send(std::string("018000\x01\x01\x20", 9) + big);
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() +
             "\"\ndataBit = 8\n");
    request("NETIP", "REQ.001", claim(24));
    EXPECT_EQ(run(), 0) << log();
    host.join();
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "24,0,001," + big);
}

// The longest answer the proxy may give, 18000 bytes, is kept whole; one
// byte more ends the transfer with 1001.
TEST_F(DriverTest, HttpsProxyLongestAnswerIsKeptWhole)
{
    std::string big;
    for (int i = 0; i < 18000; ++i) big.push_back(static_cast<char>('a' + i % 26));
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    proxy.keyServer.serve({replyOf(200, "KEY-FOR-9998")});
    proxy.claimServer.serve({replyOf(200, big), replyOf(200, big + "z")});

    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    request("NETH", "REQ.001", claim(35));
    EXPECT_EQ(run(), 0) << log();
    EXPECT_NE(log().find("INFO -prot. HTTP POST Status=200 18000 byte response received"), std::string::npos);
    request("NETH", "REQ.002", claim(36));
    EXPECT_EQ(run(), 1) << log();
    proxy.stop();

    EXPECT_TRUE(dir.read("NETH/RSP.001") == "35,0,001," + big);
    EXPECT_EQ(dir.read("NETH/RSP.002").substr(0, 12), "36,1001,002,");
}

// A TCP/IP host of a network without a processing delay gets a minute to
// answer, as over HTTPS.
TEST_F(DriverTest, TcpIpHostWithoutProcessingDelayMayTakeItsTime)
{
    TcpPeer host;
    host.start([&](PeerIo& io) {
        io.readN(9 + 69, 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        io.send(std::string("000011\x01\x01\x20", 9) + "EOB 25 PAID");
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 0\nconnectionType = tcpip\naddress = \"" + host.address() +
             "\"\ndataBit = 8\n");
    request("NETIP", "REQ.001", claim(25));
    EXPECT_EQ(run(), 0) << log();
    host.join();
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "25,0,001,EOB 25 PAID");
}

// A proxy that closes the claim's connection without a reply: the failure
// is said with libcurl's words and the table's line for code 0; the
// response carries 1001.
TEST_F(DriverTest, HttpsProxyClosingWithoutAReplyGives1001)
{
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    proxy.keyServer.serve({replyOf(200, "KEY-FOR-9998")});
    HttpReply gone;
    gone.dropConnection = true;
    proxy.claimServer.serve({gone});

    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    request("NETH", "REQ.001", claim(34));
    EXPECT_EQ(run(), 1) << log();
    proxy.stop();

    EXPECT_EQ(proxy.claimServer.requests().size(), 1u);
    EXPECT_EQ(dir.read("NETH/RSP.001"), "34,1001,001,");
    EXPECT_TRUE(inOrder(log(), {"INFO -prot. HTTP POST failed: ", " Status=0 ", "INFO -prot. Error message: ",
                                "ERROR-prot. Proxy 0: HTTP status unexpected", "File:NETH/REQ.001 processed"}));
}

// A proxy's refusal whose text holds a line feed and a whole line in the
// log's own form, screen and colour codes and a terminal title: the log
// says it on one line, every control byte escaped, and nothing reaches
// standard error raw; a text longer than a line may carry is cut.
TEST_F(DriverTest, HttpsProxyRefusalWithControlBytesIsLoggedEscaped)
{
    const std::string hostile = "bad key\r\n20261210 09:00:00 forged: claim 123 paid\x1b[2J\x1b[31mred\x1b]0;owned\x07#";
    const std::string escaped =
        "bad key#0d#0a20261210 09:00:00 forged: claim 123 paid#1b[2J#1b[31mred#1b]0;owned#07##";
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    proxy.keyServer.serve({replyOf(200, "KEY-FOR-9998"), replyOf(200, "KEY-FOR-9998")});
    proxy.claimServer.serve({replyOf(400, hostile), replyOf(400, "\n" + std::string(2000, 'z'))});

    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    request("NETH", "REQ.001", claim(37));
    EXPECT_EQ(run(), 1) << log();
    std::string l = log();
    EXPECT_NE(l.find("INFO -prot. Error response: <" + escaped + ">\n"), std::string::npos) << l;
    expectNoForeignControls(l, true, "20261210 09:00:00 forged");
    expectNoForeignControls(dir.read("stderr.txt"), false, "20261210 09:00:00 forged");

    request("NETH", "REQ.002", claim(38));
    EXPECT_EQ(run(), 1) << log();
    proxy.stop();
    l = log();
    EXPECT_NE(l.find("INFO -prot. Error response: <#0a" + std::string(qzr::LOG_FOREIGN_LIMIT - 1, 'z') +
                     "...(1489 bytes cut)>"),
              std::string::npos)
        << l;
    expectNoForeignControls(l, true);
    // The response is the proxy's text as it came.
    EXPECT_EQ(dir.read("NETH/RSP.001"), "37,1001,001," + hostile);
}

// A TCP/IP host whose answer's length holds control bytes: the line that
// quotes it has them escaped, and neither the log nor standard error gets
// one raw.
TEST_F(DriverTest, TcpIpAnswerLengthWithControlBytesIsLoggedEscaped)
{
    TcpPeer host;
    host.start([&](PeerIo& io) {
        io.readN(9 + 69, 10000);
        io.send(std::string("\x1b[2J\r\n\x01\x01\x20", 9));
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 5\nconnectionType = tcpip\naddress = \"" + host.address() + "\"\n");
    request("NETIP", "REQ.001", claim(24));
    EXPECT_EQ(run(), 1) << log();
    host.join();
    std::string l = log();
    EXPECT_NE(l.find("Error reading length =-1 from string <#1b[2J#0d#0a> \n"), std::string::npos) << l;
    expectNoForeignControls(l, true);
    expectNoForeignControls(dir.read("stderr.txt"), false);
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "24,1042,001,");
}

// A claim's office and provider holding 0x7F (which the request's check
// lets through) in the lines of the API key request, the key store and the
// debug trace: escaped.
TEST_F(DriverTest, HttpsKeyLinesNameOfficeAndProviderEscaped)
{
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    proxy.keyServer.serve({replyOf(400, "no key")});

    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    std::string c = claim(37, "000001", "99\x7f" "8");
    c.replace(43, 9, "05333\x7f" "300");
    request("NETH", "REQ.001", c);
    EXPECT_EQ(run({"-d"}), 1) << log();
    proxy.stop();
    std::string l = log();
    for (const char* line : {"Getting App Key for office 99#7f8 dentist 05333#7f300 from proxy\n",
                             "Error getting API Key for 99#7f8 05333#7f300, status=",
                             "Failed to obtain API Key for office:99#7f8 provider:05333#7f300 , keySts="})
        EXPECT_NE(l.find(line), std::string::npos) << line << "\n" << l;
    expectNoForeignControls(l, true);
}

// ---------------------------------------------------------------------------
// A stop or a Cancel in the steps that do not wait on the line: a write to a
// host that no longer reads, a name look-up whose resolver never answers,
// an HTTPS transfer. Without hangAround no wait comes after them: the
// signal's own mark ends them, for a stop with exit status 0, and with 1003
// while the claim had not gone out, else the dialog's status.

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A version 04 claim of transaction code 09, whose length takes 7 digits,
// of `total` characters.
std::string bigClaim(int seq, std::size_t total)
{
    std::string c = claim(seq);
    c.replace(20, 2, "09");
    c.resize(total, 'B');
    char len[8];
    std::snprintf(len, sizeof len, "%07zu", total);
    c.replace(32, 7, len);
    c.replace(44, 9, "053333300");
    c.replace(53, 4, "9998");
    return c;
}

}  // namespace

// A 5 MB claim to a host that takes the connection and never reads: the
// write waits for room that never comes, and a stop ends it at once.
TEST_F(DriverTest, StopDuringAWriteToAHostThatDoesNotReadEndsIt)
{
    TcpPeer host;
    std::atomic<bool> over{false};
    std::atomic<long> queued{0};
    host.start([&](PeerIo& io) {
        while (!over) {
            queued = qzr::os_inputCount(io.fd());
            qzr::os_sleepMs(10);
        }
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 30\nconnectionType = tcpip\naddress = \"" + host.address() +
                 "\"\ndataBit = 8\n",
             false, "detailedMessages = false\n");
    request("NETIP", "REQ.001", bigClaim(26, 5u << 20));
    QzrProcess p(dir.path().string(), args());
    // The driver writes until the host's buffers are full.
    ASSERT_TRUE(waitFor([&] { return queued.load() > 0; }, 15000)) << log();
    long before = -1;
    ASSERT_TRUE(waitFor(
        [&] {
            long now = queued.load();
            bool still = now == before;
            before = now;
            qzr::os_sleepMs(100);
            return still;
        },
        15000));
    ASSERT_TRUE(p.running());
    auto signalled = Clock::now();
    p.signal(SIGTERM);
    int rc = p.wait(15000);
    long took = msSince(signalled);
    over = true;
    host.join();

    EXPECT_EQ(rc, 0) << log();
    EXPECT_LT(took, 3000);
    // Part of the claim went out: 1053, not 1003 (not sent).
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "26,1053,001,");
    EXPECT_TRUE(exists("NETIP/_EQ.001"));
    // The stop ended the write: nothing more of the request went out.
    EXPECT_NE(log().find("CODE -1053- Error writing request STATE 1 sts=1053"), std::string::npos) << log();
}

// A resolver that takes the query and never answers (a UDP socket of the
// test's, named by a resolv.conf bind-mounted for the driver alone): a stop
// ends the look-up at once; without a stop the connection's time does.
TEST_F(DriverTest, NameLookUpWithoutAnAnswerEndsAtAStopOrAtTheConnectionsTime)
{
    if (::geteuid() != 0) GTEST_SKIP() << "a mount namespace of its own needs root";
    const char* const resolverAddress = "127.83.0.53";
    int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(dns, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    ::inet_pton(AF_INET, resolverAddress, &at.sin_addr);
    if (::bind(dns, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        ::close(dns);
        GTEST_SKIP() << "port 53 of " << resolverAddress << " is taken";
    }
    std::string resolvConf =
        dir.write("resolv.conf", std::string("nameserver ") + resolverAddress + "\noptions timeout:30 attempts:1\n");

    struct Case {
        const char* name;
        bool stop;
        int connectionTimeout;
        int exitCode;
        const char* response;
        const char* printed;
    };
    const Case cases[] = {
        {"stop", true, 20, 0, "27,1003,001,", "<stuck.qzr.test> Error: connect() failed ErrNum=4"},
        {"time-out", false, 2, 1, "27,1051,001,", "host 'stuck.qzr.test' unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.path() / "NETIP" / "_EQ.001");
        std::filesystem::remove(dir.path() / "NETIP" / "RSP.001");
        writeIni("[NETIP]\nmaxProcessingDelay = 30\nconnectionType = tcpip\naddress = \"stuck.qzr.test:5000\"\n"
                 "dataBit = 8\nconnectionTimeout = " +
                 std::to_string(c.connectionTimeout) + "\n");
        request("NETIP", "REQ.001", claim(27));
        std::vector<std::string> a = {"-m", "sh", "-c", "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"",
                                      resolvConf, QZR_BINARY};
        for (const std::string& x : args()) a.push_back(x);
        QzrProcess p(dir.path().string(), a, "", "/usr/bin/unshare");
        // The query reaches the resolver, which keeps it.
        pollfd query{dns, POLLIN, 0};
        ASSERT_EQ(::poll(&query, 1, 15000), 1) << log() << dir.read("stderr.txt");
        char buf[512];
        while (::recv(dns, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
        auto from = Clock::now();
        if (c.stop) p.signal(SIGTERM);
        int rc = p.wait(15000);
        long took = msSince(from);
        EXPECT_EQ(rc, c.exitCode) << log() << dir.read("stderr.txt");
        EXPECT_LT(took, c.stop ? 3000 : c.connectionTimeout * 1000 + 3000);
        EXPECT_EQ(dir.read("NETIP/RSP.001"), c.response);
        EXPECT_NE(dir.read("stdout.txt").find(c.printed), std::string::npos) << dir.read("stdout.txt");
    }
    ::close(dns);
}

// With hangAround on and a hang-up delay, a host that sends a frame more
// after its answer: the next request's response holds the next answer, and
// the bytes that came between are discarded and counted in the log, also
// when the frame is larger than the socket holds and is still arriving
// when the next request is about to go.
TEST_F(DriverTest, KeptTcpIpLinkDiscardsWhatCameAfterTheLastAnswer)
{
    const struct {
        const char* what;
        std::string stale;
    } cases[] = {
        {"a short frame", std::string("000005\x01\x01\x20", 9) + "STALE"},
        {"a frame larger than the socket's buffer", std::string("300000\x01\x01\x20", 9) + std::string(300000, 'X')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"NETIP/_EQ.001", "NETIP/_EQ.002", "NETIP/RSP.001", "NETIP/RSP.002", "qzr.log"})
            std::filesystem::remove(dir.path() / name);
        TcpPeer host;
        std::atomic<bool> staleSending{false};
        std::string second;
        host.start([&](PeerIo& io) {
            io.readN(9 + 69, 10000);
            io.send(std::string("000011\x01\x01\x20", 9) + "EOB 28 PAID");
            qzr::os_sleepMs(300);
            // A large frame is taken by the driver's socket only in part
            // until the driver reads it.
            staleSending = true;
            io.send(c.stale);
            second = io.readN(9 + 69, 10000);
            io.send(std::string("000011\x01\x01\x20", 9) + "EOB 29 PAID");
            io.drain(3000);
        });
        writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() +
                     "\"\ndataBit = 8\n",
                 true, "hangupDelay = 20\n");
        request("NETIP", "REQ.001", claim(28));
        QzrProcess p(dir.path().string(), args());
        ASSERT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000)) << log();
        ASSERT_TRUE(waitFor([&] { return staleSending.load(); }, 15000));
        qzr::os_sleepMs(100);  // the frame, or its first part, has reached the driver's socket
        dir.write("NETIP/tmp", claim(29) + "\r\n");
        std::filesystem::rename(dir.path() / "NETIP" / "tmp", dir.path() / "NETIP" / "REQ.002");
        ASSERT_TRUE(waitFor([&] { return exists("NETIP/_EQ.002"); }, 15000)) << log();
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait(15000), 0);
        host.closeConnection();
        host.join();

        EXPECT_EQ(dir.read("NETIP/RSP.001"), "28,0,001,EOB 28 PAID");
        EXPECT_EQ(dir.read("NETIP/RSP.002"), "29,0,002,EOB 29 PAID");
        EXPECT_EQ(second.size(), 9u + 69u);
        std::string l = log();
        const std::string discarded = "Discarded " + std::to_string(c.stale.size()) + " bytes";
        EXPECT_EQ(count(l, "INFO -prot. " + discarded + " received after the last answer"), 1) << l;
        EXPECT_TRUE(inOrder(l, {"File:NETIP/REQ.001 processed", discarded, "File:NETIP/REQ.002 processed"}));
    }
}

// A Cancel or a stop while the proxy keeps a transfer waiting: during the
// key request, or while the claim's connection is still being set up (a
// proxy that never completes its handshake), no byte of the claim is posted
// (1003: not sent); once the claim went out the transfer is aborted (1001:
// the proxy may have taken it). Either ends the call within a second or two.
TEST_F(DriverTest, HttpsProxyTransferEndsAtACancelOrAStop)
{
    struct Case {
        const char* name;
        bool duringKey;
        bool claimHandshakeHeld;  // the claim server accepts and never speaks TLS
        int signal;
        int exitCode;
        const char* status;
    };
    const Case cases[] = {
        {"cancel during the key request", true, false, SIGUSR1, 1, "1003"},
        {"cancel during the claim", false, false, SIGUSR1, 1, "1001"},
        {"stop during the claim", false, false, SIGTERM, 0, "1001"},
        {"cancel during the claim's handshake", false, true, SIGUSR1, 1, "1003"},
        {"stop during the claim's handshake", false, true, SIGTERM, 0, "1003"},
    };
    int seq = 37;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.path() / "qzrappk.dat");
        LoopbackProxy proxy(dir);
        ASSERT_TRUE(proxy.ready());
        HttpReply slow = replyOf(200, c.duringKey ? "KEY-FOR-9998" : "LATE ANSWER");
        slow.delayMs = 20000;
        if (c.duringKey) {
            proxy.keyServer.serve({slow});
            proxy.claimServer.serve({replyOf(200, "NEVER ASKED")});
        } else {
            proxy.keyServer.serve({replyOf(200, "KEY-FOR-9998")});
            HttpReply silent;
            silent.silent = true;
            proxy.claimServer.serve({c.claimHandshakeHeld ? silent : slow});
        }
        HttpsServer& held = c.duringKey ? proxy.keyServer : proxy.claimServer;
        writeIni("[NETH]\nmaxProcessingDelay = 60\nconnectionType = http\naddress = \"localhost\"\n");
        std::string name = "REQ.0" + std::to_string(seq);
        request("NETH", name, claim(seq));
        QzrProcess p(dir.path().string(), args());
        if (c.claimHandshakeHeld) {
            ASSERT_TRUE(waitFor([&] { return held.connections() == 1; }, 15000)) << log();
            qzr::os_sleepMs(200);  // the driver waits for the server's hello
        } else {
            ASSERT_TRUE(waitFor([&] { return held.requests().size() == 1; }, 15000)) << log();
        }
        auto signalled = Clock::now();
        p.signal(c.signal);
        int rc = p.wait(15000);
        long took = msSince(signalled);
        proxy.stop();

        EXPECT_EQ(rc, c.exitCode) << log();
        EXPECT_LT(took, 3000);
        EXPECT_EQ(dir.read("NETH/RSP.0" + std::to_string(seq)),
                  std::to_string(seq) + "," + c.status + ",0" + std::to_string(seq) + ",")
            << log();
        if (c.claimHandshakeHeld) {
            EXPECT_TRUE(proxy.claimServer.requests().empty());
        }
        if (c.duringKey) {
            EXPECT_EQ(proxy.claimServer.connections(), 0);
            EXPECT_EQ(log().find("New API Key acquired"), std::string::npos) << log();
        }
        ++seq;
    }
}

// The key store found as a symbolic link (to a path that does not exist, or
// to someone's file) or as a FIFO: refused like a store that cannot be
// opened. Each claim still gets its key from the proxy; what a link points
// at is neither made nor changed.
TEST_F(DriverTest, HttpsProxyKeyStoreThatIsNoFileIsRefused)
{
    namespace fs = std::filesystem;
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    proxy.keyServer.serve({replyOf(200, "KEY-1"), replyOf(200, "KEY-2"), replyOf(200, "KEY-3")});
    proxy.claimServer.serve({replyOf(200, "ANSWER 1"), replyOf(200, "ANSWER 2"), replyOf(200, "ANSWER 3")});
    writeIni("[NETH]\nmaxProcessingDelay = 10\nconnectionType = http\naddress = \"localhost\"\n");
    const fs::path store = dir.path() / "qzrappk.dat";
    const fs::path missing = dir.path() / "elsewhere" / "stolen.db";
    const fs::path someone = dir.path() / "elsewhere" / "notes.txt";
    dir.write("elsewhere/notes.txt", "someone's notes\n");
    const struct {
        const char* what;
        void (*plant)(const fs::path& store, const fs::path& target);
        fs::path target;
    } cases[] = {
        {"link to a missing path", [](const fs::path& s, const fs::path& t) { fs::create_symlink(t, s); }, missing},
        {"link to a file", [](const fs::path& s, const fs::path& t) { fs::create_symlink(t, s); }, someone},
        {"FIFO", [](const fs::path& s, const fs::path&) { ASSERT_EQ(::mkfifo(s.c_str(), 0644), 0); }, {}},
    };
    int seq = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ++seq;
        fs::remove(store);
        fs::remove(dir.path() / "NETH" / "_EQ.001");
        c.plant(store, c.target);
        fs::file_type type = fs::symlink_status(store).type();
        request("NETH", "REQ.001", claim(seq));
        EXPECT_EQ(run(), 0) << log();
        EXPECT_EQ(dir.read("NETH/RSP.001"), std::to_string(seq) + ",0,001,ANSWER " + std::to_string(seq));
        EXPECT_NE(log().find("ERROR- Can't open database: qzrappk.dat error:"), std::string::npos) << log();
        EXPECT_EQ(fs::symlink_status(store).type(), type);
    }
    proxy.stop();
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(dir.read("elsewhere/notes.txt"), "someone's notes\n");
    EXPECT_EQ(proxy.keyServer.requests().size(), 3u);
}
