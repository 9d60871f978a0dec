// The configuration in memory and the reader of qzr.ini and qzrsup.ini.
//
// The reader fills, once at start-up, the general record (`Genparam`), the
// connection defaults, the table of up to 16 networks with their primary and
// secondary connections, the configuration variables and the named connect
// scripts. Every record it makes lives until the process ends (or until
// `ini_resetConfiguration`), so pointers into them stay valid for the run.
// After the reading only the run-time fields of `NetworkDef` change.
// A text field that the file did not give is unset (std::nullopt), which is
// not the same as an empty text.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/tbx_hash.h"
#include "foundation/tbx_pars.h"

namespace qzr {

constexpr int MAX_NETWORKS = 16;
constexpr std::size_t PREFIX_MAX = 12;  // a prefix fills the 12 characters of A01

// Connection modes, types, parities and disconnection methods. 0 in any of
// these fields means that the file did not give a value.
enum : int {
    CNX_MODE_DIALUP = 10,
    CNX_MODE_DIRECT = 11,
    CNX_TYPE_DATAPAC = 100,
    CNX_TYPE_TCPIP = 200,
    CNX_TYPE_HTTP = 300,
    PARITY_NONE = 1,
    PARITY_ODD = 2,
    PARITY_EVEN = 3,
    DISC_HARD = 501,
    DISC_SOFT = 502,
    DISC_BOTH = 503,
};

// Script operations of a compiled connect script.
enum : std::uint8_t {
    OP_ID = 1,
    OP_TRANSMIT = 2,
    OP_TRANSMIT_ADDRESS = 3,
    OP_WAIT = 4,
    OP_DELAY = 5,
    OP_RETRY = 6,
    OP_RETURN = 7,
    OP_SETREG = 8,
    OP_JMP = 9,
};

// The range of an integer key and the value a record holds when the file
// does not give one. A value outside the range is refused with `text`, or,
// without one, with "<key>=number [<low> to <high><unit>]" ("[<low> or
// more<unit>]" when there is no upper bound).
struct IniRange {
    int low;
    int high;
    int byDefault;
    const char* unit = "";
    const char* text = nullptr;
    constexpr bool holds(int value) const { return value >= low && value <= high; }
};
inline constexpr IniRange HANGUP_DELAY{0, 99, 0, "", "hangupDelay=number [0 to 99 seconds] "};
inline constexpr IniRange DIAL_RETRIES{1, 10, 2};
inline constexpr IniRange DELAY_BETWEEN_RETRIES{1, 60, 2};
inline constexpr IniRange PROCESSING_DELAY{0, INT_MAX, 30, " seconds"};
inline constexpr IniRange ENQ_DELAY{0, INT_MAX, 30, " seconds"};
inline constexpr IniRange CONNECTION_TIMEOUT{0, INT_MAX, 0, " seconds"};

// The general parameters. The reader puts no default in: what the file does
// not give stays 0, false or unset, and the users apply their own defaults.
struct GeneralParams {
    std::optional<std::string> defcomdev;       // upper-cased
    std::optional<std::string> modemInit;
    std::optional<std::string> HSmodemInit;
    std::optional<std::string> modemHangup;
    std::optional<std::string> inputFileName;   // upper-cased
    std::optional<std::string> outputFileName;  // upper-cased
    std::optional<std::string> version;         // the last version item read wins
    bool hangAround = false;
    bool disconnectAfterTX = false;
    int hangupDelay = HANGUP_DELAY.byDefault;   // seconds
    bool loggingEnabled = false;
    bool logFileAppend = false;
    bool detailedMessages = false;
    std::optional<std::string> logFile;         // as written
};

// The one general record and the pointer through which everyone reads it.
extern GeneralParams genparamRecord;
extern GeneralParams* Genparam;

// Copied into every connection at the moment it is created; set by the
// general keywords of the same names.
struct ConnectionDefaults {
    int dialRetries = DIAL_RETRIES.byDefault;
    int delayBetweenRetries = DELAY_BETWEEN_RETRIES.byDefault;
    bool v2convertAccent = true;
};
extern ConnectionDefaults connectionDefaults;

// One step of a compiled connect script. Nodes are shared by every
// connection that uses the same named script and are never changed after
// the reading.
struct ScriptNode {
    std::uint8_t op = 0;
    std::string string;          // text to send or await (caret-converted), or the script's name
    std::uint8_t count = 0;      // seconds (wait, delay), value (return), loop count (setreg)
    std::uint8_t reg = 0;        // register: nesting depth of the retry (setreg, retry)
    ScriptNode* next = nullptr;  // the following node, null after the last
    ScriptNode* last = nullptr;  // jump target (wait, retry, jmp): go on after it
};

// A named script of the connect-script section.
struct ScriptEntry {
    ScriptNode* head = nullptr;  // the OP_ID node, whose string is the name
    ScriptEntry* next = nullptr;
};
extern ScriptEntry* scriptList;  // in the order of definition

// The seconds a TCP/IP or HTTPS connection has to be made when its
// connectionTimeout is 0.
constexpr int DEFAULT_CONNECTION_TIMEOUT = 30;

struct ConnectionDef {
    std::optional<std::string> comdev;  // upper-cased; defcomdev when not given
    int speed = 0;
    int stopBits = 0;                   // 1 whenever dataBit is given
    int dataBit = 0;
    int parity = 0;
    int connectionMode = 0;
    int connectionType = 0;
    int connectionTimeout = CONNECTION_TIMEOUT.byDefault;  // seconds; 0: DEFAULT_CONNECTION_TIMEOUT
    bool compress = false;
    bool encrypt = false;
    bool v2convertAccent = true;        // connection default
    int dialRetries = DIAL_RETRIES.byDefault;                    // connection default
    int delayBetweenRetries = DELAY_BETWEEN_RETRIES.byDefault;  // connection default
    std::optional<std::string> phone;
    std::optional<std::string> address;
    bool usePKI = false;
    std::optional<std::string> certificateStore;
    std::optional<std::string> certificateNetworkId;
    std::optional<std::string> certificateQZRId;  // as written
    ScriptNode* connectScript = nullptr;          // head node, or null for none
};

// The networks the reader knows by name (as upper-cased): the simulation
// network, whose Common Protocol dialog echoes each request, and the network
// whose requests go out with "HD*" when it has no prefix of its own.
constexpr std::string_view SIMULATION_NETWORK = "TEST";
constexpr std::string_view ZAR_NETWORK = "ZAR";

struct NetworkDef {
    std::string networkName;            // upper-cased; also its request directory
    std::optional<std::string> prefix;  // unset: the default prefix
    // Set by the reader with the name: the network is SIMULATION_NETWORK,
    // the network is ZAR_NETWORK.
    bool simulation = false;
    bool zar = false;
    // Run-time state of the link, never set by the reader.
    bool portOpen = false;
    bool dialed = false;
    bool linkUp = false;
    int maxProcessingDelay = PROCESSING_DELAY.byDefault;  // seconds
    int maxEnqDelay = ENQ_DELAY.byDefault;                // seconds
    int disconnectMethod = DISC_SOFT;
    ConnectionDef* curCnx = nullptr;    // the connection in use, or null
    ConnectionDef* primary = nullptr;   // never null
    ConnectionDef* secondary = nullptr; // the backup connection, or null
};

// The seconds a host of `net` has to answer: its `maxProcessingDelay`, or a
// minute when that is 0.
inline int ini_processingDelay(const NetworkDef& net) {
    return net.maxProcessingDelay > 0 ? net.maxProcessingDelay : 60;
}

// The networks in the order of the configuration files; used slots precede
// the empty (null) ones.
extern std::array<NetworkDef*, MAX_NETWORKS> networkTable;

// The configuration variables (70 buckets, never locked). Key: the name
// upper-cased without its '$'; data[0] is 1 once defined; `value` holds the
// value text.
extern tbx_hash variableTable;

// The reader's parser, shared by both files; its error count judges the
// reading.
extern tbx_parser iniParser;

// The reader's cursors: the network and the connection being filled.
extern NetworkDef* Curnet;
extern ConnectionDef* Curcnx;

// Forgets every record the reader made (networks, connections, scripts,
// variables), clears `Genparam` and the connection defaults, and makes the
// empty variable table. Pointers into the old records become invalid. The
// worker calls it once before the reading.
void ini_resetConfiguration();

// Reads the configuration file. Returns 0 when the parser counted no error,
// 1001 when it counted one or more, -1 when the reading ended at a fatal
// error (an undefined or redefined script, a secondary entry without its
// network). A file that cannot be opened is reported (204) and reads as an
// empty file: 1001.
int ini_readFile(const char* path);

// Reads the supplemental file (version items and network blocks only) after
// `ini_readFile`, into the same records. Same results; the parser's error
// count is not reset before it.
int ini_readSupplementalFile(const char* path);

// Closes the file of `iniParser` if it is still open and resets its reading
// position, so that it can read another file.
void ini_closeFile();

// Reports syntax error 202 "Syntax error, expecting: <text>" at the current
// token of `iniParser`.
void ini_expecting(const char* text);

// Stores in `out` the value of the variable `name` (upper-cased): the
// definition of the file, else the environment's. An unknown name is
// reported and leaves `out` as it was.
void ini_getVariable(const char* name, std::optional<std::string>& out);

// The supplemental file in the program directory: ExeDir + "/qzrsup.ini".
std::string ini_supplementalPath();

// The named script called `name` (exact comparison), or null.
ScriptNode* ini_findScript(const char* name);

// The network whose `networkName` equals `name` exactly (case-sensitive),
// searching the slots in order up to the first empty one; null when none.
NetworkDef* findNetwork(const char* name);

// The text of an optional field for printing: its text, or `unset` when the
// file did not give it.
inline const char* ini_text(const std::optional<std::string>& field, const char* unset = "") {
    return field ? field->c_str() : unset;
}

}  // namespace qzr
