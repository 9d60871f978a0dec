// The toolbox tokenizer.
//
// Reads a text file line by line (pieces of at most 511 characters, each
// counted as a line; CR LF reads as LF) and turns it into tokens. Every
// token text is bounded by its buffer: identifiers keep 32 characters,
// strings 255, integers stop at 2147483647 with report 209.
#include "foundation/tbx_pars.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "foundation/ascii.h"
#include "foundation/tbx_msg.h"
#include "os/os_file.h"

namespace qzr {

namespace {

void printStdout(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Set when an integer ended at 'E', shared by all parsers: the identifier
// that follows stops at the first character that is not a letter, '_' or '$'.
bool exponentFlag = false;

struct IncludeSave {
    std::FILE* file = nullptr;
    long lineStart = 0;
    int lineIndex = 0;
    unsigned char current = 0;
    int lineNumber = 0;
    char line[TBX_LINE_SIZE + 1] = {};
    int tokenId = 0;
    char token[TBX_TOKEN_SIZE] = {};
    char tokenUpper[TBX_TOKEN_SIZE] = {};
    int value = 0;
    int tokenColumn = 0;
    std::string fileName;
};

std::unique_ptr<IncludeSave> includeSaves[TBX_MAX_INCLUDE + 1];

bool isLetter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}
void upperCopy(char* dst, const char* src, std::size_t size)
{
    std::size_t i = 0;
    for (; src[i] && i + 1 < size; ++i) dst[i] = asciiUpper(src[i]);
    dst[i] = '\0';
}

// The key of keyword `name` in `table`: upper-cased unless the table is
// case-sensitive.
void keywordKey(const tbx_hash& table, const char* name, char (&key)[TBX_TOKEN_SIZE])
{
    if (table.flags & TBX_HASH_CASE_SENSITIVE) {
        std::snprintf(key, sizeof key, "%s", name);
    } else {
        upperCopy(key, name, sizeof key);
    }
}

// Reads one piece of a line (at most size-1 characters) as text mode would:
// CR LF becomes LF. Returns false at the end of the file.
bool readLine(std::FILE* f, char* buf, int size)
{
    if (!std::fgets(buf, size, f)) {
        buf[0] = '\0';
        return false;
    }
    std::size_t n = std::strlen(buf);
    if (n > 0 && buf[n - 1] == '\r') {
        int next = std::fgetc(f);
        if (next == '\n') {
            buf[n - 1] = '\n';
        } else if (next != EOF) {
            std::ungetc(next, f);
        }
    } else if (n > 1 && buf[n - 1] == '\n' && buf[n - 2] == '\r') {
        buf[n - 2] = '\n';
        buf[n - 1] = '\0';
    }
    return true;
}

void closeFile(tbx_parser* p)
{
    if (p->file) {
        std::fclose(p->file);
        p->file = nullptr;
    }
    p->lastLine.clear();
}

void setToken(tbx_parser* p, const char* text, int id)
{
    std::snprintf(p->token, sizeof p->token, "%s", text);
    upperCopy(p->tokenUpper, p->token, sizeof p->tokenUpper);
    p->tokenId = id;
}

void readIdentifier(tbx_parser* p)
{
    int n = 0;
    bool first = true;
    for (;;) {
        unsigned char c = p->current;
        bool takes = isLetter(c) || c == '_' || c == '$';
        if (!exponentFlag || first) takes = takes || isDigit(c) || c == '.';
        if (!takes) break;
        if (n < TBX_IDENT_MAX) p->token[n++] = static_cast<char>(c);
        first = false;
        tbx_getc(p);
    }
    exponentFlag = false;
    p->token[n] = '\0';
    upperCopy(p->tokenUpper, p->token, sizeof p->tokenUpper);
    p->tokenId = TBX_IDENTIFIER;
    if (!p->keywords) return;
    if (n == 1) {
        p->tokenId = p->classes[static_cast<unsigned char>(p->token[0])];
        return;
    }
    if (const tbx_hash_entry* e = tbx_find_keyword(*p->keywords, p->token))
        p->tokenId = static_cast<int>(e->data[0]);
}

void readInteger(tbx_parser* p)
{
    int n = 0;
    int value = 0;
    bool hex = false;
    bool first = true;
    for (;;) {
        unsigned char c = p->current;
        int digit;
        if (isDigit(c)) {
            digit = c - '0';
        } else if (hex && std::isxdigit(c)) {
            digit = asciiUpper(static_cast<char>(c)) - 'A' + 10;
        } else {
            break;
        }
        if (n < TBX_IDENT_MAX) p->token[n++] = static_cast<char>(c);
        int base = hex ? 16 : 10;
        int limit = hex ? 134217728 : 214748365;
        if (value >= limit || 2147483647 - base * value < digit) {
            tbx_error(p, TBX_ERR_CONSTANT);
        } else {
            value = base * value + digit;
        }
        tbx_getc(p);
        if (first && (p->current == 'x' || p->current == 'X')) {
            if (n < TBX_IDENT_MAX) p->token[n++] = static_cast<char>(p->current);
            hex = true;
            tbx_getc(p);
        }
        first = false;
    }
    p->token[n] = '\0';
    upperCopy(p->tokenUpper, p->token, sizeof p->tokenUpper);
    p->value = value;
    p->tokenId = TBX_INTEGER;
    exponentFlag = (p->current == 'E');
}

// Copies the reading position of a file (the stream, its line and the
// current token) between the parser and an include save, either way.
template <typename To, typename From>
void copyReadingState(To& to, const From& from)
{
    to.file = from.file;
    to.lineStart = from.lineStart;
    to.lineIndex = from.lineIndex;
    to.current = from.current;
    to.lineNumber = from.lineNumber;
    std::memcpy(to.line, from.line, sizeof to.line);
    to.tokenId = from.tokenId;
    std::memcpy(to.token, from.token, sizeof to.token);
    std::memcpy(to.tokenUpper, from.tokenUpper, sizeof to.tokenUpper);
    to.value = from.value;
    to.tokenColumn = from.tokenColumn;
    to.fileName = from.fileName;
}

void saveInclude(tbx_parser* p, int depth)
{
    auto s = std::make_unique<IncludeSave>();
    copyReadingState(*s, *p);
    p->file = nullptr;
    includeSaves[depth] = std::move(s);
}

void restoreInclude(tbx_parser* p)
{
    closeFile(p);
    std::unique_ptr<IncludeSave> s = std::move(includeSaves[p->depth]);
    --p->depth;
    if (s) copyReadingState(*p, *s);
}

// After the include keyword: opens the quoted file that follows. Returns
// true when reading goes on in the included file.
bool startInclude(tbx_parser* p)
{
    tbx_skip_blanks(p);
    if (p->current != static_cast<unsigned char>(p->delimiter)) return false;
    std::string keyword = tbx_token_name(p, p->tokenId);
    tbx_read_string(p);
    if (p->depth + 1 > TBX_MAX_INCLUDE) {
        tbx_error(p, TBX_ERR_NESTING, keyword.c_str(), TBX_MAX_INCLUDE);
        return true;
    }
    std::string name = p->token;
    saveInclude(p, p->depth + 1);
    ++p->depth;
    if (!tbx_open_file(p, p->includeDir.empty() ? nullptr : p->includeDir.c_str(), name.c_str())) {
        p->current = 0;  // reads as an empty file, then returns to the includer
        p->line[0] = '\0';
    }
    return true;
}

}  // namespace

tbx_print_fn tbx_context_printer = printStdout;

tbx_parser::~tbx_parser()
{
    closeFile(this);
}

void tbx_init_parser(tbx_parser* p, tbx_hash* keywords)
{
    if (!p) return;
    closeFile(p);
    p->atEnd = false;
    p->includeDir.clear();
    p->fileName.clear();
    p->lineComment = ";";
    p->blockOpen = "/*";
    p->blockClose = "*/";
    p->errLineStart = 0;
    p->errColumn = 0;
    p->errLine = 0;
    p->lineStart = 0;
    p->lineIndex = TBX_LINE_NEW;
    p->tokenColumn = 0;
    p->current = ' ';
    p->lineNumber = 0;
    std::memset(p->line, 0, sizeof p->line);
    std::memset(p->blockComment, 0, sizeof p->blockComment);
    p->tokenId = 0;
    std::memset(p->token, 0, sizeof p->token);
    std::memset(p->tokenUpper, 0, sizeof p->tokenUpper);
    p->value = 0;
    p->keywords = keywords;
    p->includeKeyword = -1;
    p->depth = 0;
    p->errorCount = 0;
    p->warningCount = 0;
    p->delimiter = '"';

    for (int c = 0; c < 256; ++c) {
        bool own = isDigit(static_cast<unsigned char>(c)) || isLetter(static_cast<unsigned char>(c)) ||
                   c == '_' || c == '$' || c == '"';
        p->classes[c] = own ? static_cast<unsigned char>(c) : static_cast<unsigned char>(TBX_CLASS_ILLEGAL);
    }
    for (unsigned char c : {' ', '\t', '\n', '\r'}) p->classes[c] = TBX_CLASS_BLANK;
}

bool tbx_open_file(tbx_parser* p, const char* prefix, const char* name)
{
    // Only a regular file is read, and its open never waits: a directory, a
    // FIFO or a device reads as a file that cannot be opened.
    const int how = OS_OPEN_READ | OS_OPEN_FOLLOW;
    std::string opened = name;
    std::FILE* f = nullptr;
    (void)os_fileOpenStream(name, how, 0, "r", f);
    if (!f && prefix) {
        opened = std::string(prefix) + name;
        (void)os_fileOpenStream(opened.c_str(), how, 0, "r", f);
    }
    // Whatever happens, nothing of a previous file is read any more: a file
    // that cannot be opened reads as an empty file.
    closeFile(p);
    p->atEnd = false;
    p->lineIndex = TBX_LINE_NEW;
    p->current = ' ';
    p->lineNumber = 0;
    p->line[0] = '\0';
    if (!f) {
        tbx_error(p, TBX_ERR_OPEN_FILE, name);
        return false;
    }
    p->file = f;
    p->fileName = opened;
    return true;
}

void tbx_add_keyword(tbx_hash& table, const char* name, int id)
{
    if (table.flags & TBX_HASH_FIND_ONLY) {
        tbx_error(nullptr, TBX_ERR_KEYWORD, name);
        return;
    }
    char key[TBX_TOKEN_SIZE];
    keywordKey(table, name, key);
    if (tbx_hash_entry* e = tbx_hash_find(table, key)) e->data[0] = id;
}

const tbx_hash_entry* tbx_find_keyword(const tbx_hash& table, const char* name)
{
    char key[TBX_TOKEN_SIZE];
    keywordKey(table, name, key);
    return tbx_hash_lookup(table, key);
}

void tbx_getc(tbx_parser* p)
{
    if (p->lineIndex <= TBX_LINE_SIZE && p->line[p->lineIndex] != '\0') {
        p->current = static_cast<unsigned char>(p->line[p->lineIndex++]);
        return;
    }
    if (!p->file) {
        p->line[0] = '\0';
        p->lineIndex = 0;
        p->current = 0;
        return;
    }
    int next = std::fgetc(p->file);
    if (next == EOF) {
        // The end: the file is closed, its last line (the line number and
        // its start stay those of that line) is kept for a report on the
        // token read last.
        std::string last = p->line;
        closeFile(p);
        p->lastLine = std::move(last);
        p->atEnd = true;
        p->line[0] = '\0';
        p->lineIndex = 0;
        p->current = 0;
        return;
    }
    std::ungetc(next, p->file);
    p->lineStart = std::ftell(p->file);
    if (!readLine(p->file, p->line, TBX_LINE_SIZE)) {
        closeFile(p);
        p->atEnd = true;
        p->lineIndex = 0;
        p->current = 0;
        return;
    }
    ++p->lineNumber;
    p->current = static_cast<unsigned char>(p->line[0]);
    p->lineIndex = 1;
}

void tbx_skip_blanks(tbx_parser* p)
{
    for (;;) {
        unsigned char c = p->current;
        if (c == 0) return;
        if (std::strchr(p->lineComment.c_str(), c)) {
            while (p->current != '\n' && p->current != 0) tbx_getc(p);
            if (p->current == '\n') tbx_getc(p);
            continue;
        }
        if (p->blockOpen.size() == 2 && c == static_cast<unsigned char>(p->blockOpen[0])) {
            // Only a second character in the same line can open a comment;
            // otherwise the slash stays current.
            if (p->lineIndex > TBX_LINE_SIZE || p->line[p->lineIndex] != p->blockOpen[1]) return;
            tbx_getc(p);  // the asterisk
            tbx_getc(p);
            std::size_t n = 0;
            for (;;) {
                if (p->current == 0) {
                    p->blockComment[n] = '\0';  // left open: it ends with the file
                    return;
                }
                if (p->current == static_cast<unsigned char>(p->blockClose[0])) {
                    tbx_getc(p);
                    if (p->current == static_cast<unsigned char>(p->blockClose[1])) {
                        tbx_getc(p);
                        break;
                    }
                    if (n < TBX_COMMENT_MAX) p->blockComment[n++] = p->blockClose[0];
                    continue;
                }
                if (n < TBX_COMMENT_MAX) p->blockComment[n++] = static_cast<char>(p->current);
                tbx_getc(p);
            }
            p->blockComment[n] = '\0';
            continue;
        }
        if (p->classes[c] == TBX_CLASS_BLANK) {
            tbx_getc(p);
            continue;
        }
        return;
    }
}

void tbx_read_string(tbx_parser* p)
{
    const unsigned char delim = static_cast<unsigned char>(p->delimiter);
    std::size_t total = 0;
    std::size_t kept = 0;
    bool closed = false;
    tbx_getc(p);  // the opening delimiter
    for (;;) {
        unsigned char c = p->current;
        if (c == delim && c != 0) {
            closed = true;
            tbx_getc(p);
            break;
        }
        if (c == '\\') {
            tbx_getc(p);
            c = p->current;
        }
        if (c == '\n' || c == 0) {
            p->token[kept] = '\0';
            tbx_error(p, TBX_ERR_INVALID_STRING, p->token);
            if (c == '\n') tbx_getc(p);
            break;
        }
        if (kept < TBX_STRING_MAX) p->token[kept++] = static_cast<char>(c);
        ++total;
        tbx_getc(p);
    }
    p->token[kept] = '\0';
    if (closed && total >= TBX_STRING_MAX) tbx_error(p, TBX_ERR_STRING_TOO_LONG, p->token);
    upperCopy(p->tokenUpper, p->token, sizeof p->tokenUpper);
    p->tokenId = TBX_STRING;
}

int tbx_next_token(tbx_parser* p)
{
    for (;;) {
        tbx_skip_blanks(p);
        p->tokenColumn = p->lineIndex;
        unsigned char c = p->current;
        if (c != 0 && c == static_cast<unsigned char>(p->delimiter)) {
            tbx_read_string(p);
            return p->tokenId;
        }
        if (isLetter(c) || c == '_' || c == '$') {
            readIdentifier(p);
            if (p->includeKeyword != -1 && p->tokenId == p->includeKeyword && startInclude(p)) continue;
            return p->tokenId;
        }
        if (isDigit(c)) {
            readInteger(p);
            return p->tokenId;
        }
        if (c == 0) {
            setToken(p, "EOF", TBX_EOF);
            if (p->depth == 0) return TBX_EOF;
            restoreInclude(p);
            continue;
        }
        char text[2] = {static_cast<char>(c), '\0'};
        setToken(p, text, p->classes[c]);
        if (p->tokenId == TBX_CLASS_ILLEGAL) {
            tbx_error(p, TBX_ERR_ILLEGAL_CHAR, c, c);
            tbx_getc(p);
            continue;
        }
        tbx_getc(p);
        return p->tokenId;
    }
}

std::string tbx_token_name(tbx_parser* p, int id)
{
    char buf[16];
    if (id >= 1 && id <= 255) {
        if (id >= 33 && id <= 127) {
            std::snprintf(buf, sizeof buf, "%c", id);
        } else {
            std::snprintf(buf, sizeof buf, "[0x%02X]", id);
        }
        return buf;
    }
    switch (id) {
    case TBX_KEYWORD: return "keyword";
    case TBX_IDENTIFIER: return "identifier";
    case TBX_INTEGER: return "integer";
    case TBX_STRING: return "string";
    case TBX_EOF: return "EOF";
    case TBX_NOT_EQUAL: return "<>";
    case TBX_LESS_EQUAL: return "<=";
    case TBX_GREATER_EQUAL: return ">=";
    case TBX_INCREMENT: return "++";
    case TBX_DECREMENT: return "--";
    default: break;
    }
    if (id > 512 && p && p->keywords) {
        tbx_hash& table = *p->keywords;
        tbx_hash_rewind(table);
        while (tbx_hash_entry* e = tbx_hash_next(table))
            if (e->data[0] == id) return e->key;
    }
    tbx_error(nullptr, TBX_ERR_TOKEN_ID, id);
    return "";
}

const char* tbx_error_context(tbx_parser* p, int flags)
{
    // Whole, however long the file's path: the line number must never be
    // cut off.
    static std::string context;
    context.clear();
    if (!p) return context.c_str();

    int column = p->errColumn ? p->errColumn : p->tokenColumn;
    // Once the end of the file closed it, only a token of its last line
    // (not the end itself, at column 0) still has its line to show.
    bool kept = !p->file && !p->lastLine.empty() && column > 0 && !p->errLineStart;
    // A report at the end of the file (the file is closed, no line is left
    // to show) still names the file and its last line.
    const bool atEnd = p->atEnd && !p->fileName.empty();
    const bool lineShown = (p->file || kept) && p->lineNumber > 0;
    if (lineShown) {
        long start = p->errLineStart ? p->errLineStart : p->lineStart;

        char shown[132] = "";
        if (kept) {
            std::snprintf(shown, sizeof shown, "%s", p->lastLine.c_str());
        } else {
            long saved = std::ftell(p->file);
            if (std::fseek(p->file, start, SEEK_SET) == 0) readLine(p->file, shown, sizeof shown);
            std::fseek(p->file, saved, SEEK_SET);
        }

        std::string out = shown;
        if (out.empty() || out.back() != '\n') out += '\n';
        for (int i = 0; i < column - 1; ++i)
            out += (static_cast<std::size_t>(i) < std::strlen(shown) && shown[i] == '\t') ? '\t' : ' ';
        out += "^\n";
        tbx_context_printer(out.c_str());
    } else if (atEnd) {
        tbx_context_printer("(end of file)\n");
    }
    if (lineShown || atEnd) {
        const int lineNo = p->errLine ? p->errLine : std::max(p->lineNumber, 1);
        context = p->fileName + " near line:" + std::to_string(lineNo) + ": ";
        p->errLineStart = 0;
        p->errColumn = 0;
        p->errLine = 0;
    }

    if (flags & TBX_SEV_WARNING) ++p->warningCount;
    if ((flags & TBX_SEV_ERROR) || !(flags & (TBX_SEV_INFO | TBX_SEV_WARNING | TBX_SEV_ERROR))) ++p->errorCount;
    return context.c_str();
}

}  // namespace qzr
