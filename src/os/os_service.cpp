// sigwait for the service's control dispatcher.
#include "os/os_service.h"

#include "os/os_signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace qzr {

namespace {

std::atomic<bool> dispatcherKnown{false};
pthread_t dispatcher;
// A hang-up the starter ignored (nohup) is no control: it stays ignored.
bool hangupIgnored = false;

int wakeSignal()
{
    return SIGRTMIN;
}

void controlSet(sigset_t* set)
{
    sigemptyset(set);
    for (int sig : os_stopSignals())
        if (sig != SIGHUP || !hangupIgnored) sigaddset(set, sig);
    for (int sig : {SIGTSTP, SIGCONT, SIGUSR1, SIGUSR2}) sigaddset(set, sig);
    sigaddset(set, wakeSignal());
}

}  // namespace

int os_serviceSignalsBlock()
{
    struct sigaction hup {};
    hangupIgnored = ::sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler == SIG_IGN;
    sigset_t set;
    controlSet(&set);
    if (int err = pthread_sigmask(SIG_BLOCK, &set, nullptr); err != 0) return err;
    dispatcher = pthread_self();
    dispatcherKnown.store(true);
    return 0;
}

namespace {

int controlOfSignal(int sig)
{
    if (sig == wakeSignal()) return OS_SVC_WAKE;
    switch (sig) {
    case SIGINT: return OS_SVC_INTERRUPT;
    case SIGTSTP: return OS_SVC_TSTP;
    case SIGCONT: return OS_SVC_CONT;
    case SIGUSR1: return OS_SVC_USR1;
    case SIGUSR2: return OS_SVC_USR2;
    case SIGHUP: return OS_SVC_HANGUP;
    default: break;
    }
    // The other stop signals (SIGTERM, SIGQUIT, SIGALRM) end the service alike.
    for (int stop : os_stopSignals())
        if (sig == stop) return OS_SVC_TERMINATE;
    return OS_SVC_WAKE;
}

}  // namespace

int os_serviceSignalWait(int* err)
{
    sigset_t set;
    controlSet(&set);
    int sig = 0;
    if (int e = sigwait(&set, &sig); e != 0) {
        if (err) *err = e;
        return -1;
    }
    return controlOfSignal(sig);
}

int os_serviceSignalWaitFor(int timeoutMs, int* err)
{
    sigset_t set;
    controlSet(&set);
    timespec limit{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    int sig = sigtimedwait(&set, nullptr, &limit);
    if (sig < 0) {
        if (errno == EAGAIN || errno == EINTR) return OS_SVC_NONE;
        if (err) *err = errno;
        return -1;
    }
    return controlOfSignal(sig);
}

void os_serviceWake()
{
    if (!dispatcherKnown.load()) return;
    pthread_kill(dispatcher, wakeSignal());
}

}  // namespace qzr
