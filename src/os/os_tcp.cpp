// TCP client sockets: getaddrinfo and a non-blocking connect.
#include "os/os_tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qzr {

int os_tcpStart(const char* host, int port, os_tcpError* err)
{
    os_tcpError local;
    if (!err) err = &local;
    *err = {};

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

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || !found) {
        ::close(fd);
        *err = {OS_TCP_RESOLVE, rc};
        if (found) ::freeaddrinfo(found);
        return -1;
    }
    sockaddr_in peer{};
    std::memcpy(&peer, found->ai_addr, sizeof peer);
    ::freeaddrinfo(found);
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

void os_tcpShutdownSend(int fd)
{
    ::shutdown(fd, SHUT_WR);
}

const char* os_tcpResolveText(int code)
{
    return code == 0 ? "" : ::gai_strerror(code);
}

}  // namespace qzr
