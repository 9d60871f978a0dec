// The terminal given back when the process dies of a signal. The handler
// uses write(2), tcsetattr(3), sigaction(2) and raise(3) only, all
// async-signal-safe, and data fixed before it was installed.
#include "os/os_crash.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <termios.h>
#include <unistd.h>

namespace qzr {

namespace {

int terminalFd = -1;
struct termios savedSettings {};
char escapeBytes[256];
std::size_t escapeLength = 0;

// The actions found at arming, by signal number; which ones the guard took.
struct sigaction previousActions[NSIG];
volatile sig_atomic_t guarded[NSIG];
bool armed = false;

// The signals whose default ends the process and that no other handler of
// the driver takes (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1 and
// SIGUSR2 are the event pipe's), the real-time ones included.
bool isGuarded(int sig)
{
    switch (sig) {
    case SIGSEGV:
    case SIGBUS:
    case SIGFPE:
    case SIGILL:
    case SIGABRT:
    case SIGTRAP:
    case SIGSYS:
    case SIGXCPU:
    case SIGXFSZ:
    case SIGPIPE:
    case SIGVTALRM:
    case SIGPROF:
    case SIGIO:
    case SIGPWR:
    case SIGSTKFLT: return true;
    default: return sig >= SIGRTMIN && sig <= SIGRTMAX;
    }
}

// Set once the terminal was given back: a second deadly signal (the abort
// of a handler that took the first) must not leave the alternate screen
// again, which would move the cursor back over what was written since.
volatile sig_atomic_t givenBack = 0;

void onDeadlySignal(int sig)
{
    int saved = errno;
    if (terminalFd >= 0 && !givenBack) {
        givenBack = 1;
        std::size_t done = 0;
        while (done < escapeLength) {
            ssize_t n = ::write(terminalFd, escapeBytes + done, escapeLength - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        ::tcsetattr(terminalFd, TCSANOW, &savedSettings);
    }
    // The action of before (the default, as a rule) takes the signal again
    // once this handler has returned: the process dies of it.
    if (sig > 0 && sig < NSIG && guarded[sig]) {
        ::sigaction(sig, &previousActions[sig], nullptr);
    } else {
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(sig, &dfl, nullptr);
    }
    ::raise(sig);
    errno = saved;
}

}  // namespace

int os_crashGuardSave(int fd)
{
    if (::tcgetattr(fd, &savedSettings) != 0) {
        terminalFd = -1;
        return errno;
    }
    terminalFd = fd;
    return 0;
}

int os_crashGuardArm(const std::string& escapes)
{
    if (armed) return 0;
    givenBack = 0;
    escapeLength = escapes.size() < sizeof escapeBytes ? escapes.size() : sizeof escapeBytes;
    std::memcpy(escapeBytes, escapes.data(), escapeLength);

    struct sigaction sa {};
    sa.sa_handler = onDeadlySignal;
    sigemptyset(&sa.sa_mask);
    // A process of the background may still set the terminal.
    sigaddset(&sa.sa_mask, SIGTTOU);
    sa.sa_flags = SA_ONSTACK;
    for (int sig = 1; sig < NSIG; ++sig) {
        guarded[sig] = 0;
        if (!isGuarded(sig)) continue;
        struct sigaction found {};
        if (::sigaction(sig, nullptr, &found) != 0) continue;
        if (!(found.sa_flags & SA_SIGINFO) && found.sa_handler == SIG_IGN) continue;
        previousActions[sig] = found;
        guarded[sig] = 1;
        if (::sigaction(sig, &sa, nullptr) != 0) guarded[sig] = 0;
    }
    armed = true;
    return 0;
}

void os_crashGuardDisarm()
{
    if (!armed) return;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (!guarded[sig]) continue;
        guarded[sig] = 0;
        // A signal that another part of the driver has taken since (SIGIO
        // ignored for the leases) keeps what it was given.
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) == 0 && !(now.sa_flags & SA_SIGINFO) && now.sa_handler == onDeadlySignal)
            ::sigaction(sig, &previousActions[sig], nullptr);
    }
    terminalFd = -1;
    armed = false;
}

}  // namespace qzr
