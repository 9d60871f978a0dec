// Run-time flags and the window-less message box.
#include "foundation/runtime.h"

#include "foundation/log.h"

namespace qzr {

std::atomic<bool> stopRequested{false};
std::atomic<bool> terminateRequested{false};
std::atomic<bool> stopForGood{false};
std::atomic<bool> wakeFlag{false};
std::atomic<bool> g_detailedMessages{false};
std::atomic<bool> debugTrace{false};
MainWindow* hMainWnd = nullptr;
std::string CurDir;
std::string ExeDir;

void showMessageBox(const char* title, const char* text, unsigned style)
{
    if (hMainWnd) {
        hMainWnd->messageBox(title, text, style);
        return;
    }
    // An information (the usage text) is what was asked for: standard
    // output; a warning or an error goes to standard error.
    const std::string line = std::string(title) + ": " + text;
    if (style == MB_STYLE_INFORMATION)
        log_toStdout(line);
    else
        log_toStderr(line);
}

void animateTrayIcon(int frame)
{
    if (hMainWnd) hMainWnd->animate(frame);
}

}  // namespace qzr
