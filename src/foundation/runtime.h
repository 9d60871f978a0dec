// Process-wide run-time flags and the status window as the foundation sees it.
//
// The flags are shared by the worker, the service's control handler and its
// watch thread, so they are atomics. The window is filled in by the shell;
// without one (service mode, tests, before start-up) `hMainWnd` is null and
// message boxes go to standard error.
#pragma once

#include <atomic>
#include <string>

namespace qzr {

// The driver's version, "major.minor.patch": the project's version in its
// CMake file.
constexpr const char* qzr_version = QZR_VERSION_TEXT;

extern std::atomic<bool> stopRequested;       // ends the current call (1003)
extern std::atomic<bool> terminateRequested;  // ends the main loop
// Set with terminateRequested by a failure that starting the driver again
// cannot mend (a claim sent that cannot be marked served, an answer that
// cannot be kept): the run ends with exit status 2, on which the service
// manager does not start it again (it would send the claim again).
extern std::atomic<bool> stopForGood;
extern std::atomic<bool> wakeFlag;            // ends a timed wait early
extern std::atomic<bool> g_detailedMessages;  // detailed traces in the log
extern std::atomic<bool> debugTrace;          // debug traces (-d)

// The working directory (qzr.ini, the network directories, activity.dat, the
// log, the key store) and the program directory (qzrsup.ini, qzrredir.dat,
// the mixer file, qzrstat.dat, the update files). Set by the command line.
extern std::string CurDir;
extern std::string ExeDir;

// Thrown by a stop message when there is no main window: it carries the stop
// out of the worker thread to the worker's boundary, which ends the thread.
struct StopThread {
    int code = 0;
};

// What the foundation asks of the status window. Implemented by the shell.
class MainWindow {
public:
    virtual ~MainWindow() = default;
    // Shows the screen lines again, at once (a new log line was written).
    virtual void repaint() = 0;
    // A modal box with an OK button; returns when it is dismissed.
    virtual void messageBox(const char* title, const char* text, unsigned style) = 0;
    // Posts the quit message (a stop message was shown): it ends the
    // current or next wait at once and stops nothing; the worker goes on.
    virtual void postQuit(int code) = 0;
    // Shows the activity mark's frame (one of the TRAY_ frames below).
    virtual void animate(int frame) { (void)frame; }
};

extern MainWindow* hMainWnd;

// Box styles, kept as the numbers the rest of the system passes around.
enum : unsigned {
    MB_STYLE_INFORMATION = 0x10040,
    MB_STYLE_WARNING = 0x10030,
    MB_STYLE_ERROR = 0x10010,
};

// Shows a message box: through the main window when there is one, otherwise
// as "<title>: <text>\n", returning at once: an information on standard
// output, any other box on standard error.
void showMessageBox(const char* title, const char* text, unsigned style);

// The frames of the activity mark (the tray icon, the mark of the title
// line), in the order a transaction shows them.
enum : int {
    TRAY_IDLE = 0,        // waiting for a request
    TRAY_READ = 1,        // reading the request file
    TRAY_LINK = 2,        // bringing the link up, also on the way to the backup connection
    TRAY_DIALOG = 3,      // the request goes out, the response comes in
    TRAY_ANSWERED = 4,    // a response arrived
    TRAY_FRAME_COUNT = 5,
};

// Shows the tray frame of a transaction step; nothing without a window.
void animateTrayIcon(int frame);

}  // namespace qzr
