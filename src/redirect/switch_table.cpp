// Switch tables: entering the rules, the lookup by office and carrier, the
// loader with its debug dump, and the rules report.
//
// A pair's key is always the 4-character office followed by the 6-character
// carrier; nothing shorter or longer ever becomes a key. Lookups never
// insert, locked table or not, and cost the same however many rules there
// are. A pair keeps the target of the first rule that named it.
//
// The report reads as if it looked every office of the rules up against
// every carrier of the rules; it looks up only the pairs some rule names,
// the only ones that can answer for their office and carrier, in that order.
#include "redirect/switch_table.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "os/os_file.h"
#include "redirect/ini_switch_table.h"

namespace qzr {

tbx_hash switchTable;
tbx_hash notSwitchTable;
tbx_hash carriersTable;
tbx_hash groupsTable;
tbx_hash switchNetworks;

tbx_print_fn switch_report_printer = nullptr;

namespace {

constexpr unsigned PAIR_SLOTS = 70;
constexpr unsigned SET_SLOTS = 70;
constexpr unsigned NETWORK_SLOTS = 5;

// The report's placeholders: no rule names them, so only the rules for all
// offices or all carriers answer for them.
constexpr const char* ANY_OFFICE = "....";
constexpr const char* ANY_CARRIER = "......";

// The data word that tells that an entry's target (its value) is set.
constexpr int TARGET_WORD = 2;

struct Probe {
    bool interdiction;
    bool allOffices;
    bool allCarriers;
    int code;
    const char* text;
};

// The probe order: interdictions from the widest to the narrowest, then
// redirections from the narrowest to the widest.
constexpr Probe PROBES[] = {
    {true, true, true, REDIR_DENY_ALL, "601 No office redirection allowed for any carrier"},
    {true, true, false, REDIR_DENY_CARRIER, "602 No office redirection allowed for this carrier"},
    {true, false, true, REDIR_DENY_OFFICE, "603 No redirection allowed for this office"},
    {true, false, false, REDIR_DENY_OFFICE_CARRIER,
     "604 No redirection allowed for this office and carrier"},
    {false, false, false, REDIR_OFFICE_CARRIER, "701 this office is redirected for this carrier"},
    {false, false, true, REDIR_OFFICE, "702 this office is redirected for all carriers"},
    {false, true, false, REDIR_CARRIER, "703 All offices redirected for this carrier"},
    {false, true, true, REDIR_ALL, "704 All offices redirected for all carriers"},
};
constexpr const char* NO_RULE_TEXT = "699 No redirection rule found";

// The key of a pair: the office followed by the carrier.
std::string pairKey(const char* office, const char* carrier)
{
    std::string key(office);
    key += carrier;
    return key;
}

// A target for printing: an absent one is an empty text.
const char* shown(const char* target) { return target ? target : ""; }

// Where a report or dump goes: a stream, or the printer hook.
class ReportOut {
public:
    ReportOut(std::FILE* out, tbx_print_fn printer) : out_(out), printer_(printer) {}

    // Formats one piece of text and writes it.
    [[gnu::format(printf, 2, 3)]] void print(const char* fmt, ...)
    {
        va_list ap;
        va_start(ap, fmt);
        va_list again;
        va_copy(again, ap);
        const int len = std::vsnprintf(nullptr, 0, fmt, ap);
        va_end(ap);
        std::string text;
        if (len > 0) {
            text.resize(static_cast<std::size_t>(len) + 1);
            std::vsnprintf(text.data(), text.size(), fmt, again);
            text.resize(static_cast<std::size_t>(len));
        }
        va_end(again);
        if (printer_)
            printer_(text.c_str());
        else if (out_)
            std::fputs(text.c_str(), out_);
    }

private:
    std::FILE* out_;
    tbx_print_fn printer_;
};

// Prints one table of the debug dump: its title, then "n key -> target" for
// every entry in iteration order. An entry without a target shows "".
void dumpTable(ReportOut& out, const char* title, tbx_hash& table)
{
    out.print("%s", title);
    if (table.n < 2) return;
    tbx_hash_rewind(table);
    int row = 0;
    for (tbx_hash_entry* e = tbx_hash_next(table); e; e = tbx_hash_next(table)) {
        out.print("%d %s -> %s\n", row++, e->key.c_str(), shown(switchTarget(e)));
    }
}

// The keys of a set in its iteration order, each with its place in it.
// Collected once, so that nested walks never share a cursor.
struct OrderedSet {
    std::vector<std::string> keys;
    std::unordered_map<std::string_view, std::size_t> place;  // views into keys

    explicit OrderedSet(tbx_hash& table)
    {
        if (table.n < 2) return;
        tbx_hash_rewind(table);
        for (tbx_hash_entry* e = tbx_hash_next(table); e; e = tbx_hash_next(table)) keys.push_back(e->key);
        place.reserve(keys.size());
        for (std::size_t i = 0; i < keys.size(); ++i) place.emplace(keys[i], i);
    }
    OrderedSet(const OrderedSet&) = delete;
    OrderedSet& operator=(const OrderedSet&) = delete;
};

// A pair of an office and a carrier by their places in the sets.
struct NamedPair {
    std::size_t office;
    std::size_t carrier;
    auto operator<=>(const NamedPair&) const = default;
};

// The pairs of `table` whose office and carrier are both in the sets (no
// all-offices or all-carriers marker), in the order in which a walk of the
// carriers within a walk of the offices meets them.
std::vector<NamedPair> namedPairs(tbx_hash& table, const OrderedSet& offices, const OrderedSet& carriers)
{
    std::vector<NamedPair> pairs;
    if (table.n < 2) return pairs;
    tbx_hash_rewind(table);
    for (tbx_hash_entry* e = tbx_hash_next(table); e; e = tbx_hash_next(table)) {
        const std::string_view key = e->key;
        if (key.size() != SWITCH_OFFICE_LEN + SWITCH_CARRIER_LEN) continue;
        const auto office = offices.place.find(key.substr(0, SWITCH_OFFICE_LEN));
        const auto carrier = carriers.place.find(key.substr(SWITCH_OFFICE_LEN));
        if (office != offices.place.end() && carrier != carriers.place.end())
            pairs.push_back({office->second, carrier->second});
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

// The rules report. Returns -1 when every redirection is forbidden.
int writeReport(ReportOut& out)
{
    int code = 0;
    out.print("Redirection rules report:\n");
    lookupSwitchTable(ANY_OFFICE, ANY_CARRIER, code);
    if (code == REDIR_DENY_ALL) {
        out.print("  No redirection allowed (all other rules ignored)\n");
        out.print("* END of Report *\n");
        return -1;
    }

    const OrderedSet carrierSet(carriersTable);
    const OrderedSet officeSet(groupsTable);
    const std::vector<std::string>& carriers = carrierSet.keys;
    const std::vector<std::string>& offices = officeSet.keys;

    out.print("  Interdiction Rules:\n");
    for (const std::string& carrier : carriers) {
        lookupSwitchTable(ANY_OFFICE, carrier.c_str(), code);
        if (code == REDIR_DENY_CARRIER)
            out.print("  No redirection for Carrier %s (any office)\n", carrier.c_str());
    }
    for (const std::string& office : offices) {
        lookupSwitchTable(office.c_str(), ANY_CARRIER, code);
        if (code == REDIR_DENY_OFFICE) out.print("  No redirection for Office %s\n", office.c_str());
    }
    // Only a pair of the interdiction table answers 604 for its own office
    // and carrier.
    for (const NamedPair& p : namedPairs(notSwitchTable, officeSet, carrierSet)) {
        const std::string& office = offices[p.office];
        const std::string& carrier = carriers[p.carrier];
        lookupSwitchTable(office.c_str(), carrier.c_str(), code);
        if (code == REDIR_DENY_OFFICE_CARRIER)
            out.print("  No redirection for Office %s + Carrier %s\n", office.c_str(), carrier.c_str());
    }

    out.print("  Redirection Rules:\n");
    // Only a pair of the redirection table answers 701 for its own office
    // and carrier; the pairs come office by office.
    const std::vector<NamedPair> redirected = namedPairs(switchTable, officeSet, carrierSet);
    auto next = redirected.begin();
    for (std::size_t o = 0; o < offices.size(); ++o) {
        const std::string& office = offices[o];
        int carrierLines = 0;
        for (; next != redirected.end() && next->office == o; ++next) {
            const std::string& carrier = carriers[next->carrier];
            const char* target = lookupSwitchTable(office.c_str(), carrier.c_str(), code);
            if (code == REDIR_OFFICE_CARRIER) {
                ++carrierLines;
                out.print("  Office %s  Carrier %s:   -> %s\n", office.c_str(), carrier.c_str(),
                          shown(target));
            }
        }
        const char* target = lookupSwitchTable(office.c_str(), ANY_CARRIER, code);
        if (code == REDIR_OFFICE)
            out.print("  Office %s  %s -> %s\n", office.c_str(),
                      carrierLines == 0 ? "all carriers     " : "any other carrier", shown(target));
    }
    for (const std::string& carrier : carriers) {
        const char* target = lookupSwitchTable(ANY_OFFICE, carrier.c_str(), code);
        if (code == REDIR_CARRIER)
            out.print("  Any office + Carrier %s    -> %s\n", carrier.c_str(), shown(target));
    }
    const char* target = lookupSwitchTable(ANY_OFFICE, ANY_CARRIER, code);
    if (code == REDIR_ALL)
        out.print("  Any other office or carrier    -> %s\n", shown(target));
    else
        out.print("  * * * NO OTHER office or carrier will be redirected * * *\n");
    out.print("* END of Report *\n");
    return 0;
}

// Locks the two pair tables when the loading ends, however it ends.
struct PairTableLock {
    ~PairTableLock()
    {
        switchTable.flags |= TBX_HASH_FIND_ONLY;
        notSwitchTable.flags |= TBX_HASH_FIND_ONLY;
    }
};

}  // namespace

const char* switchTarget(const tbx_hash_entry* entry)
{
    if (!entry || entry->data[TARGET_WORD] == 0) return nullptr;
    return entry->value.c_str();
}

const char* switchResultText(int code)
{
    for (const Probe& p : PROBES)
        if (p.code == code) return p.text;
    if (code == REDIR_NO_RULE) return NO_RULE_TEXT;
    return "";
}

std::string switchFilePath()
{
    return ExeDir + "/" + SWITCH_FILE_NAME;
}

void switch_logPrinter(const char* text)
{
    std::string line(text ? text : "");
    while (!line.empty() && line.back() == '\n') line.pop_back();
    log_write(LOG_INFO, "%s", line.c_str());
}

int addSwitchTable(tbx_hash& table, const char* carrier, const char* target)
{
    if (!carrier || !target || std::strlen(carrier) != SWITCH_CARRIER_LEN) return 0;
    if (ruleGroups.n < 2) return 0;
    int added = 0;
    tbx_hash_rewind(ruleGroups);
    for (tbx_hash_entry* g = tbx_hash_next(ruleGroups); g; g = tbx_hash_next(ruleGroups)) {
        const std::string& office = g->key;
        if (office.size() != SWITCH_OFFICE_LEN) continue;
        tbx_hash_entry* pair = tbx_hash_find(table, pairKey(office.c_str(), carrier).c_str());
        if (!pair) {
            log_write(LOG_ERROR, "** addSwitchTable: Internal ERROR **");
            continue;
        }
        if (pair->data[TARGET_WORD] == 0) {
            pair->value = target;
            pair->data[TARGET_WORD] = 1;
            ++added;
        } else {
            log_write(LOG_ERROR, " grp already defined");
        }
        if (std::strcmp(carrier, SWITCH_ALL_CARRIERS) != 0) tbx_hash_find(carriersTable, carrier);
        if (office != SWITCH_ALL_OFFICES) tbx_hash_find(groupsTable, office.c_str());
        tbx_hash_find(switchNetworks, target);
    }
    return added;
}

const char* lookupSwitchTable(const char* office, const char* carrier, int& code,
                              const char** text)
{
    code = REDIR_NONE;
    if (!office || !carrier || std::strlen(office) != SWITCH_OFFICE_LEN ||
        std::strlen(carrier) != SWITCH_CARRIER_LEN)
        return nullptr;
    for (const Probe& p : PROBES) {
        const tbx_hash& table = p.interdiction ? notSwitchTable : switchTable;
        const std::string key = pairKey(p.allOffices ? SWITCH_ALL_OFFICES : office,
                                        p.allCarriers ? SWITCH_ALL_CARRIERS : carrier);
        const tbx_hash_entry* e = tbx_hash_lookup(table, key.c_str());
        if (!e) continue;
        code = p.code;
        if (text) *text = p.text;
        return p.interdiction ? nullptr : switchTarget(e);
    }
    code = REDIR_NO_RULE;
    if (text) *text = NO_RULE_TEXT;
    return nullptr;
}

int reportSwitchTable(std::FILE* out)
{
    ReportOut sink(out, nullptr);
    return writeReport(sink);
}

int loadSwitchTable(const char* path)
{
    tbx_hash_init(switchTable, PAIR_SLOTS);
    tbx_hash_init(notSwitchTable, PAIR_SLOTS);
    tbx_hash_init(carriersTable, SET_SLOTS);
    tbx_hash_init(groupsTable, SET_SLOTS);
    tbx_hash_init(switchNetworks, NETWORK_SLOTS);
    switchTable.flags &= ~TBX_HASH_FIND_ONLY;
    notSwitchTable.flags &= ~TBX_HASH_FIND_ONLY;
    {
        PairTableLock lock;
        // Read only when it can be opened: only a regular file can.
        if (OsFd fd; os_fileOpen(path, OS_OPEN_READ | OS_OPEN_FOLLOW, 0, fd) == 0) {
            fd.reset();
            if (readSwitchFile(path) != 0)
                log_write(LOG_ERROR, "Error processing switching file %s\n", path);
        }
    }

    ReportOut out(stdout, switch_report_printer);
    if (debugTrace) {
        dumpTable(out, "Debug NOT Switch Table: \n", notSwitchTable);
        dumpTable(out, "Switch Table:\n", switchTable);
        dumpTable(out, "Carriers Table:\n", carriersTable);
        dumpTable(out, "Groups Table:\n", groupsTable);
    }
    writeReport(out);
    if (!switch_report_printer) std::fflush(stdout);
    return 0;
}

}  // namespace qzr
