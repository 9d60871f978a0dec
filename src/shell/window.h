// The status window as the rest of the shell sees it: its title, its
// commands and the window procedure that serves them.
//
// The window procedure runs only inside the worker's waits (and the modal
// loops of boxes): menu commands, keys and signals all arrive as numbered
// messages and only set flags or run a command to its end. Two windows
// exist: the full-screen one on a terminal (status_window.h) and, without a
// terminal, one that draws nothing and shows message boxes on standard
// error, returning at once.
#pragma once

#include <string>

#include "foundation/runtime.h"

namespace qzr {

// Command ids of the menu, as the window's resources number them.
enum : int {
    IDM_CANCEL = 100,             // "&Cancel current call"
    IDM_EXIT = 106,               // "E&xit"
    IDM_HELP_CONTENTS = 300,      // no item (F1 in the resources, never translated)
    IDM_HELP_KEY = 301,
    IDM_HELP_ON_HELP = 302,
    IDM_ABOUT = 303,              // "&About QZR..."
    IDM_TEST_NETWORK1 = 304,      // "Test network 1" .. 3
    IDM_TEST_NETWORK2 = 305,
    IDM_TEST_NETWORK3 = 306,
    IDM_HELP_FINDER = 307,
    IDM_DETAILED_MESSAGES = 1001, // "&Detailed Messages"
    IDM_CHECK_UPDATES = 1003,     // "Check for &updates"
};

// The Close command of the window itself (the close box, Alt-F4, Ctrl-C on
// the terminal): refused while exit is disabled (-x), else a close message.
constexpr int SC_CLOSE = 0xF060;

// String resources: 500 the title's beginning, 504 the help failure.
extern const char* const windowTitleResource;  // "ZAVI Quarzel"
extern const char* const helpErrorText;        // "Unable to activate help"

// The window title: the title resource, a blank, and the last component of
// `startDir` (the text after its last '/'; all of it when it has none;
// empty when `startDir` is empty).
std::string window_formTitle(const std::string& startDir);

// The title of this run, formed at start from the directory the program
// was started in; it also names the instance mutex.
extern std::string g_windowTitle;

// Set when the window was asked to close (Exit, close, SIGINT, SIGTERM,
// SIGHUP): the run then ends as asked, whatever its last pass found.
extern bool g_closeRequested;

// The mark of "&Detailed Messages": clear at start whatever the flag, then
// following the flag at each toggle.
extern bool g_detailedMark;

// The text of the About box: "ZAVI", the banner, the configuration file's
// version and the redirection file's version (empty when none was read).
std::string window_aboutText();

class HeadlessWindow : public MainWindow {
public:
    void repaint() override {}
    void messageBox(const char* title, const char* text, unsigned style) override;
    // The quit message: it ends the current or next wait, nothing more.
    void postQuit(int code) override;
};

// The window procedure: the messages of the waits (close, timer, cancel,
// detailed messages) and the menu commands above.
void window_proc(int message);

}  // namespace qzr
