// Modem dialing and hang-up, and the text wait shared by the dialer, the
// Common Protocol's ENQ wait and the connect scripts.
//
// What must always hold: every command is sent whole (no fixed command
// buffer cuts a phone number or a modem string); `modemReply` never holds
// more than 127 bytes and its terminator; the network's flags are cleared by
// a hang-up whatever the modem answers.
#include "links/modem.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "links/link_ops.h"
#include "links/port.h"
#include "links/script.h"
#include "os/os_serial.h"
#include "os/os_wait.h"

namespace qzr {

char modemReply[MODEM_REPLY_SIZE];

namespace {

struct ModemResult {
    const char* text;
    int status;
};

// Searched in this order in what the modem said.
constexpr ModemResult modemResults[] = {
    {"NO DIALTONE", STS_NO_DIALTONE},
    {"BUSY", STS_LINE_BUSY},
    {"NO CARRIER", STS_NO_CONNECT},
    {"NO ANSWER", STS_NO_ANSWER},
    {"CARRIER LOST", STS_CONNECTION_LOST},
    {"DATAPAC: call cleared", STS_DATAPAC_CLEARED},
};

int writeText(const std::string& text, int timeout)
{
    return serial_write(text.data(), text.size(), timeout);
}

// A text of the hang-up: it goes out also after a stop.
int writeHangupText(const std::string& text, int timeout)
{
    return port_writeEnding(text.data(), text.size(), timeout);
}

// A modem string followed by "\r\n"; an unset string sends only "\r\n".
std::string command(const std::optional<std::string>& text)
{
    return (text ? *text : std::string()) + "\r\n";
}

}  // namespace

int net_connect(NetworkDef* net)
{
    if (!net) return STS_PORT_OPEN_ERROR;
    const ConnectionDef* cnx = net->curCnx;
    const LinkOps& link = link_opsOf(cnx);
    activity_setState(ACT_OPEN_PORT);
    if (cnx) link.announceOpen(*cnx);
    if (!link.openPort) {
        net->portOpen = true;
        return STS_OK;
    }
    if (net->portOpen) return STS_OK;
    int sts = link.openPort(cnx);
    if (sts == STS_OK) {
        net->portOpen = true;
        return STS_OK;
    }
    if (g_detailedMessages) log_write(LOG_ERROR, "Error open status %d", sts);
    return sts;
}

int net_waitfor(const char* text, int seconds)
{
    if (!text) text = "";
    std::size_t textLen = std::strlen(text);
    if (g_detailedMessages) log_dump(LOG_COM_WAIT, "Wait for:", text, textLen);
    if (textLen == 0) return STS_OK;

    std::size_t matched = 0;
    std::size_t kept = 0;
    int timeouts = 0;
    std::memset(modemReply, 0, sizeof modemReply);
    port_startRound();
    for (;;) {
        unsigned char c = 0;
        if (get_next_char(g_linkTimeouts.waitforRead, &c) != STS_OK) {
            if (stop_requested()) {
                log_write(LOG_COM_WAIT, "[Wait interrupted]");
                return STS_INTERRUPTED;
            }
            if (timeouts < seconds) {
                ++timeouts;
                continue;
            }
            if (g_detailedMessages) log_write(LOG_COM_WAIT, "[Wait Timeout]");
            return STS_TIMEOUT;
        }
        if (kept < MODEM_REPLY_SIZE - 1 && c != 0) {
            modemReply[kept++] = static_cast<char>(c);
            modemReply[kept] = '\0';
        }
        if (c != static_cast<unsigned char>(text[matched])) matched = 0;
        if (c == static_cast<unsigned char>(text[matched])) {
            ++matched;
            if (matched == textLen) return STS_OK;
        }
        if (kept >= 4) {
            for (const ModemResult& r : modemResults)
                if (std::strstr(modemReply, r.text)) return r.status;
        }
    }
}

int net_dial(NetworkDef* net)
{
    if (!net || !net->curCnx) return STS_ERROR;
    ConnectionDef* cnx = net->curCnx;
    port_clearRxRing();

    if (cnx->connectionMode == CNX_MODE_DIALUP) {
        char timeoutText[64];
        std::snprintf(timeoutText, sizeof timeoutText, "timeout in %d sec", cnx->connectionTimeout);
        activity_setState(ACT_MODEM_INIT);
        if (cnx == net->primary)
            log_write(LOG_INFO, "Dialing %s primary.(%s)", net->networkName.c_str(), timeoutText);
        else
            log_write(LOG_INFO, "Dialing %s backup.(%s)", net->networkName.c_str(), timeoutText);

        // Reset: no echo, verbal results. A modem that never answers is no
        // error; the initialisation below tells.
        static const char reset[] = "ATE0V1\r\n";
        for (int attempt = 0; attempt < 5; ++attempt) {
            log_write(LOG_COM_OUT, "Send ATE0V1");
            for (std::size_t i = 0; i < sizeof reset - 1; ++i) {
                int ignored = serial_write(&reset[i], 1, g_linkTimeouts.modemResetWrite);
                (void)ignored;
            }
            int sts = net_waitfor("OK\r\n", g_linkTimeouts.modemReply);
            if (sts == STS_OK) break;
            // A stop ends the dial at once rather than after every try.
            if (sts == STS_INTERRUPTED) return sts;
            waitSeconds(static_cast<unsigned>(g_linkTimeouts.modemPause));
        }

        const std::optional<std::string>& init =
            (cnx->speed > 9600 && Genparam && Genparam->HSmodemInit) ? Genparam->HSmodemInit
            : Genparam ? Genparam->modemInit
                       : std::optional<std::string>();
        int sts = writeText(command(init), g_linkTimeouts.modemWrite);
        if (sts != STS_OK) return sts;
        sts = net_waitfor("OK\r\n", g_linkTimeouts.modemReply);
        if (sts != STS_OK) return sts;
        net->dialed = true;

        if (!net->simulation) {
            activity_setState(ACT_DIAL);
            sts = writeText("ATDT" + (cnx->phone ? *cnx->phone : std::string()) + "\r\n",
                            g_linkTimeouts.modemWrite);
            if (sts != STS_OK) return sts;
            sts = net_waitfor("CONNECT", cnx->connectionTimeout);
            if (sts == STS_TIMEOUT) return STS_DIAL_ERROR;
            if (sts != STS_OK) return sts;
            // The rest of the CONNECT line (speed, protocol).
            int ignored = net_waitfor("\r\n", g_linkTimeouts.modemReply);
            (void)ignored;
        }
    }
    return script_execute(net, cnx->connectScript);
}

int net_hangup(NetworkDef* net)
{
    if (!net || !net->curCnx) return STS_ERROR;
    const ConnectionDef* cnx = net->curCnx;
    bool eotSent = false;
    // Nothing can be sent on a lost line: the flags are cleared, the port is
    // left to net_disconnect.
    const bool lost = port_lineLost();
    if (net->linkUp) {
        if (void (*endDialog)() = link_opsOf(cnx).endDialog; endDialog && !net->simulation && !lost) {
            endDialog();
            eotSent = true;
        }
        net->linkUp = false;
    }
    port_clearRxRing();
    if (!net->dialed) return STS_OK;
    if (lost) {
        net->dialed = false;
        return STS_ERROR;
    }

    log_write(LOG_COM_OUT, "Hangup");
    activity_setState(ACT_HANGUP);
    net->dialed = false;
    bool serial = comPort.portHandle == PORT_SERIAL;

    int method = net->disconnectMethod;
    if (method == DISC_HARD || method == DISC_BOTH) {
        os_sleepMs(200);
        log_write(LOG_COM_OUT, "Lower DTR");
        if (serial) os_serialSetDtr(comPort.fd.get(), false);
        port_guardTime(static_cast<unsigned>(g_linkTimeouts.modemPause));
        if (serial) os_serialSetDtr(comPort.fd.get(), true);
    }
    if (method == DISC_SOFT || method == DISC_BOTH) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (attempt > 0 || eotSent) {
                port_guardTime(static_cast<unsigned>(g_linkTimeouts.modemPause));
                int ignored = port_writeEnding("+++", 3, g_linkTimeouts.modemWrite);
                port_guardTime(static_cast<unsigned>(g_linkTimeouts.modemPause));
                ignored = net_waitfor("OK\r\n", g_linkTimeouts.modemReply);
                (void)ignored;
            }
            int ignored = writeHangupText(command(Genparam ? Genparam->modemHangup : std::nullopt),
                                          g_linkTimeouts.modemWrite);
            (void)ignored;
            if (net_waitfor("OK\r\n", g_linkTimeouts.modemReply) == STS_OK) return STS_OK;
        }
    }
    return STS_ERROR;
}

bool net_reuse(NetworkDef* net)
{
    if (!net || !net->portOpen || !net->curCnx) return false;
    const ConnectionDef* cnx = net->curCnx;
    const LinkOps& link = link_opsOf(cnx);
    if (!link.discard) return true;
    long stale = link.discard();
    if (stale > 0) log_write(LOG_PROT, "Discarded %ld bytes received after the last answer", stale);
    if (stale != PORT_LINE_LOST) return true;
    log_write(LOG_INFO, "Line lost on port %s, it is opened anew", ini_text(cnx->*link.portName));
    (void)net_hangup(net);
    net_disconnect(net);
    return false;
}

void net_disconnect(NetworkDef* net)
{
    if (!net) return;
    const ConnectionDef* cnx = net->curCnx;
    if (!cnx) {
        net->portOpen = false;
        return;
    }
    const LinkOps& link = link_opsOf(cnx);
    activity_setState(ACT_DISCONNECT);
    if (!link.openPort) {
        net->portOpen = false;
        return;
    }
    activity_update();
    port_close();
    log_write(LOG_INFO, "Disconnect port %s ", ini_text(cnx->*link.portName));
    net->portOpen = false;
}

}  // namespace qzr
