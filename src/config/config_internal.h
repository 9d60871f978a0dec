// What the parts of the configuration reader share among themselves: the
// creation of records, the keyword ids, the token helpers and the parsing
// steps of each part of the language. Not for use outside src/config.
//
// Conventions of every parsing step: the current token of `iniParser` is the
// next unread one; a step that accepts its token advances past it; a choice
// whose token is none of the accepted ones reports the list of them and
// returns without advancing.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "config/config.h"
#include "config/ini_keywords.h"

namespace qzr {

constexpr unsigned VARIABLE_BUCKETS = 70;
constexpr unsigned KEYWORD_BUCKETS = 85;

// The keywords of the configuration language: one id per row of the table
// of words, 611 on, in the table's order.
#define QZR_KW_OF_WORD(id, name) KW_##id,
#define QZR_KW_OF_KEY(id, name, general, network, connection) KW_##id,
enum : int { KW_BEFORE_FIRST = 610, QZR_INI_WORDS(QZR_KW_OF_WORD, QZR_KW_OF_KEY) KW_AFTER_LAST };
#undef QZR_KW_OF_KEY
#undef QZR_KW_OF_WORD
static_assert(KW_ADDRESS == 611 && KW_DEFAULT == 625 && KW_DEFCOMDEV == 628 && KW_END == 640 &&
              KW_GENERAL == 644 && KW_NETWORK == 658 && KW_VERSION == 677 && KW_HTTP == 680);

// The keyword of id `id` as the language writes it ("dialRetries").
const char* ini_keywordName(int id);

// Thrown by a fatal error of the reading (an undefined or redefined script,
// a secondary entry without its network, scripts nested too deep) after the
// error was reported; caught at the reader's entry, which returns -1. It
// never leaves the configuration module.
struct IniFatal {};

// Records.
ConnectionDef* ini_newConnection();
NetworkDef* ini_newNetwork();
ScriptNode* ini_newNode();
ScriptEntry* ini_newEntry();
void ini_resetRecords();

// Tokens.
inline int ini_token() { return iniParser.tokenId; }
// Reads the next token.
void ini_advance();
// Reports `text` unless the current token is `id`; advances in either case.
void ini_expect(int id, const char* text);
// The integer of the current token, or of the last integer token read when
// the current token is not one.
int ini_intValue();
// Reports a toolbox message with the parser's context at the current token.
void ini_report(int code, const char* text);

// General and network parameters, and the value forms.
bool ini_isGeneralKeyword(int id);
bool ini_isNetworkKeyword(int id);
// Where the key `id` belongs, for a report of it found out of its place:
// " 'maxEnqDelay' is a network key: it comes before the connection keys of
// its network." for a network key, the like for a general key, else "".
std::string ini_placeNote(int id);
void ini_parseGeneralParam();
// Reports the file names of the general part that would mix responses and
// requests: an inputFileName that begins with '_' (the mark of a served
// request), an outputFileName whose responses are requests (the request
// name itself, or a name the request pattern takes) or served requests
// (the request name with '_' for its first letter). Each report is made at
// the key's value.
void ini_checkFileNames();
void ini_parseNetworkParam();
void ini_parseBool(bool& field);
void ini_parseStringOrVar(std::optional<std::string>& field);
void ini_parseStringDefaultOrVar(std::optional<std::string>& field);
void ini_parseIdOrString(std::optional<std::string>& field);
// Reads an integer value: range check (reporting `rangeText`), store, kind
// check ("num"), advance.
void ini_parseInteger(int& field, int low, int high, const char* rangeText);

// Connection parameters.
bool ini_isConnectionKeyword(int id);
void ini_parseConnection();
void ini_parseConnectionParam();
void ini_parseCertificateId();

// Connect scripts.
void ini_resetScriptState();
ScriptNode* ini_scriptHead();
void ini_parseScript(const char* name);
void ini_parseScriptStatement();
void ini_convertCaret(std::string& out, const char* text);
void ini_addScript();

}  // namespace qzr
