// Peers of the HTTPS channel's tests: test CA, HTTPS server, AES helpers.
#include "https/https_peer.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "https/gen_aes.h"
#include "https/https_transfer.h"
#include "https/key_store.h"
#include "os/os_tcp.h"
#include "os/os_wait.h"

extern char** environ;

namespace qzr::test {

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input)
{
    CommandResult result;
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return result;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    if (rc == 0) {
        std::size_t done = 0;
        while (done < input.size()) {
            ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
    ::close(in[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) result.out.append(buf, static_cast<std::size_t>(n));
    ::close(out[0]);
    if (rc != 0) return result;
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(digits[c >> 4]);
        hex.push_back(digits[c & 15]);
    }
    return hex;
}

std::string fromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string base64Encode(const std::string& bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

std::optional<std::string> base64Decode(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    std::size_t pad = 0;
    if (text.back() == '=') ++pad;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

namespace {

std::optional<std::string> cbc(bool encrypt, const std::string& keyHex, const std::string& iv, const std::string& in)
{
    std::string key = fromHex(keyHex);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::string out(in.size() + 32, '\0');
    int n = 0, tail = 0;
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                                reinterpret_cast<const unsigned char*>(iv.data()), encrypt ? 1 : 0) == 1 &&
              EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                               reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())) == 1 &&
              EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    ERR_clear_error();
    if (!ok) return std::nullopt;
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

}  // namespace

std::string encryptWith(const std::string& keyHex, const std::string& iv, const std::string& plain)
{
    return base64Encode(iv + cbc(true, keyHex, iv, plain).value_or(""));
}

std::optional<std::string> decryptWith(const std::string& keyHex, const std::string& text)
{
    auto raw = base64Decode(text);
    if (!raw || raw->size() < 32) return std::nullopt;
    return cbc(false, keyHex, raw->substr(0, 16), raw->substr(16));
}

TestCa::TestCa(const TempDir& dir)
{
    caFile = dir.file("ca.pem");
    certFile = dir.file("server.pem");
    keyFile = dir.file("server.key");
    std::string ext = dir.write("server.ext",
                                "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                                "basicConstraints=CA:FALSE\n"
                                "keyUsage=digitalSignature\n"
                                "extendedKeyUsage=serverAuth\n");
    const std::string curve = "ec_paramgen_curve:prime256v1";
    ok = runCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", curve, "-nodes", "-keyout",
                     dir.file("ca.key"), "-out", caFile, "-days", "2", "-subj", "/CN=QZR Test CA"})
                 .exitCode == 0 &&
         runCommand({"openssl", "req", "-newkey", "ec", "-pkeyopt", curve, "-nodes", "-keyout", keyFile, "-out",
                     dir.file("server.csr"), "-subj", "/CN=localhost"})
                 .exitCode == 0 &&
         runCommand({"openssl", "x509", "-req", "-in", dir.file("server.csr"), "-CA", caFile, "-CAkey",
                     dir.file("ca.key"), "-CAcreateserial", "-out", certFile, "-days", "2", "-extfile", ext})
                 .exitCode == 0;
}

std::optional<std::string> HttpRequest::header(const std::string& name) const
{
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() &&
            std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return v;
    }
    return std::nullopt;
}

HttpsServer::HttpsServer(const TestCa& ca, int port) : port_(port)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, ca.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, ca.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        ADD_FAILURE() << "cannot load the server certificate";
    }
    ctx_ = ctx;
    listen_ = os_tcpListenLoopback(&port_);
    if (listen_ < 0) {
        ADD_FAILURE() << "cannot listen on loopback at port " << port;
        port_ = -1;  // not the port asked for: no one is listening there
    }
}

LoopbackProxy::LoopbackProxy(const TempDir& dir) : ca(dir), keyServer(ca), claimServer(ca)
{
    ::setenv("CURL_CA_BUNDLE", ca.caFile.c_str(), 1);
    const std::string ports = std::to_string(claimServer.port()) + ":" + std::to_string(keyServer.port());
    ::setenv("QZR_TEST_HTTPS_PORTS", ports.c_str(), 1);
}

LoopbackProxy::~LoopbackProxy()
{
    stop();
    ::unsetenv("QZR_TEST_HTTPS_PORTS");
    ::unsetenv("CURL_CA_BUNDLE");
}

void LoopbackProxy::stop()
{
    claimServer.stop();
    keyServer.stop();
}

HttpsServer::~HttpsServer()
{
    stop();
    if (listen_ >= 0) ::close(listen_);
    SSL_CTX_free(static_cast<SSL_CTX*>(ctx_));
}

void HttpsServer::serve(std::vector<HttpReply> replies)
{
    thread_ = std::thread([this, replies = std::move(replies)] { run(replies); });
}

void HttpsServer::stop()
{
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<HttpRequest> HttpsServer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void HttpsServer::run(std::vector<HttpReply> replies)
{
    // A write to a client that has gone raises SIGPIPE for this thread only:
    // blocked here, it never reaches the driver under test.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (const HttpReply& reply : replies) {
        int fd = -1;
        std::int64_t deadline = os_monotonicMs() + 20000;
        while (fd < 0 && !stopping_ && os_monotonicMs() < deadline) fd = os_tcpAccept(listen_, 100);
        if (fd < 0) return;
        ++connections_;
        handle(fd, reply);
        ::close(fd);
    }
}

namespace {

// Runs an SSL call on a non-blocking socket until it succeeds, fails, or
// the deadline passes. Returns its positive result, or -1.
template <typename F>
int sslCall(SSL* ssl, int fd, std::int64_t deadline, F&& call)
{
    for (;;) {
        int r = call();
        if (r > 0) return r;
        int e = SSL_get_error(ssl, r);
        os_pollItem item{fd, 0, 0};
        if (e == SSL_ERROR_WANT_READ) {
            item.events = OS_POLL_IN;
        } else if (e == SSL_ERROR_WANT_WRITE) {
            item.events = OS_POLL_OUT;
        } else {
            return -1;
        }
        int left = os_msUntil(deadline);
        if (left == 0) return -1;
        os_poll(&item, 1, left);
    }
}

bool sendAll(SSL* ssl, int fd, const std::string& bytes, std::int64_t deadline)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        int n = sslCall(ssl, fd, deadline, [&] {
            return SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
        });
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string trim(const std::string& s)
{
    std::size_t b = s.find_first_not_of(" \t");
    std::size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

}  // namespace

void HttpsServer::handle(int fd, const HttpReply& reply)
{
    if (reply.silent) {
        while (!stopping_) os_sleepMs(20);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(ctx_));
    SSL_set_fd(ssl, fd);
    std::int64_t deadline = os_monotonicMs() + 10000;
    if (sslCall(ssl, fd, deadline, [&] { return SSL_accept(ssl); }) <= 0) {
        SSL_free(ssl);
        ERR_clear_error();
        return;
    }

    // The request line and headers, then the body by its length.
    std::string data;
    char buf[16384];
    std::size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        int n = sslCall(ssl, fd, deadline, [&] { return SSL_read(ssl, buf, sizeof buf); });
        if (n <= 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    HttpRequest req;
    if (headEnd != std::string::npos) {
        std::string head = data.substr(0, headEnd);
        req.head = head;
        data.erase(0, headEnd + 4);
        std::size_t lineEnd = head.find("\r\n");
        std::string first = head.substr(0, lineEnd);
        std::size_t s1 = first.find(' ');
        std::size_t s2 = first.rfind(' ');
        if (s1 != std::string::npos && s2 > s1) {
            req.method = first.substr(0, s1);
            req.target = first.substr(s1 + 1, s2 - s1 - 1);
            req.version = first.substr(s2 + 1);
        }
        std::size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
        while (pos < head.size()) {
            std::size_t end = head.find("\r\n", pos);
            if (end == std::string::npos) end = head.size();
            std::string line = head.substr(pos, end - pos);
            std::size_t colon = line.find(':');
            if (colon != std::string::npos) req.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
            pos = end + 2;
        }
        std::size_t length = 0;
        if (auto cl = req.header("Content-Length")) length = std::stoul(*cl);
        if (reply.closeBeforeBody) {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(req);
            SSL_free(ssl);
            ERR_clear_error();
            return;
        }
        if (auto ex = req.header("Expect"); ex && *ex == "100-continue") {
            sendAll(ssl, fd, "HTTP/1.1 100 Continue\r\n\r\n", deadline);
        }
        while (data.size() < length) {
            int n = sslCall(ssl, fd, deadline, [&] { return SSL_read(ssl, buf, sizeof buf); });
            if (n <= 0) break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        req.body = data;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
    }

    if (!reply.dropConnection) {
        std::int64_t until = os_monotonicMs() + reply.delayMs;
        while (!stopping_ && os_monotonicMs() < until) os_sleepMs(10);
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n";
        for (const auto& h : reply.headers) head += h + "\r\n";
        head += "\r\n";
        deadline = os_monotonicMs() + 10000;
        bool ok = sendAll(ssl, fd, head, deadline);
        std::size_t pieces = std::max<std::size_t>(reply.pieces, 1);
        std::size_t size = (reply.body.size() + pieces - 1) / pieces;
        for (std::size_t off = 0; ok && off < reply.body.size(); off += size) {
            if (off > 0) os_sleepMs(30);
            ok = sendAll(ssl, fd, reply.body.substr(off, size), deadline);
        }
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ERR_clear_error();
}

void HttpsTest::SetUp()
{
    CurDir = dir.path().string();
    ExeDir = dir.path().string();
    stopRequested = false;
    terminateRequested = false;
    wakeFlag = false;
    g_detailedMessages = false;
    debugTrace = false;
    g_aesFault = AES_FAULT_NONE;
    Genparam = &general;
    log_resetScreen();
    ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
    ca.emplace(dir);
    ASSERT_TRUE(ca->ok) << "the openssl command line could not make the test CA";
    ::setenv("CURL_CA_BUNDLE", ca->caFile.c_str(), 1);
    keyServer.emplace(*ca);
    claimServer.emplace(*ca);
    g_httpsPorts.keyPort = keyServer->port();
    g_httpsPorts.claimPort = claimServer->port();
}

void HttpsTest::TearDown()
{
    if (keyServer) keyServer->stop();
    if (claimServer) claimServer->stop();
    keystore_close();
    log_close();
    activity_reset();
    g_aesFault = AES_FAULT_NONE;
    g_httpsPorts = HttpsPorts{};
    ::unsetenv("CURL_CA_BUNDLE");
}

std::string HttpsTest::logText()
{
    log_flush();
    return dir.read("qzr.log");
}

std::string HttpsTest::sqlite(const std::string& sql)
{
    return runCommand({"sqlite3", "-batch", "-noheader", dir.file(KEY_STORE_FILE), sql}).out;
}

std::optional<std::string> HttpsTest::storedKey(const std::string& indx)
{
    std::string out = sqlite("SELECT 'ROW:' || AppKey FROM KeyStore WHERE INDX='" + indx + "';");
    if (out.rfind("ROW:", 0) != 0) return std::nullopt;
    out.erase(0, 4);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

NetworkDef HttpsTest::httpNetwork(ConnectionDef* cnx, const char* name)
{
    NetworkDef net;
    net.networkName = name;
    net.primary = cnx;
    net.curCnx = cnx;
    net.maxProcessingDelay = 5;
    return net;
}

ConnectionDef httpConnection(const char* address)
{
    ConnectionDef cnx;
    cnx.connectionType = CNX_TYPE_HTTP;
    cnx.address = address;
    cnx.connectionTimeout = 3;
    return cnx;
}

transInfo recordOf(const char* office, const char* provider)
{
    transInfo ti;
    std::snprintf(ti.office, sizeof ti.office, "%s", office);
    std::snprintf(ti.provider, sizeof ti.provider, "%s", provider);
    return ti;
}

StderrCapture::StderrCapture(const std::string& path) : path_(path)
{
    std::fflush(stderr);
    saved_ = ::fcntl(2, F_DUPFD_CLOEXEC, 0);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
}

StderrCapture::~StderrCapture()
{
    std::fflush(stderr);
    if (saved_ >= 0) {
        ::dup2(saved_, 2);
        ::close(saved_);
    }
}

std::string StderrCapture::text()
{
    std::fflush(stderr);
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int countOf(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

}  // namespace qzr::test
