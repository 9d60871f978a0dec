// Peers of the HTTPS channel's tests: a test CA made with the openssl
// command line, an HTTPS server on loopback that records each request and
// answers scripted replies, AES helpers that work from the derived keys
// alone, and the fixture that gives each test its own working directory.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "foundation/trans_info.h"
#include "support/temp_dir.h"

namespace qzr::test {

// The PBKDF2-HMAC-SHA256 keys of the two key indexes, as `openssl kdf`
// derives them (salt 5c3a91e702b84d6fa013c97e28d4b166, 20000 iterations).
inline const std::string TOKEN_KEY_HEX = "d42d1eb4a0cf3d5f03a9a6df2ba743eb";
inline const std::string STORE_KEY_HEX = "1f7940447bee1133723ae8612e35f740";

struct CommandResult {
    int exitCode = -1;
    std::string out;
};
// Runs a program (searched in PATH) with `input` on its standard input;
// returns its exit code and standard output (standard error is dropped).
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = "");

std::string toHex(const std::string& bytes);
std::string fromHex(const std::string& hex);
std::string base64Encode(const std::string& bytes);
// Decodes strict base64; nullopt when it is not.
std::optional<std::string> base64Decode(const std::string& text);

// AES-128-CBC with PKCS#7 of `plain` under `keyHex` and `iv`, as base64 of
// IV and ciphertext: what a store of another run holds.
std::string encryptWith(const std::string& keyHex, const std::string& iv, const std::string& plain);
// The reverse; nullopt when the text does not decrypt.
std::optional<std::string> decryptWith(const std::string& keyHex, const std::string& text);

// A CA and a server certificate for localhost and 127.0.0.1, made in `dir`
// with the openssl command line.
struct TestCa {
    explicit TestCa(const TempDir& dir);
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool ok = false;
};

// One request as the server read it.
struct HttpRequest {
    std::string method;
    std::string target;
    std::string version;
    std::string head;  // the request line and headers as received, without the blank line
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;
    // The value of the header `name` (letter case ignored); nullopt if absent.
    std::optional<std::string> header(const std::string& name) const;
};

// One scripted reply.
struct HttpReply {
    int status = 200;
    std::string reason = "OK";
    std::string body;
    std::vector<std::string> headers;  // extra header lines, e.g. "Location: ..."
    std::size_t pieces = 1;            // the body is sent in this many writes, 30 ms apart
    int delayMs = 0;                   // wait before replying (the stop of the test ends it)
    bool dropConnection = false;       // close after reading the request, without a reply
    bool closeBeforeBody = false;      // close after the headers, leaving the body unread
    bool silent = false;               // accept the connection, never speak TLS
};

// A reply of `status` with `body`.
inline HttpReply replyOf(int status, const std::string& body)
{
    HttpReply r;
    r.status = status;
    r.reason = status == 200 ? "OK" : "Status";
    r.body = body;
    return r;
}

// An HTTPS server on 127.0.0.1 at a port of its own. It serves one
// connection per scripted reply, in order, each with one request.
class HttpsServer {
public:
    // Listens at `port`, or at a port of its own when it is 0.
    explicit HttpsServer(const TestCa& ca, int port = 0);
    ~HttpsServer();
    HttpsServer(const HttpsServer&) = delete;
    HttpsServer& operator=(const HttpsServer&) = delete;

    // The port listened at; -1 when the listen failed.
    int port() const { return port_; }
    bool listening() const { return listen_ >= 0; }
    // Starts serving `replies` on a thread.
    void serve(std::vector<HttpReply> replies);
    // Ends the serving thread (after the replies, or at once when waiting).
    void stop();
    // The requests read so far.
    std::vector<HttpRequest> requests() const;
    // Connections accepted so far.
    int connections() const { return connections_; }

private:
    void run(std::vector<HttpReply> replies);
    void handle(int fd, const HttpReply& reply);

    void* ctx_ = nullptr;  // SSL_CTX*
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

// The proxy for runs of the real driver: a key server and a claim server on
// loopback ports of their own, which the driver is pointed at through
// QZR_TEST_HTTPS_PORTS (its test builds read it), with the test CA trusted
// through CURL_CA_BUNDLE, while it lives.
struct LoopbackProxy {
    explicit LoopbackProxy(const TempDir& dir);
    ~LoopbackProxy();
    LoopbackProxy(const LoopbackProxy&) = delete;
    LoopbackProxy& operator=(const LoopbackProxy&) = delete;
    // Both servers listen and the CA was made.
    bool ready() const { return ca.ok && keyServer.listening() && claimServer.listening(); }
    void stop();

    TestCa ca;
    HttpsServer keyServer;
    HttpsServer claimServer;
};

// Each test: its own working directory (CurDir) with the log in it, flags
// cleared, a test CA trusted through CURL_CA_BUNDLE, a key server and a
// claim server whose ports the driver uses, and a closed key store after.
class HttpsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The log so far (flushed).
    std::string logText();
    // The encrypted AppKey stored for a pair, nullopt when no row (read
    // with the sqlite3 command line).
    std::optional<std::string> storedKey(const std::string& indx);
    // Runs SQL on the store with the sqlite3 command line; its output.
    std::string sqlite(const std::string& sql);

    // An http network whose primary connection is `cnx`.
    NetworkDef httpNetwork(ConnectionDef* cnx, const char* name = "NETH");

    TempDir dir;
    GeneralParams general;
    std::optional<TestCa> ca;
    std::optional<HttpsServer> keyServer;
    std::optional<HttpsServer> claimServer;
};

// A connection of type http to the test servers' host.
ConnectionDef httpConnection(const char* address = "localhost");

// A request record with the office and provider.
transInfo recordOf(const char* office, const char* provider);

// Sends standard error to a file while it lives; `text` reads what came.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path);
    ~StderrCapture();
    std::string text();

private:
    std::string path_;
    int saved_ = -1;
};

// How many times `needle` occurs in `text`.
int countOf(const std::string& text, const std::string& needle);

}  // namespace qzr::test
