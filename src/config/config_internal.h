// What the parts of the configuration reader share among themselves: the
// creation of records, the keyword ids and the parsing steps. Not for use
// outside src/config.
#pragma once

#include <deque>
#include <memory>

#include "config/config.h"

namespace qzr {

constexpr unsigned VARIABLE_BUCKETS = 70;
constexpr unsigned KEYWORD_BUCKETS = 85;

ConnectionDef* ini_newConnection();
NetworkDef* ini_newNetwork();
ScriptNode* ini_newNode();
ScriptEntry* ini_newEntry();
// Frees every record and clears the globals (see ini_resetConfiguration).
void ini_resetRecords();

}  // namespace qzr
