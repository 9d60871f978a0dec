// The toolbox's registry of numbered messages and their reporting.
//
// The registry holds at most TBX_MAXERROR codes, filled from the first slot
// and never emptied. A reported text is composed once: the parser's context
// whole, then the prefix and the message in 520 characters (cut, never
// overrun); from then on it is only ever passed as text, never as a format.
#include "foundation/tbx_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/runtime.h"
#include "foundation/tbx_pars.h"

namespace qzr {

tbx_hook_fn tbx_message_hook = nullptr;

namespace {

tbx_error_entry errorTable[TBX_MAXERROR];
bool registrationsDone = false;

struct Severity {
    const char* prefix;
    const char* title;
    unsigned style;
};

Severity severityOf(int flags)
{
    if (flags & TBX_SEV_INFO) return {"%%I-%04d: ", "QZR Information", MB_STYLE_INFORMATION};
    if (flags & TBX_SEV_WARNING) return {"%%W-%04d: ", "QZR Warning", MB_STYLE_WARNING};
    if (flags & TBX_SEV_ERROR) return {"%%E-%04d: ", "QZR Error", MB_STYLE_ERROR};
    return {"%%F-%04d: ", "QZR Error", MB_STYLE_ERROR};
}

// Appends printf output at `used` within `size`, cutting what does not fit.
void appendf(char* buf, std::size_t size, const char* fmt, ...)
{
    std::size_t used = std::strlen(buf);
    if (used + 1 >= size) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf + used, size - used, fmt, ap);
    va_end(ap);
}

// Hands a finished text to the hook, or prints "%d-%s\n" with the flags on
// standard output when no hook is installed.
void deliverMessage(int flags, const char* text)
{
    if (tbx_message_hook) {
        tbx_message_hook(flags, text);
    } else {
        std::printf("%d-%s\n", flags, text);
        std::fflush(stdout);
    }
}

}  // namespace

void tbx_init_errors()
{
    registrationsDone = true;
    tbx_register_error(TBX_SUCCESS, TBX_SEV_INFO, "success ", 0);
    tbx_register_error(TBX_ERR_INTERNAL, TBX_SEV_STOP, "Internal error %s (module:%s line:%d)", 3);
    tbx_register_error(TBX_ERR_CONSTANT, TBX_SEV_STOP + TBX_SEV_CONTEXT, "Constant too big!", 0);
    tbx_register_error(TBX_ERR_ILLEGAL_CHAR, TBX_SEV_WARNING + TBX_SEV_CONTEXT,
                       "Illegal character in file: '%c' (0x%X)", 2);
    tbx_register_error(TBX_ERR_SYNTAX, TBX_SEV_STOP + TBX_SEV_CONTEXT, "Syntax error, expecting: %s", 1);
    tbx_register_error(TBX_ERR_SYNTAX_WARNING, TBX_SEV_WARNING + TBX_SEV_CONTEXT,
                       "Syntax error, expecting: %s", 1);
    tbx_register_error(TBX_ERR_OPEN_FILE, TBX_SEV_STOP + TBX_SEV_CONTEXT, "Error openning file: '%s'", 1);
    tbx_register_error(TBX_ERR_STRING_TOO_LONG, TBX_SEV_WARNING + TBX_SEV_CONTEXT,
                       "String too long, truncated to: '%s'", 1);
    tbx_register_error(TBX_ERR_INVALID_STRING, TBX_SEV_ERROR + TBX_SEV_CONTEXT, "Invalid string '%s'", 1);
    tbx_register_error(TBX_ERR_NO_MEMORY, TBX_SEV_STOP, "Not enough memory (module:%s line:%d)", 2);
    tbx_register_error(TBX_ERR_NESTING, TBX_SEV_STOP + TBX_SEV_CONTEXT,
                       "The '%s' instruction cannot be nested more than %d time(s)", 2);
    tbx_register_error(TBX_ERR_FILENAME, TBX_SEV_STOP + TBX_SEV_CONTEXT,
                       "Syntax error: expecting a quoted filename after '%s'", 1);
    tbx_register_error(TBX_ERR_KEYWORD, TBX_SEV_STOP, "keyword '%s' not registered ", 1);
    tbx_register_error(TBX_ERR_TOKEN_ID, TBX_SEV_STOP, "Token id '%d' has not been defined", 1);
    tbx_register_error(TBX_ERR_UNDEFINED, TBX_SEV_ERROR + TBX_SEV_CONTEXT, "Objet '%s' is not defined", 1);
    tbx_register_error(TBX_ERR_REDEFINED, TBX_SEV_ERROR + TBX_SEV_CONTEXT, "Redefinition of the object '%s'", 1);
    tbx_register_error(TBX_MSG_INFO, TBX_SEV_INFO, "%s", 1);
    tbx_register_error(TBX_MSG_ERROR, TBX_SEV_ERROR, "%s", 1);
    tbx_register_error(TBX_MSG_STOP, TBX_SEV_STOP, "%s", 1);
}

void tbx_register_error(int code, int flags, const char* format, int argCount)
{
    if (!registrationsDone) tbx_init_errors();
    for (const auto& e : errorTable) {
        if (e.code == code) {
            std::printf("tbx_register_error: error code %d already defined \n", code);
            std::fflush(stdout);
            std::exit(1);
        }
    }
    for (auto& e : errorTable) {
        if (e.code == 0) {
            e = tbx_error_entry{code, flags, argCount, format};
            return;
        }
    }
    std::printf("tbx_register_error: More than TBX_MAXERROR (%d) error codes have been defined \n",
                TBX_MAXERROR);
    std::fflush(stdout);
    std::exit(1);
}

void tbx_error(tbx_parser* parser, int code, ...)
{
    if (!registrationsDone) tbx_init_errors();
    const tbx_error_entry* entry = nullptr;
    for (const auto& e : errorTable) {
        if (e.code == code) {
            entry = &e;
            break;
        }
    }
    if (!entry) {
        std::printf("Undefined error code '%d'", code);
        if (parser) {
            std::printf("\n");
            tbx_error_context(parser, TBX_SEV_INFO);
        }
        std::fflush(stdout);
        std::exit(1);
    }

    // The parser's context stays whole (a deep path must not lose its line
    // number); the prefix and the message are held in TBX_TEXT_SIZE.
    std::string text;
    if (parser && (entry->flags & TBX_SEV_CONTEXT)) text = tbx_error_context(parser, entry->flags);
    char body[TBX_TEXT_SIZE] = "";
    Severity sev = severityOf(entry->flags);
    appendf(body, sizeof body, sev.prefix, code);

    va_list ap;
    va_start(ap, code);
    std::size_t used = std::strlen(body);
    if (used + 1 < sizeof body) std::vsnprintf(body + used, sizeof body - used, entry->format, ap);
    va_end(ap);
    text += body;

    deliverMessage(entry->flags, text.c_str());
    showMessageBox(sev.title, text.c_str(), sev.style);

    if (entry->flags & TBX_SEV_STOP) {
        if (hMainWnd) {
            hMainWnd->postQuit(0);
            return;
        }
        throw StopThread{0};
    }
}

int tbx_message(int flags, const char* fmt, ...)
{
    char text[TBX_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    deliverMessage(flags, text);
    return 0;
}

void showConfigError(const char* text)
{
    showMessageBox("Configuration QZR non valide/ Invalid QZR configuration", text, MB_STYLE_ERROR);
}

const tbx_error_entry* tbx_error_table()
{
    return errorTable;
}

void tbx_reset_errors()
{
    for (auto& e : errorTable) e = tbx_error_entry{};
    registrationsDone = false;
    tbx_message_hook = nullptr;
}

}  // namespace qzr
