// The API key request against an HTTPS key service on loopback: the token
// the service decrypts, the GET it receives, the replies and failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "https/gen_aes.h"
#include "https/https_peer.h"
#include "https/key_request.h"

namespace qzr {
namespace {

using test::HttpReply;
using test::HttpRequest;
using Clock = std::chrono::steady_clock;

// The token layout the key service checks.
void expectTokenLayout(const std::string& t, const std::string& office, const std::string& provider)
{
    ASSERT_EQ(t.size(), 36u);
    EXPECT_EQ(t[0], '|');
    EXPECT_EQ(t[35], '*');
    EXPECT_EQ(t[9], 'Q');
    EXPECT_EQ(t[15], 'Z');
    EXPECT_EQ(t[21], 'R');
    for (int i : {8, 13, 18, 23}) EXPECT_EQ(t[static_cast<std::size_t>(i)], '-') << i;
    EXPECT_EQ(t[24], '0');
    for (int i : {1, 2, 3, 10, 11, 12, 14, 16, 17, 19, 20, 22, 25}) {
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(t[static_cast<std::size_t>(i)]))) << i;
    }
    std::string o = office.substr(0, 4);
    o.resize(4, '\0');
    std::string p = provider.substr(0, 9);
    p.resize(9, '\0');
    EXPECT_EQ(t.substr(4, 4), o);
    EXPECT_EQ(t.substr(26, 9), p);
}

TEST(KeyToken, LayoutFromRandomNumbersOfficeAndProvider)
{
    struct {
        std::uint32_t random[5];
        const char* office;
        const char* provider;
        std::string token;
    } cases[] = {
        {{1234567, 4294967295u, 12345, 5678, 9998}, "0123", "123456789", "|1230123-Q346-5Z78-99R8-04123456789*"},
        {{9999999, 0, 9999, 0, 0}, "012", "12345",
         std::string("|000012\0-Q000-0Z00-00R0-0012345\0\0\0\0*", 36)},
        {{4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u}, "ABCDE", "PROVIDER9X",
         "|496ABCD-Q834-6Z34-68R4-04PROVIDER9*"},
        {{7, 7, 7, 7, 7}, "", "", std::string("|000\0\0\0\0-Q007-0Z07-00R7-00\0\0\0\0\0\0\0\0\0*", 36)},
    };
    for (const auto& c : cases) {
        char token[AUTH_TOKEN_SIZE + 1];
        std::memset(token, 'x', sizeof token);
        key_formatToken(c.random, c.office, c.provider, token);
        EXPECT_EQ(std::string(token, AUTH_TOKEN_SIZE), c.token) << c.office;
        EXPECT_EQ(token[AUTH_TOKEN_SIZE], '\0');
    }
}

class KeyRequestTest : public test::HttpsTest {
protected:
    // Asks the loopback key service for the key of (office, provider).
    int request(const char* office = "0123", const char* provider = "123456789", std::size_t limit = 1023)
    {
        std::memset(reply, 'x', sizeof reply);
        replyLen = -1;
        return getAppKeyFromProxy("localhost", office, provider, limits, reply, limit, &replyLen);
    }
    std::string replyText() const { return std::string(reply, static_cast<std::size_t>(replyLen > 0 ? replyLen : 0)); }

    HttpsLimits limits{5, 3};
    char reply[1100];
    int replyLen = -1;
};

TEST_F(KeyRequestTest, GetWithTheEncryptedTokenReturnsTheKey)
{
    keyServer->serve({test::replyOf(200, "THE-API-KEY")});
    EXPECT_EQ(request(), STS_OK);
    EXPECT_EQ(replyText(), "THE-API-KEY");
    EXPECT_EQ(replyLen, 11);
    EXPECT_EQ(reply[11], '\0');
    keyServer->stop();

    auto reqs = keyServer->requests();
    ASSERT_EQ(reqs.size(), 1u);
    const HttpRequest& r = reqs[0];
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.target, "/api/AuthenticationRequests");
    EXPECT_EQ(r.header("Host"), "localhost:" + std::to_string(keyServer->port()));
    EXPECT_FALSE(r.header("User-Agent").has_value());
    EXPECT_FALSE(r.header("Authorization").has_value());
    auto encrypted = r.header("ApiKey");
    ASSERT_TRUE(encrypted.has_value());
    EXPECT_EQ(encrypted->size(), 88u);
    EXPECT_NE((r.head + "\r\n").find("\r\nApiKey:" + *encrypted + "\r\n"), std::string::npos) << r.head;
    auto token = test::decryptWith(test::TOKEN_KEY_HEX, *encrypted);
    ASSERT_TRUE(token.has_value());
    expectTokenLayout(*token, "0123", "123456789");
    EXPECT_EQ(*token, std::string(authToken, AUTH_TOKEN_SIZE));

    std::string log = logText();
    std::string url = "https://localhost:" + std::to_string(keyServer->port()) + "/api/AuthenticationRequests";
    EXPECT_NE(log.find("INFO - Getting App Key for office 0123 dentist 123456789 from proxy"), std::string::npos);
    EXPECT_NE(log.find("INFO - Generated encrypted authorization token " + *encrypted), std::string::npos);
    EXPECT_NE(log.find("INFO - Connecting to " + url), std::string::npos) << log;
    EXPECT_NE(log.find("INFO - API key len=11"), std::string::npos);
    EXPECT_EQ(log.find("Token <"), std::string::npos);  // only with the debug trace
}

// Every request has a token of its own; short offices and providers leave
// NUL bytes, which travel encrypted with the rest.
TEST_F(KeyRequestTest, EveryTokenIsNewAndKeepsItsNulBytes)
{
    keyServer->serve({test::replyOf(200, "K1"), test::replyOf(200, "K2"), test::replyOf(200, "K3")});
    EXPECT_EQ(request("0123", "123456789"), STS_OK);
    EXPECT_EQ(request("012", "12345"), STS_OK);
    EXPECT_EQ(request("0123", "123456789"), STS_OK);
    keyServer->stop();
    auto reqs = keyServer->requests();
    ASSERT_EQ(reqs.size(), 3u);
    std::string tokens[3];
    for (int i = 0; i < 3; ++i) {
        auto t = test::decryptWith(test::TOKEN_KEY_HEX, reqs[static_cast<std::size_t>(i)].header("ApiKey").value_or(""));
        ASSERT_TRUE(t.has_value());
        tokens[i] = *t;
    }
    expectTokenLayout(tokens[0], "0123", "123456789");
    expectTokenLayout(tokens[1], "012", "12345");
    expectTokenLayout(tokens[2], "0123", "123456789");
    EXPECT_NE(tokens[0], tokens[2]);
    EXPECT_NE(reqs[0].header("ApiKey"), reqs[2].header("ApiKey"));
}

// The debug trace shows the token up to its first NUL byte, and libcurl's
// trace (which carries the token) in the log, never on standard error.
TEST_F(KeyRequestTest, DebugTraceGoesToTheLogOnly)
{
    keyServer->serve({test::replyOf(200, "KEY"), test::replyOf(200, "KEY")});
    test::StderrCapture err(dir.file("stderr.txt"));
    EXPECT_EQ(request("012", "12345"), STS_OK);
    std::string quiet = logText();
    EXPECT_EQ(quiet.find("> GET"), std::string::npos);

    debugTrace = true;
    EXPECT_EQ(request("012", "12345"), STS_OK);
    debugTrace = false;
    std::string log = logText();
    std::size_t at = log.find("CODE -420- Token <|");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(at + 19, 8), std::string(authToken + 1, 6) + ">\n");
    EXPECT_EQ(std::string(authToken + 4, 3), "012");
    EXPECT_NE(log.find("CODE -420- > GET /api/AuthenticationRequests HTTP/1.1"), std::string::npos) << log;
    EXPECT_NE(log.find("CODE -420- > ApiKey:"), std::string::npos);
    EXPECT_NE(log.find("CODE -420- < HTTP/1.1 200 OK"), std::string::npos);
    EXPECT_EQ(err.text(), "");
}

// Replies other than 200 are the proxy's explanation: 1013 with the text.
TEST_F(KeyRequestTest, RepliesOtherThan200Fail)
{
    struct {
        int status;
        std::string body;
        int result;
        const char* line;
    } cases[] = {
        {200, "", STS_OK, "INFO - API key len=0"},
        {403, "office not registered", STS_ENCRYPT_KEY_MISSING, "INFO - HTTP code=403 request failed."},
        {500, "", STS_ENCRYPT_KEY_MISSING, "INFO - HTTP code=500 request failed."},
        {404, "no such service", STS_ENCRYPT_KEY_MISSING, "INFO - HTTP code=404 request failed."},
    };
    std::vector<HttpReply> replies;
    for (const auto& c : cases) replies.push_back(test::replyOf(c.status, c.body));
    keyServer->serve(replies);
    for (const auto& c : cases) {
        EXPECT_EQ(request(), c.result) << c.status;
        EXPECT_EQ(replyText(), c.body);
        EXPECT_EQ(reply[c.body.size()], '\0');
        EXPECT_NE(logText().find(c.line), std::string::npos) << c.line;
    }
}

TEST_F(KeyRequestTest, ReplyInSeveralPiecesArrivesWhole)
{
    std::string key;
    for (int i = 0; i < 100; ++i) key += "k" + std::to_string(i);
    HttpReply r = test::replyOf(200, key);
    r.pieces = 5;
    keyServer->serve({r});
    EXPECT_EQ(request(), STS_OK);
    EXPECT_EQ(replyText(), key);
}

// The reply holds at most the limit less one byte; a reply that reaches the
// limit ends the transfer, which is a failure even with 200.
TEST_F(KeyRequestTest, ReplyReachingTheLimitFails)
{
    keyServer->serve({test::replyOf(200, std::string(1022, 'a')), test::replyOf(200, std::string(1023, 'b'))});
    EXPECT_EQ(request(), STS_OK);
    EXPECT_EQ(replyLen, 1022);
    EXPECT_EQ(request(), STS_ENCRYPT_KEY_MISSING);
    EXPECT_LT(replyLen, 1023);
    EXPECT_EQ(reply[replyLen], '\0');
    std::string log = logText();
    EXPECT_NE(log.find("ERROR- API key request failed: Failed writing received data to disk/application."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("INFO - HTTP code=200 request failed."), std::string::npos);
}

TEST_F(KeyRequestTest, NoProxyIsACommunicationError)
{
    int port = 0;
    {
        test::HttpsServer gone(*ca);
        port = gone.port();
    }
    g_httpsPorts.keyPort = port;
    EXPECT_EQ(request(), STS_ENCRYPT_KEY_MISSING);
    EXPECT_EQ(replyLen, 0);
    EXPECT_EQ(reply[0], '\0');
    std::string log = logText();
    EXPECT_NE(log.find("INFO - HTTP code=0 communication error."), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR- API key request failed: Couldn't connect to server."), std::string::npos);
}

// The proxy's certificate must verify: without the test CA it does not.
TEST_F(KeyRequestTest, UntrustedCertificateIsRefused)
{
    ::unsetenv("CURL_CA_BUNDLE");
    keyServer->serve({test::replyOf(200, "KEY")});
    EXPECT_EQ(request(), STS_ENCRYPT_KEY_MISSING);
    EXPECT_EQ(replyLen, 0);
    keyServer->stop();
    EXPECT_TRUE(keyServer->requests().empty());
    EXPECT_NE(logText().find("HTTP code=0 communication error."), std::string::npos);
}

// The request ends after its time-out, however long the proxy takes.
TEST_F(KeyRequestTest, SlowProxyTimesOut)
{
    HttpReply slow = test::replyOf(200, "LATE");
    slow.delayMs = 10000;
    keyServer->serve({slow});
    limits.transferTimeout = 1;
    auto start = Clock::now();
    EXPECT_EQ(request(), STS_ENCRYPT_KEY_MISSING);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 4000);
    EXPECT_NE(logText().find("API key request failed: Timeout was reached."), std::string::npos) << logText();
}

// A proxy that accepts the connection but never speaks TLS is bounded too.
TEST_F(KeyRequestTest, SilentProxyTimesOut)
{
    HttpReply silent;
    silent.silent = true;
    keyServer->serve({silent});
    limits = HttpsLimits{3, 1};
    auto start = Clock::now();
    EXPECT_EQ(request(), STS_ENCRYPT_KEY_MISSING);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2900);
}

// Redirects are followed to https only.
TEST_F(KeyRequestTest, RedirectsAreFollowedToHttpsOnly)
{
    std::string base = "localhost:" + std::to_string(keyServer->port());
    HttpReply toHttps = test::replyOf(302, "");
    toHttps.headers = {"Location: https://" + base + "/api/other"};
    HttpReply toHttp = test::replyOf(302, "");
    toHttp.headers = {"Location: http://" + base + "/api/plain"};
    keyServer->serve({toHttps, test::replyOf(200, "MOVED-KEY"), toHttp, test::replyOf(200, "PLAIN")});

    EXPECT_EQ(request(), STS_OK);
    EXPECT_EQ(replyText(), "MOVED-KEY");
    EXPECT_EQ(request(), STS_ENCRYPT_KEY_MISSING);
    EXPECT_NE(replyText(), "PLAIN");
    EXPECT_NE(logText().find("HTTP code=302 request failed."), std::string::npos) << logText();
    keyServer->stop();
    auto reqs = keyServer->requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].target, "/api/other");
    EXPECT_EQ(keyServer->connections(), 3);
}

TEST_F(KeyRequestTest, NoRandomNumbersNoRequest)
{
    keyServer->serve({test::replyOf(200, "KEY")});
    g_aesFault = AES_FAULT_RANDOM;
    EXPECT_EQ(request(), STS_ERROR);
    g_aesFault = AES_FAULT_NONE;
    keyServer->stop();
    EXPECT_EQ(keyServer->connections(), 0);
    std::string log = logText();
    EXPECT_NE(log.find("ERROR- The rand_s function failed!"), std::string::npos);
    EXPECT_NE(log.find("ERROR- Failed to generate Authorization Token"), std::string::npos);
    EXPECT_EQ(log.find("Connecting to"), std::string::npos);
}

TEST_F(KeyRequestTest, FailedTokenEncryptionNoRequest)
{
    keyServer->serve({test::replyOf(200, "KEY")});
    aes_forgetKeys();
    g_aesFault = AES_FAULT_DERIVE;
    EXPECT_EQ(request(), STS_ERROR);
    g_aesFault = AES_FAULT_NONE;
    keyServer->stop();
    EXPECT_EQ(keyServer->connections(), 0);
    std::string log = logText();
    EXPECT_NE(log.find("BCryptKeyDerivation"), std::string::npos);
    EXPECT_NE(log.find("ERROR- Failed to generate Authorization Token"), std::string::npos);
}

}  // namespace
}  // namespace qzr
