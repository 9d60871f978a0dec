// The instance mutex as an abstract Unix-domain socket address.
#include "os/os_instance.h"

#include "os/os_wait.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
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

// Learns who holds the address: connects to it without blocking and reads
// the listener's credentials. Returns its (effective) user id, or -1 when
// it does not answer (it does not listen, or its queue is full). A holder
// between its bind and its listen refuses for an instant: it is asked
// again a few times.
long holderOf(const sockaddr_un& addr, socklen_t len)
{
    OsFd fd;
    for (int attempt = 0;; ++attempt) {
        fd = OsFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid()) return -1;
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) == 0) break;
        if (errno != ECONNREFUSED || attempt == 4) return -1;
        os_sleepMs(10);
    }
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || size != sizeof cred) return -1;
    return static_cast<long>(cred.uid);
}

}  // namespace

int os_instanceMutex(const std::string& name, OsFd& held, long* holder)
{
    if (holder) *holder = -1;
    OsFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
    // The holder listens, so that a newcomer can learn who it is. Nobody
    // accepts: each newcomer leaves one connection in the queue until the
    // holder ends, and the queue is long.
    if (::listen(fd.get(), SOMAXCONN) != 0) return errno;
    held = std::move(fd);
    return 0;
}

}  // namespace qzr
