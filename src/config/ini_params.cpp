// The parameters of the configuration language: general parameters and
// variable definitions, network parameters, connection parameters, and the
// value forms they share (true/false, string or variable reference, string,
// default or variable reference, identifier or string).
//
// Every parameter is keyword, '=', value. A value of the wrong kind is
// reported and, where the language says so, stored all the same, so that the
// reading stays in step; a failed choice (a boolean, an enumeration, a value
// form) stores nothing and leaves its token for the caller.
//
// The keys of each part of a file are made from the one table of words
// (ini_keywords.h): a key's row tells in which parts it is accepted, its
// place in each part's list (the order a token of no parameter is reported
// with) and the reading of its value into its field.
#include <array>
#include <climits>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/ini_keywords.h"
#include "foundation/ascii.h"
#include "foundation/log.h"
#include "foundation/tbx_msg.h"

namespace qzr {

namespace {

void upperCase(std::string& s) {
    for (char& c : s) c = asciiUpper(c);
}

// Reads a string value: the token's text as written, stored all the same
// when it is not a string (which is reported).
void parseString(std::optional<std::string>& field) {
    field = std::string(iniParser.token);
    if (ini_token() != TBX_STRING) ini_expecting("string");
    ini_advance();
}

// Reads an identifier value: the token's upper-cased text, stored all the
// same when it is not an identifier (which is reported).
void parseUpperId(std::optional<std::string>& field) {
    field = std::string(iniParser.tokenUpper);
    if (ini_token() != TBX_IDENTIFIER) ini_expecting("id");
    ini_advance();
}

// Where a value was read: the start of its line in the file, its column and
// its line number, for a report made once the reading has gone past it.
struct IniPlace {
    long lineStart = 0;
    int column = 0;
    int line = 0;
};
IniPlace inputNamePlace;   // the value of inputFileName
IniPlace outputNamePlace;  // the value of outputFileName

IniPlace placeHere() { return {iniParser.lineStart, iniParser.tokenColumn, iniParser.lineNumber}; }

// Reports syntax error 202 with `text` at the place `at`.
void reportAt(const IniPlace& at, const std::string& text) {
    iniParser.errLineStart = at.lineStart;
    iniParser.errColumn = at.column;
    iniParser.errLine = at.line;
    tbx_error(&iniParser, TBX_ERR_SYNTAX, text.c_str());
}

// Reads `$` `(` NAME `)` into `field` (the current token is the `$`).
void parseVariableRef(std::optional<std::string>& field) {
    ini_advance();
    ini_expect('(', "(");
    const std::string name = iniParser.tokenUpper;
    ini_getVariable(name.c_str(), field);
    ini_expect(TBX_IDENTIFIER, "id");
    ini_expect(')', ")");
}

// Reads a variable definition: $NAME = "value" (the current token is the
// identifier).
void parseVariableDefinition() {
    const std::string name = iniParser.tokenUpper;
    if (name[0] != '$')
        ini_expecting("valid parameter name, or a variable defintion syntax: $var_name=\"value\" ");
    tbx_hash_entry* entry = tbx_hash_find(variableTable, name.c_str() + 1);
    if (entry == nullptr) {
        std::string text = "valid variable id. Could not create variable ";
        text += name;
        text += " .";
        ini_expecting(text.c_str());
    }
    ini_advance();
    ini_expect('=', "=");
    if (entry != nullptr) {
        entry->data[0] = 1;
        entry->value = iniParser.token;
    }
    if (ini_token() != TBX_STRING) ini_expecting("string");
    ini_advance();
}

// Cuts a prefix (given at `line`) to the 12 characters of the transaction
// prefix, with a warning in the log.
void limitPrefix(int line) {
    if (!Curnet->prefix || Curnet->prefix->size() <= PREFIX_MAX) return;
    const std::string written = *Curnet->prefix;
    Curnet->prefix->resize(PREFIX_MAX);
    log_write(LOG_INFO, "** WARNING ** Prefix '%s' of network %s cut to '%s' at line %d of ini file '%s'",
              written.c_str(), Curnet->networkName.c_str(), Curnet->prefix->c_str(), line,
              iniParser.fileName.c_str());
}

// One value of an enumeration: its keyword and the code stored for it.
struct Choice {
    int keyword;
    int code;
};

// Reads an enumeration: the code of the current token's keyword, then
// advances; any other token is reported as `expected`, stores nothing and
// is not consumed.
void parseChoice(int& field, std::initializer_list<Choice> choices, const char* expected) {
    for (const Choice& c : choices) {
        if (ini_token() == c.keyword) {
            field = c.code;
            ini_advance();
            return;
        }
    }
    ini_expecting(expected);
}

void parseDataBit() {
    const int value = ini_intValue();
    if (value != 7 && value != 8) ini_expecting(" '7' '8'");
    Curcnx->dataBit = value;
    Curcnx->stopBits = 1;
    if (ini_token() != TBX_INTEGER) ini_expecting("num");
    ini_advance();
}

void parseSpeed() {
    const int value = ini_intValue();
    switch (value) {
    case 1200: case 2400: case 4800: case 9600: case 14400: case 19200: case 38400: case 57600: break;
    default: ini_expecting("1200 2400 9600 14400 19200 38400 57600."); break;
    }
    Curcnx->speed = value;
    if (ini_token() != TBX_INTEGER) ini_expecting("num");
    ini_advance();
}

// Reads an integer value of the key `keyword` within `range`: outside it,
// the value is reported with the range's text and stored all the same.
void readInteger(int& field, const IniRange& range, int keyword) {
    char text[128];
    const char* name = ini_keywordName(keyword);
    if (range.text != nullptr)
        std::snprintf(text, sizeof text, "%s", range.text);
    else if (range.high == INT_MAX)
        std::snprintf(text, sizeof text, "%s=number [%d or more%s]", name, range.low, range.unit);
    else
        std::snprintf(text, sizeof text, "%s=number [%d to %d%s]", name, range.low, range.high, range.unit);
    ini_parseInteger(field, range.low, range.high, text);
}

// Reads a file name of the general part, noting where its value was.
void readFileName(std::optional<std::string>& field, IniPlace& place) {
    place = placeHere();
    parseUpperId(field);
}

// Reads a device: a string, `default` or a variable, upper-cased.
void readDevice(std::optional<std::string>& field) {
    ini_parseStringDefaultOrVar(field);
    if (field) upperCase(*field);
}

void readDefaultDevice() {
    ini_parseIdOrString(Genparam->defcomdev);
    if (Genparam->defcomdev) upperCase(*Genparam->defcomdev);
}

void readPrefix() {
    const int line = iniParser.lineNumber;
    ini_parseStringDefaultOrVar(Curnet->prefix);
    limitPrefix(line);
}

void readDisconnectMethod() {
    parseChoice(Curnet->disconnectMethod, {{KW_HARD, DISC_HARD}, {KW_SOFT, DISC_SOFT}, {KW_BOTH, DISC_BOTH}},
                " 'hard' 'soft' 'both' ");
}

void readParity() {
    parseChoice(Curcnx->parity, {{KW_NONE, PARITY_NONE}, {KW_ODD, PARITY_ODD}, {KW_EVEN, PARITY_EVEN}},
                " 'even' 'odd' 'none' ");
}

void readConnectionMode() {
    parseChoice(Curcnx->connectionMode, {{KW_DIALUP, CNX_MODE_DIALUP}, {KW_DIRECT, CNX_MODE_DIRECT}},
                " 'direct' 'dialup' ");
}

void readConnectionType() {
    parseChoice(Curcnx->connectionType,
                {{KW_DATAPAC, CNX_TYPE_DATAPAC}, {KW_TCPIP, CNX_TYPE_TCPIP}, {KW_HTTP, CNX_TYPE_HTTP}},
                " 'http' 'tcpip' 'datapac' ");
}

void readConnectScript() {
    ini_resetScriptState();
    ini_parseScript("user script");
    Curcnx->connectScript = ini_scriptHead();
}

// A key's place in one part of a file: its rank in the part's list (0: the
// part does not take it) and the reading of its value.
struct Place {
    int rank = 0;
    void (*readValue)() = nullptr;
};

// A key of the table of words, with its place in each part.
struct KeyRow {
    int keyword;
    Place general;
    Place network;
    Place connection;
};

#define NO \
    Place {}
#define AT(rank, reading) \
    Place { rank, [] { reading; } }
#define QZR_ROW_OF_WORD(id, name)
#define QZR_ROW_OF_KEY(id, name, general, network, connection) KeyRow{KW_##id, general, network, connection},
constexpr KeyRow keyRows[] = {QZR_INI_WORDS(QZR_ROW_OF_WORD, QZR_ROW_OF_KEY)};
#undef QZR_ROW_OF_KEY
#undef QZR_ROW_OF_WORD
#undef AT
#undef NO

// One parameter of a part: its keyword and the reading of its value into
// its record (the current token is the one after '=').
struct Param {
    int keyword;
    void (*readValue)();
};

// How many keys the part `part` takes.
constexpr std::size_t keysOf(Place KeyRow::* part) {
    std::size_t n = 0;
    for (const KeyRow& row : keyRows) n += (row.*part).rank > 0 ? 1 : 0;
    return n;
}

// The parameters of the part `part`, in the order of their ranks.
template <Place KeyRow::* part>
constexpr std::array<Param, keysOf(part)> paramsOf() {
    std::array<Param, keysOf(part)> params{};
    for (const KeyRow& row : keyRows) {
        const Place& place = row.*part;
        if (place.rank > 0) params[static_cast<std::size_t>(place.rank) - 1] = {row.keyword, place.readValue};
    }
    return params;
}

// Whether every rank of `params` was taken once (ranks 1 to n, no gap).
template <std::size_t N>
constexpr bool ranksComplete(const std::array<Param, N>& params) {
    for (const Param& p : params) {
        if (p.readValue == nullptr) return false;
    }
    return true;
}

constexpr auto generalParams = paramsOf<&KeyRow::general>();        // into Genparam and the defaults
constexpr auto networkParams = paramsOf<&KeyRow::network>();        // into Curnet
constexpr auto connectionParams = paramsOf<&KeyRow::connection>();  // into Curcnx
static_assert(ranksComplete(generalParams) && ranksComplete(networkParams) && ranksComplete(connectionParams));

// The parameter of `group` whose keyword is `id`, or null.
const Param* findParam(std::span<const Param> group, int id) {
    for (const Param& p : group) {
        if (p.keyword == id) return &p;
    }
    return nullptr;
}

// Reads one parameter of `group` at the current token: keyword, '=', value.
// A token that is no keyword of the group is reported with the group's
// keywords, each quoted, and then `more` (" 'prefix' ... 'disconnectMethod' ");
// nothing is read then.
void parseParam(std::span<const Param> group, const char* more) {
    const Param* param = findParam(group, ini_token());
    if (param == nullptr) {
        std::string text = " ";
        for (const Param& p : group) {
            text += '\'';
            text += ini_keywordName(p.keyword);
            text += "' ";
        }
        text += more;
        ini_expecting(text.c_str());
        return;
    }
    ini_advance();
    ini_expect('=', "=");
    param->readValue();
}

}  // namespace

bool ini_isGeneralKeyword(int id) { return findParam(generalParams, id) != nullptr; }

bool ini_isNetworkKeyword(int id) { return findParam(networkParams, id) != nullptr; }

bool ini_isConnectionKeyword(int id) { return findParam(connectionParams, id) != nullptr; }

void ini_parseBool(bool& field) {
    if (ini_token() == KW_TRUE) {
        field = true;
        ini_advance();
    } else if (ini_token() == KW_FALSE) {
        field = false;
        ini_advance();
    } else {
        ini_expecting(" 'true' 'false' ");
    }
}

void ini_parseStringOrVar(std::optional<std::string>& field) {
    if (ini_token() == TBX_STRING) {
        field = std::string(iniParser.token);
        ini_advance();
    } else if (ini_token() == '$') {
        parseVariableRef(field);
    } else {
        ini_expecting(" 'string' '$' ");
    }
}

void ini_parseStringDefaultOrVar(std::optional<std::string>& field) {
    if (ini_token() == TBX_STRING) {
        field = std::string(iniParser.token);
        ini_advance();
    } else if (ini_token() == KW_DEFAULT) {
        field.reset();
        ini_advance();
    } else if (ini_token() == '$') {
        parseVariableRef(field);
    } else {
        ini_expecting(" 'string' 'default' '$' ");
    }
}

void ini_parseIdOrString(std::optional<std::string>& field) {
    if (ini_token() == TBX_IDENTIFIER || ini_token() == TBX_STRING) {
        field = std::string(iniParser.token);
        ini_advance();
    } else {
        ini_expecting(" 'string' 'id' ");
    }
}

void ini_parseInteger(int& field, int low, int high, const char* rangeText) {
    const int value = ini_intValue();
    if (value < low || value > high) ini_expecting(rangeText);
    field = value;
    if (ini_token() != TBX_INTEGER) ini_expecting("num");
    ini_advance();
}

void ini_parseGeneralParam() {
    if (ini_token() == TBX_IDENTIFIER) {
        parseVariableDefinition();
        return;
    }
    parseParam(generalParams, "'id' ");
}

void ini_parseNetworkParam() { parseParam(networkParams, ""); }

void ini_checkFileNames() {
    if (!Genparam->inputFileName || !Genparam->outputFileName || Genparam->inputFileName->empty()) return;
    const std::string& in = *Genparam->inputFileName;
    const std::string& out = *Genparam->outputFileName;
    if (in[0] == '_')
        reportAt(inputNamePlace,
                 "inputFileName=name that does not begin with '_' (a name that begins with '_' marks a served "
                 "request)");
    // A request and its response, which takes what follows the request's
    // first dot.
    const std::string request = in + ".001";
    const std::string response = out + "." + request.substr(request.find('.') + 1);
    // The names are upper-cased; a request is found in any letter case.
    const auto begins = [&](const std::string& name) {
        return response.compare(0, name.size() + 1, name + ".") == 0;
    };
    std::string text;
    if (out == in)
        text = "outputFileName=name other than inputFileName (the response " + response + " would replace the request)";
    else if (response[0] != '_' && begins(in))
        text = "outputFileName=name whose files are no requests (the response " + response +
               " would be read as a request)";
    else if (begins("_" + in.substr(1)))
        text = "outputFileName=name other than a served request's (the response " + response +
               " is the name of the request " + in.substr(0, 1) + response.substr(1) + " once served)";
    if (!text.empty()) reportAt(outputNamePlace, text);
}

std::string ini_placeNote(int id) {
    const char* note = nullptr;
    if (ini_isNetworkKeyword(id))
        note = "' is a network key: it comes before the connection keys of its network.";
    else if (ini_isGeneralKeyword(id) && !ini_isConnectionKeyword(id))
        note = "' is a general key: it belongs to the general part.";
    if (note == nullptr) return "";
    return std::string(" '") + ini_keywordName(id) + note;
}

void ini_parseConnection() {
    if (ini_token() != KW_CONNECTION) {
        ini_expecting(" 'connection' ");
        return;
    }
    ini_advance();
    ini_expect(KW_BEGIN, "begin");
    while (ini_isConnectionKeyword(ini_token())) ini_parseConnectionParam();
    const std::string note = ini_placeNote(ini_token());
    ini_expect(KW_END, note.empty() ? "end" : ("end." + note).c_str());
}

void ini_parseCertificateId() {
    switch (ini_token()) {
    case KW_DEFAULT:
    case KW_PROVIDER:
    case KW_CLINIC:
    case KW_NONE:
    case TBX_STRING:
        Curcnx->certificateQZRId = std::string(iniParser.token);
        ini_advance();
        break;
    default:
        ini_expecting(" 'default' 'provider' 'clinic' 'none' 'string' ");
        break;
    }
}

void ini_parseConnectionParam() { parseParam(connectionParams, ""); }

}  // namespace qzr
