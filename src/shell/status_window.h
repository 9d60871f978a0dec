// The full-screen status window on a terminal.
//
// When standard output is a terminal the status window takes it whole: the
// title line with the activity mark, the menu bar ("File", "Help"), the
// status line, the eight screen lines of the log, "Last Error:" and the last
// error, in the rows of the window's layout. Menus open with F10 or
// Alt-letter and are worked with the arrows, Enter, Esc and the underlined
// letters; Ctrl-C is the window's Close command; F1, Alt-? and Alt-/ do
// nothing. Message boxes are modal and wait for Enter.
//
// What must always hold: while the window is open nothing else writes to
// the terminal (the printed reports go to the log), keys are read only
// inside the worker's waits and the modal loops, and the terminal is given
// back on every way out, exit() included.
#pragma once

#include <memory>
#include <string>

#include "foundation/runtime.h"

namespace qzr {

// Opens the status window titled `title` on the terminal of standard output.
// Returns null when standard output is no terminal or the terminal cannot
// show a full screen (an unknown type, or one such as `dumb` that cannot
// address the cursor); the caller then uses the window without a terminal.
std::unique_ptr<MainWindow> statusWindow_open(const std::string& title);

// Called at the end of each timed wait: takes keys and a change of the
// terminal's size that no key has brought in yet. Nothing without a window.
void statusWindow_idle();

}  // namespace qzr
