// The configurations of a real office, in both forms of the file and with a
// supplemental file, read into exactly the expected records.
#include <fstream>
#include <sstream>

#include "config_fixture.h"

namespace qzr::test {
namespace {

const std::string dataDir = QZR_TEST_DATA;

void expectConnectionDefaultsOnly(const ConnectionDef& c) {
    EXPECT_FALSE(c.phone);
    EXPECT_FALSE(c.certificateStore);
    EXPECT_FALSE(c.certificateNetworkId);
    EXPECT_FALSE(c.certificateQZRId);
    EXPECT_FALSE(c.usePKI);
}

void expectNoRunTimeState(const NetworkDef& n) {
    EXPECT_FALSE(n.portOpen);
    EXPECT_FALSE(n.dialed);
    EXPECT_FALSE(n.linkUp);
    EXPECT_EQ(n.curCnx, nullptr);
}

// The DATAPAC login script: header, SETREG, RETRY, transmit, wait, transmit
// address, transmit, wait, return 0, JMP, return 1.
void expectDatapacLogin(ScriptNode* head, const char* name) {
    auto n = nodes(head);
    ASSERT_EQ(n.size(), 11u);
    EXPECT_EQ(n[0]->op, OP_ID);
    EXPECT_EQ(n[0]->string, name);
    EXPECT_EQ(n[1]->op, OP_SETREG);
    EXPECT_EQ(n[1]->count, 3);
    EXPECT_EQ(n[1]->reg, 0);
    EXPECT_EQ(n[2]->op, OP_RETRY);
    EXPECT_EQ(n[2]->reg, 0);
    EXPECT_EQ(n[2]->last, n[9]);
    EXPECT_EQ(n[3]->op, OP_TRANSMIT);
    EXPECT_EQ(n[3]->string, "..\r");
    EXPECT_EQ(n[4]->op, OP_WAIT);
    EXPECT_EQ(n[4]->count, 5);
    EXPECT_EQ(n[4]->string, "DATAPAC");
    EXPECT_EQ(n[4]->last, n[8]);
    EXPECT_EQ(n[5]->op, OP_TRANSMIT_ADDRESS);
    EXPECT_EQ(n[5]->string, "");
    EXPECT_EQ(n[6]->op, OP_TRANSMIT);
    EXPECT_EQ(n[6]->string, "\r");
    EXPECT_EQ(n[7]->op, OP_WAIT);
    EXPECT_EQ(n[7]->count, 20);
    EXPECT_EQ(n[7]->string, "CALL CONNECTED");
    EXPECT_EQ(n[7]->last, n[8]);
    EXPECT_EQ(n[8]->op, OP_RETURN);
    EXPECT_EQ(n[8]->count, 0);
    EXPECT_EQ(n[9]->op, OP_JMP);
    EXPECT_EQ(n[9]->last, n[1]);
    EXPECT_EQ(n[10]->op, OP_RETURN);
    EXPECT_EQ(n[10]->count, 1);
    for (int i : {0, 3, 5, 6, 8, 10}) EXPECT_EQ(n[i]->last, nullptr) << i;
}

// Everything the office's qzr.ini says, whichever form it is written in.
void expectOffice() {
    const GeneralParams& g = *Genparam;
    EXPECT_EQ(g.defcomdev, "COM1");
    EXPECT_EQ(g.modemInit, "AT&F E0 V1 Q0 X4^M");
    EXPECT_EQ(g.HSmodemInit, "AT&F E0 V1 Q0 X4 S37=11^M");
    EXPECT_EQ(g.modemHangup, "+++ATH0^M");
    EXPECT_EQ(g.inputFileName, "REQ");
    EXPECT_EQ(g.outputFileName, "RSP");
    EXPECT_EQ(g.version, "2024.05 office");
    EXPECT_TRUE(g.hangAround);
    EXPECT_FALSE(g.disconnectAfterTX);
    EXPECT_EQ(g.hangupDelay, 15);
    EXPECT_TRUE(g.loggingEnabled);
    EXPECT_TRUE(g.logFileAppend);
    EXPECT_FALSE(g.detailedMessages);
    EXPECT_EQ(g.logFile, "Logs/Qzr.log");
    EXPECT_EQ(connectionDefaults.dialRetries, 3);
    EXPECT_EQ(connectionDefaults.delayBetweenRetries, 5);
    EXPECT_TRUE(connectionDefaults.v2convertAccent);

    // Named scripts, in the order of definition.
    ASSERT_NE(scriptList, nullptr);
    ASSERT_NE(scriptList->next, nullptr);
    EXPECT_EQ(scriptList->next->next, nullptr);
    EXPECT_EQ(scriptList->head->string, "DATAPAC_LOGIN");
    expectDatapacLogin(scriptList->head, "DATAPAC_LOGIN");
    {
        auto n = nodes(scriptList->next->head);
        ASSERT_EQ(n.size(), 5u);
        EXPECT_EQ(n[0]->op, OP_ID);
        EXPECT_EQ(n[0]->string, "HOST_LOGIN");
        EXPECT_EQ(n[1]->op, OP_WAIT);
        EXPECT_EQ(n[1]->count, 10);
        EXPECT_EQ(n[1]->string, "login:");
        EXPECT_EQ(n[1]->last, n[2]);
        EXPECT_EQ(n[2]->op, OP_TRANSMIT);
        EXPECT_EQ(n[2]->string, "dental\r");
        EXPECT_EQ(n[3]->op, OP_DELAY);
        EXPECT_EQ(n[3]->count, 2);
        EXPECT_EQ(n[4]->op, OP_RETURN);
        EXPECT_EQ(n[4]->count, 0);
    }

    ASSERT_EQ(networkCount(), 5);
    const char* order[] = {"CDANET", "DIRECTLINE", "ITRANS", "HTTPSNET", "TEST"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(networkTable[i]->networkName, order[i]);
    for (int i = 0; i < 5; ++i) expectNoRunTimeState(*networkTable[i]);
    // Only TEST is the simulation network; none is the network ZAR.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(networkTable[i]->simulation, i == 4) << order[i];
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(networkTable[i]->zar) << order[i];

    // Dial-up through DATAPAC with the named login script.
    const NetworkDef& cda = *networkTable[0];
    EXPECT_EQ(cda.prefix, "CDN");
    EXPECT_EQ(cda.maxProcessingDelay, 45);
    EXPECT_EQ(cda.maxEnqDelay, 20);
    EXPECT_EQ(cda.disconnectMethod, DISC_BOTH);
    ASSERT_NE(cda.primary, nullptr);
    EXPECT_EQ(cda.secondary, nullptr);
    const ConnectionDef& dp = *cda.primary;
    EXPECT_EQ(dp.comdev, "COM1");
    EXPECT_EQ(dp.phone, "18005551234");
    EXPECT_EQ(dp.address, "92100086");
    EXPECT_EQ(dp.connectionMode, CNX_MODE_DIALUP);
    EXPECT_EQ(dp.connectionType, CNX_TYPE_DATAPAC);
    EXPECT_EQ(dp.speed, 9600);
    EXPECT_EQ(dp.dataBit, 7);
    EXPECT_EQ(dp.stopBits, 1);
    EXPECT_EQ(dp.parity, PARITY_EVEN);
    EXPECT_FALSE(dp.compress);
    EXPECT_FALSE(dp.encrypt);
    EXPECT_EQ(dp.connectionTimeout, 60);
    EXPECT_TRUE(dp.v2convertAccent);
    EXPECT_EQ(dp.dialRetries, 3);
    EXPECT_EQ(dp.delayBetweenRetries, 5);
    EXPECT_EQ(dp.connectScript, scriptList->head);  // shared, not copied
    EXPECT_FALSE(dp.certificateQZRId);

    // Direct serial line.
    const NetworkDef& dir = *networkTable[1];
    EXPECT_FALSE(dir.prefix);
    EXPECT_EQ(dir.maxProcessingDelay, 30);
    EXPECT_EQ(dir.maxEnqDelay, 30);
    EXPECT_EQ(dir.disconnectMethod, DISC_SOFT);
    EXPECT_EQ(dir.secondary, nullptr);
    const ConnectionDef& ds = *dir.primary;
    EXPECT_EQ(ds.comdev, "COM2");
    EXPECT_EQ(ds.connectionMode, CNX_MODE_DIRECT);
    EXPECT_EQ(ds.connectionType, 0);
    EXPECT_EQ(ds.speed, 19200);
    EXPECT_EQ(ds.dataBit, 8);
    EXPECT_EQ(ds.stopBits, 1);
    EXPECT_EQ(ds.parity, PARITY_NONE);
    EXPECT_TRUE(ds.compress);
    EXPECT_TRUE(ds.encrypt);
    EXPECT_EQ(ds.connectScript, nullptr);
    EXPECT_FALSE(ds.address);
    expectConnectionDefaultsOnly(ds);

    // TCP/IP with a backup host.
    const NetworkDef& it = *networkTable[2];
    EXPECT_FALSE(it.prefix);
    EXPECT_EQ(it.maxProcessingDelay, 90);
    EXPECT_EQ(it.maxEnqDelay, 40);
    const ConnectionDef& ip = *it.primary;
    EXPECT_EQ(ip.comdev, "COM1");
    EXPECT_EQ(ip.connectionType, CNX_TYPE_TCPIP);
    EXPECT_EQ(ip.connectionMode, 0);
    EXPECT_EQ(ip.address, "claims.example.ca:5001");
    EXPECT_EQ(ip.dataBit, 8);
    EXPECT_EQ(ip.parity, 0);
    EXPECT_TRUE(ip.compress);
    EXPECT_TRUE(ip.encrypt);
    EXPECT_FALSE(ip.v2convertAccent);
    EXPECT_EQ(ip.dialRetries, 3);
    EXPECT_EQ(ip.delayBetweenRetries, 5);
    ASSERT_NE(it.secondary, nullptr);
    EXPECT_NE(it.secondary, it.primary);
    const ConnectionDef& is = *it.secondary;
    EXPECT_EQ(is.comdev, "COM1");
    EXPECT_EQ(is.connectionType, CNX_TYPE_TCPIP);
    EXPECT_EQ(is.address, "backup.example.ca:5001");
    EXPECT_EQ(is.dataBit, 8);
    EXPECT_FALSE(is.compress);
    EXPECT_FALSE(is.encrypt);
    EXPECT_TRUE(is.v2convertAccent);
    EXPECT_EQ(is.dialRetries, 1);
    EXPECT_EQ(is.delayBetweenRetries, 10);
    EXPECT_EQ(is.connectScript, nullptr);

    // HTTPS through the proxy.
    const NetworkDef& web = *networkTable[3];
    const ConnectionDef& hp = *web.primary;
    EXPECT_EQ(hp.connectionType, CNX_TYPE_HTTP);
    EXPECT_EQ(hp.address, "proxy.example.ca");
    EXPECT_EQ(hp.comdev, "COM1");
    EXPECT_EQ(hp.dataBit, 8);
    EXPECT_FALSE(hp.usePKI);
    EXPECT_EQ(hp.certificateStore, "MY");
    EXPECT_EQ(hp.certificateNetworkId, "CDANET-01");
    EXPECT_EQ(hp.certificateQZRId, "provider");
    EXPECT_EQ(web.secondary, nullptr);

    // The simulation network with an inline script.
    const NetworkDef& test = *networkTable[4];
    const ConnectionDef& tp = *test.primary;
    EXPECT_EQ(tp.connectionType, CNX_TYPE_TCPIP);
    EXPECT_EQ(tp.address, "localhost:9");
    auto ts = nodes(tp.connectScript);
    ASSERT_EQ(ts.size(), 2u);
    EXPECT_EQ(ts[0]->op, OP_ID);
    EXPECT_EQ(ts[0]->string, "user script");
    EXPECT_EQ(ts[1]->op, OP_TRANSMIT);
    EXPECT_EQ(ts[1]->string, "HELLO\r");
    for (ScriptEntry* e = scriptList; e != nullptr; e = e->next) EXPECT_NE(e->head, tp.connectScript);

    EXPECT_EQ(findNetwork("Test"), nullptr);  // the table is searched as stored
    EXPECT_EQ(findNetwork("TEST"), &test);
}

class OfficeTest : public ConfigTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OfficeTest, ReadsTheOfficeConfigurationWithoutError) {
    EXPECT_EQ(ini_readFile((dataDir + "/" + GetParam()).c_str()), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(iniParser.errorCount, 0);
    EXPECT_EQ(iniParser.warningCount, 0);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(iniParser.file, nullptr);  // no stream is left open
    expectOffice();
}

TEST_P(OfficeTest, SupplementalFileAddsANetworkAndABackupNumber) {
    ASSERT_EQ(ini_readFile((dataDir + "/" + GetParam()).c_str()), 0);
    ini_closeFile();
    ConnectionDef* cdaPrimary = networkTable[0]->primary;
    EXPECT_EQ(ini_readSupplementalFile((dataDir + "/qzrsup.ini").c_str()), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(iniParser.file, nullptr);
    EXPECT_EQ(iniParser.lineNumber, 0);

    EXPECT_EQ(Genparam->version, "2024.06 supplement");
    ASSERT_EQ(networkCount(), 6);
    const NetworkDef& nc = *networkTable[5];
    EXPECT_EQ(nc.networkName, "NEWCARRIER");
    EXPECT_EQ(nc.prefix, "NC");
    EXPECT_EQ(nc.primary->comdev, "COM1");  // qzr.ini's default device
    EXPECT_EQ(nc.primary->connectionType, CNX_TYPE_TCPIP);
    EXPECT_EQ(nc.primary->address, "edi.newcarrier.example:7000");
    EXPECT_TRUE(nc.primary->encrypt);
    EXPECT_EQ(nc.primary->dialRetries, 3);  // qzr.ini's connection defaults
    EXPECT_EQ(nc.primary->delayBetweenRetries, 5);
    EXPECT_EQ(nc.secondary, nullptr);

    // The secondary entry filled the CDAnet network's new backup connection
    // and left the network and its primary connection as they were.
    const NetworkDef& cda = *networkTable[0];
    EXPECT_EQ(cda.networkName, "CDANET");
    EXPECT_EQ(cda.primary, cdaPrimary);
    EXPECT_EQ(cda.primary->phone, "18005551234");
    EXPECT_EQ(cda.prefix, "CDN");
    ASSERT_NE(cda.secondary, nullptr);
    const ConnectionDef& bk = *cda.secondary;
    EXPECT_EQ(bk.phone, "18005559876");
    EXPECT_EQ(bk.address, "92100086");  // a variable of qzr.ini
    EXPECT_EQ(bk.comdev, "COM1");
    EXPECT_EQ(bk.connectionMode, CNX_MODE_DIALUP);
    EXPECT_EQ(bk.connectionType, CNX_TYPE_DATAPAC);
    EXPECT_EQ(bk.speed, 2400);
    EXPECT_EQ(bk.dataBit, 7);
    EXPECT_EQ(bk.stopBits, 1);
    EXPECT_EQ(bk.parity, PARITY_EVEN);
    EXPECT_EQ(bk.dialRetries, 3);
    EXPECT_EQ(bk.connectScript, cda.primary->connectScript);  // the named script of qzr.ini
    expectDatapacLogin(bk.connectScript, "DATAPAC_LOGIN");
}

INSTANTIATE_TEST_SUITE_P(BothForms, OfficeTest, ::testing::Values("office_sections.ini", "office_blocks.ini"));

TEST_F(ConfigTest, FileWrittenWithCrLfLineEndsReadsTheSame) {
    std::ifstream in(dataDir + "/office_sections.ini", std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    std::string crlf;
    for (char c : all.str()) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    EXPECT_EQ(readIni(crlf), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    expectOffice();
}

}  // namespace
}  // namespace qzr::test
