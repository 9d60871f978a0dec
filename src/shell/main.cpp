// The program's entry: the command line, the status window, then the worker.
//
// Exit status: 0 when the last pass succeeded, the usage text was shown, or
// the run ended on a stop request; 2 for a configuration or log failure and
// when another instance holds the working directory; 1 otherwise (no request
// found, a failed transaction, a refused command line).
#include <cstdio>

#include "engine/cmdline.h"
#include "engine/worker.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/msg_pump.h"
#include "os/os_signal.h"
#include "shell/window.h"

using namespace qzr;

int main(int argc, char** argv)
{
    try {
        if (parseCommandLine(argc, argv) != STS_OK) return usageShown ? 0 : 1;
    } catch (const StopThread&) {
        return 1;  // the command line was refused
    }

    os_signalInstall();
    pump_setWindowProc(window_proc);
    HeadlessWindow window;
    if (!serviceMode) hMainWnd = &window;

    int result;
    try {
        result = mainThread(nullptr);
    } catch (const StopThread&) {
        result = STS_ERROR;
    }
    hMainWnd = nullptr;

    if (result == 2) return 2;
    if (result == STS_OK || g_closeRequested) return 0;
    return 1;
}
