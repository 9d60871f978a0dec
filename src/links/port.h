// The port layer: the system's one open link and the timed waits.
//
// One static record, `comPort`, holds the link of the whole system: a serial
// port (direct line, modem, DATAPAC access) or a TCP socket (`tcpConn`);
// its `portHandle` tells which, and the reads and writes act on that.
// Received bytes come out one at a time, in the order received and each
// once, from a receive ring of RESP_BUF_SIZE bytes, refilled in blocks. Every
// read takes its time-out per byte, ends within a round (500 ms) of a stop
// request, however busy the line, and within the limit of the answer it
// belongs to; every write is written whole or fails within its time-out, and
// nothing is written once a stop is requested (save the bytes that hang a
// line up). A line found lost stays lost until its port is opened anew. The
// waits dispatch the window's
// messages (links/msg_pump.h) and end at a stop, except the guard times of
// a hang-up. Everything runs on the worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "config/config.h"
#include "foundation/buffers.h"
#include "os/os_fd.h"

namespace qzr {

constexpr std::size_t RX_RING_SIZE = RESP_BUF_SIZE;

// Values of `portHandle`.
enum : long {
    PORT_CLOSED = 0,    // no link open
    PORT_INVALID = -1,  // a serial open failed; cleared by net_disconnect
    PORT_SERIAL = 1,    // a serial port is open (`comPort.fd`)
    PORT_TCP = 2,       // a TCP socket is open (`tcpConn.socket`)
};

struct ComPort {
    long portHandle = PORT_CLOSED;
    unsigned char rxRing[RX_RING_SIZE] = {};
    unsigned rxWritePos = 0;          // where the next refill writes
    unsigned rxReadPos = 0;           // the next byte to deliver
    OsFd fd;                          // the serial port's descriptor
    bool lineLost = false;            // end of file or a read error: nothing more will come
};
extern ComPort comPort;

struct TcpConn {
    OsFd socket;
    std::string hostPort;   // the connection's address: host, ':', port
    std::string hostName;   // the host part
    int port = 0;           // the number after the colon (0 without one)
    int connectTimeout = 0; // seconds allowed for the connection
};
extern TcpConn tcpConn;

// The time-outs of the links, in seconds, as the protocol and the modem
// expect them. Tests shorten them; nothing else changes them.
struct LinkTimeouts {
    int protocolWrite = 20;   // each write of a dialog's request or control byte, the EOT of a hang-up
    int responseByte = 20;    // each byte of a response after its STX
    int lrcByte = 10;         // the LRC after ETX
    int errorPause = 1;       // pause after an unexpected byte before the response
    int modemResetWrite = 2;  // each byte of the modem reset
    int modemWrite = 3;       // modem commands, "+++", the hang-up string, script texts
    int modemReply = 3;       // the modem's OK, the rest of the CONNECT line
    int modemPause = 1;       // between reset tries, around "+++", DTR low
    int waitforRead = 1;      // each read of net_waitfor
    int tcpConnect = DEFAULT_CONNECTION_TIMEOUT;  // a TCP connection whose connectionTimeout is 0
};
extern LinkTimeouts g_linkTimeouts;

// Opens the link of connection `cnx` on the serial device of its `comdev`.
// Returns 0, 1051 (STS_PORT_OPEN_ERROR) or 1052 (STS_BAD_COMM_PARAMS). A
// failure after the device was opened leaves it open; net_disconnect closes
// it. The link must be closed: an open one is refused with 1051
// ("serial_connectPort: Error port already connected"), as is no connection.
[[nodiscard]] int serial_connectPort(const ConnectionDef* cnx);

// Opens the link of connection `cnx` as a TCP connection to its `address`
// (tcp_connect). Returns 0 or 1051, refusing an open link and no connection
// as serial_connectPort does.
[[nodiscard]] int tcp_connectPort(const ConnectionDef* cnx);

// Connects `conn.socket` to the host and port of `conn.hostPort`. Returns 0
// or -1; the failure is printed (standard output, or the log while the
// status window holds the terminal).
[[nodiscard]] int tcp_connect(TcpConn& conn);

// The device opened for a `comdev`: `<ExeDir>/devices/<name in lower case>`
// when that entry exists, else /dev/ttyS<n-1> for COMn, else the devices
// entry (which then fails to open).
std::string port_devicePath(const char* comdev);

// Delivers the next received byte through `c`. Waits at most `timeout`
// seconds of silence before each refill. Returns 0, or 1002 (STS_TIMEOUT)
// when nothing came, the link is lost (the line is then marked lost), the
// answer's limit has passed (port_setAnswerLimit), or a stop was requested:
// a quiet read ends at the end of its waiting round, and reads of a busy
// line at the end of the current round of reading (500 ms), whatever the
// peer sends.
[[nodiscard]] int get_next_char(int timeout, unsigned char* c);

// Starts a new round of reading. A wait for a text starts one of its own,
// so that a peer answering a command sent after a stop request (the OK of a
// hang-up) is still heard within that round.
void port_startRound();

// Waits until the serial port has received bytes: 2 x `timeout` rounds of
// 500 ms (at least one), dispatching messages. Returns 0, or 1002 after the
// rounds or on a stop request.
[[nodiscard]] int waitforchar(int timeout);

// Writes the whole buffer within `timeout` seconds; a partial write goes on
// until all is written. The stop is looked at just before every block goes
// out: once one is requested nothing more is written; a stop also ends a
// wait for room. Returns 0, 1003 (STS_INTERRUPTED: the stop came before the
// first byte, nothing was written) or 1053 (STS_WRITE_ERROR: not all of it
// was written).
[[nodiscard]] int serial_write(const void* buf, std::size_t length, int timeout);

// As serial_write, for the bytes that end an exchange (the Common
// Protocol's ACK of an answer received and its EOT, the modem's escape and
// hang-up string): they go out also after a stop was requested, which only
// ends a wait for room. Returns 0 or 1053.
int port_writeEnding(const void* buf, std::size_t length, int timeout);

// Waits `seconds`, dispatching messages, until the time has passed,
// `wakeFlag` is set (by the timer, Cancel, Exit, Close or a wake-up), a stop
// is requested, or a quit message was posted (before the wait or during
// it). Entered with a stop already requested, it returns at once.
void waitSeconds(unsigned seconds);

// Waits `seconds`, dispatching messages, the whole time whatever the flags
// say: the guard time of a line signal (the silence around a modem's
// escape, a dropped DTR), which a hang-up after a stop needs as much as any.
void port_guardTime(unsigned seconds);

// What port_discardReceived returns for a line found lost.
constexpr long PORT_LINE_LOST = -1;

// Sees each discarded byte, in the order received.
using DiscardObserver = std::function<void(unsigned char)>;

// Discards what the link received and has not delivered: the bytes left in
// the receive ring and those waiting on the serial port or the socket, each
// shown to `seen` (when given). When nothing waits it returns at once;
// when something did, it reads on until the line has been quiet for 100 ms
// (2 s at most, ended by a stop). Empties the ring. Returns how many bytes
// were discarded, or PORT_LINE_LOST when the line was lost or the host has
// closed (an end of file or a read error, now or before): nothing can be
// sent on it.
long port_discardReceived(const DiscardObserver& seen = {});

// Puts `b` into the receive ring, to be delivered after what it holds.
void port_putBack(unsigned char b);

// Whether the line is lost: a read found an end of file (the host closed,
// the device hung up) or an error. Cleared when a port is opened or closed.
bool port_lineLost();

// Limits the answer being read to `seconds` from `fromMs` (a time of
// os_monotonicMs; 0: now): once they have passed, get_next_char ends with
// 1002 whatever the line sends, and no read waits past them.
// port_clearAnswerLimit lifts the limit.
void port_setAnswerLimit(int seconds, std::int64_t fromMs = 0);
void port_clearAnswerLimit();

// Lifts the answer's limit when it leaves its scope.
struct PortAnswerScope {
    PortAnswerScope() = default;
    PortAnswerScope(const PortAnswerScope&) = delete;
    PortAnswerScope& operator=(const PortAnswerScope&) = delete;
    ~PortAnswerScope() { port_clearAnswerLimit(); }
};

// The seconds (rounded up) that `bytes` take at the speed of `cnx`'s line,
// each with its start, data, parity and stop bits; a connection without a
// speed (TCP/IP) counts as 9600 bits a second, 10 bits a byte.
int port_transferSeconds(const ConnectionDef* cnx, long bytes);

// Empties the receive ring: both positions 0, every byte 0.
void port_clearRxRing();

// Closes whatever the port record holds (serial port, socket, or the mark of
// a failed open) and sets `portHandle` to 0.
void port_close();

// Whether the receive ring holds no undelivered byte.
bool port_rxRingEmpty();

}  // namespace qzr
