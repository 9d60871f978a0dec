// The status window without a terminal.
#include "shell/window.h"

#include <cstdio>

#include "links/msg_pump.h"

namespace qzr {

bool g_closeRequested = false;

void HeadlessWindow::messageBox(const char* title, const char* text, unsigned)
{
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
}

void HeadlessWindow::postQuit(int)
{
    stopRequested = true;
    terminateRequested = true;
    wakeFlag = true;
}

void window_proc(int message)
{
    if (message == MSG_CLOSE) g_closeRequested = true;
    pump_defaultWindowProc(message);
}

}  // namespace qzr
