// The status window's message queue, as the waits of the link layer see it.
//
// Messages reach the driver only inside its waits (`waitSeconds`,
// `waitforchar` and the reads built on them): each wait polls the process's
// event pipe (signals, wake-ups from other threads) and the sources the shell
// adds (the terminal's keys), and hands every message to the window
// procedure. Signals become window messages: the signals that stop the run
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM) are MSG_CLOSE, SIGUSR1
// MSG_CANCEL, SIGUSR2 MSG_DETAILED_MESSAGES. The default window procedure
// makes the stop requests (foundation/stop.h); the shell installs its own,
// which may call the default for these messages.
#pragma once

namespace qzr {

// Messages dispatched to the window procedure, numbered as the window's.
enum : int {
    MSG_CLOSE = 16,                // close the window: stop, terminate, wake
    MSG_TIMER = 275,               // the wait timer ran out: wake
    MSG_CANCEL = 100,              // "Cancel current call": stop, wake
    MSG_DETAILED_MESSAGES = 1001,  // toggle detailed messages
};

using WindowProc = void (*)(int message);

// Acts on a message: MSG_CLOSE stops the run (stop_run), MSG_CANCEL the
// call (stop_call); MSG_TIMER sets `wakeFlag`; MSG_DETAILED_MESSAGES inverts
// `g_detailedMessages`. Other messages are ignored.
void pump_defaultWindowProc(int message);

// Routes the signals into the event pipe (os_signalInstall), their handler
// making the stop request of their message at once, as the default window
// procedure would: so a step that dispatches nothing (a write, a name
// look-up, an HTTPS transfer) sees a stop at its next look, and a wait
// entered afterwards returns at once. Returns 0 or -1.
int pump_installSignals();

// Dispatches the events already queued on the event pipe (signals,
// wake-ups) without waiting and without the shell's sources: what came
// after the last wait, once the worker has ended. Returns their count.
int pump_dispatchEvents();

// Installs the window procedure (null: the default one).
void pump_setWindowProc(WindowProc proc);

// Hands a message to the window procedure at once.
void pump_dispatch(int message);

// A source of messages polled with the waits (for instance the terminal):
// when `fd` is readable, `handler(context)` reads and handles what it has.
// At most 8 sources; adding an fd again replaces its handler. Returns 0 or -1.
// A source must be removed before its descriptor is closed, and its handler
// must consume what made it readable (or remove itself at end of file).
using PumpHandler = void (*)(void* context);
int pump_addSource(int fd, PumpHandler handler, void* context);
void pump_removeSource(int fd);

// Results of pump_wait.
enum : int {
    PUMP_TIMEOUT = 0,   // the time passed
    PUMP_READY = 1,     // the watched descriptor is ready
    PUMP_MESSAGES = 2,  // messages were dispatched (the caller looks at its flags)
};

// Events for pump_wait's descriptor.
enum : short {
    PUMP_IN = 0x1,
    PUMP_OUT = 0x2,
};

// Waits up to `timeoutMs` until `fd` (when not negative) is ready for
// `events`, dispatching the messages that arrive meanwhile. Returns as soon
// as the descriptor is ready (PUMP_READY) or messages were dispatched
// (PUMP_MESSAGES), else PUMP_TIMEOUT after the time.
int pump_wait(int fd, short events, int timeoutMs);

// Dispatches the messages already waiting, without blocking. Returns the
// number of rounds that found messages (0: none were waiting).
int pump_peekMessages();

// The quit message of the window (a stop message was shown): it ends the
// current `waitSeconds`, or the next one, at once, and sets no flag. While
// it waits for that, a modal box ends at once too, leaving it posted.
// `pump_quitPending` tells whether one is posted; `pump_takeQuit` also
// forgets it.
void pump_postQuit();
bool pump_quitPending();
bool pump_takeQuit();

// Wakes a running wait from another thread (the service's control handler
// after it set the flags). Safe in a signal handler.
void pump_wake();

}  // namespace qzr
