// The HTTP dialog against an HTTPS proxy on loopback: the POST it receives,
// the reply table, the stored key's fate, the limits of the response
// buffer, time-outs, redirects and the trace.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "engine/process.h"
#include "https/http_dialog.h"
#include "https/https_peer.h"
#include "https/key_store.h"
#include "support/in_order.h"

namespace qzr {
namespace {

using test::HttpReply;
using test::HttpRequest;
using test::replyOf;
using Clock = std::chrono::steady_clock;

// The network test's claim: 69 characters and the terminating NUL.
const std::string TEST_CLAIM =
    std::string("TEST PLAIN  0000010401000001QZR100069X0000105333330099980533333009998") + '\0';
const std::string INDX = "0123-123456789-8";

class HttpDialogTest : public test::HttpsTest {
protected:
    void SetUp() override
    {
        HttpsTest::SetUp();
        cnx = test::httpConnection();
        net = httpNetwork(&cnx);
        ti = test::recordOf("0123", "123456789");
        std::memset(resp, 0x55, sizeof resp);
        activity_update();  // the worker's first record, written at start-up
    }

    int dialog(const std::string& request = TEST_CLAIM, int capacity = 18000)
    {
        respLen = capacity;
        std::string text = request;
        return http_dialog(&net, &ti, text.data(), static_cast<int>(text.size()), resp, &respLen);
    }
    std::string response() const
    {
        return std::string(reinterpret_cast<const char*>(resp), static_cast<std::size_t>(respLen > 0 ? respLen : 0));
    }
    // The pair's key, as a store of an earlier run holds it.
    void storeKey(const std::string& key)
    {
        sqlite("CREATE TABLE IF NOT EXISTS KeyStore(INDX          PRIMARY KEY NOT NULL,AppKey        TEXT    NOT "
               "NULL); INSERT OR REPLACE INTO KeyStore VALUES ('" +
               INDX + "', '" + test::encryptWith(test::STORE_KEY_HEX, std::string(16, '\x11'), key) + "');");
    }
    std::string claimUrl() const
    {
        return "https://localhost:" + std::to_string(claimServer->port()) + "/api/AuthenticationRequests";
    }
    long msSince(Clock::time_point start) const
    {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }

    ConnectionDef cnx;
    NetworkDef net;
    transInfo ti;
    unsigned char resp[18000 + 64];
    int respLen = -1;
};

// The first claim of a pair asks for its key; the claim is posted with it
// as a bearer token and the user agent; the next claim finds it stored.
TEST_F(HttpDialogTest, ClaimIsPostedWithTheBearerKey)
{
    keyServer->serve({replyOf(200, "K-1")});
    claimServer->serve({replyOf(200, "RESPONSE TEXT"), replyOf(200, "SECOND")});
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(response(), "RESPONSE TEXT");
    EXPECT_EQ(respLen, 13);
    EXPECT_EQ(resp[13], '\0');
    EXPECT_TRUE(net.linkUp);
    EXPECT_EQ(activityRec.state, ACT_SEND);
    EXPECT_EQ(dir.read("activity.dat").substr(0, 1), "H");

    EXPECT_EQ(dialog("ANOTHER CLAIM"), STS_OK);
    EXPECT_EQ(response(), "SECOND");
    claimServer->stop();
    keyServer->stop();
    EXPECT_EQ(keyServer->requests().size(), 1u);

    auto reqs = claimServer->requests();
    ASSERT_EQ(reqs.size(), 2u);
    const HttpRequest& r = reqs[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.target, "/api/AuthenticationRequests");
    EXPECT_EQ(r.header("Host"), "localhost:" + std::to_string(claimServer->port()));
    EXPECT_EQ(r.header("Authorization"), "Bearer K-1");
    EXPECT_EQ(r.header("User-Agent"), std::string("QZR/") + qzr_version);
    EXPECT_EQ(std::string(HTTP_USER_AGENT), std::string("QZR/") + qzr_version);
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("Content-Length"), "70");
    EXPECT_EQ(r.body, TEST_CLAIM);
    EXPECT_EQ(reqs[1].header("Authorization"), "Bearer K-1");
    EXPECT_EQ(reqs[1].body, "ANOTHER CLAIM");

    std::string log = logText();
    EXPECT_NE(log.find("INFO -prot. Sending claim (70 bytes) to " + claimUrl() +
                       "  maxDelay=5 s. Waiting for response"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INFO -prot. HTTP POST Status=200 13 byte response received"), std::string::npos);
    EXPECT_NE(log.find("INFO -prot. Proxy 200: Success."), std::string::npos);
    EXPECT_EQ(log.find("HTTP dialog: request length"), std::string::npos);
}

// The proxy's table: status, log line, and whether the key is deleted.
TEST_F(HttpDialogTest, RepliesFollowTheProxysTable)
{
    struct Case {
        int code;
        std::string body;
        int status;
        std::string line;
        bool deleted;
    } cases[] = {
        {200, "", STS_OK, "INFO -prot. Proxy 200: Success.", false},
        {400, "bad key", STS_ERROR,
         "ERROR-prot. Proxy 400: AppKey missing, invalid, or does not match transaction provider + group.", true},
        {401, "office not authorised", STS_OK, "ERROR-prot. Proxy 401: provide+group unauthorized.", true},
        {401, "", STS_ERROR, "ERROR-prot. Proxy 401 Without response text", true},
        {404, "not here", STS_ERROR, "ERROR-prot. HTTP 404: URL not found or unreachable.", false},
        {500, "carrier down", STS_OK, "ERROR-prot. Proxy 500: remote error or remote communication issues.", false},
        {500, "", STS_ERROR, "ERROR-prot. Proxy 500: remote error or remote communication issues.", false},
        {418, "teapot", STS_OK, "ERROR-prot. Proxy 418: HTTP status unexpected", false},
        {503, "", STS_ERROR, "ERROR-prot. Proxy 503: HTTP status unexpected", false},
    };
    std::vector<HttpReply> replies;
    for (const Case& c : cases) replies.push_back(replyOf(c.code, c.body));
    claimServer->serve(replies);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " <" + c.body + ">");
        storeKey("STORED");
        log_close();
        ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
        EXPECT_EQ(dialog(), c.status);
        EXPECT_EQ(response(), c.body);
        EXPECT_EQ(resp[c.body.size()], '\0');
        std::string log = logText();
        std::size_t at = log.find(c.line);
        EXPECT_NE(at, std::string::npos) << log;
        if (c.code == 400) {
            EXPECT_NE(log.find("INFO -prot. Error response: <bad key>", at), std::string::npos) << log;
        }
        EXPECT_EQ(storedKey(INDX).has_value(), !c.deleted);
    }
    keyServer->stop();
    EXPECT_EQ(keyServer->connections(), 0);
}

// Without a key nothing is posted: 1031 and an empty response.
TEST_F(HttpDialogTest, NoKeyNoClaim)
{
    keyServer->serve({replyOf(403, "office not registered")});
    claimServer->serve({replyOf(200, "NEVER")});
    EXPECT_EQ(dialog(), STS_PROTOCOL_ERROR);
    EXPECT_EQ(respLen, 0);
    EXPECT_EQ(resp[0], '\0');
    EXPECT_FALSE(net.linkUp);
    claimServer->stop();
    EXPECT_EQ(claimServer->connections(), 0);
    EXPECT_NE(logText().find("ERROR- Failed to obtain API Key for office:0123 provider:123456789 , keySts=1001"),
              std::string::npos);
}

// The proxy is the primary connection's host, also on the secondary.
TEST_F(HttpDialogTest, SecondaryConnectionPostsToThePrimarysHost)
{
    ConnectionDef secondary = test::httpConnection("backup.invalid");
    net.secondary = &secondary;
    net.curCnx = &secondary;
    storeKey("STORED");
    claimServer->serve({replyOf(200, "VIA PRIMARY HOST")});
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(response(), "VIA PRIMARY HOST");
}

TEST_F(HttpDialogTest, ConnectionWithoutAddressFails)
{
    cnx.address.reset();
    EXPECT_EQ(dialog(), STS_PORT_OPEN_ERROR);
    EXPECT_EQ(respLen, 0);
    cnx.address = "";
    EXPECT_EQ(dialog(), STS_PORT_OPEN_ERROR);
    keyServer->stop();
    EXPECT_EQ(keyServer->connections(), 0);
}

// The response holds at most the capacity, its NUL in the byte after it. A
// reply that fits is whole; one longer than the capacity ends the transfer
// (1001) and what came before stays as the response.
TEST_F(HttpDialogTest, ReplyBeyondTheCapacityFails)
{
    storeKey("STORED");
    HttpReply tooLong = replyOf(200, std::string(128, 'a') + std::string(128, 'b') + std::string(128, 'c') +
                                         std::string(128, 'd'));
    tooLong.pieces = 4;
    HttpReply refusedLong = replyOf(401, std::string(600, 'r'));
    claimServer->serve({replyOf(200, std::string(511, 'x')), tooLong, refusedLong});

    EXPECT_EQ(dialog(TEST_CLAIM, 511), STS_OK);
    EXPECT_EQ(response(), std::string(511, 'x'));
    EXPECT_EQ(resp[511], '\0');

    EXPECT_EQ(dialog(TEST_CLAIM, 511), STS_ERROR);
    EXPECT_LE(respLen, 511);
    EXPECT_EQ(response(), tooLong.body.substr(0, static_cast<std::size_t>(respLen)));
    EXPECT_EQ(resp[respLen], '\0');
    std::string log = logText();
    EXPECT_NE(log.find("INFO -prot. HTTP POST failed: Failed writing received data to disk/application. Status=200 \n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INFO -prot. Error message: "), std::string::npos);
    EXPECT_TRUE(storedKey(INDX).has_value());

    // The proxy refused the key, though its explanation did not fit.
    EXPECT_EQ(dialog(TEST_CLAIM, 511), STS_ERROR);
    EXPECT_FALSE(storedKey(INDX).has_value());
}

// A transaction's capacity: the 18000 bytes of the response buffer, the
// longest reply kept whole; one byte more is a failure.
TEST_F(HttpDialogTest, LongestReplyFillsTheResponseBuffer)
{
    storeKey("STORED");
    std::string longest;
    for (int i = 0; i < 18000; ++i) longest.push_back(static_cast<char>('a' + i % 26));
    claimServer->serve({replyOf(200, longest), replyOf(200, longest + "z")});

    EXPECT_EQ(dialog(TEST_CLAIM, 18000), STS_OK);
    EXPECT_EQ(respLen, 18000);
    EXPECT_TRUE(response() == longest);
    EXPECT_EQ(resp[18000], '\0');

    EXPECT_EQ(dialog(TEST_CLAIM, 18000), STS_ERROR);
    EXPECT_LE(respLen, 18000);
    EXPECT_EQ(resp[respLen], '\0');
}

TEST_F(HttpDialogTest, ReplyInSeveralPiecesArrivesWholeAndInOrder)
{
    std::string body;
    for (int i = 0; i < 1000; ++i) body += std::to_string(i % 10) + "abcd";
    HttpReply r = replyOf(200, body);
    r.pieces = 5;
    storeKey("STORED");
    claimServer->serve({r});
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(response(), body);
    EXPECT_EQ(respLen, 5000);
}

// A request of megabytes travels whole.
TEST_F(HttpDialogTest, LargeClaimTravelsWhole)
{
    std::string big;
    big.reserve(2'000'000);
    for (int i = 0; big.size() < 2'000'000; ++i) big += "line " + std::to_string(i) + ";";
    storeKey("STORED");
    claimServer->serve({replyOf(200, "GOT IT")});
    EXPECT_EQ(dialog(big), STS_OK);
    EXPECT_EQ(response(), "GOT IT");
    claimServer->stop();
    auto reqs = claimServer->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].body.size(), big.size());
    EXPECT_TRUE(reqs[0].body == big);
}

// A claim without bytes posts an empty body, whatever length comes with it.
TEST_F(HttpDialogTest, ClaimWithoutBytesPostsNothing)
{
    storeKey("STORED");
    claimServer->serve({replyOf(200, "EMPTY")});
    respLen = 18000;
    EXPECT_EQ(http_dialog(&net, &ti, nullptr, 64, resp, &respLen), STS_OK);
    EXPECT_EQ(response(), "EMPTY");
    claimServer->stop();
    auto reqs = claimServer->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].header("Content-Length"), "0");
    EXPECT_EQ(reqs[0].body, "");
}

// A proxy that goes away while the claim is being sent is a failure, not
// the end of the process.
TEST_F(HttpDialogTest, ProxyClosingDuringTheUploadFails)
{
    std::string big(4'000'000, 'u');
    HttpReply gone;
    gone.closeBeforeBody = true;
    storeKey("STORED");
    claimServer->serve({gone});
    EXPECT_EQ(dialog(big), STS_ERROR);
    EXPECT_EQ(respLen, 0);
    EXPECT_NE(logText().find("INFO -prot. HTTP POST failed: "), std::string::npos);
}

// A proxy that closes the connection without a word: the failure, then the
// table's line for code 0. A failed transfer with a code has no such line.
TEST_F(HttpDialogTest, ProxyClosingWithoutAReplyLogsCode0)
{
    HttpReply gone;
    gone.dropConnection = true;
    storeKey("STORED");
    claimServer->serve({gone, replyOf(200, std::string(600, 'a'))});
    EXPECT_EQ(dialog(), STS_ERROR);
    EXPECT_EQ(respLen, 0);
    EXPECT_TRUE(storedKey(INDX).has_value());
    std::string log = logText();
    EXPECT_TRUE(test::inOrder(log, {"INFO -prot. HTTP POST failed: ", " Status=0 \n",
                                    "INFO -prot. Error message: ",
                                    "ERROR-prot. Proxy 0: HTTP status unexpected"}));
    EXPECT_NE(std::string(lastErrorLine).find(" Proxy 0: HTTP status unexpected"), std::string::npos);

    EXPECT_EQ(dialog(TEST_CLAIM, 512), STS_ERROR);  // 200, too long for the buffer
    EXPECT_EQ(test::countOf(logText(), "HTTP status unexpected"), 1);
}

// The claim ends after maxProcessingDelay seconds; 0 means 60.
TEST_F(HttpDialogTest, SlowProxyTimesOut)
{
    net.maxProcessingDelay = 1;
    HttpReply slow = replyOf(200, "LATE");
    slow.delayMs = 10000;
    storeKey("STORED");
    claimServer->serve({slow});
    auto start = Clock::now();
    EXPECT_EQ(dialog(), STS_ERROR);
    EXPECT_LT(msSince(start), 4000);
    EXPECT_EQ(respLen, 0);
    std::string log = logText();
    EXPECT_NE(log.find("maxDelay=1 s. Waiting for response"), std::string::npos);
    EXPECT_NE(log.find("INFO -prot. HTTP POST failed: Timeout was reached. Status=0 "), std::string::npos) << log;
}

TEST_F(HttpDialogTest, NoDelayConfiguredMeansSixtySeconds)
{
    net.maxProcessingDelay = 0;
    storeKey("STORED");
    claimServer->serve({replyOf(200, "OK")});
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_NE(logText().find("  maxDelay=60 s. Waiting for response"), std::string::npos);
}

TEST_F(HttpDialogTest, NoProxyFails)
{
    int port = 0;
    {
        test::HttpsServer gone(*ca);
        port = gone.port();
    }
    g_httpsPorts.claimPort = port;
    storeKey("STORED");
    EXPECT_EQ(dialog(), STS_ERROR);
    EXPECT_EQ(respLen, 0);
    EXPECT_TRUE(net.linkUp);
    EXPECT_TRUE(storedKey(INDX).has_value());
    EXPECT_NE(logText().find("INFO -prot. HTTP POST failed: Couldn't connect to server. Status=0 "),
              std::string::npos);
}

TEST_F(HttpDialogTest, UntrustedProxyFails)
{
    storeKey("STORED");
    ::unsetenv("CURL_CA_BUNDLE");
    claimServer->serve({replyOf(200, "NEVER")});
    EXPECT_EQ(dialog(), STS_ERROR);
    EXPECT_EQ(respLen, 0);
    claimServer->stop();
    EXPECT_TRUE(claimServer->requests().empty());
}

// Redirects are followed to https only; the last reply decides.
TEST_F(HttpDialogTest, RedirectsAreFollowedToHttpsOnly)
{
    std::string base = "localhost:" + std::to_string(claimServer->port());
    HttpReply moved = replyOf(307, "");
    moved.headers = {"Location: https://" + base + "/api/second"};
    HttpReply plain = replyOf(307, "");
    plain.headers = {"Location: http://" + base + "/api/plain"};
    storeKey("STORED");
    claimServer->serve({moved, replyOf(200, "AFTER REDIRECT"), plain, replyOf(200, "NEVER")});

    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(response(), "AFTER REDIRECT");
    EXPECT_EQ(dialog(), STS_ERROR);
    EXPECT_NE(logText().find("HTTP POST failed: Unsupported protocol. Status=307 "), std::string::npos)
        << logText();
    claimServer->stop();
    auto reqs = claimServer->requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].method, "POST");
    EXPECT_EQ(reqs[1].target, "/api/second");
    EXPECT_EQ(reqs[1].body, TEST_CLAIM);
    EXPECT_EQ(claimServer->connections(), 3);
}

TEST_F(HttpDialogTest, DetailedMessagesShowTheRequestLength)
{
    g_detailedMessages = true;
    storeKey("STORED");
    claimServer->serve({replyOf(200, "OK")});
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_NE(logText().find("INFO - HTTP dialog: request length 70 bytes"), std::string::npos);
}

// libcurl's trace carries the bearer key: in the log with the debug trace
// only, never on standard error.
TEST_F(HttpDialogTest, DebugTraceGoesToTheLogOnly)
{
    storeKey("SECRET-KEY");
    claimServer->serve({replyOf(200, "ONE"), replyOf(200, "TWO")});
    test::StderrCapture err(dir.file("stderr.txt"));
    EXPECT_EQ(dialog(), STS_OK);
    EXPECT_EQ(logText().find("SECRET-KEY"), std::string::npos);
    debugTrace = true;
    EXPECT_EQ(dialog(), STS_OK);
    debugTrace = false;
    std::string log = logText();
    EXPECT_NE(log.find("CODE -420- > POST /api/AuthenticationRequests HTTP/1.1"), std::string::npos) << log;
    EXPECT_NE(log.find("CODE -420- > Authorization: Bearer SECRET-KEY"), std::string::npos);
    EXPECT_NE(log.find("CODE -420- < HTTP/1.1 200 OK"), std::string::npos);
    EXPECT_EQ(err.text(), "");
}

}  // namespace
}  // namespace qzr
