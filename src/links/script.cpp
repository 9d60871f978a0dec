// The connect-script interpreter.
//
// What must always hold: a register index is checked before it is used; the
// list is never changed; every failure ends the run at once and is returned
// to the dialer, which owns hang-up and retries.
#include "links/script.h"

#include <cstdint>
#include <cstdlib>

#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "links/modem.h"
#include "links/port.h"

namespace qzr {

namespace {

constexpr int REGISTER_COUNT = 10;

const void* id(const ScriptNode* node)
{
    return static_cast<const void*>(node);
}

// The node after the jump target `last` (null when the list ends there).
const ScriptNode* after(const ScriptNode* last)
{
    return last ? last->next : nullptr;
}

// The listing written with the debug trace.
void listScript(const ScriptNode* head)
{
    log_write(LOG_INFO, "Script");
    for (const ScriptNode* n = head; n; n = n->next) {
        log_append("%p : ", id(n));
        switch (n->op) {
        case OP_ID: log_append("id %s       ", n->string.c_str()); break;
        case OP_TRANSMIT: log_append("transmit %s ", n->string.c_str()); break;
        case OP_TRANSMIT_ADDRESS: log_append("transmit address field "); break;
        case OP_WAIT: log_append("wait %d seconds for %s ", n->count, n->string.c_str()); break;
        case OP_DELAY: log_append("delay %d       ", n->count); break;
        case OP_RETRY: log_append("retry (Reg%d--) ", n->reg); break;
        case OP_RETURN: log_append("return %d      ", n->count); break;
        case OP_SETREG: log_append("setreg Reg%d = %d      ", n->reg, n->count); break;
        case OP_JMP: log_append("jmp "); break;
        default: log_append("Invalid script error() operation=%d\n", n->op); break;
        }
        log_append("next=%p last=%p\n", id(n->next), id(n->last));
    }
}

int transmit(const std::string& text)
{
    return serial_write(text.data(), text.size(), g_linkTimeouts.modemWrite);
}

}  // namespace

int script_execute(NetworkDef* net, const ScriptNode* head)
{
    if (debugTrace) listScript(head);
    activity_setState(ACT_SCRIPT);
    if (!head) return STS_OK;

    std::uint8_t regs[REGISTER_COUNT] = {};
    const ConnectionDef* cnx = net ? net->curCnx : nullptr;
    const ScriptNode* node = head;
    while (node) {
        const ScriptNode* next = node->next;
        switch (node->op) {
        case OP_ID:
            if (g_detailedMessages) log_write(LOG_INFO, "Executing script %s", node->string.c_str());
            break;
        case OP_TRANSMIT: {
            if (debugTrace) log_write(LOG_INFO, "script transmit \"%s\"", node->string.c_str());
            int sts = transmit(node->string);
            if (sts != STS_OK) return sts;
            break;
        }
        case OP_TRANSMIT_ADDRESS: {
            const std::string address = (cnx && cnx->address) ? *cnx->address : std::string();
            if (debugTrace)
                log_write(LOG_INFO, "script transmit address (\"%s\")",
                          (cnx && cnx->address) ? address.c_str() : "<empty>");
            int sts = transmit(address);
            if (sts != STS_OK) return sts;
            break;
        }
        case OP_WAIT: {
            if (debugTrace)
                log_write(LOG_INFO, "script wait %d seconds for \"%s\"", node->count, node->string.c_str());
            int sts = net_waitfor(node->string.c_str(), node->count);
            if (sts == STS_TIMEOUT) {
                if (debugTrace) log_write(LOG_INFO, "script timeout");
                next = after(node->last);
            } else if (sts != STS_OK) {
                if (debugTrace) log_write(LOG_INFO, "script other error sts=%d", sts);
                return sts;
            }
            break;
        }
        case OP_DELAY:
            if (debugTrace) log_write(LOG_INFO, "script delay %d", node->count);
            waitSeconds(node->count);
            break;
        case OP_RETRY: {
            if (node->reg >= REGISTER_COUNT) {
                log_write(LOG_ERROR, "script error too many imbricated blocs");
                return STS_SCRIPT_FAILED;
            }
            std::uint8_t& r = regs[node->reg];
            if (debugTrace) log_write(LOG_INFO, "script retry reg%d=%d", node->reg, r);
            r = static_cast<std::uint8_t>(r - 1);
            if (r == 0) next = after(node->last);
            break;
        }
        case OP_RETURN:
            if (g_detailedMessages) log_write(LOG_INFO, "script returns %d", node->count);
            if (node->count == 0) {
                if (g_detailedMessages) log_write(LOG_INFO, "script successful");
                return STS_OK;
            }
            if (g_detailedMessages) log_write(LOG_INFO, "script *NOT* successful");
            return STS_SCRIPT_FAILED;
        case OP_SETREG:
            if (debugTrace) log_write(LOG_INFO, "script set Reg%d = %d", node->reg, node->count);
            // A loop of 1 to 254 passes; the register holds one more.
            if (node->reg >= REGISTER_COUNT || node->count < 1 || node->count > 254) {
                log_write(LOG_ERROR, "script error too many imbricated blocs");
                return STS_SCRIPT_FAILED;
            }
            regs[node->reg] = static_cast<std::uint8_t>(node->count + 1);
            break;
        case OP_JMP:
            if (debugTrace) log_write(LOG_INFO, "script jmp %p", id(node->last));
            next = after(node->last);
            break;
        default:
            log_write(LOG_ERROR, "Invalid script error() operation=%d", node->op);
            log_flush();
            std::exit(3);
        }
        node = next;
    }
    if (debugTrace) log_write(LOG_INFO, "script halted");
    return STS_SCRIPT_FAILED;
}

}  // namespace qzr
