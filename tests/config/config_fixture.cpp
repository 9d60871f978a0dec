// The test bench of the configuration reader (see config_fixture.h).
#include "config_fixture.h"

#include <fstream>
#include <sstream>

namespace qzr::test {

namespace {

std::vector<std::pair<int, std::string>> hooked;

void captureHook(int flags, const char* text) { hooked.emplace_back(flags, text); }
void silentPrinter(const char*) {}

}  // namespace

void ConfigTest::SetUp() {
    tbx_reset_errors();
    hooked.clear();
    tbx_message_hook = captureHook;
    tbx_context_printer = silentPrinter;
    ini_resetConfiguration();
    ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
}

void ConfigTest::TearDown() {
    log_close();
    ini_resetConfiguration();
    tbx_reset_errors();
    hooked.clear();
}

int ConfigTest::readIni(const std::string& text, const std::string& name) {
    return ini_readFile(dir.write(name, text).c_str());
}

int ConfigTest::readSup(const std::string& text, const std::string& name) {
    return ini_readSupplementalFile(dir.write(name, text).c_str());
}

std::vector<std::string> ConfigTest::messages() const {
    const std::string root = dir.path().string() + "/";
    std::vector<std::string> out;
    for (const auto& [flags, text] : hooked) {
        std::string t = text;
        for (std::size_t at; (at = t.find(root)) != std::string::npos;) t.erase(at, root.size());
        out.push_back(t);
    }
    return out;
}

std::vector<std::string> ConfigTest::logLines() {
    log_flush();
    std::ifstream in(dir.file("qzr.log"));
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 18) out.push_back(line.substr(18));  // "YYYYMMDD HH:MM:SS "
    }
    return out;
}

NetworkDef* net(const char* name) {
    NetworkDef* n = findNetwork(name);
    EXPECT_NE(n, nullptr) << "network " << name;
    return n;
}

int networkCount() {
    int n = 0;
    while (n < MAX_NETWORKS && networkTable[n] != nullptr) ++n;
    return n;
}

std::vector<ScriptNode*> nodes(ScriptNode* head) {
    std::vector<ScriptNode*> out;
    for (ScriptNode* n = head; n != nullptr && out.size() < 10000; n = n->next) out.push_back(n);
    return out;
}

}  // namespace qzr::test
