// The network test of the Test menu.
//
// Choosing "Test <network>" sends a fixed test message over the network's
// primary connection and then over its secondary one, and logs what each
// answered. Only TCP/IP (the Simple dialog) and HTTP (the proxy) connections
// can be tested. The test runs inside a wait of the worker, on its thread.
//
// What must always hold: a test never starts while a transaction is served
// (`transactionBusy`) or while another test runs (`testInProgress`); it
// changes no file, no status and no activity letter of its own; it leaves
// the network with no connection in use, its link hung up and its port
// closed; the answer is read as text only within its 512 bytes.
#pragma once

#include <cstddef>

#include "config/config.h"

namespace qzr {

// The TCP/IP test message, sent with its terminating NUL: 11 bytes.
extern const char NETTEST_TCPIP_MESSAGE[11];
// The HTTP test message, a CDAnet version 04 claim of its own length (69),
// sent with its terminating NUL: 70 bytes.
extern const char NETTEST_HTTP_MESSAGE[70];
// The office and provider of the HTTP test record.
extern const char* const NETTEST_OFFICE;    // "9998"
extern const char* const NETTEST_PROVIDER;  // "053333300"
// The answer space of one test: its text and the NUL that ends it.
constexpr std::size_t NETTEST_ANSWER_SIZE = 512;

// The Test menu's command for item `n` (1 to 3): tests the network of
// `testNetTable[n]`, primary then backup connection. Does nothing when `n`
// is outside 1 to 3, while a transaction is served or while a test runs.
void testNetworkMenu(int n);

// Tests the connection `net->curCnx` of `net`; `label` is "primary" or
// "backup". Returns at once, without a message, when there is no network or
// no connection in use. Every outcome is logged; nothing is returned.
void testNetwork(NetworkDef* net, const char* label);

}  // namespace qzr
