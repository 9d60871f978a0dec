// The HTTP dialog: the dialog of connections of type http.
//
// The request message, as the transaction processing prepared it, is posted
// unchanged to the proxy's claim service (https://<primary address>:55978
// /api/AuthenticationRequests) with the API key of the request's office and
// provider as a bearer token; the proxy's reply is the response, and its
// HTTP status decides the transaction's status. A key the proxy refuses
// (400, 401) is deleted from the key store, so that the next claim of the
// pair asks for a new one.
//
// What must always hold: the response stays within the caller's capacity
// (at most the capacity, then a NUL in the byte after it); a transfer that
// did not end well is a failure (1001) that keeps what was received; the
// proxy's host is the primary connection's address, also on the secondary.
#pragma once

#include <cstddef>

#include "config/config.h"
#include "foundation/trans_info.h"

namespace qzr {

// The user agent of every claim: "QZR/" and the version.
extern const char* const HTTP_USER_AGENT;

// Posts `requestLen` bytes of `request` (unchanged) for the record `ti` (its
// office and provider) over `net`'s HTTP connection: the dialog of the http
// type (links/link_ops.h), handed in with link_setHttpDialog. `*respLen`
// holds the capacity on entry, the longest reply to keep (RESP_BUF_SIZE for a
// transaction, 511 for the network test; `resp` holds one byte more, for the
// reply's NUL), and the number of bytes received on return, which are
// followed by a NUL.
// Returns 0 (STS_OK), 1001 (STS_ERROR), 1031 (STS_PROTOCOL_ERROR: no API key
// can be had), 1051 (STS_PORT_OPEN_ERROR: the connection has no address) or
// 1003 (STS_INTERRUPTED: a stop or a Cancel came during the key request,
// and the claim was not posted). A transfer ends soon after a stop.
// Sets `net->linkUp` once a transfer is made; `net_hangup` clears it.
[[nodiscard]] int http_dialog(NetworkDef* net, const transInfo* ti, char* request, int requestLen,
                              unsigned char* resp, int* respLen);

// The write callback of the claim (see https_storeChunk).
std::size_t httpWriteCallback(char* data, std::size_t size, std::size_t count, void* user);

}  // namespace qzr
