// A working directory for runs of the real qzr binary: qzr.ini, request
// files, devices/com1, and the files the driver leaves behind. The working
// directory is also the program directory (-c and -e).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "support/qzr_run.h"
#include "support/temp_dir.h"

namespace qzr::test {

// The program that runs another as another user (nobody, in these tests).
inline constexpr const char* SETPRIV = "/usr/bin/setpriv";

// Whether the driver can be run as another user: setpriv is there and every
// directory on the way to the program lets others through.
inline bool otherUserCanRunQzr()
{
    namespace fs = std::filesystem;
    if (::access(SETPRIV, X_OK) != 0) return false;
    for (fs::path p = fs::path(QZR_BINARY).parent_path(); p != p.root_path(); p = p.parent_path())
        if ((fs::status(p).permissions() & fs::perms::others_exec) == fs::perms::none) return false;
    return true;
}

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

// What the driver wrote (its log, its standard error) holds no raw control
// byte but the line feeds that end its own lines, and no line that does not
// begin as the log's lines begin (`stamped`), nor the text `forged` at the
// start of a line.
inline void expectNoForeignControls(const std::string& text, bool stamped, const std::string& forged = "")
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7F) << "byte " << static_cast<int>(c) << " at " << i << ":\n"
                                                              << text;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (stamped && !line.empty()) {
            bool stamp = line.size() > 18 && line[8] == ' ' && line[11] == ':' && line[14] == ':' && line[17] == ' ';
            for (std::size_t k : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 15, 16})
                stamp = stamp && line[k] >= '0' && line[k] <= '9';
            EXPECT_TRUE(stamp) << line;
        }
        if (!forged.empty()) {
            EXPECT_NE(line.rfind(forged, 0), 0u) << line;
        }
        start = end + 1;
    }
}

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
