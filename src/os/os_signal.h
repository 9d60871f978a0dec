// The process's event pipe: how signals and other threads reach the waits.
//
// Signal handlers and other threads only write one byte per event into a
// pipe (a self-pipe); the waits poll its read end and turn the bytes into
// window commands. The signals that stop the run (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGALRM: os_stopSignals) are "close"; SIGUSR1 "cancel the current
// call", SIGUSR2 "toggle detailed messages". Writing never blocks: when the pipe is full the event is dropped, the ones already
// queued still wake the wait.
#pragma once

#include <cstddef>
#include <span>

namespace qzr {

enum : unsigned char {
    OS_EVENT_WAKE = 0,            // nothing to do but look at the flags again
    OS_EVENT_CLOSE = 1,           // SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM
    OS_EVENT_CANCEL = 2,          // SIGUSR1
    OS_EVENT_TOGGLE_DETAILED = 3, // SIGUSR2
};

// The read end of the event pipe, made on first use (non-blocking,
// close-on-exec); -1 when it cannot be made.
int os_eventFd();

// Queues one event. Safe in a signal handler and from any thread.
void os_eventPost(unsigned char code);

// Takes up to `max` queued events without blocking. Returns their count.
std::size_t os_eventTake(unsigned char* out, std::size_t max);

// What a handler does before it queues its event, so that a step that
// dispatches nothing (a write, a name look-up, a transfer) sees the signal
// at its next look: `close` for a signal that stops the run, `cancel` for
// SIGUSR1. Each must be async-signal-safe (store lock-free atomics only).
// Either may be null.
struct os_signalActions {
    void (*close)() = nullptr;
    void (*cancel)() = nullptr;
};

// The signals that stop the run: SIGINT, SIGTERM, SIGHUP, SIGQUIT and
// SIGALRM (the last two would otherwise end the process with the terminal
// left raw). The event pipe takes them as "close", the service's control
// dispatcher as a stop.
std::span<const int> os_stopSignals();

// Routes the stop signals, SIGUSR1 and SIGUSR2 into the event pipe
// (sigaction, SA_RESTART), the handler calling its action of `actions`
// first; a SIGHUP that the starter set to ignored (nohup) stays ignored.
// Returns 0, or -1 when the pipe or a handler cannot be set.
int os_signalInstall(const os_signalActions& actions = {});

// Sends this process the signal of an event: OS_EVENT_CLOSE SIGTERM (or
// SIGINT, SIGHUP with `variant` 1, 2), OS_EVENT_CANCEL SIGUSR1,
// OS_EVENT_TOGGLE_DETAILED SIGUSR2. Returns 0 or -1 (tests, and the shell's
// own commands).
int os_signalSelf(unsigned char event, int variant = 0);

// Puts back the actions these signals had before `os_signalInstall`.
void os_signalRestore();

// Watches the terminal's size: installs a SIGWINCH handler that first calls
// the handler found installed (the screen library's, which notes the new
// size), then makes the returned descriptor readable. Returns the read end
// of its pipe (non-blocking, close-on-exec), or -1 when it cannot be made.
int os_resizeWatch();

// Takes what made the descriptor of `os_resizeWatch` readable.
void os_resizeTake();

// Puts back the SIGWINCH handler found by `os_resizeWatch`.
void os_resizeUnwatch();

}  // namespace qzr
