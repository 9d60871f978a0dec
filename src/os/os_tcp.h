// TCP client sockets for the link layer.
//
// The host's name is looked up on a thread of its own (`OsTcpLookup`) and
// the connection started without blocking; the caller waits for each with
// its own deadline and message pump, then asks for the outcome
// (`os_tcpFinish`). Sockets are IPv4 stream
// sockets, non-blocking and close-on-exec; sends use MSG_NOSIGNAL
// (os_writeSome).
#pragma once

#include <memory>

namespace qzr {

// Which step of a connection failed.
enum : int {
    OS_TCP_NONE = 0,
    OS_TCP_SOCKET = 1,   // socket() failed; code = errno
    OS_TCP_RESOLVE = 2,  // the host name is unknown; code = getaddrinfo's code
    OS_TCP_CONNECT = 3,  // connect() failed; code = errno
};

struct os_tcpError {
    int stage = OS_TCP_NONE;
    int code = 0;
};

// One name look-up (getaddrinfo, the first IPv4 address), run on a thread
// of its own so that the caller waits for it with its own deadline and
// message pump: a resolver that never answers holds nobody. Destroyed
// before it has ended, the look-up is given up: its thread finishes alone
// and frees what it holds.
class OsTcpLookup {
public:
    OsTcpLookup();
    ~OsTcpLookup();
    OsTcpLookup(const OsTcpLookup&) = delete;
    OsTcpLookup& operator=(const OsTcpLookup&) = delete;

    // Starts looking `host` up. Returns false, with `err` filled in, when
    // the look-up cannot be started.
    bool start(const char* host, os_tcpError* err);
    // A descriptor that becomes readable when the look-up has ended; -1
    // before `start`.
    int fd() const;
    // Whether the look-up has ended.
    bool done() const;
    // Once it has ended: creates a socket and starts the connection to the
    // address found, at `port` (0 to 65535). Returns the descriptor, with
    // the connection established or in progress, or -1 with `err` filled
    // in (OS_TCP_RESOLVE when the name was not found).
    int connect(int port, os_tcpError* err);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The outcome of a started connection once the socket is writable: 0 when
// connected, else the error number (also stored in `err` as OS_TCP_CONNECT).
int os_tcpFinish(int fd, os_tcpError* err);

// Listens on 127.0.0.1 at *port, or at a port the kernel chooses (stored in
// *port) when *port is 0.
// Returns the listening descriptor (non-blocking, close-on-exec) or -1.
// Used by the tests' hosts.
int os_tcpListenLoopback(int* port);

// Accepts one connection within `timeoutMs`. Returns its descriptor
// (blocking, close-on-exec) or -1.
int os_tcpAccept(int listenFd, int timeoutMs);

}  // namespace qzr
