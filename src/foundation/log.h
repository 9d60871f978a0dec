// The log writer.
//
// Every line goes to the log file (when open) as "\n" + "YYYYMMDD HH:MM:SS " +
// the level's prefix + text, and, stamped "HH:MM:SS ", into an eight-line ring
// of 128-character screen lines that the status window shows. Screen texts
// are cut to their line, never overrun. Callers decide by the detailed and
// debug flags whether a line is written at all.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace qzr {

enum : int {
    LOG_INFO = 411,
    LOG_STATUS = 412,
    LOG_COM_OUT = 413,
    LOG_COM_IN = 414,
    LOG_COM_WAIT = 415,
    LOG_DEBUG = 420,
    LOG_PROT = 450,
    LOG_TAPI_INFO = 460,
    LOG_TAPI_ERROR = 470,
    LOG_ERROR = 1001,
    LOG_PROT_ERROR = 1031,
};

constexpr int SCREEN_LINE_COUNT = 8;
constexpr std::size_t SCREEN_LINE_SIZE = 128;  // 127 characters and a zero
constexpr std::size_t SCREEN_DUMP_LIMIT = 121; // a dump shows bytes while the line is shorter

// The ring of screen lines. `display` lists the lines oldest first; before
// eight lines were written its first pointers are null.
struct ScreenLines {
    char lines[SCREEN_LINE_COUNT][SCREEN_LINE_SIZE] = {};
    int ringIndex = 0;              // slot written next
    char* current = nullptr;        // slot written last
    const char* display[SCREEN_LINE_COUNT] = {};
};

extern ScreenLines screenLines;
extern char statusLine[SCREEN_LINE_SIZE];     // last LOG_STATUS line, with its time
extern char lastErrorLine[SCREEN_LINE_SIZE];  // last LOG_ERROR or LOG_PROT_ERROR line

// Opens the log (null name: "qzr.log") for appending or rewriting, closing
// any open one first, and writes into it the lines kept meanwhile (below).
// Returns 0, or 2 when it cannot be opened (then the failure is written at
// LOG_ERROR, reaching only the screen).
int log_open(const char* name, bool append);
// While on, the lines written with the log closed are also kept, each with
// its time, for the next log_open to write first, in their order (the
// worker reads its configuration before it can open the log). Turning it
// off forgets what was kept.
void log_keepWhileClosed(bool on);
// While on, a LOG_ERROR line written with the log closed also goes to
// standard error, as "ERROR- " and its text on a line of its own (set when
// there is no terminal to show the screen lines: a log that cannot be
// opened is then still said somewhere).
void log_errorsToStderrWhileClosed(bool on);
void log_close();
bool log_isOpen();
// Commits the log to disk (every line is already in the file when written).
void log_flush();

// Writes one line at `level`. Returns 0.
[[gnu::format(printf, 2, 3)]] int log_write(int level, const char* fmt, ...);
int log_vwrite(int level, const char* fmt, va_list ap);

// Writes one line that carries a number where other lines name their level:
// "CODE -%03d- " with `code`, then the text ("CODE -000- " for 0, "CODE
// -1043- " for 1043). Such a line sets neither the status line nor the last
// error. The dialogs write the lines of a failed exchange with the status
// that ends it, and the request files and the key store write their notes
// with 0: the number is part of what the log says, so these lines stay
// log_code lines and do not become LOG_ERROR lines. A code that is a level's
// own number (1001, 1031) is written as that level.
[[gnu::format(printf, 2, 3)]] void log_code(int code, const char* fmt, ...);

// Writes one line as log_write does; while the log is closed, the line is
// also kept for the next log_open, whatever log_keepWhileClosed says (a
// line of the start, before the log's name is known). Returns 0.
[[gnu::format(printf, 2, 3)]] int log_writeKept(int level, const char* fmt, ...);

// Continues the current log line (no stamp, no prefix); nothing when closed.
[[gnu::format(printf, 1, 2)]] void log_append(const char* fmt, ...);

// Writes bytes into the log ("#%02x" below 0x20 and for 0x7F, "##" for '#') and, for
// LOG_COM_OUT and LOG_COM_IN, in readable form onto the current screen line.
// With a title, starts a new line "<title> len=<n> <" and closes it with ">".
void log_dump(int level, const char* title, const void* buf, std::size_t len);

// The most bytes of one foreign text (below) that a line carries.
constexpr std::size_t LOG_FOREIGN_LIMIT = 512;

// A text from outside the driver (a request's fields, a host's or a proxy's
// answer, a file another program wrote) as a line may carry it: each control
// byte (below 0x20, and 0x7F) written "#%02x" and '#' written "##", as
// log_dump writes them, so that none of its bytes ends the line, forges
// another or steers a terminal; the other bytes kept. A text longer than
// LOG_FOREIGN_LIMIT bytes keeps its beginning and ends with
// "...(<n> bytes cut)".
std::string log_foreign(std::string_view text);

// Writes `line` and a line feed to standard error, which may be a terminal:
// every control byte of it but its line feeds, 0x7F and each C1 control (a
// byte 0x80 to 0x9F that is not inside a UTF-8 character, or the UTF-8 form
// of U+0080 to U+009F) is written "#%02x", byte by byte. Foreign texts reach
// it through log_foreign, so the line feeds left are the driver's own.
void log_toStderr(std::string_view line);
// The same on standard output (what was asked for: the usage text).
void log_toStdout(std::string_view line);

// Clears the ring, the status line and the last error (tests, restart).
void log_resetScreen();

}  // namespace qzr

namespace qzr {
// The toolbox's message hook once the worker runs: the finished text as one
// log line whose level is the message's flags.
void log_messageHook(int flags, const char* text);
}  // namespace qzr
