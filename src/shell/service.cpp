// Service mode: the control dispatcher on the main thread, the service main,
// the control handler, the worker thread and the watch thread.
//
// The status record is shared by the handler (main thread), the service main
// and the watch thread: every change and report holds `statusMutex`, so the
// reports go out whole and in the order the states were set. The worker's
// end is published under `workerMutex`; the stop waits for it on a
// condition, flushing the log every second meanwhile.
#include "shell/service.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "engine/process.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/stop.h"
#include "links/msg_pump.h"
#include "os/os_service.h"
#include "shell/update.h"

namespace qzr {

const char* const SERVICE_NAME = "MyService";
ServiceWorkerFn serviceWorker = mainThread;

namespace {

// The status record and its reports.
std::mutex statusMutex;
ServiceStatus serviceStatus;

// The threads. `serviceMain` starts them; the watch thread joins the worker;
// the dispatcher joins the watch thread (or the worker, when the watch
// thread could not be started) once the service was reported stopped.
// These objects, and the condition below, are never destroyed: when the
// worker ends the process (another instance holds the working directory),
// the static destructors run while the threads still run.
std::thread& workerThread = *new std::thread;
std::thread& watchThread = *new std::thread;
bool workerStarted = false;
bool watchStarted = false;

// The worker's end.
std::mutex workerMutex;
std::condition_variable& workerEnded = *new std::condition_variable;
bool workerDone = false;
std::uint32_t workerExitCode = STILL_ACTIVE;
int workerResult = 0;
bool workerStopMessage = false;  // ended by a stop message (StopThread)

// Set once a stop control was handled: the run ends as asked.
bool stopControlled = false;

// Set (under statusMutex) once the worker serves: only then is the running
// state told to the service manager.
bool workerServing = false;

// Serialises the reopening of the service's log.
std::mutex serviceLogMutex;

std::string serviceLogPath()
{
    return ExeDir + "/qzr.log";
}

// The worker closes its log when it ends: the service's last lines go to
// the service's own log, appended.
void ensureServiceLog()
{
    std::lock_guard<std::mutex> lock(serviceLogMutex);
    if (!log_isOpen()) (void)log_open(serviceLogPath().c_str(), true);
}

const char* stateName(std::uint32_t state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start pending";
    case SERVICE_STOP_PENDING: return "stop pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue pending";
    case SERVICE_PAUSE_PENDING: return "pause pending";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

// Tells systemd the state of the record (statusMutex held). A failed
// notification is logged with the error number (in `setState`'s words when
// it reports). Running is told only once the worker serves: until then
// systemd keeps the service starting.
void notifyLocked(bool bySetState)
{
    const std::uint32_t state = serviceStatus.currentState;
    if (state == SERVICE_RUNNING && !workerServing) return;
    std::string message;
    if (state == SERVICE_RUNNING) message = "READY=1\n";
    if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) message = "STOPPING=1\n";
    message += "STATUS=" + std::string(SERVICE_NAME) + " " + stateName(state);
    // Without NOTIFY_SOCKET, sd_notify sends nothing and returns 0.
    int r = sd_notify(0, message.c_str());
    if (r >= 0) return;
    if (bySetState)
        log_write(LOG_ERROR, "QZR service: setState SetServiceStatus error %ld", static_cast<long>(-r));
    else
        log_write(LOG_INFO, "QZR service: SetServiceStatus error %ld", static_cast<long>(-r));
}

// Reports the record (statusMutex held): a log line and, under systemd, the
// notification of the state. The record is kept as it is.
void reportLocked(bool bySetState)
{
    log_write(LOG_INFO, "QZR service: %s %s", SERVICE_NAME, stateName(serviceStatus.currentState));
    notifyLocked(bySetState);
}

// The worker serves: a running service is now told ready (one that is
// still starting, paused or stopping is told when it reports running).
void workerServes()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    workerServing = true;
    notifyLocked(false);
}

// Sets the current state with exit code, checkpoint and wait hint 0, and
// reports it.
void setState(std::uint32_t state)
{
    std::lock_guard<std::mutex> lock(statusMutex);
    serviceStatus.currentState = state;
    serviceStatus.win32ExitCode = 0;
    serviceStatus.checkPoint = 0;
    serviceStatus.waitHint = 0;
    reportLocked(true);
}

void report()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    reportLocked(false);
}

std::uint32_t currentState()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    return serviceStatus.currentState;
}

void setCurrentState(std::uint32_t state)
{
    std::lock_guard<std::mutex> lock(statusMutex);
    serviceStatus.currentState = state;
}

bool workerHasEnded()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    return workerDone;
}

// The worker thread: the worker to its boundary. A stop message without a
// window unwinds it to here, which ends the thread.
void workerBody()
{
    int result = 0;
    bool stopMessage = false;
    std::uint32_t code;
    try {
        result = serviceWorker(nullptr);
        code = static_cast<std::uint32_t>(result);
    } catch (const StopThread& stop) {
        stopMessage = true;
        code = static_cast<std::uint32_t>(stop.code);
    }
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        workerDone = true;
        workerExitCode = code;
        workerResult = result;
        workerStopMessage = stopMessage;
    }
    workerEnded.notify_all();
}

// The watch thread: reports the service stopped when the worker has ended.
void watchBody()
{
    int res = 0;
    if (!workerThread.joinable()) {
        res = EINVAL;
    } else {
        try {
            workerThread.join();
        } catch (const std::system_error& e) {
            res = e.code().value();
        }
    }
    if (res != 0) {
        log_write(LOG_INFO, "QZR service: watchThread dwRes=%d", res);
        log_flush();
        return;
    }
    ensureServiceLog();
    log_write(LOG_INFO, "QZR service: watchThread main stopped");
    setState(SERVICE_STOPPED);
    log_flush();
    os_serviceWake();
}

// Reports the service stopped when the worker is found ended.
void checkWorker()
{
    if (!workerStarted || !workerHasEnded()) return;
    log_write(LOG_INFO, "QZR service: The QZR Thread is not running, set service state to stopped ");
    setState(SERVICE_STOPPED);
}

std::uint32_t controlOf(int signal)
{
    switch (signal) {
    case OS_SVC_TERMINATE:
    case OS_SVC_INTERRUPT:
    case OS_SVC_HANGUP: return SERVICE_CONTROL_STOP;
    case OS_SVC_TSTP: return SERVICE_CONTROL_PAUSE;
    case OS_SVC_CONT: return SERVICE_CONTROL_CONTINUE;
    case OS_SVC_USR1: return SERVICE_CONTROL_INTERROGATE;
    default: return SERVICE_CONTROL_USER;
    }
}

// Stops the worker's run and wakes a wait that runs.
void raiseStop()
{
    stop_run();
    pump_wake();
}

// A control that comes while the stop waits for the worker: another stop
// raises the flags again, an interrogation is answered; a pause or a
// continue leaves a stopping service as it is.
void controlWhileStopping(int signal)
{
    if (signal < 0 || signal == OS_SVC_WAKE || signal == OS_SVC_NONE) return;
    std::uint32_t control = controlOf(signal);
    if (control == SERVICE_CONTROL_STOP) {
        log_write(LOG_INFO, "QZR service: Stop request");
        raiseStop();
    } else if (control == SERVICE_CONTROL_INTERROGATE) {
        report();
    }
}

void handleStop()
{
    log_write(LOG_INFO, "QZR service: Stop request");
    setState(SERVICE_STOP_PENDING);
    stopControlled = true;
    raiseStop();
    if (!workerStarted) {
        // No worker ever ran: there is no exit code to wait for.
        log_write(LOG_ERROR, "QZR service: GetExitCodeThread error %ld", static_cast<long>(ESRCH));
    } else {
        // The worker's end is waited for a second at a time, the log flushed
        // after each; the controls that come meanwhile are taken, none is
        // left unread. The watch thread wakes this wait when the worker has
        // ended.
        while (!workerHasEnded()) {
            int err = 0;
            int signal = os_serviceSignalWaitFor(1000, &err);
            if (signal < 0) {
                // The controls cannot be taken here: wait on the worker alone.
                std::unique_lock<std::mutex> lock(workerMutex);
                workerEnded.wait_for(lock, std::chrono::seconds(1), [] { return workerDone; });
            }
            log_flush();
            controlWhileStopping(signal);
        }
        // The watch thread writes its lines once the worker has ended: they
        // come before the service's last one.
        if (watchStarted && watchThread.joinable()) watchThread.join();
    }
    ensureServiceLog();
    setState(SERVICE_STOPPED);
    log_write(LOG_INFO, "QZR service: Leaving Service ");
}

void joinThreads()
{
    if (watchStarted) {
        if (watchThread.joinable()) watchThread.join();
    }
    if (workerThread.joinable()) workerThread.join();
}

}  // namespace

void serviceMain(int, char**)
{
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        serviceStatus = ServiceStatus{};
        serviceStatus.serviceType = 0x30;
        serviceStatus.currentState = SERVICE_START_PENDING;
        serviceStatus.controlsAccepted = 1;
        workerServing = false;
    }
    worker_servingHook = workerServes;
    log_write(LOG_INFO, "QZR service: starting main QZR thread");
    try {
        workerThread = std::thread(workerBody);
        workerStarted = true;
    } catch (const std::system_error&) {
        log_write(LOG_INFO, "QZR service: Error starting main thread");
    }
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        serviceStatus.currentState = SERVICE_RUNNING;
        serviceStatus.checkPoint = 0;
        serviceStatus.waitHint = 0;
        reportLocked(false);
    }
    log_write(LOG_INFO, "QZR service: Service is running ");
    try {
        watchThread = std::thread(watchBody);
        watchStarted = true;
    } catch (const std::system_error&) {
        log_write(LOG_INFO, "QZR service: Error starting QZR watchdog thread");
    }
}

void serviceHandler(std::uint32_t control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP: handleStop(); return;
    case SERVICE_CONTROL_PAUSE:
        setCurrentState(SERVICE_PAUSED);
        report();
        return;
    case SERVICE_CONTROL_CONTINUE:
        setCurrentState(SERVICE_RUNNING);
        checkWorker();
        report();
        return;
    case SERVICE_CONTROL_INTERROGATE: break;
    default: log_write(LOG_INFO, "QZR service: Unrecognized opcode %ld", static_cast<long>(control)); break;
    }
    if (currentState() == SERVICE_RUNNING) checkWorker();
    report();
}

void serviceStart()
{
    log_close();
    (void)log_open(serviceLogPath().c_str(), true);  // reports its own failure
    log_write(LOG_INFO, "QZR service: Starting ... ExeDir='%s' ", ExeDir.c_str());
    log_write(LOG_INFO, "Quarzel QZR version %s", qzr_version);
    log_append(" LINUX");
    log_flush();

    // The control dispatcher: the control signals are blocked before any
    // thread of the service exists, so only this thread takes them.
    if (int err = os_serviceSignalsBlock(); err != 0) {
        log_write(LOG_ERROR, "ERROR: QZR service: StartServiceCtrlDispatcher (%d)", err);
        return;
    }
    try {
        std::thread mainOfService(serviceMain, 0, nullptr);
        mainOfService.join();
    } catch (const std::system_error& e) {
        log_write(LOG_ERROR, "ERROR: QZR service: StartServiceCtrlDispatcher (%d)", e.code().value());
        return;
    }
    while (currentState() != SERVICE_STOPPED) {
        int err = 0;
        int signal = os_serviceSignalWait(&err);
        // A control taken after the service stopped (a pause, say) must not
        // bring it back to life: the dispatcher's work is done.
        if (currentState() == SERVICE_STOPPED) break;
        if (signal < 0) {
            // The controls can no longer be taken: stop the service.
            log_write(LOG_ERROR, "ERROR: QZR service: StartServiceCtrlDispatcher (%d)", err);
            serviceHandler(SERVICE_CONTROL_STOP);
            continue;
        }
        if (signal == OS_SVC_WAKE) continue;
        serviceHandler(controlOf(signal));
    }
    joinThreads();
    log_flush();
}

int service_main(int, char**)
{
    // No screen shows the last error: an error line that cannot reach the
    // log (it cannot be opened) goes to standard error, which the service
    // manager keeps in its journal.
    log_errorsToStderrWhileClosed(true);
    update_handToWorker();
    serviceStart();
    int status = 1;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        if (stopControlled) {
            status = 0;
        } else if (!workerDone) {
            status = 1;
        } else if (workerStopMessage || workerResult == 2) {
            status = 2;
        } else if (workerResult == 0) {
            status = 0;
        } else if (installationStop) {
            // The update program (KillMode=process) goes on; the service
            // manager starts the driver again, under the service's user.
            status = SERVICE_EXIT_RESTART;
        } else {
            status = 1;
        }
    }
    log_flush();
    log_close();
    return status;
}

ServiceStatus service_status()
{
    std::lock_guard<std::mutex> lock(statusMutex);
    return serviceStatus;
}

std::uint32_t service_workerExitCode()
{
    std::lock_guard<std::mutex> lock(workerMutex);
    return workerDone ? workerExitCode : STILL_ACTIVE;
}

void service_reset()
{
    joinThreads();
    workerStarted = false;
    watchStarted = false;
    {
        std::lock_guard<std::mutex> lock(workerMutex);
        workerDone = false;
        workerExitCode = STILL_ACTIVE;
        workerResult = 0;
        workerStopMessage = false;
    }
    stopControlled = false;
    std::lock_guard<std::mutex> lock(statusMutex);
    serviceStatus = ServiceStatus{};
    workerServing = false;
}

}  // namespace qzr
