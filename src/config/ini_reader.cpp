// The reader of qzr.ini and qzrsup.ini: the language's keywords, the
// top-level grammar of both forms (INI sections and begin/end blocks), the
// network items with their SECONDARY_ entries, and the variables.
//
// One parser reads both files. Every syntax error is reported as message 202
// at the current token, counted, and the reading goes on; only the fatal
// errors (IniFatal) end it at once, caught here at the entry, which then
// returns -1. The reading is judged by the parser's error count.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "config/config.h"
#include "config/config_internal.h"
#include "foundation/log.h"
#include "foundation/tbx_msg.h"

namespace qzr {

tbx_parser iniParser;

namespace {

tbx_hash iniKeywords;
bool keywordsReady = false;  // the parser and the keyword table are set up
int lastInteger = 0;         // the value of the last integer token read

// The names of the keywords, in the order of their ids.
#define QZR_NAME_OF_WORD(id, name) name,
#define QZR_NAME_OF_KEY(id, name, general, network, connection) name,
constexpr const char* keywordNames[] = {QZR_INI_WORDS(QZR_NAME_OF_WORD, QZR_NAME_OF_KEY)};
#undef QZR_NAME_OF_KEY
#undef QZR_NAME_OF_WORD
static_assert(std::size(keywordNames) == KW_AFTER_LAST - KW_ADDRESS);

constexpr char SECONDARY_PREFIX[] = "SECONDARY_";
constexpr std::size_t SECONDARY_PREFIX_LEN = sizeof SECONDARY_PREFIX - 1;

}  // namespace

const char* ini_keywordName(int id) { return keywordNames[id - KW_ADDRESS]; }

namespace {

// Makes the one-character tokens of the language and registers the keywords.
void ini_registerKeywords() {
    // '-' is a token so that a negative number is read as one (below), not
    // skipped as an illegal character, which would leave its digits.
    for (unsigned char c : {'=', '[', ']', '(', ')', '$', '{', '}', '-'}) iniParser.classes[c] = c;
    for (int id = KW_ADDRESS; id < KW_AFTER_LAST; ++id) tbx_add_keyword(iniKeywords, ini_keywordName(id), id);
}

// Sets up the parser and its locked keyword table, once.
void ini_setup() {
    if (keywordsReady) return;
    tbx_hash_init(iniKeywords, KEYWORD_BUCKETS);
    tbx_init_parser(&iniParser, &iniKeywords);
    ini_registerKeywords();
    iniKeywords.flags |= TBX_HASH_FIND_ONLY;
    lastInteger = 0;
    keywordsReady = true;
}

// Closes the parser's file, if it is still open.
void ini_closeStream() {
    if (iniParser.file != nullptr) {
        std::fclose(iniParser.file);
        iniParser.file = nullptr;
    }
}

// Opens `path` in the parser. A file that cannot be opened has been reported
// (204) and reads as an empty file; the failure always counts as an error.
bool ini_open(const char* path) {
    ini_closeStream();
    const int before = iniParser.errorCount;
    if (path != nullptr && tbx_open_file(&iniParser, nullptr, path)) return true;
    if (path == nullptr) tbx_error(&iniParser, TBX_ERR_OPEN_FILE, "");
    if (iniParser.errorCount == before) iniParser.errorCount++;
    return false;
}

int ini_result() { return iniParser.errorCount > 0 ? 1001 : 0; }

// Closes the parser's file when a reading ends, also when a stop message
// (a syntax error without a main window) unwinds it past its entry.
struct StreamCloser {
    StreamCloser() = default;
    StreamCloser(const StreamCloser&) = delete;
    StreamCloser& operator=(const StreamCloser&) = delete;
    ~StreamCloser() { ini_closeStream(); }
};

// Reports a token that may not follow a network item.
void ini_checkFollower(int a, int b) {
    const int t = ini_token();
    if (t == a || t == b || t == TBX_EOF) return;
    std::string text = "valid parameter name. '";
    text += iniParser.token;
    text += "' is not valid here.";
    text += ini_placeNote(t);
    ini_expecting(text.c_str());
}

// Gives the connections of `Curnet` that name no device the default device.
void ini_completeNetwork() {
    if (Curnet == nullptr) return;
    if (Curnet->primary != nullptr && !Curnet->primary->comdev) Curnet->primary->comdev = Genparam->defcomdev;
    if (Curnet->secondary != nullptr && !Curnet->secondary->comdev)
        Curnet->secondary->comdev = Genparam->defcomdev;
}

// Reads the network identifier at the current token: a SECONDARY_ entry
// selects its main network and gives it a new secondary connection; any
// other name takes the slot of a network of that name (a redefinition) or the
// first empty one.
void ini_parseNetworkId() {
    if (ini_token() != TBX_IDENTIFIER) {
        ini_expecting(" 'id' ");
        return;
    }
    const std::string name = iniParser.tokenUpper;
    if (name.compare(0, SECONDARY_PREFIX_LEN, SECONDARY_PREFIX) == 0) {
        const std::string mainName = name.substr(SECONDARY_PREFIX_LEN);
        NetworkDef* found = nullptr;
        for (NetworkDef* net : networkTable) {
            if (net == nullptr) break;
            if (net->networkName == mainName) {
                found = net;
                break;
            }
        }
        if (found == nullptr) {
            char text[160];
            std::snprintf(text, sizeof text,
                          " network [%s] main entry that should be defined before the secondary entry",
                          mainName.c_str());
            ini_expecting(text);
            throw IniFatal{};
        }
        Curnet = found;
        found->secondary = ini_newConnection();
        ini_advance();
        return;
    }

    int slot = -1;
    for (int i = 0; i < MAX_NETWORKS; ++i) {
        if (networkTable[i] != nullptr && networkTable[i]->networkName == name) {
            log_write(LOG_INFO, "**");
            log_write(LOG_INFO, "** WARNING ** Network %s redefined at line %d of ini file '%s'",
                      networkTable[i]->networkName.c_str(), iniParser.lineNumber, iniParser.fileName.c_str());
            log_write(LOG_INFO, "**");
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        for (int i = 0; i < MAX_NETWORKS; ++i) {
            if (networkTable[i] == nullptr) {
                slot = i;
                break;
            }
        }
    }
    if (slot < 0) ini_expecting("EOF. Too many networks defined");

    Curnet->networkName = name;
    Curnet->simulation = name == SIMULATION_NETWORK;
    Curnet->zar = name == ZAR_NETWORK;
    Curnet->prefix.reset();
    Curnet->maxProcessingDelay = PROCESSING_DELAY.byDefault;
    Curnet->maxEnqDelay = ENQ_DELAY.byDefault;
    Curnet->disconnectMethod = DISC_SOFT;
    if (slot >= 0) networkTable[slot] = Curnet;
    ini_advance();
}

// Reads one item: a version text, a network section or a network block.
void ini_parseItem() {
    switch (ini_token()) {
    case KW_VERSION:
        ini_advance();
        ini_expect('=', "=");
        Genparam->version = std::string(iniParser.token);
        if (ini_token() != TBX_STRING) ini_expecting("string");
        ini_advance();
        break;

    case '[':
        ini_newNetwork();
        ini_advance();
        ini_parseNetworkId();
        ini_expect(']', "]");
        while (ini_isNetworkKeyword(ini_token())) ini_parseNetworkParam();
        do {
            ini_parseConnectionParam();
        } while (ini_isConnectionKeyword(ini_token()));
        ini_checkFollower('[', KW_VERSION);
        ini_completeNetwork();
        break;

    case KW_NETWORK:
        ini_newNetwork();
        ini_advance();
        ini_parseNetworkId();
        ini_expect(KW_BEGIN, "begin");
        while (ini_isNetworkKeyword(ini_token())) ini_parseNetworkParam();
        ini_expect(KW_PRIMARY, "primary");
        ini_parseConnection();
        if (ini_token() == KW_SECONDARY) {
            Curnet->secondary = ini_newConnection();
            ini_advance();
            ini_parseConnection();
        }
        ini_completeNetwork();
        ini_expect(KW_END, "end");
        ini_checkFollower(KW_NETWORK, KW_VERSION);
        break;

    default:
        ini_expecting(" 'version' 'network' '[' ");
        break;
    }
}

bool ini_isItemStart(int t) { return t == KW_VERSION || t == KW_NETWORK || t == '['; }

// Reads the general parameters, which must give both file names.
void ini_parseGeneralPart() {
    do {
        ini_parseGeneralParam();
    } while (ini_isGeneralKeyword(ini_token()) || ini_token() == TBX_IDENTIFIER);
    if (!Genparam->inputFileName) ini_expecting("inputFileName=name");
    if (!Genparam->outputFileName) ini_expecting("outputFileName=name");
    ini_checkFileNames();
}

// Compiles the named script `name` whose value is at the current token and
// enters it in the list. A named script cannot be `none`.
void ini_parseNamedScript(const std::string& name) {
    ini_resetScriptState();
    if (ini_token() == KW_NONE) {
        ini_expecting(" 'use' '{' 'transmit' 'wait' 'retry' 'delay' 'return' ");
        ini_advance();
        return;
    }
    ini_parseScript(name.c_str());
    ini_addScript();
}

// Reads a whole configuration file in either form.
void ini_parseFile() {
    if (ini_token() == '[') {
        ini_advance();
        ini_expect(KW_GENERAL, "general");
        ini_expect(']', "]");
        ini_parseGeneralPart();
        ini_expect('[', "[");
        ini_expect(KW_CONNECTSCRIPT, "connectScript");
        ini_expect(']', "]");
        while (ini_token() == TBX_IDENTIFIER) {
            const std::string name = iniParser.tokenUpper;
            ini_advance();
            ini_expect('=', "=");
            ini_parseNamedScript(name);
        }
    } else if (ini_token() == KW_GENERAL) {
        ini_advance();
        ini_expect(KW_BEGIN, "begin");
        ini_parseGeneralPart();
        ini_expect(KW_END, "end");
        while (ini_token() == KW_CONNECTSCRIPT) {
            ini_advance();
            const std::string name = iniParser.tokenUpper;
            ini_expect(TBX_IDENTIFIER, "id");
            ini_expect('=', "=");
            ini_parseNamedScript(name);
        }
    } else {
        ini_expecting(" '[' 'general' ");
        return;
    }
    do {
        ini_parseItem();
    } while (ini_isItemStart(ini_token()));
}

}  // namespace

void ini_advance() {
    tbx_next_token(&iniParser);
    if (iniParser.tokenId == '-') {
        // A minus sign and the integer after it are one negative integer,
        // which the range of its key then judges. A sign before anything
        // else is reported, and the reading goes on at that token.
        const int signColumn = iniParser.tokenColumn;
        tbx_next_token(&iniParser);
        if (iniParser.tokenId != TBX_INTEGER) {
            ini_expecting("num");
        } else {
            iniParser.value = -iniParser.value;
            iniParser.tokenColumn = signColumn;
            // An integer keeps 32 characters: the sign always fits.
            const std::string text = std::string("-") + iniParser.token;
            std::snprintf(iniParser.token, sizeof iniParser.token, "%s", text.c_str());
            std::snprintf(iniParser.tokenUpper, sizeof iniParser.tokenUpper, "%s", text.c_str());
        }
    }
    if (iniParser.tokenId == TBX_INTEGER) lastInteger = iniParser.value;
}

int ini_intValue() { return iniParser.tokenId == TBX_INTEGER ? iniParser.value : lastInteger; }

void ini_report(int code, const char* text) {
    iniParser.errLineStart = 0;
    iniParser.errColumn = 0;
    iniParser.errLine = 0;
    tbx_error(&iniParser, code, text);
}

void ini_expecting(const char* text) { ini_report(TBX_ERR_SYNTAX, text); }

void ini_expect(int id, const char* text) {
    if (ini_token() != id) ini_expecting(text);
    ini_advance();
}

void ini_getVariable(const char* name, std::optional<std::string>& out) {
    tbx_hash_entry* entry = tbx_hash_find(variableTable, name);
    if (entry != nullptr && entry->data[0] != 0) {
        out = entry->value;
        return;
    }
    if (const char* env = std::getenv(name); env != nullptr) {
        out = std::string(env);
        return;
    }
    std::string text = "a valid variable (";
    text += name;
    text += " is undefined) ";
    ini_expecting(text.c_str());
}

void ini_resetConfiguration() {
    ini_resetRecords();
    ini_closeStream();
    tbx_hash_free(iniKeywords);
    tbx_init_parser(&iniParser, nullptr);
    keywordsReady = false;
    lastInteger = 0;
}

void ini_closeFile() {
    ini_closeStream();
    iniParser.lineIndex = TBX_LINE_NEW;
    iniParser.current = ' ';
    iniParser.lineNumber = 0;
}

int ini_readFile(const char* path) {
    ini_setup();
    if (variableTable.n == 0) tbx_hash_init(variableTable, VARIABLE_BUCKETS);
    if (!ini_open(path)) return ini_result();
    const StreamCloser closer;
    int result = 0;
    try {
        ini_advance();
        ini_parseFile();
        result = ini_result();
    } catch (const IniFatal&) {
        result = -1;
    }
    return result;
}

int ini_readSupplementalFile(const char* path) {
    ini_setup();
    if (variableTable.n == 0) tbx_hash_init(variableTable, VARIABLE_BUCKETS);
    if (!ini_open(path)) {
        ini_closeFile();
        return ini_result();
    }
    const StreamCloser closer;
    int result = 0;
    try {
        ini_advance();
        while (ini_token() == KW_VERSION || ini_token() == KW_NETWORK) ini_parseItem();
        result = ini_result();
    } catch (const IniFatal&) {
        result = -1;
    }
    ini_closeFile();
    return result;
}

}  // namespace qzr
