// The program's entry: the title and the instance mutex, the command line,
// then the service (-s), or the status window and the worker.
//
// The title ("ZAVI Quarzel" and the last component of the directory the
// program was started in) names the instance: a second program started in
// a directory of the same name ends at once, silently, with exit status 0.
//
// Exit status: 0 when the last pass succeeded, the usage text was shown, the
// run ended on a stop request, or another instance holds the title; 2 for a
// configuration or log failure and when another instance holds the working
// directory; 1 otherwise (no request found, a failed transaction, a refused
// command line).
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/cmdline.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/msg_pump.h"
#include "os/os_instance.h"
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

}  // namespace

int main(int argc, char** argv)
{
    g_windowTitle = window_formTitle(startDirectory());
    // Held until the process ends; a name already held, or one that cannot
    // be taken, ends this instance without a word.
    OsFd instanceMutex;
    if (os_instanceMutex(g_windowTitle + " is running", instanceMutex) != 0) return 0;

    try {
        if (parseCommandLine(argc, argv) != STS_OK) return usageShown ? 0 : 1;
    } catch (const StopThread&) {
        return 1;  // the command line was refused
    }

    if (serviceMode) return service_main(argc, argv);

    pump_installSignals();
    pump_setWindowProc(window_proc);
    std::unique_ptr<MainWindow> window = statusWindow_open(g_windowTitle);
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

    if (result == 2) return 2;
    if (result == STS_OK || g_closeRequested) return 0;
    return 1;
}
