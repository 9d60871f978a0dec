// The log writer: time-stamped lines in the log file and the ring of screen
// lines the status window shows.
//
// The screen lines, the status line and the last error are fixed buffers of
// 128 characters: a text that does not fit is cut at the end, never overrun,
// and on a whole character of UTF-8.
// The log file takes every text whole, also those written before it opened
// while the worker asked for them to be kept. Each write reaches the file
// before the function returns (no line waits in a buffer across a call, so a
// killed process leaves every line it wrote); log_flush also puts the file on
// disk.
//
// In service mode the service's control handler and watch thread log and
// flush while the worker writes, opens and closes the log: every function
// holds the log's lock, so no thread ever uses a stream another one closed.
#include "foundation/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/runtime.h"
#include "os/os_file.h"

namespace qzr {

ScreenLines screenLines;
char statusLine[SCREEN_LINE_SIZE];
char lastErrorLine[SCREEN_LINE_SIZE];

namespace {

// The log's mode, whatever the umask: the practice software's group reads it.
constexpr unsigned LOG_FILE_MODE = 0640;

std::FILE* logFp = nullptr;
// Recursive: opening the log reports its failure through log_write.
std::recursive_mutex logMutex;

// Lines written while the log was closed, in the log's form, for the next
// log_open; kept only while `keepWhileClosed` is on.
bool keepWhileClosed = false;
std::vector<std::string> keptLines;

// Error lines of a closed log also go to standard error.
bool errorsToStderr = false;

const char* levelPrefix(int level, char* buf, std::size_t size)
{
    switch (level) {
    case LOG_INFO:
    case LOG_STATUS: return "INFO - ";
    case LOG_COM_OUT: return "COM<-- ";
    case LOG_COM_IN:
    case LOG_COM_WAIT: return "COM  :- ";
    case LOG_PROT: return "INFO -prot. ";
    case LOG_TAPI_INFO: return "TAPI-INF-  ";
    case LOG_TAPI_ERROR: return "TAPI-ERR-  ";
    case LOG_ERROR: return "ERROR- ";
    case LOG_PROT_ERROR: return "ERROR-prot. ";
    default: std::snprintf(buf, size, "CODE -%03d- ", level); return buf;
    }
}

// Ends `line`, cut at its buffer's end just before the byte `next`, on a
// whole character: when `next` continues a UTF-8 sequence, the beginning of
// that sequence is removed from the end of `line` too.
void cutOnWholeCharacter(char* line, unsigned char next)
{
    if ((next & 0xC0) != 0x80) return;
    std::size_t len = std::strlen(line);
    std::size_t at = len;
    while (at > 0 && len - at < 3 && (static_cast<unsigned char>(line[at - 1]) & 0xC0) == 0x80) --at;
    if (at > 0 && static_cast<unsigned char>(line[at - 1]) >= 0xC0) line[at - 1] = '\0';
}

// Formats into a stack buffer when the text fits, else into `big`.
const char* formatText(char* buf, std::size_t size, std::string& big, const char* fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf, size, fmt, copy);
    va_end(copy);
    if (n < 0) {
        buf[0] = '\0';
        return buf;
    }
    if (static_cast<std::size_t>(n) < size) return buf;
    big.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    big.resize(static_cast<std::size_t>(n));
    return big.c_str();
}

// Whether the byte `c` of a dump or a foreign text is written escaped.
bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// Writes the escape of the byte `c` ("#%02x") at `out` (3 characters).
void writeEscape(unsigned char c, char* out)
{
    static constexpr char HEX[] = "0123456789abcdef";
    out[0] = '#';
    out[1] = HEX[c >> 4];
    out[2] = HEX[c & 0x0F];
}

// Appends the escape of the byte `c` ("#%02x") to `out`.
void appendEscape(std::string& out, unsigned char c)
{
    char form[3];
    writeEscape(c, form);
    out.append(form, sizeof form);
}

// Writes the byte `c` of a dump or a foreign text as the log carries it at
// `out` (room for 3): escaped when a control byte, "##" for '#', itself
// otherwise. Returns the number of characters written.
std::size_t writeLogged(unsigned char c, char* out)
{
    if (isControl(c)) {
        writeEscape(c, out);
        return 3;
    }
    out[0] = static_cast<char>(c);
    if (c != '#') return 1;
    out[1] = '#';
    return 2;
}

// The length of the UTF-8 character that begins at `at` in `text` (2 to 4
// bytes, its lead and continuation bytes well formed), or 0 when none does.
std::size_t utf8Length(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t len = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (len == 0 || lead > 0xF4 || at + len > text.size()) return 0;
    for (std::size_t i = 1; i < len; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    return len;
}

// The readable screen form of one byte of a dump.
const char* readableByte(unsigned char c, char* buf, std::size_t size)
{
    switch (c) {
    case 0: return "{nul}";
    case 2: return "{stx}";
    case 3: return "{etx}";
    case 4: return "{eot}";
    case 5: return "{enq}";
    case 6: return "{ack}";
    case 9: return "{ht}";
    case 10: return "[lf]";
    case 11: return "{vt}";
    case 13: return "[cr]";
    case 21: return "{nak}";
    default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
        buf[0] = static_cast<char>(c);
        buf[1] = '\0';
    } else {
        std::snprintf(buf, size, "{0x%02x}", c);
    }
    return buf;
}

}  // namespace

int log_open(const char* name, bool append)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    log_close();
    if (!name) name = "qzr.log";
    // The log may be a link the driver's own user or root made (to a log
    // directory, say), never one of another user. The practice software
    // reads it through the group; others have no access.
    const int how = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_FOLLOW | OS_OPEN_NARROW |
                    (append ? OS_OPEN_APPEND : OS_OPEN_TRUNCATE);
    (void)os_fileOpenStream(name, how, LOG_FILE_MODE, append ? "a" : "w", logFp);
    if (!logFp) {
        log_write(LOG_ERROR, "cannot open log file %s\n", name);
        return 2;
    }
    for (const std::string& line : keptLines) std::fputs(line.c_str(), logFp);
    keptLines.clear();
    std::fflush(logFp);
    return 0;
}

void log_keepWhileClosed(bool on)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    keepWhileClosed = on;
    if (!on) keptLines.clear();
}

void log_errorsToStderrWhileClosed(bool on)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    errorsToStderr = on;
}

void log_close()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    if (logFp) {
        std::fclose(logFp);
        logFp = nullptr;
    }
}

bool log_isOpen()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    return logFp != nullptr;
}

void log_flush()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    if (logFp) {
        std::fflush(logFp);
        (void)os_fileSync(fileno(logFp));
    }
}

int log_vwrite(int level, const char* fmt, va_list ap)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);

    char small[1024];
    std::string big;
    const char* text = formatText(small, sizeof small, big, fmt, ap);

    if (logFp || keepWhileClosed) {
        char stamp[80];
        char pbuf[32];
        std::snprintf(stamp, sizeof stamp, "\n%04d%02d%02d %02d:%02d:%02d ", tm.tm_year + 1900, tm.tm_mon + 1,
                      tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        const char* prefix = levelPrefix(level, pbuf, sizeof pbuf);
        if (logFp) {
            std::fprintf(logFp, "%s%s%s", stamp, prefix, text);
            std::fflush(logFp);
        } else
            keptLines.push_back(std::string(stamp) + prefix + text);
    }
    if (!logFp && errorsToStderr && level == LOG_ERROR) {
        std::string_view line = text;
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        log_toStderr(std::string("ERROR- ") + std::string(line));
    }

    char* line = screenLines.lines[screenLines.ringIndex];
    screenLines.current = line;
    int n = std::snprintf(line, SCREEN_LINE_SIZE, "%02d:%02d:%02d %s", tm.tm_hour, tm.tm_min, tm.tm_sec, text);
    if (n >= static_cast<int>(SCREEN_LINE_SIZE)) {
        std::size_t stamp = static_cast<std::size_t>(n) - std::strlen(text);
        cutOnWholeCharacter(line, static_cast<unsigned char>(text[SCREEN_LINE_SIZE - 1 - stamp]));
    }

    if (level == LOG_STATUS) std::snprintf(statusLine, sizeof statusLine, "%s", line);
    if (level == LOG_ERROR || level == LOG_PROT_ERROR)
        std::snprintf(lastErrorLine, sizeof lastErrorLine, "%s", line);

    for (int i = 0; i < SCREEN_LINE_COUNT - 1; ++i) screenLines.display[i] = screenLines.display[i + 1];
    screenLines.display[SCREEN_LINE_COUNT - 1] = line;
    screenLines.ringIndex = (screenLines.ringIndex + 1) % SCREEN_LINE_COUNT;

    if (hMainWnd) hMainWnd->repaint();
    return 0;
}

int log_write(int level, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(level, fmt, ap);
    va_end(ap);
    return 0;
}

void log_code(int code, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(code, fmt, ap);
    va_end(ap);
}

int log_writeKept(int level, const char* fmt, ...)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    bool saved = keepWhileClosed;
    keepWhileClosed = true;
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(level, fmt, ap);
    va_end(ap);
    keepWhileClosed = saved;
    return 0;
}

void log_append(const char* fmt, ...)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    if (!logFp) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(logFp, fmt, ap);
    va_end(ap);
    std::fflush(logFp);
}

void log_dump(int level, const char* title, const void* buf, std::size_t len)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    const auto* bytes = static_cast<const unsigned char*>(buf);
    if (title) log_write(level, "%s len=%d <", title, static_cast<int>(len));

    if (logFp) {
        char out[4096];
        std::size_t used = 0;
        for (std::size_t i = 0; i < len; ++i) {
            if (used > sizeof out - 4) {
                std::fwrite(out, 1, used, logFp);
                used = 0;
            }
            used += writeLogged(bytes[i], out + used);
        }
        if (title) out[used++] = '>';
        std::fwrite(out, 1, used, logFp);
        std::fflush(logFp);
    }

    if ((level == LOG_COM_OUT || level == LOG_COM_IN) && screenLines.current) {
        char* line = screenLines.current;
        std::size_t n = std::strlen(line);
        for (std::size_t i = 0; i < len && n < SCREEN_DUMP_LIMIT; ++i) {
            char form[8];
            const char* r = readableByte(bytes[i], form, sizeof form);
            std::size_t rl = std::strlen(r);
            std::memcpy(line + n, r, rl + 1);
            n += rl;
        }
        if (hMainWnd) hMainWnd->repaint();
    }
}

std::string log_foreign(std::string_view text)
{
    const std::size_t kept = std::min(text.size(), LOG_FOREIGN_LIMIT);
    std::string out;
    out.reserve(kept + 16);
    for (std::size_t i = 0; i < kept; ++i) {
        char form[3];
        out.append(form, writeLogged(static_cast<unsigned char>(text[i]), form));
    }
    if (kept < text.size()) out += "...(" + std::to_string(text.size() - kept) + " bytes cut)";
    return out;
}

namespace {

// Writes `line` escaped as log_toStderr says, and a line feed, to `stream`.
void writeEscapedLine(std::FILE* stream, std::string_view line)
{
    std::string out;
    out.reserve(line.size() + 1);
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        const std::size_t len = c >= 0x80 ? utf8Length(line, i) : 1;
        const bool c1 = len == 2 && c == 0xC2 && static_cast<unsigned char>(line[i + 1]) <= 0x9F;
        if ((isControl(c) && c != '\n') || c1 || (len == 0 && c <= 0x9F)) {
            for (std::size_t k = 0; k < std::max<std::size_t>(len, 1); ++k)
                appendEscape(out, static_cast<unsigned char>(line[i + k]));
        } else {
            out.append(line.substr(i, std::max<std::size_t>(len, 1)));
        }
        i += std::max<std::size_t>(len, 1);
    }
    out += '\n';
    std::fputs(out.c_str(), stream);
    std::fflush(stream);
}

}  // namespace

void log_toStderr(std::string_view line)
{
    writeEscapedLine(stderr, line);
}

void log_toStdout(std::string_view line)
{
    writeEscapedLine(stdout, line);
}

void log_resetScreen()
{
    std::lock_guard<std::recursive_mutex> lock(logMutex);
    screenLines = ScreenLines{};
    statusLine[0] = '\0';
    lastErrorLine[0] = '\0';
}

}  // namespace qzr

namespace qzr {

void log_messageHook(int flags, const char* text)
{
    log_write(flags, "%s", text);
}

}  // namespace qzr
