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
    log_toStderr(std::string(title) + ": " + text);
}

void animateTrayIcon(int frame)
{
    if (hMainWnd) hMainWnd->animate(frame);
}

}  // namespace qzr
