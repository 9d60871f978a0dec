// The program's entry: the title and the instance mutex, the command line,
// then the service (-s), or the status window and the worker.
//
// The title ("ZAVI Quarzel" and the last component of the directory the
// program was started in) names the instance: a second program of the same
// user started in a directory of the same name ends at once with exit
// status 0, silently, or in service mode with a line on standard error.
//
// Exit status: 0 when the last pass succeeded, the usage text was shown, the
// run ended on a stop request, or another instance holds the title; 2 for a
// configuration or log failure and when another instance holds the working
// directory; 1 otherwise (no request found, a failed transaction, a refused
// command line).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/cmdline.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "links/msg_pump.h"
#include "os/os_instance.h"
#include "os/os_proc.h"
#include "os/os_signal.h"
#include "shell/service.h"
#include "shell/status_window.h"
#include "shell/update.h"
#include "shell/window.h"

using namespace qzr;

namespace {

// The directory the program was started in, or "" when it cannot be read.
std::string startDirectory()
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::current_path(ec);
    return ec ? std::string() : p.string();
}

// Once the window has given the screen back, the last error it showed
// (a log that could not be opened, say) stays readable on standard error.
void tellLastError()
{
    std::string text = lastErrorLine;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) return;
    log_toStderr("Last Error: " + text);
}

}  // namespace

int main(int argc, char** argv)
{
    // Started with a standard file closed, the first file opened would take
    // its number and receive what is printed there.
    (void)os_standardFilesOpen();
    g_windowTitle = window_formTitle(startDirectory());
    // Held until the process ends; a name held by another driver of this
    // user, or one that cannot be taken, ends this instance without a word.
    // A name that another user holds keeps no one from running: the run
    // goes on without it, and the log says so.
    const std::string mutexName = g_windowTitle + " is running";
    OsInstanceMutex instanceMutex;
    long holder = -1;
    int taken = os_instanceMutex(mutexName, instanceMutex, &holder);
    if (taken == EACCES) {
        if (holder >= 0)
            log_writeKept(LOG_INFO,
                          "** WARNING ** Instance name '%s' is held by a process of user %ld, not by a driver of "
                          "this user: running without it",
                          mutexName.c_str(), holder);
        else
            log_writeKept(LOG_INFO,
                          "** WARNING ** Instance name '%s' is held by a process that does not answer as a driver "
                          "does: running without it",
                          mutexName.c_str());
    } else if (taken != 0) {
        // A service that ends at once says why, for the journal to keep.
        if (cmdline_asksForService(argc, argv)) {
            if (taken == EEXIST)
                log_toStderr("QZR is already running: instance name '" + mutexName +
                             "' is held by another driver of this user, not started");
            else
                log_toStderr("QZR: instance name '" + mutexName + "' cannot be taken (error " +
                             std::to_string(taken) + "), not started");
        }
        return 0;
    }

    // Until the worker hands messages to the log, a message is shown once,
    // by its box: the usage text on standard output, a refused command
    // line on standard error.
    tbx_message_hook = [](int, const char*) {};
    try {
        if (parseCommandLine(argc, argv) != STS_OK) return usageShown ? 0 : 1;
    } catch (const StopThread&) {
        return 1;  // the command line was refused
    }

    if (serviceMode) return service_main(argc, argv);

    pump_installSignals();
    pump_setWindowProc(window_proc);
    std::unique_ptr<MainWindow> window = statusWindow_open(g_windowTitle);
    const bool onTerminal = window != nullptr;
    if (!window) {
        window = std::make_unique<HeadlessWindow>();
        // No screen lines are shown: an error that cannot reach the log
        // (it cannot be opened) goes to standard error, as boxes do.
        log_errorsToStderrWhileClosed(true);
    }
    hMainWnd = window.get();
    update_handToWorker();
    int result;
    try {
        result = mainThread(nullptr);
    } catch (const StopThread&) {
        result = STS_ERROR;  // a stop message ended the worker
    }
    // A close signalled after the worker's last wait is the window's close
    // all the same.
    pump_dispatchEvents();
    hMainWnd = nullptr;
    window.reset();  // the terminal is given back here
    if (onTerminal) tellLastError();

    if (result == 2) return 2;
    if (result == STS_OK || g_closeRequested) return 0;
    return 1;
}
