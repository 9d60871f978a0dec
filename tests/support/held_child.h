// A forked child that does one thing as it starts (as another user, say),
// reports its result, and keeps what it made (descriptors, a bound name)
// until the object is destroyed; and the abstract Unix-domain address such
// a child binds or connects to.
#pragma once

#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qzr::test {

// Fills `addr` with the abstract address `name` and returns its length.
inline socklen_t abstractAddress(const std::string& name, sockaddr_un& addr)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

class HeldChild {
public:
    // Runs `body` (returning an int) in a forked child, which reports its
    // result and then waits until this object is destroyed. The body makes
    // only system calls: the test program may have threads.
    template <typename F>
    explicit HeldChild(F&& body)
    {
        int report[2], hold[2];
        if (::pipe2(report, O_CLOEXEC) != 0) return;
        if (::pipe2(hold, O_CLOEXEC) != 0) {
            ::close(report[0]);
            ::close(report[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(report[0]);
            ::close(hold[1]);
            const int result = body();
            ssize_t n = ::write(report[1], &result, sizeof result);
            (void)n;
            char c;
            while (::read(hold[0], &c, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(hold[0]);
        holdFd_ = hold[1];
        if (::read(report[0], &result_, sizeof result_) != sizeof result_) result_ = -1;
        ::close(report[0]);
    }
    ~HeldChild()
    {
        if (holdFd_ >= 0) ::close(holdFd_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    HeldChild(const HeldChild&) = delete;
    HeldChild& operator=(const HeldChild&) = delete;

    // What the body returned, -1 when the child could not report it.
    int result() const { return result_; }

private:
    pid_t pid_ = -1;
    int holdFd_ = -1;
    int result_ = -1;
};

}  // namespace qzr::test
