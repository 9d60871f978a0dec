// The test bench of the configuration reader: a fresh configuration, a
// status window that records boxes (so that the reader reads on after a stop
// message, as in window mode), the toolbox messages as they reach the log
// hook, and a log file of its own in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "foundation/log.h"
#include "foundation/tbx_msg.h"
#include "foundation/tbx_pars.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

namespace qzr::test {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `text` as `name` in the temporary directory and reads it as the
    // configuration file; returns the reader's result.
    int readIni(const std::string& text, const std::string& name = "qzr.ini");
    // The same for the supplemental file.
    int readSup(const std::string& text, const std::string& name = "qzrsup.ini");

    // The toolbox messages reported so far, each with the path of the file
    // replaced by its name: "qzr.ini near line:3: %F-0202: Syntax error, ...".
    std::vector<std::string> messages() const;
    // The log file's lines written so far (without their time stamps).
    std::vector<std::string> logLines();

    TempDir dir;
    TestWindow window;
};

// The network of that name in the table, failing the test when absent.
NetworkDef* net(const char* name);
// The number of used slots of the network table.
int networkCount();
// The nodes of a script from its head, in list order.
std::vector<ScriptNode*> nodes(ScriptNode* head);

}  // namespace qzr::test
