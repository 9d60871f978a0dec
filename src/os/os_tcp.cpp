// TCP client sockets: getaddrinfo on a thread of its own and a
// non-blocking connect.
#include "os/os_tcp.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <thread>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qzr {

struct OsTcpLookup::State {
    std::string host;
    int pipe[2] = {-1, -1};       // the thread writes one byte into [1] when it has ended
    std::atomic<bool> ended{false};
    int code = 0;                 // getaddrinfo's result
    sockaddr_in address{};        // the first IPv4 address found

    ~State()
    {
        for (int fd : pipe)
            if (fd >= 0) ::close(fd);
    }

    void run()
    {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc == 0 && !found) rc = EAI_NONAME;
        if (rc == 0) std::memcpy(&address, found->ai_addr, sizeof address);
        if (found) ::freeaddrinfo(found);
        code = rc;
        ended.store(true, std::memory_order_release);
        unsigned char byte = 1;
        ssize_t n = ::write(pipe[1], &byte, 1);
        (void)n;
    }
};

OsTcpLookup::OsTcpLookup() = default;

// The thread keeps its own share of the state: a look-up given up here
// finishes on its own.
OsTcpLookup::~OsTcpLookup() = default;

bool OsTcpLookup::start(const char* host, os_tcpError* err)
{
    os_tcpError local;
    if (!err) err = &local;
    *err = {};
    auto state = std::make_shared<State>();
    state->host = host ? host : "";
    if (::pipe2(state->pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *err = {OS_TCP_SOCKET, errno};
        return false;
    }
    try {
        std::thread([state] { state->run(); }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the look-up runs here, as it would without one.
        state->run();
    }
    state_ = std::move(state);
    return true;
}

int OsTcpLookup::fd() const
{
    return state_ ? state_->pipe[0] : -1;
}

bool OsTcpLookup::done() const
{
    return state_ && state_->ended.load(std::memory_order_acquire);
}

int OsTcpLookup::connect(int port, os_tcpError* err)
{
    os_tcpError local;
    if (!err) err = &local;
    *err = {};
    if (!done() || state_->code != 0) {
        *err = {OS_TCP_RESOLVE, done() ? state_->code : EAI_AGAIN};
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = {OS_TCP_SOCKET, errno};
        return -1;
    }
    if (port < 0 || port > 65535) {
        ::close(fd);
        *err = {OS_TCP_CONNECT, EINVAL};
        return -1;
    }
    sockaddr_in peer = state_->address;
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));

    if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        *err = {OS_TCP_CONNECT, errno};
        ::close(fd);
        return -1;
    }
    return fd;
}

int os_tcpFinish(int fd, os_tcpError* err)
{
    int soErr = 0;
    socklen_t len = sizeof soErr;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
    if (soErr == 0) {
        // Writable without an error can still mean "not yet" on a spurious
        // wake-up: a connected socket has a peer.
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) soErr = ENOTCONN;
    }
    if (soErr != 0 && err) *err = {OS_TCP_CONNECT, soErr};
    return soErr;
}

int os_tcpListenLoopback(int* port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port && *port > 0 ? *port : 0));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        return -1;
    }
    if (port) *port = ntohs(addr.sin_port);
    return fd;
}

int os_tcpAccept(int listenFd, int timeoutMs)
{
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

}  // namespace qzr
