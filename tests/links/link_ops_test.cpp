// The table of connection types: the record each type gets, and the dialog
// that the HTTPS channel hands in for http.
#include <gtest/gtest.h>

#include "links/common_dialog.h"
#include "links/link_ops.h"
#include "links/port.h"
#include "links/simple_dialog.h"

namespace qzr {
namespace {

struct Expected {
    const char* name;
    int connectionType;  // -1: no connection at all
    int (*openPort)(const ConnectionDef*);
    std::optional<std::string> ConnectionDef::* portName;
    LinkDialog dialog;   // none: the dialog handed in
    bool failedAnswerKept;
    bool endsWithEot;
    bool keepsLink;
    bool answersInClear;
    NetTestKind test;
};

TEST(LinkOps, EachConnectionTypeGetsItsRecord)
{
    const Expected cases[] = {
        {"no connection", -1, serial_connectPort, &ConnectionDef::comdev, common_dialog, false, true, true,
         false, NetTestKind::None},
        {"type not given (a direct line)", 0, serial_connectPort, &ConnectionDef::comdev, common_dialog, false,
         true, true, false, NetTestKind::None},
        {"datapac", CNX_TYPE_DATAPAC, serial_connectPort, &ConnectionDef::comdev, common_dialog, false, true,
         true, false, NetTestKind::None},
        {"tcpip", CNX_TYPE_TCPIP, tcp_connectPort, &ConnectionDef::address, simple_dialog, false, false, true, false,
         NetTestKind::Plain},
        {"http", CNX_TYPE_HTTP, nullptr, &ConnectionDef::address, nullptr, true, false, false, true, NetTestKind::Claim},
    };
    for (const Expected& k : cases) {
        ConnectionDef cnx;
        cnx.connectionType = k.connectionType < 0 ? 0 : k.connectionType;
        const LinkOps& ops = link_opsOf(k.connectionType < 0 ? nullptr : &cnx);
        EXPECT_EQ(ops.openPort, k.openPort) << k.name;
        EXPECT_NE(ops.announceOpen, nullptr) << k.name;
        EXPECT_EQ(ops.portName, k.portName) << k.name;
        if (k.dialog) {
            EXPECT_EQ(ops.dialog, k.dialog) << k.name;
        }
        EXPECT_NE(ops.dialog, nullptr) << k.name;
        EXPECT_EQ(ops.failedAnswerKept, k.failedAnswerKept) << k.name;
        EXPECT_EQ(ops.endDialog == cp_endDialog, k.endsWithEot) << k.name;
        if (!k.endsWithEot) {
            EXPECT_EQ(ops.endDialog, nullptr) << k.name;
        }
        EXPECT_EQ(ops.keepsLink, k.keepsLink) << k.name;
        EXPECT_EQ(ops.answersInClear, k.answersInClear) << k.name;
        EXPECT_EQ(ops.test, k.test) << k.name;
    }
}

// What the handed-in dialog was given.
struct Call {
    NetworkDef* net = nullptr;
    const transInfo* ti = nullptr;
    char* text = nullptr;
    int length = 0;
    unsigned char* resp = nullptr;
    int capacity = 0;
} lastCall;

int recordingDialog(NetworkDef* net, const transInfo* ti, char* text, int length, unsigned char* resp, int* respLen)
{
    lastCall = Call{net, ti, text, length, resp, *respLen};
    *respLen = 2;
    return 1234;
}

TEST(LinkOps, TheHttpRecordCarriesTheDialogHandedIn)
{
    link_setHttpDialog(recordingDialog);
    ConnectionDef cnx;
    cnx.connectionType = CNX_TYPE_HTTP;
    NetworkDef net;
    transInfo ti;
    char text[] = "CLAIM";
    unsigned char resp[16];
    int respLen = 15;
    EXPECT_EQ(link_opsOf(&cnx).dialog(&net, &ti, text, 5, resp, &respLen), 1234);
    EXPECT_EQ(respLen, 2);
    EXPECT_EQ(lastCall.net, &net);
    EXPECT_EQ(lastCall.ti, &ti);
    EXPECT_EQ(lastCall.text, text);
    EXPECT_EQ(lastCall.length, 5);
    EXPECT_EQ(lastCall.resp, resp);
    EXPECT_EQ(lastCall.capacity, 15);
    link_setHttpDialog(nullptr);
}

}  // namespace
}  // namespace qzr
