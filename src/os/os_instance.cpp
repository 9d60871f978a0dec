// The instance mutex as an abstract Unix-domain socket address.
#include "os/os_instance.h"

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

}  // namespace

int os_instanceMutex(const std::string& name, OsFd& held)
{
    OsFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return errno;

    std::string bound = boundName(std::to_string(::getuid()) + "/" + name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    addr.sun_path[0] = '\0';
    std::memcpy(addr.sun_path + 1, bound.data(), bound.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + bound.size());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0)
        return errno == EADDRINUSE ? EEXIST : errno;
    held = std::move(fd);
    return 0;
}

}  // namespace qzr
