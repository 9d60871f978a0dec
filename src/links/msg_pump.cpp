// The message pump of the waits: event pipe and shell sources in, window
// procedure calls out. Runs only on the worker thread; `pump_wake` is the one
// entry for other threads.
#include "links/msg_pump.h"

#include <array>
#include <atomic>

#include "foundation/runtime.h"
#include "foundation/stop.h"
#include "os/os_signal.h"
#include "os/os_wait.h"

namespace qzr {

namespace {

struct Source {
    int fd = -1;
    PumpHandler handler = nullptr;
    void* context = nullptr;
};

constexpr std::size_t MAX_SOURCES = 8;
std::array<Source, MAX_SOURCES> sources;
WindowProc windowProc = nullptr;
std::atomic<bool> quitPosted{false};

int messageOfEvent(unsigned char code)
{
    switch (code) {
    case OS_EVENT_CLOSE: return MSG_CLOSE;
    case OS_EVENT_CANCEL: return MSG_CANCEL;
    case OS_EVENT_TOGGLE_DETAILED: return MSG_DETAILED_MESSAGES;
    default: return 0;  // a wake-up: nothing to dispatch
    }
}

// Takes the queued events and dispatches them. Returns how many there were
// (wake-ups included: they ask the caller to look at its flags).
int drainEvents()
{
    int total = 0;
    unsigned char codes[64];
    for (;;) {
        std::size_t n = os_eventTake(codes, sizeof codes);
        if (n == 0) break;
        for (std::size_t i = 0; i < n; ++i) {
            int msg = messageOfEvent(codes[i]);
            if (msg) pump_dispatch(msg);
        }
        total += static_cast<int>(n);
        if (n < sizeof codes) break;
    }
    return total;
}

// Polls the watched descriptor (slot 0, may be -1), the event pipe and the
// sources; dispatches what arrived. Returns PUMP_ results.
int pollOnce(int fd, short events, int timeoutMs)
{
    os_pollItem items[2 + MAX_SOURCES];
    std::size_t n = 0;
    items[n++] = {fd, static_cast<short>(((events & PUMP_IN) ? OS_POLL_IN : 0) |
                                         ((events & PUMP_OUT) ? OS_POLL_OUT : 0)),
                  0};
    items[n++] = {os_eventFd(), OS_POLL_IN, 0};
    std::array<Source, MAX_SOURCES> polled = sources;
    for (const Source& s : polled) items[n++] = {s.fd, static_cast<short>(s.fd >= 0 ? OS_POLL_IN : 0), 0};

    int ready = os_poll(items, n, timeoutMs);
    if (ready <= 0) return PUMP_TIMEOUT;

    int dispatched = 0;
    if (items[1].revents) dispatched += drainEvents();
    for (std::size_t i = 0; i < MAX_SOURCES; ++i) {
        if (items[2 + i].revents && polled[i].handler) {
            polled[i].handler(polled[i].context);
            ++dispatched;
        }
    }
    if (fd >= 0 && items[0].revents) return PUMP_READY;
    return dispatched ? PUMP_MESSAGES : PUMP_TIMEOUT;
}

}  // namespace

void pump_defaultWindowProc(int message)
{
    switch (message) {
    case MSG_CLOSE: stop_run(); break;
    case MSG_CANCEL: stop_call(); break;
    case MSG_TIMER: wakeFlag = true; break;
    case MSG_DETAILED_MESSAGES: g_detailedMessages = !g_detailedMessages; break;
    default: break;
    }
}

int pump_installSignals()
{
    os_signalActions actions;
    actions.close = stop_run;
    actions.cancel = stop_call;
    return os_signalInstall(actions);
}

int pump_dispatchEvents()
{
    return drainEvents();
}

void pump_setWindowProc(WindowProc proc)
{
    windowProc = proc;
}

void pump_dispatch(int message)
{
    if (windowProc)
        windowProc(message);
    else
        pump_defaultWindowProc(message);
}

int pump_addSource(int fd, PumpHandler handler, void* context)
{
    if (fd < 0 || !handler) return -1;
    for (Source& s : sources) {
        if (s.fd == fd) {
            s = {fd, handler, context};
            return 0;
        }
    }
    for (Source& s : sources) {
        if (s.fd < 0) {
            s = {fd, handler, context};
            return 0;
        }
    }
    return -1;
}

void pump_removeSource(int fd)
{
    for (Source& s : sources)
        if (s.fd == fd) s = Source{};
}

int pump_wait(int fd, short events, int timeoutMs)
{
    if (timeoutMs < 0) timeoutMs = 0;
    std::int64_t deadline = os_monotonicMs() + timeoutMs;
    for (;;) {
        int r = pollOnce(fd, events, os_msUntil(deadline));
        if (r != PUMP_TIMEOUT) return r;
        // A signal interrupts poll() before its handler's byte is read: go on
        // until the time has really passed.
        if (os_msUntil(deadline) == 0) return PUMP_TIMEOUT;
    }
}

int pump_peekMessages()
{
    // Bounded, so that a source that stays readable cannot hold the wait.
    int rounds = 0;
    while (rounds < 16 && pollOnce(-1, 0, 0) == PUMP_MESSAGES) ++rounds;
    return rounds;
}

void pump_postQuit()
{
    quitPosted = true;
    pump_wake();
}

bool pump_quitPending()
{
    return quitPosted;
}

bool pump_takeQuit()
{
    return quitPosted.exchange(false);
}

void pump_wake()
{
    os_eventPost(OS_EVENT_WAKE);
}

}  // namespace qzr
