// Peers for the link tests: the far end of a pseudo-terminal or of a
// loopback socket, driven by a scenario on a thread of its own, and the
// fixture that gives each test its own program directory with
// devices/com1 pointing at the pty.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "config/config.h"
#include "support/temp_dir.h"

namespace qzr::test {

// Non-blocking I/O on one descriptor, with time-outs; everything read is
// kept in a transcript.
class PeerIo {
public:
    explicit PeerIo(int fd = -1) : fd_(fd) {}
    void setFd(int fd) { fd_ = fd; }
    int fd() const { return fd_; }

    // One byte within `timeoutMs`; false on time-out or end of file.
    bool readByte(unsigned char& c, int timeoutMs);
    // Reads until the text read ends with `terminator`; returns what was
    // read (without a match: what came before the time-out).
    std::string readUntil(const std::string& terminator, int timeoutMs);
    // Exactly `n` bytes, or fewer after the time-out.
    std::string readN(std::size_t n, int timeoutMs);
    // Reads until the line has been quiet for `quietMs`.
    std::string drain(int quietMs);
    // Writes all of `bytes`.
    void send(const std::string& bytes);

    // Everything read so far.
    std::string transcript() const;

private:
    int fd_;
    mutable std::mutex mutex_;
    std::string transcript_;
};

// A pseudo-terminal: the driver opens the slave through
// `<dir>/devices/com1`; the test plays the far end on the master.
class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // Links `<dir>/devices/<name>` to the slave.
    void linkInto(const std::string& dir, const std::string& name = "com1");
    const std::string& slavePath() const { return slavePath_; }

    PeerIo io;

    // Runs `scenario` on a thread; `join` waits for it.
    void start(std::function<void(PeerIo&)> scenario);
    void join();
    // Closes the far end: the driver's side of the line hangs up.
    void closeMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::thread thread_;
};

// A host on a loopback port: accepts one connection and runs a scenario.
class TcpPeer {
public:
    TcpPeer();
    ~TcpPeer();
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    PeerIo io;

    void start(std::function<void(PeerIo&)> scenario);
    void join();
    // Closes the accepted connection (the driver reads end of file).
    void closeConnection();
    // Closes the listener (connections to the port are then refused).
    void closeListener();

private:
    int listen_ = -1;
    int conn_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// Each test: its own directory as CurDir and ExeDir, a log file in it,
// flags cleared, short time-outs, the port closed at the end.
class LinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The log so far (flushed).
    std::string logText();
    // A serial connection on COM1, 9600-8N1.
    ConnectionDef serialCnx(int mode = CNX_MODE_DIRECT) const;
    // A network using `cnx` as its primary and current connection.
    NetworkDef networkOf(ConnectionDef* cnx, const char* name = "NET1") const;

    TempDir dir;
    GeneralParams general;
};

// Milliseconds since `start`.
inline long elapsedMs(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// Runs `action` on a thread after `delayMs` (a stop request from outside).
class Later {
public:
    Later(int delayMs, std::function<void()> action);
    ~Later();

private:
    std::thread thread_;
};

// The control bytes of the Common Protocol, as texts a peer sends or expects.
inline const std::string ENQ(1, '\x05'), STX(1, '\x02'), ETX(1, '\x03'), EOT(1, '\x04'),
    ACK(1, '\x06'), NAK(1, '\x15');

// The LRC of a frame's bytes: their exclusive-or, as a one-byte text.
inline std::string lrcOf(const std::string& bytes)
{
    unsigned char l = 0;
    for (unsigned char c : bytes) l ^= c;
    return std::string(1, static_cast<char>(l));
}

// STX, the text, ETX and the LRC over the text and the ETX.
inline std::string frameOf(const std::string& text)
{
    return STX + text + ETX + lrcOf(text + ETX);
}

}  // namespace qzr::test
