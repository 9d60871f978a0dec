// Descriptors, polling and the monotonic clock: the Linux side of the waits.
// Every call here returns at once or within its time limit; none blocks a
// descriptor that was opened non-blocking.
#include "os/os_wait.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace qzr {

int os_poll(os_pollItem* items, std::size_t count, int timeoutMs)
{
    pollfd local[8];
    std::vector<pollfd> heap;
    pollfd* fds = local;
    if (count > 8) {
        heap.resize(count);
        fds = heap.data();
    }
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = items[i].fd;
        fds[i].events = static_cast<short>(((items[i].events & OS_POLL_IN) ? POLLIN : 0) |
                                           ((items[i].events & OS_POLL_OUT) ? POLLOUT : 0));
        fds[i].revents = 0;
        items[i].revents = 0;
    }
    int n = ::poll(fds, count, timeoutMs < 0 ? -1 : timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    for (std::size_t i = 0; i < count; ++i) {
        short r = 0;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP)) r |= OS_POLL_IN;
        if (fds[i].revents & POLLOUT) r |= OS_POLL_OUT;
        if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) r |= OS_POLL_ERR;
        items[i].revents = r;
    }
    return n;
}

std::int64_t os_monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void os_sleepMs(int ms)
{
    if (ms <= 0) return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int os_msUntil(std::int64_t deadlineMs)
{
    std::int64_t left = deadlineMs - os_monotonicMs();
    if (left <= 0) return 0;
    if (left > INT_MAX) return INT_MAX;
    return static_cast<int>(left);
}

long os_readSome(int fd, void* buf, std::size_t len)
{
    for (;;) {
        ssize_t n = ::read(fd, buf, len);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return OS_IO_AGAIN;
        return OS_IO_ERROR;
    }
}

long os_writeSome(int fd, const void* buf, std::size_t len, bool isSocket)
{
    for (;;) {
        ssize_t n = isSocket ? ::send(fd, buf, len, MSG_NOSIGNAL) : ::write(fd, buf, len);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return OS_IO_AGAIN;
        return OS_IO_ERROR;
    }
}

long os_inputCount(int fd)
{
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

}  // namespace qzr
