// The transaction record: the CDAnet header fields of one request and its
// status. The header check fills it; the dialogs read it (the HTTP dialog
// takes the office and provider whose API key it sends).
#pragma once

namespace qzr {

constexpr int CDA_OFFICE_LEN = 4;
constexpr int CDA_PROVIDER_LEN = 9;

// The header fields of one request and its status. Made afresh (all zero)
// for each read.
struct transInfo {
    int seq = 0;                  // A02, sequence number (-1: not numeric)
    const char* ext = nullptr;    // extension of the request file name (points into the caller's name)
    int carrier = 0;              // A05, carrier number (0 for a version 02/03 code 4)
    int encryptMethod = 0;        // A10 in version 04; 1 for versions 02 and 03
    int cdaVersion = 0;           // A03
    int transCode = 0;            // A04
    int msgLength = 0;            // A07, the declared length
    int realLength = 0;           // the line's length without its line end; -1: header only
    char office[CDA_OFFICE_LEN + 1] = {};      // B02
    char provider[CDA_PROVIDER_LEN + 1] = {};  // B01
    int status = 0;               // the transaction's status
};

}  // namespace qzr
