// The redirection file reader: keyword table, grammar, office checks, and
// the hand-over of every rule to the switch tables.
//
// The reader never jumps out: each syntax error is reported (202, stop flag)
// at the current token, the wrong token is taken as if it were the expected
// one, and the reading goes on, unless the stop ends the worker thread (no
// main window), in which case the exception passes through here untouched.
// Every rule begins with an empty ruleGroups, so offices never leak from one
// rule into the next.
#include "redirect/ini_switch_table.h"

#include <cstdio>
#include <cstring>

#include "foundation/log.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "redirect/switch_table.h"

namespace qzr {

tbx_hash ruleGroups;
std::string g_version;

namespace {

tbx_parser switchParser;  // the reader's tokenizer
tbx_hash switchKeywords;  // 85 slots, locked after registration

constexpr unsigned KEYWORD_SLOTS = 85;
constexpr unsigned RULE_GROUP_SLOTS = 70;

bool keywordsReady = false;

// Closes the reader's file when the reading ends, however it ends: a reading
// that stops at a word beginning no rule leaves the rest of the file unread.
struct ParserFileCloser {
    ~ParserFileCloser()
    {
        if (switchParser.file) {
            std::fclose(switchParser.file);
            switchParser.file = nullptr;
        }
    }
};

int token() { return switchParser.tokenId; }
const char* tokenUpper() { return switchParser.tokenUpper; }
void next() { tbx_next_token(&switchParser); }

// Reports a syntax error at the current token, naming what was expected.
void syntaxError(const char* expected)
{
    tbx_error(&switchParser, TBX_ERR_SYNTAX, expected);
}

// Checks that the current token is `id` (reporting `expected` otherwise) and
// reads the next token in both cases.
void expect(int id, const char* expected)
{
    if (token() != id) syntaxError(expected);
    next();
}

// Sets up the keyword table and the tokenizer, once per process.
void initSwitchParser()
{
    tbx_hash_init(switchKeywords, KEYWORD_SLOTS);
    tbx_init_parser(&switchParser, &switchKeywords);
    switchParser.classes[static_cast<unsigned char>('=')] = '=';
    switchParser.classes[static_cast<unsigned char>(',')] = ',';
    tbx_add_keyword(switchKeywords, "version", SWT_VERSION);
    tbx_add_keyword(switchKeywords, "to", SWT_TO);
    tbx_add_keyword(switchKeywords, "do", SWT_DO);
    tbx_add_keyword(switchKeywords, "not", SWT_NOT);
    tbx_add_keyword(switchKeywords, "all", SWT_ALL);
    tbx_add_keyword(switchKeywords, "and", SWT_AND);
    tbx_add_keyword(switchKeywords, "groups", SWT_GROUPS);
    tbx_add_keyword(switchKeywords, "carriers", SWT_CARRIERS);
    tbx_add_keyword(switchKeywords, "redirect", SWT_REDIRECT);
    switchKeywords.flags |= TBX_HASH_FIND_ONLY;
    keywordsReady = true;
}

// office-list: all | string { , string }. Every office goes to ruleGroups.
void parseGroupList()
{
    if (token() == TBX_STRING) {
        addGroup(tokenUpper());
        next();
        while (token() == ',') {
            next();
            // The office is offered before its token is checked.
            addGroup(tokenUpper());
            if (token() != TBX_STRING) syntaxError("string");
            next();
        }
    } else if (token() == SWT_ALL) {
        if (!tbx_hash_find(ruleGroups, SWITCH_ALL_OFFICES))
            log_write(LOG_ERROR, "** addGroup: Internal ERROR **");
        next();
    } else {
        syntaxError(" 'all' 'string' ");
    }
}

// carrier-list: all | string { , string }. Each carrier is paired with
// every office of the rule in `table` with `target`.
void parseCarrierList(tbx_hash& table, const char* target)
{
    if (token() == TBX_STRING) {
        addSwitchTable(table, tokenUpper(), target);
        next();
        while (token() == ',') {
            next();
            addSwitchTable(table, tokenUpper(), target);
            if (token() != TBX_STRING) syntaxError("string");
            next();
        }
    } else if (token() == SWT_ALL) {
        addSwitchTable(table, SWITCH_ALL_CARRIERS, target);
        next();
    } else {
        syntaxError(" 'all' 'string' ");
    }
}

// One rule, from `do` or `redirect` up to the token after its carrier list.
void parseSwitchRule()
{
    if (token() == SWT_DO) {
        next();
        expect(SWT_NOT, "not");
        expect(SWT_REDIRECT, "redirect");
        expect(SWT_GROUPS, "groups");
        expect('=', "=");
        parseGroupList();
        expect(SWT_AND, "and");
        expect(SWT_CARRIERS, "carriers");
        expect('=', "=");
        parseCarrierList(notSwitchTable, SWITCH_NO_TARGET);
    } else if (token() == SWT_REDIRECT) {
        next();
        expect(SWT_TO, "to");
        // The target is a copy that lives as long as the tables.
        std::string networkName = tokenUpper();
        if (token() != TBX_STRING) syntaxError("string");
        next();
        expect(SWT_GROUPS, "groups");
        expect('=', "=");
        parseGroupList();
        expect(SWT_AND, "and");
        expect(SWT_CARRIERS, "carriers");
        expect('=', "=");
        parseCarrierList(switchTable, networkName.c_str());
    } else {
        syntaxError(" 'redirect' 'do' ");
    }
}

// file: version = string, then rules while a rule begins.
void parseSwitchFile()
{
    if (token() != SWT_VERSION) {
        syntaxError(" 'version' ");
        return;
    }
    next();
    expect('=', "=");
    g_version = tokenUpper();
    if (token() != TBX_STRING) syntaxError("string");
    next();
    while (token() == SWT_REDIRECT || token() == SWT_DO) {
        tbx_hash_init(ruleGroups, RULE_GROUP_SLOTS);
        ruleGroups.flags = 0;
        parseSwitchRule();
    }
}

}  // namespace

int addGroup(const char* office)
{
    if (office && std::strlen(office) == SWITCH_OFFICE_LEN) {
        if (tbx_hash_find(ruleGroups, office)) return 1;
        log_write(LOG_ERROR, "** addGroup: Internal ERROR **");
        return 0;
    }
    log_write(LOG_ERROR, " valid office number, must be exactly 4 caracters.");
    return 0;
}

int readSwitchFile(const char* path)
{
    if (!keywordsReady) initSwitchParser();
    // The parser keeps counting across readings; this reading's result
    // depends only on the errors it reported itself.
    const int errorsBefore = switchParser.errorCount;
    ParserFileCloser closer;
    if (!tbx_open_file(&switchParser, "", path)) return STS_ERROR;
    next();
    parseSwitchFile();
    return switchParser.errorCount > errorsBefore ? STS_ERROR : STS_OK;
}

}  // namespace qzr
