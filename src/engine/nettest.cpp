// The network test: a fixed message over a network's primary and backup
// connections, the outcome in the log.
#include "engine/nettest.h"

#include <cstdio>
#include <cstring>

#include "engine/cda_header.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "links/link_ops.h"
#include "links/modem.h"

namespace qzr {

const char NETTEST_TCPIP_MESSAGE[11] = "TEST PLAIN";
const char NETTEST_HTTP_MESSAGE[70] = "TEST PLAIN  0000010401000001QZR100069X0000105333330099980533333009998";
const char* const NETTEST_OFFICE = "9998";
const char* const NETTEST_PROVIDER = "053333300";

static_assert(sizeof NETTEST_TCPIP_MESSAGE == 11, "\"TEST PLAIN\" and its NUL");
static_assert(sizeof NETTEST_HTTP_MESSAGE == 70, "69 characters and their NUL");

namespace {

// The longest answer the dialogs keep: the answer space less its NUL.
constexpr int ANSWER_CAPACITY = static_cast<int>(NETTEST_ANSWER_SIZE) - 1;

// The verdict on an answer: " Ok" when its text (up to its first NUL) has
// more than 3 characters, "FAILED" otherwise.
const char* verdictOf(const unsigned char* answer)
{
    return std::strlen(reinterpret_cast<const char*>(answer)) > 3 ? " Ok" : "FAILED";
}

// Ends the test whatever leaves it: the network has no connection in use
// and the next test may run.
class TestScope {
public:
    explicit TestScope(NetworkDef* net) : net_(net) { testInProgress = true; }
    ~TestScope()
    {
        if (net_) net_->curCnx = nullptr;
        testInProgress = false;
    }
    TestScope(const TestScope&) = delete;
    TestScope& operator=(const TestScope&) = delete;

private:
    NetworkDef* net_;
};

void testTcpip(NetworkDef* net, unsigned char* answer)
{
    const char* address = ini_text(net->curCnx->address);
    log_write(LOG_PROT, "testing network %s %s", net->networkName.c_str(), address);
    // The dialog scrambles the message in place: it gets a copy.
    char message[sizeof NETTEST_TCPIP_MESSAGE];
    std::memcpy(message, NETTEST_TCPIP_MESSAGE, sizeof message);
    int length = ANSWER_CAPACITY;
    int status = link_opsOf(net->curCnx).dialog(net, nullptr, message, static_cast<int>(sizeof message), answer,
                                                &length);
    answer[NETTEST_ANSWER_SIZE - 1] = '\0';
    if (status != STS_OK) {
        log_write(LOG_PROT, "%s Test-1 %s %s : FAILED", net->networkName.c_str(), address, NETTEST_TCPIP_MESSAGE);
        return;
    }
    log_write(LOG_PROT, "%s Test-1 %s %s %s", net->networkName.c_str(), address,
              reinterpret_cast<const char*>(answer), verdictOf(answer));
    if (net->curCnx->usePKI)
        log_write(LOG_PROT, "%s param 'usePKI=true' Not supported, use HTTP", net->networkName.c_str());
}

void testHttp(NetworkDef* net, unsigned char* answer)
{
    log_write(LOG_PROT, "testing network %s", net->networkName.c_str());
    if (debugTrace) log_write(LOG_PROT, "Test request:<%s>", NETTEST_HTTP_MESSAGE);
    transInfo record;
    std::snprintf(record.office, sizeof record.office, "%s", NETTEST_OFFICE);
    std::snprintf(record.provider, sizeof record.provider, "%s", NETTEST_PROVIDER);
    // The dialogs may change the text in place: it gets a copy.
    char message[sizeof NETTEST_HTTP_MESSAGE];
    std::memcpy(message, NETTEST_HTTP_MESSAGE, sizeof message);
    int length = ANSWER_CAPACITY;
    int status = link_opsOf(net->curCnx).dialog(net, &record, message, static_cast<int>(sizeof message), answer,
                                                &length);
    answer[NETTEST_ANSWER_SIZE - 1] = '\0';
    if (status != STS_OK) {
        log_write(LOG_PROT, "%s TEST FAILED", net->networkName.c_str());
        return;
    }
    log_write(LOG_PROT, "%s %s %s", net->networkName.c_str(), reinterpret_cast<const char*>(answer),
              verdictOf(answer));
}

}  // namespace

void testNetworkMenu(int n)
{
    if (n < 1 || n > 3 || transactionBusy || testInProgress) return;
    NetworkDef* net = testNetTable[static_cast<std::size_t>(n)];
    TestScope scope(net);
    if (!net) return;
    // A Cancel chosen while no call ran must not end the test's reads and
    // connection at once; an Exit still does.
    stop_dropCancel();
    // A port that a network left open after its transaction is closed
    // before the test opens its own, so that the test reaches the host of
    // the connection it names and the other network is not left holding a
    // closed socket.
    worker_releaseOpenPorts(nullptr);
    net->curCnx = net->primary;
    testNetwork(net, "primary");
    net->curCnx = net->secondary;
    testNetwork(net, "backup");
}

void testNetwork(NetworkDef* net, const char* label)
{
    if (!net || !net->curCnx) return;
    const NetTestKind test = link_opsOf(net->curCnx).test;
    log_write(LOG_INFO, "Testing Network %s %s connection", net->networkName.c_str(), label);
    if (test == NetTestKind::None) {
        log_write(LOG_INFO, "Network %s %s connection does not use TCPIP or HTTP, test is not supported",
                  net->networkName.c_str(), label);
        return;
    }

    if (net_connect(net) != STS_OK) {
        net_disconnect(net);
        return;
    }
    if (net_dial(net) != STS_OK) {
        (void)net_hangup(net);
        net_disconnect(net);
        return;
    }

    unsigned char answer[NETTEST_ANSWER_SIZE] = {};
    if (test == NetTestKind::Plain)
        testTcpip(net, answer);
    else
        testHttp(net, answer);

    (void)net_hangup(net);
    net_disconnect(net);
}

}  // namespace qzr
