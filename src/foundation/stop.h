// Stopping: how a Cancel, a Close and the service's stop reach the worker,
// and how every wait and every write asks whether to go on.
//
// There are two requests. A stop of the call (the menu's Cancel, SIGUSR1)
// ends the current call, which answers 1003, and the worker goes on. A stop
// of the run (the window's Close, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM,
// the service's stop) ends the current call and then the worker. Both wake
// a timed wait. Between calls the worker drops a Cancel: it had nothing to
// end, and must not end the next call or wait.
//
// What must always hold: every wait ends at a stop, and nothing is written
// on a link once one is requested (the bytes that hang a line up excepted);
// a stop of the run is never dropped. The functions only store and load
// lock-free atomics: a signal handler and any thread may call them.
#pragma once

namespace qzr {

// Stops the current call and wakes a timed wait (a Cancel).
void stop_call();

// Stops the current call and the run, and wakes a timed wait (a Close).
void stop_run();

// Forgets a stop of the call that came while no call ran; a stop of the run
// is kept.
void stop_dropCancel();

// Whether a stop (of the call or of the run) is requested.
[[nodiscard]] bool stop_requested();

// Whether a stop of the run is requested: the worker ends once its call is
// over.
[[nodiscard]] bool stop_runRequested();

}  // namespace qzr
