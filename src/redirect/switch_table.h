// Redirection rules: the switch tables, the lookup and the rules report.
//
// The rules of qzrredir.dat live in two tables keyed by office + carrier (the
// 4-character office followed by the 6-character carrier, 10 characters):
// `switchTable` holds redirections with the target network's name,
// `notSwitchTable` interdictions with the text "N/A". Beside them three sets
// remember the carriers, offices and targets the rules name. The tables are
// loaded once, before the first request, and are locked afterwards; a lookup
// never inserts anything. The first rule that names a pair in a table keeps
// it.
#pragma once

#include <cstdio>
#include <string>

#include "foundation/tbx_hash.h"
#include "foundation/tbx_pars.h"

namespace qzr {

// Result codes of a lookup, in the order they are probed.
enum : int {
    REDIR_NONE = 0,                  // office or carrier of the wrong length
    REDIR_DENY_ALL = 601,            // interdiction: all offices, all carriers
    REDIR_DENY_CARRIER = 602,        // interdiction: all offices, the carrier
    REDIR_DENY_OFFICE = 603,         // interdiction: the office, all carriers
    REDIR_DENY_OFFICE_CARRIER = 604, // interdiction: the office and the carrier
    REDIR_NO_RULE = 699,
    REDIR_OFFICE_CARRIER = 701,      // redirection: the office and the carrier
    REDIR_OFFICE = 702,              // redirection: the office, all carriers
    REDIR_CARRIER = 703,             // redirection: all offices, the carrier
    REDIR_ALL = 704,                 // redirection: all offices, all carriers
};

constexpr int SWITCH_OFFICE_LEN = 4;
constexpr int SWITCH_CARRIER_LEN = 6;
constexpr const char* SWITCH_ALL_OFFICES = "*   ";
constexpr const char* SWITCH_ALL_CARRIERS = "*     ";
constexpr const char* SWITCH_NO_TARGET = "N/A";      // target of an interdiction
constexpr const char* SWITCH_FILE_NAME = "qzrredir.dat";

extern tbx_hash switchTable;     // 70 slots: office+carrier -> target network
extern tbx_hash notSwitchTable;  // 70 slots: office+carrier -> "N/A"
extern tbx_hash carriersTable;   // 70 slots: carriers named by a rule
extern tbx_hash groupsTable;     // 70 slots: offices named by a rule
extern tbx_hash switchNetworks;  // 5 slots: targets named by a rule ("N/A" too)

// An entry's target text, or null when the entry has none (the sets).
const char* switchTarget(const tbx_hash_entry* entry);

// The constant text of a result code ("701 this office is redirected for
// this carrier"), or "" for a code without one.
const char* switchResultText(int code);

// The path of the redirection file: ExeDir, '/', "qzrredir.dat".
std::string switchFilePath();

// Where the loader prints its debug dump and rules report: standard output
// when null; the shell points it at switch_logPrinter while the status window
// holds the terminal. It receives each line whole, with its line feed.
extern tbx_print_fn switch_report_printer;
// Writes a line of the report as one LOG_INFO line (without its line feed).
void switch_logPrinter(const char* text);

// Enters `carrier` with `target` into `table` (switchTable or
// notSwitchTable), paired with every office of ruleGroups. Returns the number
// of pairs newly entered; 0 without a message when the carrier is not exactly
// 6 characters or a text is missing.
int addSwitchTable(tbx_hash& table, const char* carrier, const char* target);

// Creates the five tables, reads the redirection file at `path` when it can
// be opened, locks the two pair tables, prints the debug dump (debugTrace)
// and the rules report. Returns 0.
int loadSwitchTable(const char* path);

// Which network carries a request of `office` and `carrier`. Sets `code` to
// the result code (0 when a text is missing or of the wrong length, then
// `text` is left alone) and, when `text` is given, points it at the code's
// text. Returns the target network for 701-704, else null.
const char* lookupSwitchTable(const char* office, const char* carrier, int& code,
                              const char** text = nullptr);

// Writes the rules report to `out`. Returns -1 when all redirection is
// forbidden (601), else 0.
int reportSwitchTable(std::FILE* out);

}  // namespace qzr
