// The toolbox tokenizer for configuration-style text files.
//
// Tokens: identifiers (kept to 32 characters; keywords through a keyword
// table), integers (decimal or 0x hexadecimal, at most 2147483647), strings
// in double quotes (backslash takes the next character, at most 255),
// one-character tokens (the character's class is the token id) and EOF.
// Blanks, ';' line comments and /* */ block comments are skipped. Lines are
// read in pieces of at most 511 characters, each counted as a line, so a
// report can show the offending line with a caret under it.
#pragma once

#include <cstdio>
#include <string>

#include "foundation/tbx_hash.h"

namespace qzr {

enum : int {
    TBX_KEYWORD = 300,
    TBX_IDENTIFIER = 301,
    TBX_INTEGER = 302,
    TBX_STRING = 303,
    TBX_EOF = 314,
    TBX_NOT_EQUAL = 316,
    TBX_LESS_EQUAL = 318,
    TBX_GREATER_EQUAL = 319,
    TBX_INCREMENT = 329,
    TBX_DECREMENT = 331,
};

enum : unsigned char {
    TBX_CLASS_ILLEGAL = 0,
    TBX_CLASS_BLANK = 255,
};

constexpr int TBX_LINE_SIZE = 512;      // a line is read in pieces of 511
constexpr int TBX_LINE_NEW = 514;       // line index: read a new line next
constexpr int TBX_TOKEN_SIZE = 256;     // token texts (255 characters)
constexpr int TBX_IDENT_MAX = 32;       // identifiers keep 32 characters
constexpr int TBX_STRING_MAX = 255;     // strings keep 255 characters
constexpr int TBX_COMMENT_MAX = 256;    // stored block-comment text
constexpr int TBX_MAX_INCLUDE = 10;     // include nesting

struct tbx_include_save;

struct tbx_parser {
    std::FILE* file = nullptr;           // owned; closed at EOF
    std::string includeDir;              // tried before an included file's name
    std::string fileName;                // the name as opened
    unsigned char classes[256] = {};     // 0 illegal, 255 blank, else token id
    std::string lineComment = ";";
    std::string blockOpen = "/*";
    std::string blockClose = "*/";
    long errLineStart = 0;               // error position (0: current token's)
    int errColumn = 0;
    int errLine = 0;
    long lineStart = 0;                  // file offset of the current line
    int lineIndex = TBX_LINE_NEW;        // index of the character after the current one
    int tokenColumn = 0;
    unsigned char current = ' ';         // 0 at the end of the file
    int lineNumber = 0;
    char line[TBX_LINE_SIZE + 1] = {};
    // The last line of the file, kept when the end of the file closed it
    // (the read ahead after a last token without a line feed), so that a
    // report on that token still shows its line; empty while the file is
    // open.
    std::string lastLine;
    bool atEnd = false;                  // the end of the file closed it
    char blockComment[TBX_COMMENT_MAX + 1] = {};
    int tokenId = 0;
    char token[TBX_TOKEN_SIZE] = {};       // as read
    char tokenUpper[TBX_TOKEN_SIZE] = {};  // upper-cased
    int value = 0;                         // integer tokens
    tbx_hash* keywords = nullptr;          // first data word: token id
    int includeKeyword = -1;
    int depth = 0;
    int errorCount = 0;
    int warningCount = 0;
    char delimiter = '"';

    tbx_parser() = default;
    tbx_parser(const tbx_parser&) = delete;
    tbx_parser& operator=(const tbx_parser&) = delete;
    ~tbx_parser();
};

// Resets the record (closing its file) and sets the default classes: digits,
// letters, '_', '$' and '"' their own code; blank, tab, LF, CR blank; the
// rest illegal.
void tbx_init_parser(tbx_parser* p, tbx_hash* keywords);
// Opens `name` (else `prefix` + `name`) for reading, closing the file read
// before. Returns true when open; otherwise reports 204 and returns false,
// and the parser reads as an empty file.
bool tbx_open_file(tbx_parser* p, const char* prefix, const char* name);
// Adds a keyword with its token id (upper-cased unless the table is
// case-sensitive). A locked table reports 207.
void tbx_add_keyword(tbx_hash& table, const char* name, int id);
// The entry of keyword `name` (upper-cased unless the table is
// case-sensitive), or null. A find-only lookup: it never inserts, whatever
// the table's flags, and leaves them as they are.
const tbx_hash_entry* tbx_find_keyword(const tbx_hash& table, const char* name);
// Reads the next token; returns its id (also in p->tokenId).
int tbx_next_token(tbx_parser* p);
// Steps of the tokenizer, used by tbx_next_token.
void tbx_getc(tbx_parser* p);
void tbx_skip_blanks(tbx_parser* p);
void tbx_read_string(tbx_parser* p);
// The display name of a token id ("identifier", "=", a keyword's name, ...).
// An id without one reports 211.
std::string tbx_token_name(tbx_parser* p, int id);
// The context prefix "<file> near line:<n>: " (or "" without a parser or
// file), whole whatever the file name's length; valid until the next call.
// Prints the offending line and a caret line on standard output (or
// through the context printer) and counts the error or warning by `flags`.
const char* tbx_error_context(tbx_parser* p, int flags);

// Where the tokenizer prints its context lines: standard output by default;
// the shell sends them to the log while the status window holds the terminal.
using tbx_print_fn = void (*)(const char* text);
extern tbx_print_fn tbx_context_printer;

}  // namespace qzr
