// The port layer: opening the one link, the receive ring, timed reads and
// writes, and the timed wait.
//
// What must always hold: bytes leave the ring exactly in the order received
// and each once; a refill never writes past the end of the ring; no read or
// write blocks the worker longer than its time-out; a read ends within one
// round (500 ms) of a stop request, however busy the line.
#include "links/port.h"

#include <algorithm>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/activity.h"
#include "foundation/ascii.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "links/msg_pump.h"
#include "os/os_file.h"
#include "os/os_serial.h"
#include "os/os_tcp.h"
#include "os/os_wait.h"

namespace qzr {

ComPort comPort;
TcpConn tcpConn;
LinkTimeouts g_linkTimeouts;

namespace {

constexpr int ROUND_MS = 500;
constexpr std::size_t TCP_BLOCK = 1000;
// The discard before a request on a kept link: the silence that ends it,
// and its longest time.
constexpr int DISCARD_QUIET_MS = 100;
constexpr int DISCARD_MAX_MS = 2000;

// The end of the current round of reading, on the monotonic clock. Rounds
// follow each other while the line is read, whether bytes come or not, so a
// peer that keeps talking cannot hold a read past the end of a round once a
// stop is requested.
std::int64_t readRoundEnd = 0;

// The end of the answer being read, on the monotonic clock; 0 for none.
std::int64_t answerDeadline = 0;

// Whether the answer's whole time has run out at `now`.
bool answerTimeOver(std::int64_t now)
{
    return answerDeadline != 0 && now >= answerDeadline;
}

// Whether the read ends before its next byte: a stop is requested and the
// current round has ended (an ended round is otherwise followed by the next
// one), or the answer's whole time has run out, however busy the line. One
// look at the clock per byte.
bool readEndsNow()
{
    const std::int64_t now = os_monotonicMs();
    if (now >= readRoundEnd) {
        if (stop_requested()) return true;
        readRoundEnd = now + ROUND_MS;
    }
    return answerTimeOver(now);
}

// Prints a connection trace on standard output, or into the log while the
// status window holds the terminal.
[[gnu::format(printf, 1, 2)]] void lnk_print(const char* fmt, ...)
{
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (hMainWnd && os_isTerminal(OS_STDOUT)) {
        log_write(LOG_INFO, "%s", text);
    } else {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
}

// The descriptor of the open link, or -1.
int linkFd()
{
    if (comPort.portHandle == PORT_SERIAL) return comPort.fd.get();
    if (comPort.portHandle == PORT_TCP) return tcpConn.socket.get();
    return -1;
}

// Waits for `fd` to become readable: 2 x `timeout` rounds of 500 ms (at
// least one), dispatching messages, and no longer than the answer's whole
// time allows. Returns 0 when readable, else 1002.
int waitReadable(int fd, int timeout)
{
    int rounds = timeout > 0 ? 2 * timeout : 0;
    for (;;) {
        pump_peekMessages();
        std::int64_t roundEnd = os_monotonicMs() + ROUND_MS;
        if (answerDeadline != 0 && answerDeadline < roundEnd) roundEnd = answerDeadline;
        int r = PUMP_TIMEOUT;
        for (;;) {
            r = pump_wait(fd, PUMP_IN, os_msUntil(roundEnd));
            if (r == PUMP_READY) {
                if (debugTrace) {
                    log_write(LOG_INFO, "o COMMAND structure signaled");
                    log_write(LOG_INFO, "eventMask = %lX ", 1UL);
                    log_append("ev_RXCHAR ");
                }
                return STS_OK;
            }
            if (r == PUMP_MESSAGES && stop_requested()) break;
            if (r == PUMP_TIMEOUT) break;
        }
        if (debugTrace)
            log_write(LOG_INFO, "waitfor(): timeout or other error sts=%d delai=%d", r, rounds);
        --rounds;
        if (rounds <= 0 || stop_requested() || answerTimeOver(os_monotonicMs())) return STS_TIMEOUT;
    }
}

// Hands out the byte at the read position.
int deliver(unsigned char* c)
{
    unsigned char b = comPort.rxRing[comPort.rxReadPos];
    if (g_detailedMessages) log_dump(LOG_COM_IN, nullptr, &b, 1);
    *c = b;
    comPort.rxReadPos = (comPort.rxReadPos + 1) % RX_RING_SIZE;
    return STS_OK;
}

int nothingReceived(int sts)
{
    if (debugTrace) log_write(LOG_INFO, " get_next_char buffer still empty sts= %d ", sts);
    return STS_TIMEOUT;
}

// Refills the ring from the socket: up to 1000 bytes at its start.
int tcpRefill(int timeout, unsigned char* c)
{
    comPort.rxReadPos = 0;
    comPort.rxWritePos = 0;
    int fd = tcpConn.socket.get();
    if (comPort.lineLost || fd < 0) return nothingReceived(0);
    for (;;) {
        int sts = waitReadable(fd, timeout);
        if (sts != STS_OK) return nothingReceived(sts);
        long n = os_readSome(fd, comPort.rxRing, TCP_BLOCK);
        if (n == OS_IO_AGAIN) continue;
        if (n <= 0) {
            comPort.lineLost = true;
            return nothingReceived(0);
        }
        comPort.rxWritePos = static_cast<unsigned>(n);
        return deliver(c);
    }
}

// Refills the ring from the serial port, in blocks of what its input queue
// holds, up to the room left before the end of the ring.
int serialRefill(int timeout, unsigned char* c)
{
    int fd = comPort.fd.get();
    if (comPort.lineLost || fd < 0) return nothingReceived(0);
    for (;;) {
        int sts = waitforchar(timeout);
        if (sts != STS_OK) {
            if (debugTrace) log_write(LOG_INFO, "waitforchar sts= %d ", sts);
            activity_update();
            return nothingReceived(sts);
        }
        if (comPort.rxWritePos >= RX_RING_SIZE - 1) {
            comPort.rxWritePos = 0;
            comPort.rxReadPos = 0;
        }
        std::size_t room = RX_RING_SIZE - comPort.rxWritePos;
        long queued = os_inputCount(fd);
        std::size_t count = room;
        if (queued < 0) {
            log_write(LOG_ERROR, "readcom(): ClearCommError fails LastErr=%ld", static_cast<long>(errno));
        } else if (queued > 0) {
            count = static_cast<std::size_t>(queued);
            if (count > room) {
                count = room;
                if (debugTrace) log_write(LOG_INFO, "readcom(): %d only bytes can be read", static_cast<int>(room));
            }
        }
        // An empty queue on a readable port still needs a read: it tells a
        // line that hung up (end of file) from a spurious wake-up.
        long n = os_readSome(fd, comPort.rxRing + comPort.rxWritePos, count);
        if (n == OS_IO_AGAIN) continue;
        if (n <= 0) {
            unsigned err = n == 0 ? 0U : static_cast<unsigned>(errno);
            log_write(LOG_ERROR, "COM read error <CE-%u>", err);
            comPort.lineLost = true;
            return nothingReceived(0);
        }
        comPort.rxWritePos += static_cast<unsigned>(n);
        return deliver(c);
    }
}

// The start of every open: the one link must be free and a connection
// given. Returns 0 or 1051.
int claimPort(const ConnectionDef* cnx)
{
    activity_update();
    if (comPort.portHandle != PORT_CLOSED) {
        log_write(LOG_ERROR, "serial_connectPort: Error port already connected");
        return STS_PORT_OPEN_ERROR;
    }
    if (!cnx) {
        log_write(LOG_ERROR, "serial_connectPort: Error no active connection selected");
        return STS_PORT_OPEN_ERROR;
    }
    comPort.lineLost = false;
    return STS_OK;
}

}  // namespace

std::string port_devicePath(const char* comdev)
{
    std::string name = comdev ? comdev : "";
    std::string lower = name;
    for (char& ch : lower) ch = asciiLower(ch);
    std::string dir = ExeDir.empty() ? std::string("devices") : ExeDir + "/devices";
    std::string link = dir + "/" + lower;
    os_fileInfo info;
    if (!lower.empty() && os_pathInfo(link.c_str(), false, info) == 0) return link;
    if (lower.size() > 3 && lower.compare(0, 3, "com") == 0) {
        char* end = nullptr;
        errno = 0;
        long n = std::strtol(lower.c_str() + 3, &end, 10);
        if (errno == 0 && end && *end == '\0' && n >= 1 && n <= 256 &&
            lower[3] >= '0' && lower[3] <= '9')
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return link;
}

int tcp_connect(TcpConn& conn)
{
    conn.socket.reset();
    std::size_t colon = conn.hostPort.find(':');
    conn.hostName = conn.hostPort.substr(0, colon);
    conn.port = 0;
    bool portOk = true;
    if (colon != std::string::npos) {
        // Read as atoi reads: blanks, a sign, digits; anything else ends it.
        const char* p = conn.hostPort.c_str() + colon + 1;
        errno = 0;
        long v = std::strtol(p, nullptr, 10);
        if (errno != 0 || v < 0 || v > 65535) portOk = false;
        conn.port = (v >= 0 && v <= 65535) ? static_cast<int>(v) : -1;
    }
    if (!portOk) {
        lnk_print("\n<%s> Error: %s ErrNum=%d\n", conn.hostPort.c_str(), "port out of range", EINVAL);
        return -1;
    }

    // The name is looked up and the connection completes while the wait
    // dispatches messages, within the connection's time: a resolver that
    // never answers, a Cancel or a Close ends them.
    int seconds = conn.connectTimeout > 0 ? conn.connectTimeout : g_linkTimeouts.tcpConnect;
    std::int64_t deadline = os_monotonicMs() + static_cast<std::int64_t>(seconds) * 1000;
    os_tcpError err;
    OsTcpLookup lookup;
    bool started = lookup.start(conn.hostName.c_str(), &err);
    while (started && !lookup.done() && !stop_requested() && os_msUntil(deadline) > 0)
        pump_wait(lookup.fd(), PUMP_IN, os_msUntil(deadline));
    // A look-up given up is a host not found, or a connection interrupted.
    if (started && !lookup.done())
        err = stop_requested() ? os_tcpError{OS_TCP_CONNECT, EINTR} : os_tcpError{OS_TCP_RESOLVE, 0};
    OsFd fd(started && lookup.done() ? lookup.connect(conn.port, &err) : -1);
    if (!fd.valid()) {
        if (err.stage == OS_TCP_SOCKET) {
            lnk_print("\n<%s> Error: %s ErrNum=%d\n", conn.hostPort.c_str(), "socket() failed", err.code);
        } else if (err.stage == OS_TCP_RESOLVE) {
            lnk_print("host '%s' unknown\n", conn.hostName.c_str());
            lnk_print("\nError: %s\n", "");
        } else {
            lnk_print("\n<%s> Error: %s ErrNum=%d\n", conn.hostName.c_str(), "connect() failed", err.code);
        }
        return -1;
    }

    int result = ETIMEDOUT;
    for (;;) {
        int r = pump_wait(fd.get(), PUMP_OUT, os_msUntil(deadline));
        if (r == PUMP_READY) {
            result = os_tcpFinish(fd.get(), &err);
            break;
        }
        if (stop_requested()) {
            result = EINTR;
            break;
        }
        if (os_msUntil(deadline) == 0) break;
    }
    if (result != 0) {
        lnk_print("\n<%s> Error: %s ErrNum=%d\n", conn.hostName.c_str(), "connect() failed", result);
        return -1;
    }
    lnk_print("connect() to %s port %d\n", conn.hostName.c_str(), conn.port);
    conn.socket = std::move(fd);
    return 0;
}

int tcp_connectPort(const ConnectionDef* cnx)
{
    if (int sts = claimPort(cnx); sts != STS_OK) return sts;
    tcpConn.socket.reset();
    tcpConn = TcpConn{};
    // A connection without an address has nothing to connect to.
    bool connected = false;
    if (cnx->address) {
        tcpConn.hostPort = *cnx->address;
        tcpConn.connectTimeout = cnx->connectionTimeout;
        connected = tcp_connect(tcpConn) == 0;
    }
    if (!connected) {
        log_write(LOG_ERROR, "Error openning network connexion %s", ini_text(cnx->address));
        return STS_PORT_OPEN_ERROR;
    }
    comPort.portHandle = PORT_TCP;
    return STS_OK;
}

int serial_connectPort(const ConnectionDef* cnx)
{
    if (int sts = claimPort(cnx); sts != STS_OK) return sts;
    std::string path = port_devicePath(ini_text(cnx->comdev));
    int fd = os_serialOpen(path.c_str());
    if (fd < 0) {
        comPort.portHandle = PORT_INVALID;
        if (debugTrace) log_write(LOG_ERROR, "Error openning com port lasterr=%ld ", static_cast<long>(errno));
        return STS_PORT_OPEN_ERROR;
    }
    comPort.fd.reset(fd);
    comPort.portHandle = PORT_SERIAL;

    if (os_serialSpeed(fd) < 0) {
        log_write(LOG_ERROR, "Error getting com state");
        return STS_PORT_OPEN_ERROR;
    }
    switch (cnx->speed) {
    case 1200: case 2400: case 4800: case 9600: case 14400: case 19200: case 38400: case 57600: break;
    default: return STS_BAD_COMM_PARAMS;
    }
    os_serialSettings s;
    s.speed = cnx->speed;
    s.dataBits = cnx->dataBit;
    if (cnx->stopBits != 1 && cnx->stopBits != 2) return STS_BAD_COMM_PARAMS;
    s.stopBits = cnx->stopBits;
    switch (cnx->parity) {
    case PARITY_NONE: s.parity = OS_PARITY_NONE; break;
    case PARITY_ODD: s.parity = OS_PARITY_ODD; break;
    case PARITY_EVEN: s.parity = OS_PARITY_EVEN; break;
    default: return STS_BAD_COMM_PARAMS;
    }
    s.ctsFlow = true;
    s.carrierWatch = true;
    int rc = os_serialConfigure(fd, s);
    if (rc == OS_SERIAL_GET_FAILED) {
        log_write(LOG_ERROR, "Error getting com state");
        return STS_PORT_OPEN_ERROR;
    }
    if (rc != OS_SERIAL_OK) {
        log_write(LOG_ERROR, "error setting com state");
        return STS_BAD_COMM_PARAMS;
    }
    return STS_OK;
}

bool port_rxRingEmpty()
{
    return comPort.rxReadPos == comPort.rxWritePos % RX_RING_SIZE;
}

int get_next_char(int timeout, unsigned char* c)
{
    // Looked at whether or not bytes are waiting: a quiet line ends the read
    // on a stop within its waiting round below, a busy one here.
    // A peer that keeps sending cannot stretch an answer past its limit.
    if (readEndsNow()) return nothingReceived(0);
    if (!port_rxRingEmpty()) return deliver(c);
    if (comPort.portHandle == PORT_TCP) return tcpRefill(timeout, c);
    return serialRefill(timeout, c);
}

void port_startRound()
{
    readRoundEnd = os_monotonicMs() + ROUND_MS;
}

int waitforchar(int timeout)
{
    return waitReadable(linkFd(), timeout);
}

namespace {

// Writes the whole buffer within `timeout` seconds. A stop requested ends
// the write the next time it must wait for room, and, when `stopEndsAll`,
// before any block is written. Returns 0, 1003 (a stop came before the
// first byte: nothing was written) or 1053 (not all was written).
int writeWhole(const void* buf, std::size_t length, int timeout, bool stopEndsAll)
{
    if (length > 1) activity_update();
    const auto* bytes = static_cast<const unsigned char*>(buf);
    int fd = linkFd();
    bool isSocket = comPort.portHandle == PORT_TCP;
    std::int64_t deadline = os_monotonicMs() + static_cast<std::int64_t>(timeout > 0 ? timeout : 0) * 1000;
    std::size_t written = 0;
    int status = STS_OK;
    while (written < length) {
        // Looked at just before the bytes go out: once a stop is requested,
        // not one more byte of a request, a frame or a retransmission.
        if (stopEndsAll && stop_requested()) {
            if (g_detailedMessages) log_write(LOG_INFO, "Stop requested, %zu bytes not sent", length - written);
            // Part of the buffer is out: the peer may act on it.
            if (written > 0) {
                status = STS_WRITE_ERROR;
                break;
            }
            return STS_INTERRUPTED;
        }
        long n = fd < 0 ? OS_IO_ERROR : os_writeSome(fd, bytes + written, length - written, isSocket);
        if (fd < 0) errno = EBADF;
        if (n == OS_IO_ERROR && isSocket) {
            // A socket that sends fewer bytes than asked: no message of its
            // own, the bytes are dumped as for any write.
            status = STS_WRITE_ERROR;
            break;
        }
        if (n == OS_IO_ERROR) {
            log_write(LOG_ERROR, "serial_write failed status = %d  lasterrror=%ld", 0, static_cast<long>(errno));
            return STS_WRITE_ERROR;
        }
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        // The output queue is full (flow control, a slow line, a host that
        // no longer reads): wait for room until the time-out, in rounds, so
        // that a stop ends the write between its blocks. Writes dispatch no
        // messages: a signal's handler makes the stop request itself. A
        // stop that came since the look above is told as that look tells
        // it: nothing written is a claim not sent.
        if (stopEndsAll && stop_requested()) continue;
        int left = os_msUntil(deadline);
        if (left == 0 || stop_requested()) {
            status = STS_WRITE_ERROR;
            break;
        }
        os_pollItem item{fd, OS_POLL_OUT, 0};
        os_poll(&item, 1, left < ROUND_MS ? left : ROUND_MS);
    }
    if (g_detailedMessages) log_dump(LOG_COM_OUT, isSocket ? "IP write " : "COM write ", buf, length);
    return status;
}

}  // namespace

int serial_write(const void* buf, std::size_t length, int timeout)
{
    return writeWhole(buf, length, timeout, true);
}

int port_writeEnding(const void* buf, std::size_t length, int timeout)
{
    return writeWhole(buf, length, timeout, false);
}

void waitSeconds(unsigned seconds)
{
    std::int64_t deadline = os_monotonicMs() + static_cast<std::int64_t>(seconds) * 1000;
    activity_update();
    // A stop already requested ends the wait before it begins: whatever it
    // waited for (a pause before a NAK, a retry) belongs to a call that is
    // over.
    if (stop_requested()) return;
    wakeFlag = false;
    // The timer's message ends the wait, and so does a stop, or a quit
    // message posted before or during it; rounds of 500 ms also notice a
    // flag set by another thread without a wake-up.
    while (!wakeFlag && !stop_requested()) {
        if (pump_takeQuit()) break;
        int left = os_msUntil(deadline);
        if (left == 0) {
            pump_dispatch(MSG_TIMER);
            break;
        }
        pump_wait(-1, 0, left < ROUND_MS ? left : ROUND_MS);
    }
}

void port_guardTime(unsigned seconds)
{
    std::int64_t deadline = os_monotonicMs() + static_cast<std::int64_t>(seconds) * 1000;
    activity_update();
    for (int left = os_msUntil(deadline); left > 0; left = os_msUntil(deadline)) pump_wait(-1, 0, left);
}

long port_discardReceived(const DiscardObserver& seen)
{
    long discarded = 0;
    while (!port_rxRingEmpty()) {
        if (seen) seen(comPort.rxRing[comPort.rxReadPos]);
        comPort.rxReadPos = (comPort.rxReadPos + 1) % RX_RING_SIZE;
        ++discarded;
    }
    port_clearRxRing();
    if (comPort.lineLost) return PORT_LINE_LOST;
    int fd = linkFd();
    if (fd < 0) return discarded;
    // What waits, and, when something did, what is still on its way after
    // it (a frame larger than the socket's buffer comes in pieces): read
    // until the line has been quiet a moment. Nothing waiting costs no wait.
    // A peer that keeps sending holds the request back no longer than
    // DISCARD_MAX_MS, nor past a stop.
    unsigned char scratch[TCP_BLOCK];
    const std::int64_t giveUp = os_monotonicMs() + DISCARD_MAX_MS;
    while (!stop_requested()) {
        long n = os_readSome(fd, scratch, sizeof scratch);
        if (n > 0) {
            discarded += n;
            if (seen)
                for (long i = 0; i < n; ++i) seen(scratch[i]);
            if (os_monotonicMs() < giveUp) continue;
            break;
        }
        if (n != OS_IO_AGAIN) {
            // An end of file or a read error: the host closed, the line is lost.
            comPort.lineLost = true;
            return PORT_LINE_LOST;
        }
        if (discarded == 0) break;
        int quiet = std::min(DISCARD_QUIET_MS, os_msUntil(giveUp));
        if (quiet <= 0 || pump_wait(fd, PUMP_IN, quiet) == PUMP_TIMEOUT) break;
    }
    return discarded;
}

void port_putBack(unsigned char b)
{
    comPort.rxRing[comPort.rxWritePos % RX_RING_SIZE] = b;
    comPort.rxWritePos = (comPort.rxWritePos + 1) % RX_RING_SIZE;
}

bool port_lineLost()
{
    return comPort.lineLost;
}

void port_setAnswerLimit(int seconds, std::int64_t fromMs)
{
    if (fromMs == 0) fromMs = os_monotonicMs();
    answerDeadline = fromMs + static_cast<std::int64_t>(seconds > 0 ? seconds : 0) * 1000;
}

void port_clearAnswerLimit()
{
    answerDeadline = 0;
}

int port_transferSeconds(const ConnectionDef* cnx, long bytes)
{
    int speed = cnx && cnx->speed > 0 ? cnx->speed : 9600;
    int dataBits = cnx && cnx->dataBit >= 5 && cnx->dataBit <= 8 ? cnx->dataBit : 8;
    int parity = cnx && (cnx->parity == PARITY_ODD || cnx->parity == PARITY_EVEN) ? 1 : 0;
    int stop = cnx && cnx->stopBits == 2 ? 2 : 1;
    long long bits = static_cast<long long>(bytes > 0 ? bytes : 0) * (1 + dataBits + parity + stop);
    return static_cast<int>((bits + speed - 1) / speed);
}

void port_clearRxRing()
{
    comPort.rxWritePos = 0;
    comPort.rxReadPos = 0;
    std::memset(comPort.rxRing, 0, sizeof comPort.rxRing);
}

void port_close()
{
    if (comPort.fd.valid()) os_serialRelease(comPort.fd.get());
    comPort.fd.reset();
    tcpConn.socket.reset();
    comPort.portHandle = PORT_CLOSED;
    comPort.lineLost = false;
}

}  // namespace qzr
