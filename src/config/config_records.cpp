// The configuration records: the general record, the connection defaults,
// the network table, the variables and the named scripts, with the
// creation of networks and connections that the reader uses.
//
// Every record is owned by a store that lives until the process ends (or
// until the configuration is reset), so the plain pointers held by the
// network table, the connections and the script nodes never dangle while the
// driver runs. A record replaced by a redefinition stays allocated.
#include <cstring>

#include "config/config.h"
#include "config/config_internal.h"
#include "foundation/runtime.h"

namespace qzr {

GeneralParams genparamRecord;
GeneralParams* Genparam = &genparamRecord;
ConnectionDefaults connectionDefaults;
std::array<NetworkDef*, MAX_NETWORKS> networkTable{};
tbx_hash variableTable;
ScriptEntry* scriptList = nullptr;
NetworkDef* Curnet = nullptr;
ConnectionDef* Curcnx = nullptr;

namespace {

// Owners of every record made by the reader.
std::deque<std::unique_ptr<NetworkDef>> networkStore;
std::deque<std::unique_ptr<ConnectionDef>> connectionStore;
std::deque<std::unique_ptr<ScriptNode>> nodeStore;
std::deque<std::unique_ptr<ScriptEntry>> entryStore;

}  // namespace

// Makes a connection with the connection defaults and makes it `Curcnx`.
ConnectionDef* ini_newConnection() {
    auto cnx = std::make_unique<ConnectionDef>();
    cnx->v2convertAccent = connectionDefaults.v2convertAccent;
    cnx->dialRetries = connectionDefaults.dialRetries;
    cnx->delayBetweenRetries = connectionDefaults.delayBetweenRetries;
    Curcnx = cnx.get();
    connectionStore.push_back(std::move(cnx));
    return Curcnx;
}

// Makes a network with its primary connection; both become the cursors.
NetworkDef* ini_newNetwork() {
    auto net = std::make_unique<NetworkDef>();
    Curnet = net.get();
    networkStore.push_back(std::move(net));
    Curnet->primary = ini_newConnection();
    Curnet->secondary = nullptr;
    return Curnet;
}

// Makes a zero-filled script node; the store owns it.
ScriptNode* ini_newNode() {
    nodeStore.push_back(std::make_unique<ScriptNode>());
    return nodeStore.back().get();
}

// Makes a named-script entry; the store owns it.
ScriptEntry* ini_newEntry() {
    entryStore.push_back(std::make_unique<ScriptEntry>());
    return entryStore.back().get();
}

void ini_resetRecords() {
    genparamRecord = GeneralParams{};
    Genparam = &genparamRecord;
    connectionDefaults = ConnectionDefaults{};
    networkTable.fill(nullptr);
    scriptList = nullptr;
    Curnet = nullptr;
    Curcnx = nullptr;
    networkStore.clear();
    connectionStore.clear();
    nodeStore.clear();
    entryStore.clear();
    tbx_hash_init(variableTable, VARIABLE_BUCKETS);
}

std::string ini_supplementalPath() { return ExeDir + "/qzrsup.ini"; }

NetworkDef* findNetwork(const char* name) {
    if (name == nullptr) return nullptr;
    for (NetworkDef* net : networkTable) {
        if (net == nullptr) break;
        if (net->networkName == name) return net;
    }
    return nullptr;
}

ScriptNode* ini_findScript(const char* name) {
    if (name == nullptr) return nullptr;
    for (ScriptEntry* e = scriptList; e != nullptr; e = e->next) {
        if (e->head != nullptr && e->head->string == name) return e->head;
    }
    return nullptr;
}

}  // namespace qzr
