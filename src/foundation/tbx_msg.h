// Toolbox messages: a registry of at most 50 numbered messages with a
// severity and a printf format. Reporting one composes a single text
// (parser context, "%X-%04d: " prefix, message), hands it to the message
// hook, shows it in a box and, for stop messages, ends the message loop
// (with a main window) or the calling thread (without one).
#pragma once

namespace qzr {

struct tbx_parser;

constexpr int TBX_MAXERROR = 50;
constexpr int TBX_TEXT_SIZE = 520;  // a prefix and message hold at most 519 characters

enum : int {
    TBX_SEV_INFO = 1,
    TBX_SEV_WARNING = 2,
    TBX_SEV_ERROR = 4,
    TBX_SEV_STOP = 8,
    TBX_SEV_CONTEXT = 16,
};

enum : int {
    TBX_SUCCESS = 100,
    TBX_ERR_INTERNAL = 200,
    TBX_ERR_ILLEGAL_CHAR = 201,
    TBX_ERR_SYNTAX = 202,
    TBX_ERR_SYNTAX_WARNING = 203,
    TBX_ERR_OPEN_FILE = 204,
    TBX_ERR_STRING_TOO_LONG = 205,
    TBX_ERR_INVALID_STRING = 206,
    TBX_ERR_KEYWORD = 207,
    TBX_ERR_NO_MEMORY = 208,
    TBX_ERR_CONSTANT = 209,
    TBX_ERR_NESTING = 210,
    TBX_ERR_TOKEN_ID = 211,
    TBX_ERR_FILENAME = 212,
    TBX_ERR_UNDEFINED = 213,
    TBX_ERR_REDEFINED = 214,
    TBX_MSG_INFO = 215,
    TBX_MSG_ERROR = 216,
    TBX_MSG_STOP = 299,
};

struct tbx_error_entry {
    int code = 0;  // 0: free slot
    int flags = 0;
    int argCount = 0;
    const char* format = nullptr;
};

// Receives every reported message: its flags and the finished text.
using tbx_hook_fn = void (*)(int flags, const char* text);
extern tbx_hook_fn tbx_message_hook;

void tbx_init_errors();
// Registers a code; a code registered twice or a 51st code ends the process
// with exit code 1.
void tbx_register_error(int code, int flags, const char* format, int argCount);
// Reports a registered code with the arguments of its format. `parser` may
// be null. An unregistered code ends the process with exit code 1. A stop
// message posts the quit message to the main window (which ends a wait, not
// the run), or, without one, throws StopThread.
void tbx_error(tbx_parser* parser, int code, ...);
// Formats a text and hands (flags, text) to the hook, or prints
// "%d-%s\n" on standard output when no hook is installed. Returns 0.
[[gnu::format(printf, 2, 3)]] int tbx_message(int flags, const char* fmt, ...);
// Shows a text in the box "Configuration QZR non valide/ Invalid QZR configuration".
void showConfigError(const char* text);

// The registry's slots (read by tests).
const tbx_error_entry* tbx_error_table();
// Forgets every registration and the hook (tests only).
void tbx_reset_errors();

// Reports the failed check `cond` with its source file and line (code 200).
#define TBX_ASSERT(parser, cond)                                                   \
    do {                                                                           \
        if (!(cond)) ::qzr::tbx_error((parser), ::qzr::TBX_ERR_INTERNAL, #cond,    \
                                      __FILE__, __LINE__);                         \
    } while (0)

}  // namespace qzr
