// The signals of service mode: how the service manager's controls reach the
// process.
//
// In service mode the process's main thread is the control dispatcher: it
// blocks the control signals before any other thread exists (so every thread
// it starts inherits the mask and none of them is interrupted) and takes them
// one at a time with sigwait. systemd stops the service with SIGTERM; the
// other signals that stop the run (os_stopSignals: SIGINT, SIGHUP when the
// terminal of a foreground `qzr -s` closed, SIGQUIT, SIGALRM) stop it too,
// except a SIGHUP that the starter set to ignored (nohup); SIGTSTP pauses,
// SIGCONT continues, SIGUSR1 asks for the status and SIGUSR2 carries a
// user-defined control. A private real-time
// signal sent to the dispatcher thread alone wakes it to look at the
// service's state again.
#pragma once

namespace qzr {

// What `os_serviceSignalWait` took.
enum : int {
    OS_SVC_WAKE = 0,        // the private wake-up signal
    OS_SVC_TERMINATE = 1,   // SIGTERM, SIGQUIT, SIGALRM
    OS_SVC_INTERRUPT = 2,   // SIGINT
    OS_SVC_TSTP = 3,        // SIGTSTP
    OS_SVC_CONT = 4,        // SIGCONT
    OS_SVC_USR1 = 5,        // SIGUSR1
    OS_SVC_USR2 = 6,        // SIGUSR2
    OS_SVC_HANGUP = 7,      // SIGHUP
    OS_SVC_NONE = 8,        // none came in the time given
};

// Blocks the control signals and the wake-up signal in the calling thread,
// which becomes the dispatcher. Returns 0 or the error number.
int os_serviceSignalsBlock();

// Waits for one of the blocked signals. Returns its OS_SVC_ value, or -1
// with the error number in `*err` when the wait failed.
int os_serviceSignalWait(int* err);

// As `os_serviceSignalWait`, for at most `timeoutMs`: OS_SVC_NONE when no
// signal came in that time.
int os_serviceSignalWaitFor(int timeoutMs, int* err);

// Wakes the dispatcher's wait (OS_SVC_WAKE); nothing before
// `os_serviceSignalsBlock`. Safe from any thread.
void os_serviceWake();

}  // namespace qzr
