// Service mode (-s): the driver as a systemd service, still called
// "MyService" in its texts.
//
// The process's main thread is the control dispatcher: it blocks the control
// signals, runs the service main (which starts the worker on a thread of its
// own and a watch thread that reports the service stopped when the worker
// ends), then takes each signal as a control for the handler: SIGTERM,
// SIGINT, SIGHUP (unless the starter ignored it, as nohup does), SIGQUIT or
// SIGALRM stop (1), SIGTSTP pause (2), SIGCONT continue (3), SIGUSR1
// interrogate (4), SIGUSR2 a user-defined control (128). It returns once the
// service was reported stopped. Each status report goes to the log and, when
// NOTIFY_SOCKET is set, to systemd (READY=1, STOPPING=1, STATUS=...).
//
// What must always hold: the worker is never killed; a stop raises the
// worker's flags, wakes its wait and waits until it returned; a stop
// message without a window ends the worker thread by unwinding to its
// boundary (StopThread); there is no window (`hMainWnd` stays null).
#pragma once

#include <cstdint>

namespace qzr {

// The name of the service in its texts.
extern const char* const SERVICE_NAME;  // "MyService"

// Service states.
enum : std::uint32_t {
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,
    SERVICE_CONTINUE_PENDING = 5,
    SERVICE_PAUSE_PENDING = 6,
    SERVICE_PAUSED = 7,
};

// Control codes of the handler.
enum : std::uint32_t {
    SERVICE_CONTROL_STOP = 1,
    SERVICE_CONTROL_PAUSE = 2,
    SERVICE_CONTROL_CONTINUE = 3,
    SERVICE_CONTROL_INTERROGATE = 4,
    SERVICE_CONTROL_USER = 128,  // the control of SIGUSR2
};

// The process's exit status when the worker stopped for an update's
// installation: the unit has the service manager start it again
// (RestartForceExitStatus=), which its own user may not ask for.
constexpr int SERVICE_EXIT_RESTART = 75;

// The exit code of a worker thread that still runs.
constexpr std::uint32_t STILL_ACTIVE = 259;

// The service's status record, seven 32-bit words.
struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

// Runs the driver as a service, once `parseCommandLine` has accepted the
// command line with -s (the arguments are not examined again). Returns the
// process's exit status: 0 after a stop control or when the worker returned
// 0; SERVICE_EXIT_RESTART when it stopped for an update's installation; 2
// when the worker ended on a configuration or log failure (its result 2, or
// a stop message); 1 otherwise.
int service_main(int argc, char** argv);

// Opens the service's log (`ExeDir`/qzr.log, appended), logs the start and
// runs the control dispatcher until the service is reported stopped.
void serviceStart();

// The service main: reports start pending, starts the worker thread and the
// watch thread, reports running. The service manager hears of the running
// state (READY=1) only once the worker serves (its configuration read):
// a worker that ends before never reports the service ready.
void serviceMain(int argc, char** argv);

// The control handler: stop, pause, continue, interrogate; any other code
// is logged as unrecognised and handled as an interrogation.
void serviceHandler(std::uint32_t control);

// A copy of the status record.
ServiceStatus service_status();

// The worker's exit code: STILL_ACTIVE while it runs (or before it started).
std::uint32_t service_workerExitCode();

// The function run on the worker thread: `mainThread`. Tests put their own.
using ServiceWorkerFn = int (*)(void*);
extern ServiceWorkerFn serviceWorker;

// Waits for the service's threads and forgets its state (tests).
void service_reset();

}  // namespace qzr
