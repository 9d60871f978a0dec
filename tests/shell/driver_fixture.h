// A working directory for runs of the real qzr binary: qzr.ini, request
// files, devices/com1, and the files the driver leaves behind. The working
// directory is also the program directory (-c and -e).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/qzr_run.h"
#include "support/temp_dir.h"

namespace qzr::test {

// A CDAnet version 04 claim (transaction code 01) of 69 characters.
inline std::string claim(int seq = 1, const std::string& carrier = "000001", const std::string& office = "9998")
{
    char head[64];
    std::snprintf(head, sizeof head, "CLAIM-TEST  %06d0401%sQZR100069X00001053333300", seq, carrier.c_str());
    return std::string(head) + office + "0533333009998";
}

inline const char* const GENERAL = R"([general]
inputFileName = REQ
outputFileName = RSP
hangupDelay = 0
loggingEnabled = true
logFile = "qzr.log"
detailedMessages = true
)";

// The simulation network TEST over a direct line on a new pseudo-terminal.
inline const char* const TEST_NETWORK = R"([TEST]
comdev = "COM1"
connectionMode = direct
speed = 9600
dataBit = 8
parity = none
connectionTimeout = 0
)";

class DriverTest : public ::testing::Test {
protected:
    // Writes qzr.ini: the general part (with `hangAround`), the extra general
    // lines, an empty script section, then `networks`.
    void writeIni(const std::string& networks, bool hangAround = false, const std::string& general = "")
    {
        dir.write("qzr.ini", std::string(GENERAL) + "hangAround = " + (hangAround ? "true" : "false") + "\n" +
                                 general + "[connectScript]\nversion = \"test\"\n" + networks);
    }
    // As writeIni, with named connect scripts in the script section. They
    // come before its `version` item: the reading ends at the first text
    // after an item that begins no item.
    void writeIniWithScripts(const std::string& scripts, const std::string& networks, bool hangAround = false,
                             const std::string& general = "")
    {
        dir.write("qzr.ini", std::string(GENERAL) + "hangAround = " + (hangAround ? "true" : "false") + "\n" +
                                 general + "[connectScript]\n" + scripts + "version = \"test\"\n" + networks);
    }
    void linkDevice(const std::string& name, const std::string& target)
    {
        std::filesystem::create_directories(dir.path() / "devices");
        std::filesystem::create_symlink(target, dir.path() / "devices" / name);
    }
    void request(const std::string& net, const std::string& name, const std::string& content)
    {
        dir.write(net + "/" + name, content + "\r\n");
    }
    std::vector<std::string> args(std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> a = {"-c", dir.path().string(), "-e", dir.path().string()};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    // Runs qzr to its end; returns its exit code.
    int run(std::vector<std::string> extra = {}, int limitMs = 30000)
    {
        QzrProcess p(dir.path().string(), args(std::move(extra)));
        return p.wait(limitMs);
    }
    std::string log() const { return dir.read("qzr.log"); }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir.path() / name); }
    // Counts the non-overlapping occurrences of `what` in `text`.
    static int count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size()))
            ++n;
        return n;
    }

    TempDir dir;
};

}  // namespace qzr::test
