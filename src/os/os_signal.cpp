// The self-pipe of signals and wake-ups, and the pipe of the terminal's size.
// The handlers do nothing but call their async-signal-safe action and write one byte
// with write(2), which is async-signal-safe (the size's after calling the
// handler it chains to), and keep errno.
#include "os/os_signal.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace qzr {

namespace {

std::atomic<int> pipeRead{-1};
std::atomic<int> pipeWrite{-1};
std::once_flag pipeOnce;

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM};
// The stop signals, then the cancel and the toggle of detailed messages.
constexpr auto handledSignals = [] {
    std::array<int, std::size(stopSignals) + 2> all{};
    std::size_t i = 0;
    for (int sig : stopSignals) all[i++] = sig;
    all[i++] = SIGUSR1;
    all[i] = SIGUSR2;
    return all;
}();
struct sigaction savedActions[handledSignals.size()];
bool installed = false;

os_signalActions actionsSet;

void act(void (*action)())
{
    if (action) action();
}

void makePipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    pipeRead.store(fds[0]);
    pipeWrite.store(fds[1]);
}

void onSignal(int sig)
{
    int saved = errno;
    unsigned char code = OS_EVENT_WAKE;
    switch (sig) {
    case SIGUSR1:
        code = OS_EVENT_CANCEL;
        act(actionsSet.cancel);
        break;
    case SIGUSR2: code = OS_EVENT_TOGGLE_DETAILED; break;
    default:
        code = OS_EVENT_CLOSE;
        act(actionsSet.close);
        break;
    }
    int fd = pipeWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        ssize_t n = ::write(fd, &code, 1);
        (void)n;
    }
    errno = saved;
}

// The terminal's size: its pipe and the handler it chains to.
int resizePipe[2] = {-1, -1};
struct sigaction resizeChained {};
bool resizeWatched = false;

void onResize(int sig, siginfo_t* info, void* context)
{
    int saved = errno;
    if (resizeChained.sa_flags & SA_SIGINFO) {
        if (resizeChained.sa_sigaction) resizeChained.sa_sigaction(sig, info, context);
    } else if (resizeChained.sa_handler != SIG_DFL && resizeChained.sa_handler != SIG_IGN) {
        resizeChained.sa_handler(sig);
    }
    if (resizePipe[1] >= 0) {
        unsigned char code = 0;
        ssize_t n = ::write(resizePipe[1], &code, 1);
        (void)n;
    }
    errno = saved;
}

}  // namespace

int os_eventFd()
{
    std::call_once(pipeOnce, makePipe);
    return pipeRead.load();
}

void os_eventPost(unsigned char code)
{
    // In a signal handler the pipe already exists (os_signalInstall made it);
    // from a thread, make it first.
    int fd = pipeWrite.load(std::memory_order_relaxed);
    if (fd < 0) {
        os_eventFd();
        fd = pipeWrite.load();
    }
    if (fd < 0) return;
    int saved = errno;
    ssize_t n = ::write(fd, &code, 1);
    (void)n;
    errno = saved;
}

std::size_t os_eventTake(unsigned char* out, std::size_t max)
{
    int fd = os_eventFd();
    if (fd < 0 || max == 0) return 0;
    for (;;) {
        ssize_t n = ::read(fd, out, max);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR) continue;
        return 0;
    }
}

std::span<const int> os_stopSignals()
{
    return stopSignals;
}

int os_signalInstall(const os_signalActions& actions)
{
    if (os_eventFd() < 0) return -1;
    if (installed) return 0;
    actionsSet = actions;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    std::size_t i = 0;
    for (int sig : handledSignals) {
        // A hang-up that the starter ignored (nohup) stays ignored.
        if (sig == SIGHUP && ::sigaction(sig, nullptr, &savedActions[i]) == 0 &&
            savedActions[i].sa_handler == SIG_IGN) {
            ++i;
            continue;
        }
        if (::sigaction(sig, &sa, &savedActions[i]) != 0) {
            while (i > 0) {
                --i;
                ::sigaction(handledSignals[i], &savedActions[i], nullptr);
            }
            return -1;
        }
        ++i;
    }
    installed = true;
    return 0;
}

int os_signalSelf(unsigned char event, int variant)
{
    int sig = 0;
    switch (event) {
    case OS_EVENT_CLOSE: sig = variant == 1 ? SIGINT : variant == 2 ? SIGHUP : SIGTERM; break;
    case OS_EVENT_CANCEL: sig = SIGUSR1; break;
    case OS_EVENT_TOGGLE_DETAILED: sig = SIGUSR2; break;
    default: return -1;
    }
    return ::kill(::getpid(), sig);
}

void os_signalRestore()
{
    if (!installed) return;
    std::size_t i = 0;
    for (int sig : handledSignals) ::sigaction(sig, &savedActions[i++], nullptr);
    installed = false;
}

int os_resizeWatch()
{
    if (resizeWatched) return resizePipe[0];
    if (resizePipe[0] < 0 && ::pipe2(resizePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        resizePipe[0] = resizePipe[1] = -1;
        return -1;
    }
    struct sigaction sa {};
    sa.sa_sigaction = onResize;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_SIGINFO;
    if (::sigaction(SIGWINCH, &sa, &resizeChained) != 0) return -1;
    resizeWatched = true;
    return resizePipe[0];
}

void os_resizeTake()
{
    unsigned char buf[64];
    while (resizePipe[0] >= 0 && ::read(resizePipe[0], buf, sizeof buf) > 0) {
    }
}

void os_resizeUnwatch()
{
    if (!resizeWatched) return;
    ::sigaction(SIGWINCH, &resizeChained, nullptr);
    resizeWatched = false;
}

}  // namespace qzr
