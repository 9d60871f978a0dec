// The computer's name, the parent process and resource limits.
#include "os/os_proc.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>

namespace qzr {

std::string os_hostName(std::size_t maxLen)
{
    std::array<char, 256> name{};
    if (gethostname(name.data(), name.size() - 1) != 0) return {};
    std::string s(name.data());
    if (s.size() > maxLen) s.resize(maxLen);
    return s;
}

int os_processId()
{
    return static_cast<int>(getpid());
}

int os_parentPid()
{
    return static_cast<int>(getppid());
}

bool os_processExists(int pid)
{
    if (pid <= 0) return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

int os_programPath(int pid, std::string& path)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlink(link, buf.data(), buf.size());
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            path = buf;
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

int os_standardFilesOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: the one that is closed.
        int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) return errno;
        if (opened != fd) {
            ::close(opened);
            return EBADF;
        }
    }
    return 0;
}

int os_setFileSizeLimit(long bytes)
{
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGXFSZ, &sa, nullptr) != 0) return errno;
    struct rlimit rl {};
    rl.rlim_cur = static_cast<rlim_t>(bytes);
    rl.rlim_max = RLIM_INFINITY;
    if (getrlimit(RLIMIT_FSIZE, &rl) == 0) rl.rlim_cur = static_cast<rlim_t>(bytes);
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) return errno;
    return 0;
}

}  // namespace qzr
