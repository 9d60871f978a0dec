// The connect-script compiler: turns the script language of the
// configuration file (named scripts, inline scripts, `use`, `none`, blocks,
// transmit / wait / retry / delay / return) into linked ScriptNode lists, and
// keeps the list of named scripts.
//
// Invariants: every script that is compiled starts with one OP_ID header
// node; the nodes of `then` and `retry` bodies follow in the list of the
// enclosing script; a `retry` at nesting depth d uses register d, and its
// nodes are SETREG, RETRY, body, JMP with RETRY.last = JMP and JMP.last =
// SETREG; a `wait`'s last is the last node of its `then` body (itself when
// the body added none). Named scripts are never changed once entered, since
// every connection that uses one shares its nodes.
#include <cstdio>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "config/config_internal.h"
#include "foundation/tbx_msg.h"

namespace qzr {

namespace {

// Bodies nested deeper than this are refused (the registers are 8 bits).
constexpr int MAX_SCRIPT_NESTING = 255;

ScriptNode* g_Shead = nullptr;   // header of the script being compiled
ScriptNode* g_Stail = nullptr;   // node appended last
ScriptNode* g_Snode = nullptr;   // node allocated last
std::uint8_t g_Sdepth = 0;       // nesting depth of retry statements
int waitDepth = 0;               // nesting depth of wait statements

// Makes a node of operation `op` and appends it to the script.
ScriptNode* newNode(std::uint8_t op) {
    ScriptNode* node = ini_newNode();
    node->op = op;
    if (g_Stail != nullptr) g_Stail->next = node;
    g_Stail = node;
    g_Snode = node;
    return node;
}

// Makes the header node of the script being compiled.
void makeHeader(const char* name) {
    ScriptNode* node = newNode(OP_ID);
    node->string = name != nullptr ? name : "";
    g_Shead = node;
}

bool isStatement(int t) {
    return t == KW_TRANSMIT || t == KW_WAIT || t == KW_RETRY || t == KW_DELAY || t == KW_RETURN;
}

// Reads the count of a statement into `node`: range check, stored as its
// low byte, kind check, advance.
void parseCount(ScriptNode* node, int low, int high, const char* range) {
    const int value = ini_intValue();
    if (value < low || value > high) ini_expecting(range);
    node->count = static_cast<std::uint8_t>(value);
    if (ini_token() != TBX_INTEGER) ini_expecting("num");
    ini_advance();
}

// Reports bodies nested beyond what the registers can count; ends the reading.
void refuseNesting(const char* statement) {
    iniParser.errLineStart = 0;
    iniParser.errColumn = 0;
    iniParser.errLine = 0;
    tbx_error(&iniParser, TBX_ERR_NESTING, statement, MAX_SCRIPT_NESTING);
    throw IniFatal{};
}

}  // namespace

void ini_resetScriptState() {
    g_Shead = nullptr;
    g_Stail = nullptr;
    g_Snode = nullptr;
    g_Sdepth = 0;
    waitDepth = 0;
}

ScriptNode* ini_scriptHead() { return g_Shead; }

void ini_convertCaret(std::string& out, const char* text) {
    std::string result;
    for (std::size_t i = 0; text[i] != '\0'; ++i) {
        const char c = text[i];
        if (c == '^' && text[i + 1] != '\0') {
            const char n = text[++i];
            if (n >= 'A' && n <= 'Z') {
                result += static_cast<char>(n - 64);
            } else {
                result += c;
                result += n;
            }
        } else {
            result += c;
        }
    }
    out = std::move(result);
}

void ini_parseScript(const char* name) {
    const int t = ini_token();
    // In a body (no name) `none` is an empty body and `use` is refused: both
    // would otherwise replace the head of the whole script being compiled,
    // and another script's nodes cannot become part of this one.
    if (name == nullptr && t == KW_NONE) {
        ini_advance();
        return;
    }
    if (name == nullptr && t == KW_USE) {
        ini_expecting(" 'none' '{' 'transmit' 'wait' 'retry' 'delay' 'return' ");
        ini_advance();
        if (ini_token() == TBX_IDENTIFIER) ini_advance();
        return;
    }
    if (t == KW_NONE) {
        g_Shead = nullptr;
        ini_advance();
    } else if (t == KW_USE) {
        ini_advance();
        ScriptNode* head = ini_findScript(iniParser.tokenUpper);
        if (head == nullptr) {
            g_Shead = nullptr;
            ini_report(TBX_ERR_UNDEFINED, iniParser.token);
            throw IniFatal{};
        }
        g_Shead = head;
        if (ini_token() != TBX_IDENTIFIER) ini_expecting("id");
        ini_advance();
    } else if (t == '{') {
        if (g_Shead == nullptr) makeHeader(name);
        ini_advance();
        while (isStatement(ini_token())) ini_parseScriptStatement();
        ini_expect('}', "}");
    } else if (isStatement(t)) {
        if (g_Shead == nullptr) makeHeader(name);
        ini_parseScriptStatement();
    } else {
        ini_expecting(" 'none' 'use' '{' 'transmit' 'wait' 'retry' 'delay' 'return' ");
    }
}

void ini_parseScriptStatement() {
    switch (ini_token()) {
    case KW_TRANSMIT: {
        ini_advance();
        if (ini_token() == KW_ADDRESS) {
            newNode(OP_TRANSMIT_ADDRESS);
            ini_advance();
        }
        ScriptNode* node = newNode(OP_TRANSMIT);
        ini_convertCaret(node->string, iniParser.token);
        if (ini_token() != TBX_STRING) ini_expecting("string");
        ini_advance();
        break;
    }
    case KW_DELAY:
        ini_advance();
        parseCount(newNode(OP_DELAY), 1, 255, " number [1 to 255] ");
        break;
    case KW_RETURN:
        ini_advance();
        parseCount(newNode(OP_RETURN), 0, 255, " number [0 to 255] ");
        break;
    case KW_WAIT: {
        if (waitDepth >= MAX_SCRIPT_NESTING) refuseNesting("wait");
        ini_advance();
        ScriptNode* w = newNode(OP_WAIT);
        parseCount(w, 1, 255, " number [1 to 255] ");
        ini_expect(KW_FOR, "for");
        ini_convertCaret(w->string, iniParser.token);
        if (ini_token() != TBX_STRING) ini_expecting("string");
        ini_advance();
        ini_expect(KW_THEN, "then");
        ++waitDepth;
        ini_parseScript(nullptr);
        --waitDepth;
        w->last = g_Snode;
        break;
    }
    case KW_RETRY: {
        if (g_Sdepth >= MAX_SCRIPT_NESTING) refuseNesting("retry");
        ini_advance();
        ScriptNode* s = newNode(OP_SETREG);
        const int value = ini_intValue();
        if (value < 1 || value > 254) ini_expecting(" number [1 to 254] ");
        s->count = static_cast<std::uint8_t>(value);
        s->reg = g_Sdepth;
        ScriptNode* r = newNode(OP_RETRY);
        r->reg = g_Sdepth;
        ++g_Sdepth;
        if (ini_token() != TBX_INTEGER) ini_expecting("num");
        ini_advance();
        ini_parseScript(nullptr);
        --g_Sdepth;
        ScriptNode* j = newNode(OP_JMP);
        r->last = j;
        j->last = s;
        break;
    }
    default:
        ini_expecting(" 'transmit' 'wait' 'retry' 'delay' 'return' ");
        break;
    }
}

void ini_addScript() {
    // A script whose value was refused has no header: nothing to enter.
    if (g_Shead == nullptr) return;
    ScriptEntry* tail = nullptr;
    for (ScriptEntry* e = scriptList; e != nullptr; e = e->next) {
        if (e->head->string == g_Shead->string) {
            ini_report(TBX_ERR_REDEFINED, g_Shead->string.c_str());
            throw IniFatal{};
        }
        tail = e;
    }
    ScriptEntry* entry = ini_newEntry();
    entry->head = g_Shead;
    if (tail == nullptr) scriptList = entry;
    else tail->next = entry;
}

}  // namespace qzr
