// The parameters of the configuration language: general parameters and
// variable definitions, network parameters, connection parameters, and the
// value forms they share (true/false, string or variable reference, string,
// default or variable reference, identifier or string).
//
// Every parameter is keyword, '=', value. A value of the wrong kind is
// reported and, where the language says so, stored all the same, so that the
// reading stays in step; a failed choice (a boolean, an enumeration, a value
// form) stores nothing and leaves its token for the caller.
#include <cctype>
#include <cstdio>
#include <string>

#include "config/config.h"
#include "config/config_internal.h"
#include "foundation/log.h"

namespace qzr {

namespace {

void upperCase(std::string& s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
}

// Formats "<what> [<low> to <high>]", the text of an out-of-range count.
std::string rangeText(const char* what, int low, int high) {
    char text[96];
    std::snprintf(text, sizeof text, "%s [%d to %d]", what, low, high);
    return text;
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

}  // namespace

bool ini_isGeneralKeyword(int id) {
    switch (id) {
    case KW_DEFCOMDEV:
    case KW_MODEMINIT:
    case KW_HSMODEMINIT:
    case KW_MODEMHANGUP:
    case KW_INPUTFILENAME:
    case KW_OUTPUTFILENAME:
    case KW_HANGAROUND:
    case KW_LOGFILE:
    case KW_LOGGINGENABLED:
    case KW_LOGFILEAPPEND:
    case KW_DETAILEDMESSAGES:
    case KW_DISCONNECTAFTERTX:
    case KW_HANGUPDELAY:
    case KW_V2CONVERTACCENT:
    case KW_DIALRETRIES:
    case KW_DELAYBETWEENRETRIES:
        return true;
    default:
        return false;
    }
}

bool ini_isNetworkKeyword(int id) {
    return id == KW_PREFIX || id == KW_MAXPROCESSINGDELAY || id == KW_MAXENQDELAY || id == KW_DISCONNECTMETHOD;
}

bool ini_isConnectionKeyword(int id) {
    switch (id) {
    case KW_COMDEV:
    case KW_USEPKI:
    case KW_CERTIFICATESTORE:
    case KW_CERTIFICATENETWORKID:
    case KW_CERTIFICATEQZRID:
    case KW_DATABIT:
    case KW_PARITY:
    case KW_SPEED:
    case KW_PHONE:
    case KW_ADDRESS:
    case KW_COMPRESS:
    case KW_ENCRYPT:
    case KW_CONNECTIONMODE:
    case KW_CONNECTIONTYPE:
    case KW_CONNECTIONTIMEOUT:
    case KW_DIALRETRIES:
    case KW_DELAYBETWEENRETRIES:
    case KW_V2CONVERTACCENT:
    case KW_CONNECTSCRIPT:
        return true;
    default:
        return false;
    }
}

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

void ini_parseInteger(int& field, int low, int high, const char* range) {
    const int value = ini_intValue();
    if (range != nullptr && (value < low || value > high)) ini_expecting(range);
    field = value;
    if (ini_token() != TBX_INTEGER) ini_expecting("num");
    ini_advance();
}

void ini_parseGeneralParam() {
    const int keyword = ini_token();
    if (keyword == TBX_IDENTIFIER) {
        parseVariableDefinition();
        return;
    }
    if (!ini_isGeneralKeyword(keyword)) {
        ini_expecting(" 'defcomdev' 'modemInit' 'HSmodemInit' 'modemHangup' 'inputFileName' 'outputFileName' "
                      "'hangAround' 'logFile' 'loggingEnabled' 'logFileAppend' 'detailedMessages' "
                      "'disconnectAfterTX' 'hangupDelay' 'v2convertAccent' 'dialRetries' 'delayBetweenRetries' "
                      "'id' ");
        return;
    }
    ini_advance();
    ini_expect('=', "=");
    GeneralParams& g = *Genparam;
    switch (keyword) {
    case KW_DEFCOMDEV:
        ini_parseIdOrString(g.defcomdev);
        if (g.defcomdev) upperCase(*g.defcomdev);
        break;
    case KW_MODEMINIT: parseString(g.modemInit); break;
    case KW_HSMODEMINIT: parseString(g.HSmodemInit); break;
    case KW_MODEMHANGUP: parseString(g.modemHangup); break;
    case KW_INPUTFILENAME: parseUpperId(g.inputFileName); break;
    case KW_OUTPUTFILENAME: parseUpperId(g.outputFileName); break;
    case KW_HANGAROUND: ini_parseBool(g.hangAround); break;
    case KW_DISCONNECTAFTERTX: ini_parseBool(g.disconnectAfterTX); break;
    case KW_LOGGINGENABLED: ini_parseBool(g.loggingEnabled); break;
    case KW_LOGFILEAPPEND: ini_parseBool(g.logFileAppend); break;
    case KW_DETAILEDMESSAGES: ini_parseBool(g.detailedMessages); break;
    case KW_LOGFILE: ini_parseIdOrString(g.logFile); break;
    case KW_HANGUPDELAY: ini_parseInteger(g.hangupDelay, 0, 99, "hangupDelay=number [0 to 99 seconds] "); break;
    case KW_V2CONVERTACCENT: ini_parseBool(connectionDefaults.v2convertAccent); break;
    case KW_DIALRETRIES:
        ini_parseInteger(connectionDefaults.dialRetries, 1, 10, rangeText("dialRetries=number", 1, 10).c_str());
        break;
    case KW_DELAYBETWEENRETRIES:
        ini_parseInteger(connectionDefaults.delayBetweenRetries, 1, 60,
                         rangeText("delayBetweenRetries=number", 1, 60).c_str());
        break;
    default: break;
    }
}

void ini_parseNetworkParam() {
    const int keyword = ini_token();
    if (!ini_isNetworkKeyword(keyword)) {
        ini_expecting(" 'prefix' 'maxProcessingDelay' 'maxEnqDelay' 'disconnectMethod' ");
        return;
    }
    ini_advance();
    ini_expect('=', "=");
    switch (keyword) {
    case KW_PREFIX: {
        const int line = iniParser.lineNumber;
        ini_parseStringDefaultOrVar(Curnet->prefix);
        limitPrefix(line);
        break;
    }
    case KW_MAXPROCESSINGDELAY: ini_parseInteger(Curnet->maxProcessingDelay, 0, 0, nullptr); break;
    case KW_MAXENQDELAY: ini_parseInteger(Curnet->maxEnqDelay, 0, 0, nullptr); break;
    case KW_DISCONNECTMETHOD:
        switch (ini_token()) {
        case KW_HARD: Curnet->disconnectMethod = DISC_HARD; break;
        case KW_SOFT: Curnet->disconnectMethod = DISC_SOFT; break;
        case KW_BOTH: Curnet->disconnectMethod = DISC_BOTH; break;
        default: ini_expecting(" 'hard' 'soft' 'both' "); return;
        }
        ini_advance();
        break;
    default: break;
    }
}

void ini_parseConnection() {
    if (ini_token() != KW_CONNECTION) {
        ini_expecting(" 'connection' ");
        return;
    }
    ini_advance();
    ini_expect(KW_BEGIN, "begin");
    while (ini_isConnectionKeyword(ini_token())) ini_parseConnectionParam();
    ini_expect(KW_END, "end");
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

void ini_parseConnectionParam() {
    const int keyword = ini_token();
    if (!ini_isConnectionKeyword(keyword)) {
        ini_expecting(" 'comdev' 'usePKI' 'certificateStore' 'certificateNetworkId' 'certificateQZRId' 'dataBit' "
                      "'parity' 'speed' 'phone' 'address' 'compress' 'encrypt' 'connectionMode' 'connectionType' "
                      "'connectionTimeout' 'dialRetries' 'delayBetweenRetries' 'v2convertAccent' 'connectScript' ");
        return;
    }
    ini_advance();
    ini_expect('=', "=");
    ConnectionDef& c = *Curcnx;
    switch (keyword) {
    case KW_COMDEV:
        ini_parseStringDefaultOrVar(c.comdev);
        if (c.comdev) upperCase(*c.comdev);
        break;
    case KW_USEPKI: ini_parseBool(c.usePKI); break;
    case KW_CERTIFICATESTORE: parseString(c.certificateStore); break;
    case KW_CERTIFICATENETWORKID: parseString(c.certificateNetworkId); break;
    case KW_CERTIFICATEQZRID: ini_parseCertificateId(); break;
    case KW_DATABIT: {
        const int value = ini_intValue();
        if (value != 7 && value != 8) ini_expecting(" '7' '8'");
        c.dataBit = value;
        c.stopBits = 1;
        if (ini_token() != TBX_INTEGER) ini_expecting("num");
        ini_advance();
        break;
    }
    case KW_PARITY:
        switch (ini_token()) {
        case KW_NONE: c.parity = PARITY_NONE; break;
        case KW_ODD: c.parity = PARITY_ODD; break;
        case KW_EVEN: c.parity = PARITY_EVEN; break;
        default: ini_expecting(" 'even' 'odd' 'none' "); return;
        }
        ini_advance();
        break;
    case KW_SPEED: {
        const int value = ini_intValue();
        switch (value) {
        case 1200: case 2400: case 4800: case 9600: case 14400: case 19200: case 38400: case 57600: break;
        default: ini_expecting("1200 2400 9600 14400 19200 38400 57600."); break;
        }
        c.speed = value;
        if (ini_token() != TBX_INTEGER) ini_expecting("num");
        ini_advance();
        break;
    }
    case KW_PHONE: ini_parseStringOrVar(c.phone); break;
    case KW_ADDRESS: ini_parseStringOrVar(c.address); break;
    case KW_COMPRESS: ini_parseBool(c.compress); break;
    case KW_ENCRYPT: ini_parseBool(c.encrypt); break;
    case KW_CONNECTIONMODE:
        switch (ini_token()) {
        case KW_DIALUP: c.connectionMode = CNX_MODE_DIALUP; break;
        case KW_DIRECT: c.connectionMode = CNX_MODE_DIRECT; break;
        default: ini_expecting(" 'direct' 'dialup' "); return;
        }
        ini_advance();
        break;
    case KW_CONNECTIONTYPE:
        switch (ini_token()) {
        case KW_DATAPAC: c.connectionType = CNX_TYPE_DATAPAC; break;
        case KW_TCPIP: c.connectionType = CNX_TYPE_TCPIP; break;
        case KW_HTTP: c.connectionType = CNX_TYPE_HTTP; break;
        default: ini_expecting(" 'http' 'tcpip' 'datapac' "); return;
        }
        ini_advance();
        break;
    case KW_CONNECTIONTIMEOUT: ini_parseInteger(c.connectionTimeout, 0, 0, nullptr); break;
    case KW_DIALRETRIES:
        ini_parseInteger(c.dialRetries, 1, 10, rangeText("dialRetries=number", 1, 10).c_str());
        break;
    case KW_DELAYBETWEENRETRIES:
        ini_parseInteger(c.delayBetweenRetries, 1, 60, rangeText("delayBetweenRetries=number", 1, 60).c_str());
        break;
    case KW_V2CONVERTACCENT: ini_parseBool(c.v2convertAccent); break;
    case KW_CONNECTSCRIPT:
        ini_resetScriptState();
        ini_parseScript("user script");
        c.connectScript = ini_scriptHead();
        break;
    default: break;
    }
}

}  // namespace qzr
