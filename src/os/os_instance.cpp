// The instance mutex as an abstract Unix-domain socket address.
#include "os/os_instance.h"

#include "os/os_wait.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <string>
#include <system_error>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace qzr {

namespace {

// The bytes of an abstract address after its leading NUL.
constexpr std::size_t ABSTRACT_MAX = sizeof(sockaddr_un{}.sun_path) - 1;

// FNV-1a, 64 bits: a digest that keeps long names apart.
std::uint64_t digest(const std::string& s)
{
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

// The name as it is bound: unchanged when it fits, else its beginning, '#'
// and the digest in 16 hexadecimal digits.
std::string boundName(const std::string& name)
{
    if (name.size() <= ABSTRACT_MAX) return name;
    char tail[24];
    std::snprintf(tail, sizeof tail, "#%016llx", static_cast<unsigned long long>(digest(name)));
    return name.substr(0, ABSTRACT_MAX - std::strlen(tail)) + tail;
}

// How long a newcomer waits for room in a holder's queue that another
// process keeps filling.
constexpr int PROBE_WAIT_SECONDS = 2;

// Learns who holds the address: connects to it and reads the listener's
// credentials, which the kernel hands over with the connection. Returns its
// (effective) user id, or -1 when it does not answer (it does not listen,
// or its queue stays full). A holder between its bind and its listen
// refuses for an instant: it is asked again a few times.
long holderOf(const sockaddr_un& addr, socklen_t len)
{
    OsFd fd;
    for (int attempt = 0;; ++attempt) {
        fd = OsFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return -1;
        // A full queue makes the connection wait for room, up to this.
        timeval wait{PROBE_WAIT_SECONDS, 0};
        if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0) return -1;
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0) break;
        if (errno != ECONNREFUSED || attempt == 4) return -1;
        os_sleepMs(10);
    }
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return -1;
    return static_cast<long>(cred.uid);
}

// The holder's answering thread: takes every connection as it comes and
// closes it at once (the newcomer has already learnt who holds the name),
// until `stopFd` is written. A connection that cannot be taken for want of
// descriptors is taken a moment later.
void answerNewcomers(int listenFd, int stopFd)
{
    pollfd items[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (::poll(items, 2, -1) < 0 && errno != EINTR) return;
        if (items[1].revents != 0) return;
        if (items[0].revents == 0) continue;
        for (;;) {
            int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                ::close(c);
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                (void)::poll(&items[1], 1, 100);
            break;
        }
    }
}

}  // namespace

OsInstanceMutex& OsInstanceMutex::operator=(OsInstanceMutex&& other) noexcept
{
    if (this != &other) {
        reset();
        socket_ = std::move(other.socket_);
        stop_ = std::move(other.stop_);
        answering_ = std::move(other.answering_);
    }
    return *this;
}

void OsInstanceMutex::reset()
{
    if (answering_.joinable()) {
        const std::uint64_t one = 1;
        ssize_t n = ::write(stop_.get(), &one, sizeof one);
        (void)n;
        answering_.join();
    }
    stop_.reset();
    socket_.reset();
}

int os_instanceMutex(const std::string& name, OsInstanceMutex& held, long* holder)
{
    if (holder) *holder = -1;
    OsFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return errno;

    std::string bound = boundName(std::to_string(::getuid()) + "/" + name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    addr.sun_path[0] = '\0';
    std::memcpy(addr.sun_path + 1, bound.data(), bound.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + bound.size());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        if (errno != EADDRINUSE) return errno;
        long uid = holderOf(addr, len);
        if (holder) *holder = uid;
        return uid == static_cast<long>(::geteuid()) ? EEXIST : EACCES;
    }
    // The holder listens, so that a newcomer can learn who it is, and its
    // thread answers each one at once.
    if (::listen(fd.get(), SOMAXCONN) != 0) return errno;
    OsFd stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop.valid()) return errno;
    // The thread takes none of the process's signals: they stay with the
    // threads that wait for them.
    sigset_t all, before;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    OsInstanceMutex taken;
    try {
        taken.answering_ = std::thread(answerNewcomers, fd.get(), stop.get());
    } catch (const std::system_error& e) {
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return e.code().value();
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    taken.socket_ = std::move(fd);
    taken.stop_ = std::move(stop);
    held = std::move(taken);
    return 0;
}

}  // namespace qzr
