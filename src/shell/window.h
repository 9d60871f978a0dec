// The status window when the driver has no terminal to draw on: it exists
// (so stop messages end the message loop instead of the thread), draws
// nothing, and shows message boxes on standard error, returning at once.
#pragma once

#include "foundation/runtime.h"

namespace qzr {

// Set when the window was asked to close (Exit, SIGINT, SIGTERM, SIGHUP):
// the run then ends as asked, whatever its last pass found.
extern bool g_closeRequested;

class HeadlessWindow : public MainWindow {
public:
    void repaint() override {}
    void messageBox(const char* title, const char* text, unsigned style) override;
    // The quit message: the worker stops at its next check.
    void postQuit(int code) override;
};

// The window procedure of the status window: notes a close, then sets the
// flags of each message as the waits expect.
void window_proc(int message);

}  // namespace qzr
