// The window procedure, the title and the window without a terminal.
#include "shell/window.h"

#include <cstdio>

#include "config/config.h"
#include "engine/cmdline.h"
#include "engine/nettest.h"
#include "engine/process.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "links/msg_pump.h"
#include "redirect/ini_switch_table.h"
#include "shell/status_window.h"
#include "shell/update.h"

namespace qzr {

const char* const windowTitleResource = "ZAVI Quarzel";
const char* const helpErrorText = "Unable to activate help";

std::string g_windowTitle;
bool g_closeRequested = false;
bool g_detailedMark = false;

namespace {

constexpr unsigned MB_ICONSTOP = 16;

void closeWindow()
{
    g_closeRequested = true;
    pump_defaultWindowProc(MSG_CLOSE);
}

}  // namespace

std::string window_formTitle(const std::string& startDir)
{
    std::size_t slash = startDir.rfind('/');
    std::string last = slash == std::string::npos ? startDir : startDir.substr(slash + 1);
    return std::string(windowTitleResource) + " " + last;
}

std::string window_aboutText()
{
    std::string ini = Genparam && Genparam->version ? *Genparam->version : "";
    return std::string("ZAVI\n") + "Quarzel QZR version " + qzr_version + "\n" + "Ini file version      " + ini +
           "\n" + "Redirection version   " + g_version;
}

void HeadlessWindow::messageBox(const char* title, const char* text, unsigned)
{
    log_toStderr(std::string(title) + ": " + text);
}

void HeadlessWindow::postQuit(int)
{
    pump_postQuit();
}

void window_proc(int message)
{
    switch (message) {
    case MSG_CLOSE: closeWindow(); break;
    case SC_CLOSE:
        if (!exitDisabled) closeWindow();
        break;
    case MSG_TIMER:
        pump_defaultWindowProc(MSG_TIMER);
        statusWindow_idle();
        break;
    case IDM_CANCEL: pump_defaultWindowProc(MSG_CANCEL); break;
    case IDM_EXIT:
        if (!exitDisabled) closeWindow();
        break;
    case IDM_HELP_CONTENTS:
    case IDM_HELP_KEY:
    case IDM_HELP_ON_HELP:
    case IDM_HELP_FINDER:
        // There is no help system to ask: the failure box.
        showMessageBox("QZR", helpErrorText, MB_ICONSTOP);
        break;
    case IDM_ABOUT: showMessageBox("About", window_aboutText().c_str(), 0); break;
    case IDM_TEST_NETWORK1:
    case IDM_TEST_NETWORK2:
    case IDM_TEST_NETWORK3:
        testNetworkMenu(message - IDM_TEST_NETWORK1 + 1);
        break;
    case IDM_DETAILED_MESSAGES:
        pump_defaultWindowProc(MSG_DETAILED_MESSAGES);
        g_detailedMark = g_detailedMessages;
        if (hMainWnd) hMainWnd->repaint();  // an open menu shows the new mark
        break;
    case IDM_CHECK_UPDATES: checkForUpdates(1); break;
    default: break;
    }
}

}  // namespace qzr
