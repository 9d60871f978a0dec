// The table of connection types and the one place that reads
// `connectionType`.
#include "links/link_ops.h"

#include <cstdarg>

#include "foundation/log.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "links/common_dialog.h"
#include "links/port.h"
#include "links/simple_dialog.h"

namespace qzr {

namespace {

void announceSerial(const ConnectionDef& cnx)
{
    char parity = '?';
    if (cnx.parity == PARITY_NONE) parity = 'N';
    if (cnx.parity == PARITY_ODD) parity = 'O';
    if (cnx.parity == PARITY_EVEN) parity = 'E';
    log_write(LOG_INFO, "Openning port %s %ld-%d%c%d", ini_text(cnx.comdev), static_cast<long>(cnx.speed),
              cnx.dataBit, parity, cnx.stopBits);
}

void announceTcpip(const ConnectionDef& cnx)
{
    log_write(LOG_INFO, "Openning TCPIP port %s ", ini_text(cnx.address));
}

void announceHttp(const ConnectionDef&)
{
    log_write(LOG_INFO, "Openning HTTP connection");
}

LinkDialog httpDialog = nullptr;

// The HTTP dialog that the HTTPS channel handed in.
int handedInHttpDialog(NetworkDef* net, const transInfo* ti, char* text, int length, unsigned char* resp,
                       int* respLen)
{
    TBX_ASSERT(nullptr, httpDialog != nullptr);
    if (!httpDialog) return STS_ERROR;
    return httpDialog(net, ti, text, length, resp, respLen);
}

// The discard of a kept socket: all that waits.
long discardAll()
{
    return port_discardReceived();
}

// One row per connection type; the first is the serial line, which every
// type without a row of its own takes.
constexpr LinkOps linkTable[] = {
    // A direct line, a modem, a DATAPAC access over a modem.
    {.type = 0,
     .openPort = serial_connectPort,
     .announceOpen = announceSerial,
     .portName = &ConnectionDef::comdev,
     .dialog = common_dialog,
     .endDialog = cp_endDialog,
     .keepsLink = true,
     .discard = cp_discardStale},
    {.type = CNX_TYPE_TCPIP,
     .openPort = tcp_connectPort,
     .announceOpen = announceTcpip,
     .portName = &ConnectionDef::address,
     .dialog = simple_dialog,
     .keepsLink = true,
     .discard = discardAll,
     .closedAfterFailure = true,
     .test = NetTestKind::Plain},
    // The proxy is reached anew for each request: nothing to open or dial.
    {.type = CNX_TYPE_HTTP,
     .announceOpen = announceHttp,
     .portName = &ConnectionDef::address,
     .dialog = handedInHttpDialog,
     .failedAnswerKept = true,
     .answersInClear = true,
     .test = NetTestKind::Claim},
};

}  // namespace

const LinkOps& link_opsOf(const ConnectionDef* cnx)
{
    const int type = cnx ? cnx->connectionType : 0;
    for (const LinkOps& ops : linkTable) {
        if (ops.type == type) return ops;
    }
    return linkTable[0];  // CNX_TYPE_DATAPAC, a direct line, a modem
}

void link_setHttpDialog(LinkDialog dialog)
{
    httpDialog = dialog;
}

int link_dialogFails(int status, const char* endLine, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(status, fmt, ap);
    va_end(ap);
    return link_dialogEnds(status, endLine);
}

int link_dialogEnds(int status, const char* endLine)
{
    log_code(status, "%s", endLine);
    return status;
}

}  // namespace qzr
