// The port layer against real peers: a pseudo-terminal behind
// devices/com1 and loopback sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/link_ops.h"
#include "links/link_peers.h"
#include "links/modem.h"
#include "links/msg_pump.h"
#include "links/port.h"
#include "os/os_serial.h"
#include "os/os_signal.h"
#include "os/os_wait.h"

namespace qzr {
namespace {

using test::elapsedMs;
using test::Later;
using test::LinkTest;
using test::PtyPeer;
using test::TcpPeer;
using Clock = std::chrono::steady_clock;

class PortTest : public LinkTest {};

// The bounds of the timing checks. A wait looks at its flags at least once
// a round. A loaded machine (parallel builds, sanitizers) may hold a thread
// back for a good part of a second before it runs again, so an upper bound
// leaves LOAD_MS beyond what the wait itself may take, and a wait ended by
// an event is timed from the moment of the event, not from when the test
// asked for it.
constexpr long ROUND_MS = 500;
constexpr long LOAD_MS = 700;

// Runs `action` on another thread after `delayMs`, as Later does, and keeps
// the moment it ran.
class Event {
public:
    Event(int delayMs, std::function<void()> action)
        : later_(delayMs, [this, action = std::move(action)] {
              firedMs_ = nowMs();
              action();
          })
    {
    }
    // Milliseconds since the action ran; -1 while it has not run.
    long msSince() const
    {
        long fired = firedMs_;
        return fired < 0 ? -1 : nowMs() - fired;
    }

private:
    static long nowMs() { return static_cast<long>(os_monotonicMs()); }
    std::atomic<long> firedMs_{-1};
    Later later_;  // last: joined before the time it writes goes away
};

TEST_F(PortTest, DevicePathPrefersTheDevicesEntryThenTtyS)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string(), "com1");
    EXPECT_EQ(port_devicePath("COM1"), dir.file("devices/com1"));
    EXPECT_EQ(port_devicePath("COM3"), "/dev/ttyS2");
    EXPECT_EQ(port_devicePath("COM12"), "/dev/ttyS11");
    // Not a COMn name and no entry: the entry's path, which fails to open.
    EXPECT_EQ(port_devicePath("MODEM"), dir.file("devices/modem"));
    EXPECT_EQ(port_devicePath("COM0"), dir.file("devices/com0"));
}

TEST_F(PortTest, OpensEverySpeedOfTheListIncluding14400)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    for (int speed : {1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600}) {
        ConnectionDef c = serialCnx();
        c.speed = speed;
        ASSERT_EQ(serial_connectPort(&c), STS_OK) << speed;
        EXPECT_EQ(comPort.portHandle, PORT_SERIAL);
        EXPECT_EQ(os_serialSpeed(comPort.fd.get()), speed);
        port_close();
    }
}

TEST_F(PortTest, RefusesParametersOutsideTheirSetsWith1052)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    struct Case {
        int speed, stopBits, parity, dataBit;
    } cases[] = {{300, 1, PARITY_NONE, 8}, {115200, 1, PARITY_NONE, 8}, {9600, 3, PARITY_NONE, 8},
                 {9600, 0, PARITY_NONE, 8}, {9600, 1, 0, 8},            {9600, 1, 4, 8},
                 {9600, 1, PARITY_EVEN, 0}};
    for (const Case& k : cases) {
        ConnectionDef c = serialCnx();
        c.speed = k.speed;
        c.stopBits = k.stopBits;
        c.parity = k.parity;
        c.dataBit = k.dataBit;
        EXPECT_EQ(serial_connectPort(&c), STS_BAD_COMM_PARAMS) << k.speed << " " << k.stopBits << " " << k.parity;
        // The port stays open until it is closed.
        EXPECT_NE(comPort.portHandle, PORT_CLOSED);
        port_close();
    }
    // Only the refused data size has a message.
    std::string log = logText();
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find("ERROR- ", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, 1u) << log;
    EXPECT_NE(log.find("ERROR- error setting com state"), std::string::npos);
}

TEST_F(PortTest, SecondOpenAndMissingConnectionAreRefused)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    EXPECT_EQ(serial_connectPort(&c), STS_PORT_OPEN_ERROR);
    port_close();
    EXPECT_EQ(serial_connectPort(nullptr), STS_PORT_OPEN_ERROR);
    std::string log = logText();
    EXPECT_NE(log.find("serial_connectPort: Error port already connected"), std::string::npos);
    EXPECT_NE(log.find("serial_connectPort: Error no active connection selected"), std::string::npos);
}

TEST_F(PortTest, MissingDeviceLeavesTheInvalidMarkUntilDisconnect)
{
    ConnectionDef c = serialCnx();
    c.comdev = "COM7";  // no devices/com7 and, here, no usable /dev/ttyS6
    PtyPeer peer;
    std::filesystem::create_directories(dir.file("devices"));
    std::filesystem::create_symlink(dir.file("nowhere"), dir.file("devices/com7"));
    debugTrace = true;
    EXPECT_EQ(serial_connectPort(&c), STS_PORT_OPEN_ERROR);
    EXPECT_EQ(comPort.portHandle, PORT_INVALID);
    EXPECT_NE(logText().find("Error openning com port lasterr="), std::string::npos);

    // Refused until the port record is cleared.
    peer.linkInto(dir.path().string());
    ConnectionDef good = serialCnx();
    EXPECT_EQ(serial_connectPort(&good), STS_PORT_OPEN_ERROR);
    NetworkDef net = networkOf(&c);
    net_disconnect(&net);
    EXPECT_EQ(comPort.portHandle, PORT_CLOSED);
    EXPECT_EQ(serial_connectPort(&good), STS_OK);
}

TEST_F(PortTest, BytesComeOutInOrderEachOnce)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    std::string sent;
    for (int i = 0; i < 3000; ++i) sent.push_back(static_cast<char>(i * 7 % 256));
    peer.start([&](test::PeerIo& io) { io.send(sent); });
    std::string got;
    unsigned char b;
    while (got.size() < sent.size() && get_next_char(1, &b) == STS_OK) got.push_back(static_cast<char>(b));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(get_next_char(0, &b), STS_TIMEOUT);
}

// The ring's edges: a refill that ends at the end of the ring, one that
// starts at 17999 and one at 17998 with room for two bytes.
TEST_F(PortTest, RefillsAtTheEndOfTheRingDeliverOnlyNewBytes)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    for (unsigned startPos : {17990u, 17999u, 17998u}) {
        port_clearRxRing();
        std::memset(comPort.rxRing, 'x', sizeof comPort.rxRing);  // stale bytes of an old exchange
        comPort.rxWritePos = startPos;
        comPort.rxReadPos = startPos;
        ASSERT_TRUE(port_rxRingEmpty());
        std::string sent = "0123456789ABCDEFGHIJ";
        peer.io.send(sent);
        std::string got;
        unsigned char b;
        while (got.size() < sent.size() && get_next_char(1, &b) == STS_OK) got.push_back(static_cast<char>(b));
        EXPECT_EQ(got, sent) << startPos;
        EXPECT_TRUE(port_rxRingEmpty()) << startPos;
        EXPECT_EQ(get_next_char(0, &b), STS_TIMEOUT) << startPos;
    }
}

TEST_F(PortTest, WaitforcharCountsHalfSecondRounds)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    struct Case {
        int timeout;
        long minMs, maxMs;
    } cases[] = {{0, 450, 900}, {1, 950, 1500}, {2, 1950, 2600}};
    for (const Case& k : cases) {
        auto t0 = Clock::now();
        EXPECT_EQ(waitforchar(k.timeout), STS_TIMEOUT);
        long ms = elapsedMs(t0);
        EXPECT_GE(ms, k.minMs) << k.timeout;
        EXPECT_LE(ms, k.maxMs) << k.timeout;
    }
    peer.io.send("A");
    EXPECT_EQ(waitforchar(1), STS_OK);
}

TEST_F(PortTest, StopFromAnotherThreadEndsAReadWithinARound)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    unsigned char b;
    Event stop(300, [] { stopRequested = true; });
    EXPECT_EQ(get_next_char(20, &b), STS_TIMEOUT);
    long ms = stop.msSince();
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, ROUND_MS + LOAD_MS);
}

// A peer that never pauses long enough for a quiet round: the stop, set by
// another thread without a wake-up (as nothing but the flag may tell),
// still ends the reads at the end of a round, on a serial line and on a
// socket alike.
TEST_F(PortTest, StopEndsReadsOfABusyLineWithinARound)
{
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "serial" : "tcp");
        std::atomic<bool> over{false};
        PtyPeer pty;
        TcpPeer host;
        // The peers stop before they are joined, whatever ends the case.
        struct Over {
            std::atomic<bool>& flag;
            ~Over() { flag = true; }
        } endPeers{over};
        auto chatter = [&over, serial](test::PeerIo& io) {
            while (!over && os_writeSome(io.fd(), "b", 1, !serial) != OS_IO_ERROR) os_sleepMs(2);
        };
        ConnectionDef c = serialCnx();
        if (serial) {
            std::filesystem::remove_all(dir.path() / "devices");
            pty.linkInto(dir.path().string());
            pty.start(chatter);
        } else {
            c.connectionType = CNX_TYPE_TCPIP;
            c.address = host.address();
            host.start(chatter);
        }
        // The stop of the case before ends any connection begun under it.
        stopRequested = false;
        ASSERT_EQ(link_opsOf(&c).openPort(&c), STS_OK);
        unsigned char b;
        long bytes = 0;
        auto t0 = Clock::now();
        int sts = STS_OK;
        long ms = -1;
        {
            Event stop(300, [] { stopRequested = true; });
            while ((sts = get_next_char(20, &b)) == STS_OK && elapsedMs(t0) < 5000) ++bytes;
            ms = stop.msSince();
        }
        over = true;
        EXPECT_EQ(sts, STS_TIMEOUT);
        EXPECT_GT(bytes, 20);
        EXPECT_GE(ms, 0);
        EXPECT_LE(ms, ROUND_MS + LOAD_MS);
        port_close();
        pty.join();
        host.join();
    }
}

TEST_F(PortTest, SignalsBecomeWindowMessagesDuringAWait)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    ASSERT_EQ(os_signalInstall(), 0);

    // SIGUSR2 toggles detailed messages and the wait goes on.
    unsigned char b;
    {
        Later toggle(100, [] { os_signalSelf(OS_EVENT_TOGGLE_DETAILED); });
        auto t0 = Clock::now();
        EXPECT_EQ(get_next_char(1, &b), STS_TIMEOUT);
        EXPECT_GE(elapsedMs(t0), 900);
    }
    EXPECT_TRUE(g_detailedMessages);
    EXPECT_FALSE(stopRequested);

    // SIGUSR1 cancels the current call: the read ends at once.
    {
        Event cancel(200, [] { os_signalSelf(OS_EVENT_CANCEL); });
        EXPECT_EQ(get_next_char(20, &b), STS_TIMEOUT);
        long ms = cancel.msSince();
        EXPECT_GE(ms, 0);
        EXPECT_LE(ms, LOAD_MS);
    }
    EXPECT_TRUE(stopRequested);
    EXPECT_TRUE(wakeFlag);
    EXPECT_FALSE(terminateRequested);

    // SIGTERM closes: stop, terminate and wake.
    stopRequested = false;
    {
        Later close(200, [] { os_signalSelf(OS_EVENT_CLOSE); });
        EXPECT_EQ(get_next_char(20, &b), STS_TIMEOUT);
    }
    EXPECT_TRUE(stopRequested);
    EXPECT_TRUE(terminateRequested);
}

std::vector<int> seenMessages;
void recordingProc(int message)
{
    seenMessages.push_back(message);
    pump_defaultWindowProc(message);
}

struct SourceState {
    int fd = -1;
    int calls = 0;
};
void readSource(void* context)
{
    auto* s = static_cast<SourceState*>(context);
    char buf[16];
    if (::read(s->fd, buf, sizeof buf) > 0) ++s->calls;
}

TEST_F(PortTest, WaitSecondsRunsTheTimerAndTheShellsSources)
{
    seenMessages.clear();
    pump_setWindowProc(recordingProc);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    SourceState state{fds[0], 0};
    ASSERT_EQ(pump_addSource(fds[0], readSource, &state), 0);

    auto t0 = Clock::now();
    {
        Later key(200, [&] { ASSERT_EQ(::write(fds[1], "k", 1), 1); });
        waitSeconds(1);
    }
    long ms = elapsedMs(t0);
    EXPECT_GE(ms, 950);
    EXPECT_LE(ms, 1000 + LOAD_MS);
    EXPECT_EQ(state.calls, 1);
    ASSERT_FALSE(seenMessages.empty());
    EXPECT_EQ(seenMessages.back(), MSG_TIMER);
    pump_removeSource(fds[0]);
    ::close(fds[0]);
    ::close(fds[1]);
}

// Runs waitSeconds(10) while `action` happens after 200 ms; returns the
// milliseconds from the action to the end of the wait (-1: it ended first).
long waitEndedAfter(std::function<void()> action)
{
    Event event(200, std::move(action));
    waitSeconds(10);
    return event.msSince();
}

TEST_F(PortTest, WaitSecondsEndsEarlyOnWakeAndSignals)
{
    long ms = waitEndedAfter([] {
        wakeFlag = true;
        pump_wake();
    });
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, LOAD_MS);

    // A wake flag set without a wake-up is seen within a round.
    ms = waitEndedAfter([] { wakeFlag = true; });
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, ROUND_MS + LOAD_MS);

    ASSERT_EQ(os_signalInstall(), 0);
    ms = waitEndedAfter([] { os_signalSelf(OS_EVENT_CLOSE, 1); });
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, LOAD_MS);
    EXPECT_TRUE(terminateRequested);
    EXPECT_TRUE(stopRequested);

    // SIGHUP is a close as well.
    terminateRequested = false;
    stopRequested = false;
    ms = waitEndedAfter([] { os_signalSelf(OS_EVENT_CLOSE, 2); });
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, LOAD_MS);
    EXPECT_TRUE(terminateRequested);

    // A wait clears an old wake flag first.
    stopRequested = false;
    terminateRequested = false;
    wakeFlag = true;
    auto t0 = Clock::now();
    waitSeconds(1);
    EXPECT_GE(elapsedMs(t0), 950);
}

// A wait entered with a stop or a Cancel already requested returns at once,
// the wake flag left as it was; a stop requested by another thread without
// a wake-up ends a running wait within a round. A hang-up's guard time runs
// whole all the same.
TEST_F(PortTest, WaitEnteredWithAStopReturnsAtOnceButAGuardTimeRunsWhole)
{
    stopRequested = true;
    wakeFlag = false;
    auto t0 = Clock::now();
    waitSeconds(10);
    EXPECT_LT(elapsedMs(t0), 100);
    EXPECT_FALSE(wakeFlag);

    t0 = Clock::now();
    port_guardTime(1);
    EXPECT_GE(elapsedMs(t0), 950);
    EXPECT_LE(elapsedMs(t0), 1400);

    stopRequested = false;
    t0 = Clock::now();
    {
        Later stop(200, [] { stopRequested = true; });
        waitSeconds(10);
    }
    EXPECT_LT(elapsedMs(t0), 1000);
}

// The signals' handler sets the flags of its message itself, before any
// wait dispatches it: a step that waits on nothing sees the stop.
TEST_F(PortTest, SignalsMarkTheStopWithoutAWait)
{
    ASSERT_EQ(pump_installSignals(), 0);
    struct Restore {
        ~Restore() { os_signalRestore(); }
    } restore;
    struct Case {
        unsigned char event;
        bool terminate;
    };
    for (Case c : {Case{OS_EVENT_CANCEL, false}, Case{OS_EVENT_CLOSE, true}}) {
        SCOPED_TRACE(static_cast<int>(c.event));
        stopRequested = false;
        terminateRequested = false;
        wakeFlag = false;
        ASSERT_EQ(os_signalSelf(c.event), 0);
        // The handler ran before kill returned (the signal was not blocked).
        EXPECT_TRUE(stopRequested);
        EXPECT_TRUE(wakeFlag);
        EXPECT_EQ(terminateRequested.load(), c.terminate);
        // The event waits in the pipe for the next wait, as before.
        EXPECT_EQ(pump_dispatchEvents(), 1);
    }
}

// The quit message of a stop message shown in window mode ends the wait
// that runs, or the next one, at once, and stops nothing.
TEST_F(PortTest, QuitMessageEndsOneWaitAndStopsNothing)
{
    pump_postQuit();
    EXPECT_TRUE(pump_quitPending());  // a box ends at once, leaving it posted
    EXPECT_TRUE(pump_quitPending());
    auto t0 = Clock::now();
    waitSeconds(10);
    EXPECT_LE(elapsedMs(t0), LOAD_MS);
    EXPECT_FALSE(pump_quitPending());
    long ms = waitEndedAfter([] { pump_postQuit(); });
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, LOAD_MS);
    EXPECT_FALSE(stopRequested);
    EXPECT_FALSE(terminateRequested);
    // Each quit ends one wait: the next one runs its time.
    t0 = Clock::now();
    waitSeconds(1);
    EXPECT_GE(elapsedMs(t0), 950);
}

TEST_F(PortTest, WritesArriveWholeEvenWhenThePeerReadsSlowly)
{
    PtyPeer peer;
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    std::string big(300000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    std::string got;
    peer.start([&](test::PeerIo& io) { got = io.readN(big.size(), 10000); });
    g_detailedMessages = true;
    EXPECT_EQ(serial_write(big.data(), big.size(), 10), STS_OK);
    peer.join();
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
    EXPECT_NE(logText().find("COM write  len=300000 <"), std::string::npos);
}

TEST_F(PortTest, AWriteThatCannotFinishFailsAfterItsTimeout)
{
    PtyPeer peer;  // never reads
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    std::string big(1 << 20, 'z');
    auto t0 = Clock::now();
    EXPECT_EQ(serial_write(big.data(), big.size(), 1), STS_WRITE_ERROR);
    long ms = elapsedMs(t0);
    EXPECT_GE(ms, 950);
    EXPECT_LE(ms, 2000);
}

// A stop ends a write to a peer that no longer reads, serial or TCP, the
// next time the write waits for room, long before its time-out, and nothing
// more is written (1053: part of it went out); under a stop a request
// writes nothing at all (1003),
// while the bytes that end an exchange (the EOT of a hang-up) still go.
TEST_F(PortTest, StopEndsAWriteThatWaitsForRoom)
{
    for (bool serial : {true, false}) {
        SCOPED_TRACE(serial ? "serial" : "tcp");
        PtyPeer pty;  // never reads
        TcpPeer host;
        std::atomic<bool> over{false};
        ConnectionDef c = serialCnx();
        if (serial) {
            std::filesystem::remove_all(dir.path() / "devices");
            pty.linkInto(dir.path().string());
        } else {
            c.connectionType = CNX_TYPE_TCPIP;
            c.address = host.address();
            host.start([&over](test::PeerIo&) {
                while (!over) os_sleepMs(10);
            });
        }
        stopRequested = false;
        ASSERT_EQ(link_opsOf(&c).openPort(&c), STS_OK);
        std::string big(5 << 20, 'z');
        auto t0 = Clock::now();
        {
            Later stop(300, [] { stopRequested = true; });
            EXPECT_EQ(serial_write(big.data(), big.size(), 20), STS_WRITE_ERROR);
        }
        long ms = elapsedMs(t0);
        EXPECT_GE(ms, 250);
        EXPECT_LT(ms, 1200);
        over = true;
        port_close();
        host.join();
    }
    // Under a stop, a request is not written at all; the end of an
    // exchange is.
    PtyPeer peer;
    std::filesystem::remove_all(dir.path() / "devices");
    peer.linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    stopRequested = true;
    EXPECT_EQ(serial_write("REQUEST", 7, 5), STS_INTERRUPTED);
    EXPECT_EQ(port_writeEnding("\x04", 1, 5), STS_OK);
    unsigned char got = 0;
    EXPECT_TRUE(peer.io.readByte(got, 1000));
    EXPECT_EQ(got, 0x04);
    EXPECT_FALSE(peer.io.readByte(got, 100));
}

TEST_F(PortTest, WriteWithoutAPortFailsAtOnce)
{
    EXPECT_EQ(serial_write("abc", 3, 5), STS_WRITE_ERROR);
    EXPECT_NE(logText().find("serial_write failed status = 0  lasterrror="), std::string::npos);
}

TEST_F(PortTest, AHungUpLineEndsReadsAtOnce)
{
    auto peer = std::make_unique<PtyPeer>();
    peer->linkInto(dir.path().string());
    ConnectionDef c = serialCnx();
    ASSERT_EQ(serial_connectPort(&c), STS_OK);
    peer->io.send("Z");
    unsigned char b;
    ASSERT_EQ(get_next_char(1, &b), STS_OK);
    peer.reset();  // the far end goes away
    auto t0 = Clock::now();
    EXPECT_EQ(get_next_char(10, &b), STS_TIMEOUT);
    EXPECT_EQ(get_next_char(10, &b), STS_TIMEOUT);
    EXPECT_LT(elapsedMs(t0), 1000);
}

// ---- TCP ----

TEST_F(PortTest, TcpConnectsReadsAndWritesOnLoopback)
{
    TcpPeer host;
    std::string fromDriver;
    host.start([&](test::PeerIo& io) {
        fromDriver = io.readN(5, 3000);
        io.send("hello");
    });
    ConnectionDef c;
    c.connectionType = CNX_TYPE_TCPIP;
    c.address = host.address();
    ASSERT_EQ(tcp_connectPort(&c), STS_OK);
    EXPECT_EQ(comPort.portHandle, PORT_TCP);
    EXPECT_EQ(tcpConn.hostName, "127.0.0.1");
    EXPECT_EQ(tcpConn.port, host.port());
    EXPECT_EQ(serial_write("12345", 5, 2), STS_OK);
    std::string got;
    unsigned char b;
    while (got.size() < 5 && get_next_char(2, &b) == STS_OK) got.push_back(static_cast<char>(b));
    host.join();
    host.closeConnection();
    EXPECT_EQ(fromDriver, "12345");
    EXPECT_EQ(got, "hello");
    // The host has closed: the next read ends at once.
    auto t0 = Clock::now();
    EXPECT_EQ(get_next_char(10, &b), STS_TIMEOUT);
    EXPECT_LT(elapsedMs(t0), 1000);
    // Sending to a closed peer fails without killing the process.
    std::string big(1 << 20, 'q');
    int sts = STS_OK;
    for (int i = 0; i < 5 && sts == STS_OK; ++i) sts = serial_write(big.data(), big.size(), 1);
    EXPECT_EQ(sts, STS_WRITE_ERROR);
}

// A send refused by a host that went away: 1053 as a short send, without
// the serial port's message, and the bytes are dumped as for any write.
TEST_F(PortTest, ATcpSendToAClosedHostFailsQuietlyAndIsDumped)
{
    TcpPeer host;
    host.start([](test::PeerIo&) {});
    ConnectionDef c;
    c.connectionType = CNX_TYPE_TCPIP;
    c.address = host.address();
    ASSERT_EQ(tcp_connectPort(&c), STS_OK);
    host.join();
    host.closeConnection();
    g_detailedMessages = true;
    int writes = 0;
    int sts = STS_OK;
    while (writes < 50 && sts == STS_OK) {
        sts = serial_write("ping", 4, 1);
        ++writes;
        os_sleepMs(20);
    }
    EXPECT_EQ(sts, STS_WRITE_ERROR);
    std::string log = logText();
    int dumps = 0;
    for (std::size_t at = 0; (at = log.find("IP write  len=4 <ping>", at)) != std::string::npos; ++at) ++dumps;
    EXPECT_EQ(dumps, writes);
    EXPECT_EQ(log.find("serial_write failed"), std::string::npos);
}

TEST_F(PortTest, TcpReadsTakeTheTimeoutAndStopRequests)
{
    TcpPeer host;
    host.start([&](test::PeerIo& io) { io.readN(1, 4000); });
    ConnectionDef c;
    c.connectionType = CNX_TYPE_TCPIP;
    c.address = host.address();
    ASSERT_EQ(tcp_connectPort(&c), STS_OK);
    unsigned char b;
    auto t0 = Clock::now();
    EXPECT_EQ(get_next_char(1, &b), STS_TIMEOUT);
    long ms = elapsedMs(t0);
    EXPECT_GE(ms, 950);
    EXPECT_LE(ms, 1000 + LOAD_MS);
    {
        Event stop(200, [] { stopRequested = true; });
        EXPECT_EQ(get_next_char(30, &b), STS_TIMEOUT);
        ms = stop.msSince();
    }
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, ROUND_MS + LOAD_MS);
    stopRequested = false;
    EXPECT_EQ(serial_write("x", 1, 1), STS_OK);
}

TEST_F(PortTest, TcpOpenFailuresGive1051)
{
    TcpPeer closed;
    std::string refused = closed.address();
    closed.closeListener();
    struct Case {
        std::optional<std::string> address;
        const char* printed;
    } cases[] = {
        {refused, "connect() failed"},
        {std::nullopt, nullptr},
        {std::string("127.0.0.1:70000"), "port out of range"},
        {std::string("127.0.0.1:-5"), "port out of range"},
        {std::string("127.0.0.1"), "connect() failed"},  // port 0
        {std::string("no-such-host.invalid:80"), "host 'no-such-host.invalid' unknown"},
    };
    for (const Case& k : cases) {
        ConnectionDef c;
        c.connectionType = CNX_TYPE_TCPIP;
        c.address = k.address;
        testing::internal::CaptureStdout();
        EXPECT_EQ(tcp_connectPort(&c), STS_PORT_OPEN_ERROR) << ini_text(k.address);
        std::string out = testing::internal::GetCapturedStdout();
        if (k.printed) {
            EXPECT_NE(out.find(k.printed), std::string::npos) << out;
        }
        EXPECT_EQ(comPort.portHandle, PORT_CLOSED);
        port_close();
    }
    std::string log = logText();
    EXPECT_NE(log.find("Error openning network connexion " + refused), std::string::npos);
}

TEST_F(PortTest, TcpConnectPrintsTheHostAndPort)
{
    TcpPeer host;
    host.start([](test::PeerIo&) {});
    ConnectionDef c;
    c.address = "localhost:" + std::to_string(host.port());
    testing::internal::CaptureStdout();
    ASSERT_EQ(tcp_connectPort(&c), STS_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("connect() to localhost port " + std::to_string(host.port())), std::string::npos);
}

}  // namespace
}  // namespace qzr
