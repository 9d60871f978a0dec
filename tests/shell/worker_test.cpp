// The real driver on working directories: one pass on the simulation
// network, the error responses, redirection, several requests, stops, the
// update files and the single instance.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver_fixture.h"
#include "support/in_order.h"
#include "support/version_texts.h"

using namespace qzr::test;

namespace {

// The echoed claim: the simulation answers the request as sent, with its
// prefix set (the default "11" + version digits + "1111" and four blanks).
std::string echoed(const std::string& request)
{
    return defaultPrefix() + request.substr(12);
}

// Runs a program to its end; returns its exit code, or -1.
int runProgram(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(DriverTest, SimulationAnswersTheClaimWithItself)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    std::string c = claim(123);
    request("TEST", "REQ.001", c);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(dir.read("TEST/RSP.001"), "123,0,001," + echoed(c));
    EXPECT_FALSE(exists("TEST/REQ.001"));
    EXPECT_EQ(dir.read("TEST/_EQ.001"), c + "\r\n");
    EXPECT_EQ(dir.read("qzrstat.dat"), "OFFICE=9998\n");
    EXPECT_FALSE(exists("activity.dat"));
    std::string l = log();
    EXPECT_NE(l.find("INFO - " + versionBanner() + " LINUX"), std::string::npos);
    EXPECT_NE(l.find("File:TEST/REQ.001 processed"), std::string::npos);
    EXPECT_EQ(l.substr(l.size() - 4), "End.");
}

TEST_F(DriverTest, LowerCaseRequestNamesAreFoundToo)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    request("TEST", "req.abc", claim(7));
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(dir.read("TEST/RSP.abc").substr(0, 8), "7,0,abc,");
    EXPECT_TRUE(exists("TEST/_eq.abc"));
}

TEST_F(DriverTest, NoRequestEndsWithStatus1)
{
    writeIni(TEST_NETWORK);
    EXPECT_EQ(run(), 1);
    EXPECT_NE(log().find("End."), std::string::npos);
    EXPECT_FALSE(exists("activity.dat"));
}

TEST_F(DriverTest, ConfigurationErrorsEndWithStatus2)
{
    dir.write("qzr.ini", "[general]\ninputFileName = REQ\nhangAround = maybe\n[connectScript]\n" + std::string(TEST_NETWORK));
    EXPECT_EQ(run(), 2);
    std::string err = dir.read("stderr.txt");
    EXPECT_NE(err.find("QZR Error: " + dir.file("qzr.ini") + " near line:3: %F-0202: Syntax error, expecting:"),
              std::string::npos)
        << err;
}

// A working directory deep enough that its qzr.ini's path passes 160
// characters: the error still names the file and its line.
TEST_F(DriverTest, ConfigurationErrorInADeepDirectoryKeepsItsLine)
{
    std::string deep = dir.path().string();
    while (deep.size() < 160) deep += "/" + std::string(30, 'w');
    std::string ini = deep + "/qzr.ini";
    std::filesystem::create_directories(deep);
    std::ofstream(ini) << "[general]\ninputFileName = REQ\noutputFileName = RSP\n\nhangAround = maybe\n"
                          "[connectScript]\n"
                       << TEST_NETWORK;
    QzrProcess p(dir.path().string(), {"-c", deep, "-e", deep});
    EXPECT_EQ(p.wait(), 2);
    std::string err = dir.read("stderr.txt");
    EXPECT_NE(err.find("QZR Error: " + ini + " near line:5: %F-0202: Syntax error, expecting:  'true' 'false' \n"),
              std::string::npos)
        << err;
}

// What is written while qzr.ini is read, before the log opens, reaches the
// log once it is open: first, in its order, with the time it was written.
TEST_F(DriverTest, LinesWrittenBeforeTheLogOpensReachIt)
{
    writeIni("[TEST]\nprefix = \"ABCDEFGHIJKLMNOP\"\n" + std::string(TEST_NETWORK).substr(7));
    // The general part takes 8 lines, the script section 2: the prefix is
    // on line 12.
    EXPECT_EQ(run({"-v"}), 1);
    const std::string ini = dir.file("qzr.ini");
    std::string l = log();
    EXPECT_TRUE(std::regex_search(l, std::regex("^\n[0-9]{8} [0-9:]{8} INFO - Reading initialization file ")));
    EXPECT_TRUE(inOrder(l, {"INFO - Reading initialization file " + ini + "\n",
                            "INFO - ** WARNING ** Prefix 'ABCDEFGHIJKLMNOP' of network TEST cut to 'ABCDEFGHIJKL' at "
                            "line 12 of ini file '" + ini + "'\n",
                            "INFO - " + versionBanner() + " LINUX\n"}));
    EXPECT_EQ(count(l, "** WARNING ** Prefix"), 1);
}

// Without a terminal, a log that cannot be opened is said on standard
// error: the failure, once by the log writer and once by the worker.
TEST_F(DriverTest, LogThatCannotBeOpenedIsSaidOnStandardError)
{
    const std::string logPath = dir.file("missing/qzr.log");
    writeIni(TEST_NETWORK, false, "logFile = \"" + logPath + "\"\n");
    EXPECT_EQ(run(), 2);
    EXPECT_EQ(dir.read("stderr.txt"),
              "ERROR- cannot open log file " + logPath + "\nERROR- cannot open log file " + logPath + "\n");
}

TEST_F(DriverTest, InvalidHeaderGetsAnErrorResponse)
{
    writeIni(TEST_NETWORK);
    std::string bad = claim(5);
    bad.replace(18, 2, "05");  // version 05
    request("TEST", "REQ.002", bad);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(dir.read("TEST/RSP.002"), "5,1034,002,");
    EXPECT_TRUE(exists("TEST/_EQ.002"));
}

// Answered 1033, and left under its name: its writer has not finished it.
TEST_F(DriverTest, RequestHeldOpenForWritingIsAnsweredWith1033AndKeepsItsName)
{
    writeIni(TEST_NETWORK);
    request("TEST", "REQ.003", claim(9));
    int writer = ::open(dir.file("TEST/REQ.003").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(run(), 1);
    ::close(writer);
    EXPECT_EQ(dir.read("TEST/RSP.003"), "0,1033,003,");
    EXPECT_EQ(dir.read("TEST/REQ.003"), claim(9) + "\r\n");
    EXPECT_FALSE(exists("TEST/_EQ.003"));
    std::string l = log();
    EXPECT_EQ(count(l, "error opening file <TEST/REQ.003> for reading... will retry"), 3);
    EXPECT_EQ(count(l, "INFO - ** WARNING ** TEST/REQ.003 is still being written, left for the next pass"), 1) << l;
}

TEST_F(DriverTest, RequestIsRedirectedToAnotherNetwork)
{
    // OFFICE's own line does not exist: only the redirection to TEST answers.
    writeIni(std::string(TEST_NETWORK) + "[OFFICE]\ncomdev = \"COM7\"\nconnectionMode = direct\n");
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrredir.dat", "version = \"r1\"\nredirect to \"TEST\" groups = \"9998\" and carriers = \"000001\"\n");
    std::string c = claim(11);
    request("OFFICE", "REQ.004", c);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(dir.read("OFFICE/RSP.004"), "11,0,004," + echoed(c));
    EXPECT_TRUE(exists("OFFICE/_EQ.004"));
    EXPECT_NE(log().find("Transaction redirection required to TEST"), std::string::npos);
}

TEST_F(DriverTest, UndefinedRedirectionTargetLeavesTheRequestWithItsNetwork)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrredir.dat", "version = \"r1\"\nredirect to \"NOWHERE\" groups = \"9998\" and carriers = \"000001\"\n");
    std::string c = claim(12);
    request("TEST", "REQ.001", c);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(dir.read("TEST/RSP.001"), "12,0,001," + echoed(c));
    std::string l = log();
    EXPECT_NE(l.find("INFO - ** WARNING ** Network 'NOWHERE' is not defined, redirection to this network is disabled"),
              std::string::npos)
        << l;
    EXPECT_NE(l.find("ERROR- Could not redirect, network 'NOWHERE' is not defined, continuing with TEST"),
              std::string::npos);
}

// Undefined targets are looked for among the first 20 names of the rules'
// listing only.
TEST_F(DriverTest, AtMostTwentyRedirectionTargetsAreChecked)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    std::string rules = "version = \"r1\"\n";
    for (int i = 1; i <= 25; ++i) {
        char rule[128];
        std::snprintf(rule, sizeof rule, "redirect to \"NET%02d\" groups = \"%04d\" and carriers = \"000001\"\n", i, i);
        rules += rule;
    }
    dir.write("qzrredir.dat", rules);
    request("TEST", "REQ.001", claim(1));
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(count(log(), "** WARNING ** Network 'NET"), 20) << log();
}

// Without a terminal, the stop message of a syntax error in an optional
// file ends a wait, not the run: with hangAround the driver goes on serving
// after its first pass, and the redirection rules read before the error stay
// in use (OFFICE's own line does not exist: only the redirection to TEST
// answers).
class OptionalFileErrorTest : public DriverTest {
protected:
    const std::string rule = "version = \"r1\"\nredirect to \"TEST\" groups = \"9998\" and carriers = \"000001\"\n";

    // `name` (qzrsup.ini or qzrredir.dat) holds the error; `error` is the
    // run's own line about it.
    void expectServingAfterTheFirstPass(const std::string& name, const std::string& error)
    {
        writeIni(std::string(TEST_NETWORK) + "[OFFICE]\ncomdev = \"COM7\"\nconnectionMode = direct\n", true);
        linkDevice("com1", "/dev/ptmx");
        request("OFFICE", "REQ.001", claim(1));
        QzrProcess p(dir.path().string(), args());
        ASSERT_TRUE(waitFor([&] { return exists("OFFICE/_EQ.001"); })) << log();
        // The first pass is over: a new request is still served.
        dir.write("OFFICE/tmp", claim(2) + "\r\n");
        std::filesystem::rename(dir.path() / "OFFICE" / "tmp", dir.path() / "OFFICE" / "REQ.002");
        ASSERT_TRUE(waitFor([&] { return exists("OFFICE/_EQ.002"); })) << log();
        EXPECT_TRUE(p.running());
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait(), 0);
        EXPECT_EQ(dir.read("OFFICE/RSP.001").substr(0, 8), "1,0,001,");
        EXPECT_EQ(dir.read("OFFICE/RSP.002").substr(0, 8), "2,0,002,");
        std::string l = log();
        EXPECT_NE(l.find("CODE -024- " + dir.file(name) + " near line:"), std::string::npos) << l;
        EXPECT_NE(l.find(error), std::string::npos) << l;
        EXPECT_EQ(count(l, "Transaction redirection required to TEST"), 2) << l;
        EXPECT_NE(dir.read("stderr.txt").find("QZR Error: " + dir.file(name) + " near line:"), std::string::npos);
    }
};

TEST_F(OptionalFileErrorTest, SupplementalFileErrorLeavesTheDriverServing)
{
    dir.write("qzrsup.ini", "version = v1\n");
    dir.write("qzrredir.dat", rule);
    expectServingAfterTheFirstPass("qzrsup.ini",
                                   "ERROR- Error processing supplemental ini file '" + dir.file("qzrsup.ini") + "'");
}

TEST_F(OptionalFileErrorTest, RedirectionFileErrorLeavesTheDriverServingWithItsRules)
{
    dir.write("qzrredir.dat", rule + "redirect to \"TEST\" groups = \"9998\" and carriers = 000002\n");
    expectServingAfterTheFirstPass("qzrredir.dat", "ERROR- Error processing switching file " + dir.file("qzrredir.dat"));
}

// Requests wait in several networks: one pass serves the first network of
// the configuration's order, not of the alphabet.
TEST_F(DriverTest, OnePassServesTheFirstNetworkOfTheTable)
{
    writeIni(std::string(TEST_NETWORK) + "[AAA]\ncomdev = \"COM7\"\nconnectionMode = direct\n");
    linkDevice("com1", "/dev/ptmx");
    request("AAA", "REQ.001", claim(1));
    request("TEST", "REQ.001", claim(2));
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(exists("TEST/RSP.001"));
    EXPECT_TRUE(exists("AAA/REQ.001"));
    EXPECT_FALSE(exists("AAA/RSP.001"));
}

TEST_F(DriverTest, CompressedRequestComesBackExpanded)
{
    writeIni(std::string(TEST_NETWORK) + "compress = true\n");
    linkDevice("com1", "/dev/ptmx");
    std::string c = claim(3);
    request("TEST", "REQ.001", c);
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(dir.read("TEST/RSP.001"), "3,0,001," + echoed(c));
    std::string l = log();
    EXPECT_NE(l.find("INFO - length after compression=67"), std::string::npos) << l;
    EXPECT_NE(l.find("INFO - length after decomp=69"), std::string::npos);
    EXPECT_EQ(l.find("sending without compression"), std::string::npos);
}

// A request that asks for scrambling (A10 = 2) on connections that cannot
// give it; the secondary gets its own try.
TEST_F(DriverTest, ScramblingRefusalsEndWithTheirStatus)
{
    struct {
        const char* name;
        std::string connections;
        int status;
        bool backup;
    } cases[] = {
        {"not allowed", std::string(TEST_NETWORK) + "encrypt = false\n", 1011, false},
        {"seven data bits", "[TEST]\ncomdev = \"COM1\"\nconnectionMode = direct\nspeed = 9600\ndataBit = 7\n"
                            "parity = even\nencrypt = true\n", 1012, false},
        {"no mixer file", std::string(TEST_NETWORK) + "encrypt = true\n", 1013, false},
        {"secondary allows it", std::string(TEST_NETWORK) + "encrypt = false\n[SECONDARY_TEST]\ncomdev = \"COM1\"\n"
                                "connectionMode = direct\ndataBit = 8\nencrypt = true\n", 1013, true},
    };
    linkDevice("com1", "/dev/ptmx");
    int seq = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeIni(c.connections);
        std::string req = claim(++seq);
        req[31] = '2';
        request("TEST", "REQ.001", req);
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(dir.read("TEST/RSP.001"), std::to_string(seq) + "," + std::to_string(c.status) + ",001,");
        std::string l = log();
        EXPECT_EQ(l.find("Trying backup connection") != std::string::npos, c.backup) << l;
        EXPECT_EQ(l.find("Openning port"), std::string::npos);  // refused before the link
        std::filesystem::remove(dir.path() / "TEST" / "_EQ.001");
    }
}

TEST_F(DriverTest, ServesOneRequestPerPassUntilStopped)
{
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    request("TEST", "REQ.002", claim(2));
    request("TEST", "REQ.001", claim(1));
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return exists("TEST/RSP.001") && exists("TEST/RSP.002"); }, 15000));
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.002"); }));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    std::string l = log();
    // The first in byte order is served first.
    EXPECT_LT(l.find("File:TEST/REQ.001 processed"), l.find("File:TEST/REQ.002 processed"));
    EXPECT_NE(l.find("End."), std::string::npos);
    EXPECT_FALSE(exists("activity.dat"));
}

// The primary of TEST cannot be opened; its secondary answers. A link kept
// up on the secondary serves the next request there; once it is released,
// the next transaction starts on the primary again, with its own backup.
TEST_F(DriverTest, BackupServesOnlyWhileItsLinkIsKept)
{
    linkDevice("com1", dir.file("no-such-device"));
    linkDevice("com2", "/dev/ptmx");
    writeIni(std::string(TEST_NETWORK) + "[SECONDARY_TEST]\ncomdev = \"COM2\"\nconnectionMode = direct\nspeed = 9600\n"
                                          "dataBit = 8\nparity = none\n",
             true, "hangupDelay = 3\n");
    auto requestNow = [&](const std::string& name, int seq) {
        dir.write("TEST/tmp-" + name, claim(seq) + "\r\n");
        std::filesystem::rename(dir.path() / "TEST" / ("tmp-" + name), dir.path() / "TEST" / name);
    };
    request("TEST", "REQ.001", claim(1));
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); }));
    requestNow("REQ.002", 2);  // within the hang-up delay
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.002"); }));
    ASSERT_TRUE(waitFor([&] { return log().find("no more request, end connection") != std::string::npos; }));
    requestNow("REQ.003", 3);
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.003"); }));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);

    for (int seq = 1; seq <= 3; ++seq) {
        std::string head = std::to_string(seq) + ",0,00" + std::to_string(seq) + ",";
        EXPECT_EQ(dir.read("TEST/RSP.00" + std::to_string(seq)).substr(0, head.size()), head);
    }
    std::string l = log();
    std::size_t second = l.find("File:TEST/REQ.001 processed");
    std::size_t third = l.find("File:TEST/REQ.002 processed");
    ASSERT_NE(second, std::string::npos) << l;
    ASSERT_NE(third, std::string::npos) << l;
    // REQ.002 over the kept link: no port opened, no fall-back.
    std::string during2 = l.substr(second, third - second);
    EXPECT_EQ(during2.find("Openning port"), std::string::npos) << during2;
    EXPECT_EQ(during2.find("Trying backup"), std::string::npos);
    // REQ.003: the primary first, then the secondary.
    std::string during3 = l.substr(third);
    std::size_t primary = during3.find("Openning port COM1");
    std::size_t backup = during3.find("Primary connection status=1051, Trying backup connection");
    ASSERT_NE(primary, std::string::npos) << during3;
    ASSERT_NE(backup, std::string::npos);
    EXPECT_LT(primary, backup);
    EXPECT_NE(during3.find("Openning port COM2", backup), std::string::npos);
}

TEST_F(DriverTest, StopDuringACallAnswers1003)
{
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    linkDevice("com1", name);
    // A host that never invites: the driver waits for its ENQ.
    writeIni("[HOST]\nmaxEnqDelay = 60\ncomdev = \"COM1\"\nconnectionMode = direct\nspeed = 9600\ndataBit = 8\nparity = none\n");
    request("HOST", "REQ.001", claim(4));
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").substr(0, 1) == "G"; }, 10000));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(dir.read("HOST/RSP.001"), "4,1003,001,");
    EXPECT_TRUE(exists("HOST/_EQ.001"));
    EXPECT_FALSE(exists("activity.dat"));
    std::string l = log();
    EXPECT_EQ(l.substr(l.size() - 4), "End.");
    ::close(master);
    ::close(slave);
}

TEST_F(DriverTest, SecondInstanceInTheSameDirectoryIsRefused)
{
    writeIni(TEST_NETWORK, true);
    QzrProcess first(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").size() == 228; }));
    std::string record = dir.read("activity.dat");
    TempDir other;  // its output goes elsewhere; its working directory is ours
    QzrProcess second(other.path().string(), args());
    EXPECT_EQ(second.wait(), 2);
    EXPECT_NE(other.read("stderr.txt").find("QZR is already running in this directory."), std::string::npos);
    EXPECT_EQ(dir.read("activity.dat").substr(0, 1), record.substr(0, 1));
    EXPECT_EQ(dir.read("activity.dat").size(), 228u);
    EXPECT_TRUE(first.running());
    first.signal(SIGINT);
    EXPECT_EQ(first.wait(), 0);
}

TEST_F(DriverTest, UpdateProgramRunsOncePerDay)
{
    writeIni(TEST_NETWORK);
    dir.write("qzrupdate", "#!/bin/sh\necho started >> \"$(dirname \"$0\")/update-ran\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    EXPECT_EQ(run(), 1);
    ASSERT_TRUE(waitFor([&] { return exists("update-ran"); }));
    EXPECT_TRUE(exists("qzrupdate.lck"));
    EXPECT_NE(log().find("UPDATE: Checking for updates..."), std::string::npos);
    // The lock file is fresh: the next run starts nothing.
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(log().find("UPDATE: Checking for updates...", log().find("UPDATE: Checking for updates...") + 1),
              std::string::npos);
    EXPECT_EQ(dir.read("update-ran"), "started\n");
}

// The update program is started while the driver holds activity.dat, its
// log and (without hangAround, right after a transaction) its port: it must
// inherit none of them.
TEST_F(DriverTest, UpdateProgramInheritsNoDescriptor)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    request("TEST", "REQ.001", claim(1));
    dir.write("qzrupdate", "#!/bin/sh\nd=\"$(dirname \"$0\")\"\nls -l /proc/$$/fd > \"$d/fds.tmp\"\nmv \"$d/fds.tmp\" \"$d/fds\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    EXPECT_EQ(run(), 0);
    ASSERT_TRUE(waitFor([&] { return exists("fds"); }));
    std::istringstream lines(dir.read("fds"));
    std::vector<std::string> allowed = {"/dev/null", dir.file("stdout.txt"), dir.file("stderr.txt"),
                                        dir.file("qzrupdate"), dir.file("fds.tmp")};
    // What the driver got from its own starter (this test and its runner)
    // is not the driver's to close.
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(fd.path(), ec);
        if (!ec) allowed.push_back(target.string());
    }
    int seen = 0;
    for (std::string line; std::getline(lines, line);) {
        std::size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        ++seen;
        std::string target = line.substr(arrow + 4);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), target), allowed.end()) << line;
    }
    EXPECT_GE(seen, 3);  // standard input, output and error
}

// An update's files left by an earlier run are removed at the start.
TEST_F(DriverTest, StaleInstallationLockAndRestartScriptAreRemoved)
{
    writeIni(TEST_NETWORK);
    dir.write("qzrupdate.lck", "");  // checked just now: no update program
    dir.write("qzrinstall.lck", "");
    dir.write("$qzrrestart.sh", "#!/bin/sh\n");
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(exists("qzrinstall.lck"));
    EXPECT_FALSE(exists("$qzrrestart.sh"));
    std::string l = log();
    EXPECT_NE(l.find("CODE -420- UPDATE: Removing old installation lock " + dir.file("qzrinstall.lck")),
              std::string::npos)
        << l;
    EXPECT_NE(l.find("CODE -420- UPDATE: Removing old restart file " + dir.file("$qzrrestart.sh")),
              std::string::npos);
    EXPECT_EQ(l.find("Installation lock present"), std::string::npos);
}

// Without hangAround an installation lock found at the end of the pass ends
// the run without a restart script.
TEST_F(DriverTest, InstallationLockWithoutHangAroundWritesNoScript)
{
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    linkDevice("com1", name);
    // A host that never invites: the call lasts its 2 seconds.
    writeIni("[HOST]\nmaxEnqDelay = 2\ncomdev = \"COM1\"\nconnectionMode = direct\nspeed = 9600\ndataBit = 8\n"
             "parity = none\n");
    dir.write("qzrupdate.lck", "");
    request("HOST", "REQ.001", claim(4));
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").substr(0, 1) == "G"; }, 10000));
    dir.write("qzrinstall.lck", "");  // the update program begins to install
    EXPECT_EQ(p.wait(10000), 1);
    EXPECT_EQ(dir.read("HOST/RSP.001"), "4,1041,001,");
    EXPECT_FALSE(exists("$qzrrestart.sh"));
    std::string l = log();
    EXPECT_NE(l.find("CODE -420- UPDATE: Installation lock present (" + dir.file("qzrinstall.lck") + ")"),
              std::string::npos)
        << l;
    EXPECT_EQ(l.find("Restart file"), std::string::npos);
    ::close(master);
    ::close(slave);
}

// The time of the last check is the lock file's: a check runs once more
// than a day has passed since it was written.
TEST_F(DriverTest, UpdateCheckFollowsTheLockFilesAge)
{
    using namespace std::chrono_literals;
    writeIni(TEST_NETWORK);
    dir.write("qzrupdate", "#!/bin/sh\necho started >> \"$(dirname \"$0\")/update-ran\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    struct {
        std::chrono::seconds age;
        bool checks;
    } cases[] = {{2h, false}, {86400s + 120s, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.age.count());
        std::filesystem::remove(dir.path() / "update-ran");
        dir.write("qzrupdate.lck", "");
        auto when = std::filesystem::file_time_type::clock::now() - c.age;
        std::filesystem::last_write_time(dir.path() / "qzrupdate.lck", when);
        EXPECT_EQ(run(), 1);
        std::string l = log();
        EXPECT_EQ(l.find("UPDATE: Checking for updates...") != std::string::npos, c.checks) << l;
        if (c.checks) {
            EXPECT_TRUE(waitFor([&] { return exists("update-ran"); }));
            EXPECT_GT(std::filesystem::last_write_time(dir.path() / "qzrupdate.lck"), when + c.age - 60s);
        } else {
            EXPECT_EQ(std::filesystem::last_write_time(dir.path() / "qzrupdate.lck"), when);
        }
    }
}

TEST_F(DriverTest, InstallationLockEndsTheRunWithARestartScript)
{
    writeIni(TEST_NETWORK, true);
    // The stand-in update program announces an installation; once the
    // driver has shown it, the installation begins (its lock).
    dir.write("qzrupdate", "#!/bin/sh\necho 'Installing 4.0.1' > \"$(dirname \"$0\")/qzrinstall.dat\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    QzrProcess p(dir.path().string(), args({"-v"}));
    EXPECT_TRUE(waitFor([&] { return log().find("UPDATE:[[Installing 4.0.1\n]]") != std::string::npos; }, 15000))
        << log();
    dir.write("qzrinstall.lck", "");
    EXPECT_EQ(p.wait(20000), 1) << log() << dir.read("stderr.txt");
    std::string script = dir.read("$qzrrestart.sh");
    EXPECT_NE(script.find("if [ ! -e '" + dir.path().string() + "' ]; then exit 0; fi"), std::string::npos);
    EXPECT_NE(script.find("cd '" + dir.path().string() + "' && '" + dir.file("qzr") + "' '-c' '" + dir.path().string() + "' '-e' '" + dir.path().string() + "' '-v'"),
              std::string::npos)
        << script;
    std::string l = log();
    EXPECT_NE(l.find("UPDATE: Restart file created: " + dir.file("$qzrrestart.sh")), std::string::npos);
    EXPECT_NE(l.find("UPDATE:[[Installing 4.0.1\n]]"), std::string::npos);
}

// The restart script starts the driver in its working directory: a working
// directory given relative to where the driver was first started must still
// be found from there.
TEST_F(DriverTest, RestartScriptFindsAWorkingDirectoryGivenRelative)
{
    namespace fs = std::filesystem;
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate", "#!/bin/sh\ntouch \"$(dirname \"$0\")/qzrinstall.lck\"\n");
    // The program the script starts: it notes where it runs and its arguments.
    dir.write("qzr", "#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > \"$(dirname \"$0\")/restarted.tmp\"\n"
                     "mv \"$(dirname \"$0\")/restarted.tmp\" \"$(dirname \"$0\")/restarted\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    ::chmod(dir.file("qzr").c_str(), 0755);
    // The driver starts in the parent of its working directory.
    std::string relative = dir.path().filename().string();
    QzrProcess p(dir.path().string(), {"-c", relative, "-e", dir.path().string(), "-v"},
                 dir.path().parent_path().string());
    int rc = p.wait(20000);
    ASSERT_EQ(rc, 1) << log() << dir.read("stderr.txt");
    ASSERT_TRUE(exists("$qzrrestart.sh")) << log();

    ASSERT_EQ(runProgram({"/bin/sh", dir.file("$qzrrestart.sh")}), 0);
    ASSERT_TRUE(waitFor([&] { return exists("restarted"); }));
    std::istringstream lines(dir.read("restarted"));
    std::string cwd, arg;
    std::vector<std::string> args;
    std::getline(lines, cwd);
    while (std::getline(lines, arg)) args.push_back(arg);
    EXPECT_TRUE(fs::equivalent(cwd, dir.path()));
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[0], "-c");
    EXPECT_TRUE(fs::exists(fs::path(cwd) / args[1]) && fs::equivalent(fs::path(cwd) / args[1], dir.path())) << args[1];
    EXPECT_EQ(std::vector<std::string>(args.begin() + 2, args.end()),
              (std::vector<std::string>{"-e", dir.path().string(), "-v"}));
}

TEST_F(DriverTest, CommandLineRefusalsAndUsageAreSaidOnce)
{
    // The usage: asked for, so on standard output, once; nothing on error.
    QzrProcess help(dir.path().string(), {"-h"});
    EXPECT_EQ(help.wait(), 0);
    const std::string usage = "usage: QZR  [-i inifile] [-v] [-h]";
    EXPECT_EQ(count(dir.read("stdout.txt"), usage), 1) << dir.read("stdout.txt");
    EXPECT_EQ(count(dir.read("stdout.txt"), "optional by default qzr.ini in current directory"), 1);
    EXPECT_EQ(dir.read("stderr.txt"), "");

    // A refused line: on standard error, once; nothing on output.
    struct Refusal {
        std::vector<std::string> args;
        std::string text;
    } refusals[] = {
        {{"-z"}, "QZR Error: %F-0299: Invalid command line switch -z \n"},
        {{"-c", "-v"}, "Invalid command line syntax -c,  please specify <directory-name>"},
    };
    for (const Refusal& r : refusals) {
        QzrProcess bad(dir.path().string(), r.args);
        EXPECT_EQ(bad.wait(), 1) << r.text;
        EXPECT_EQ(count(dir.read("stderr.txt"), r.text), 1) << dir.read("stderr.txt");
        EXPECT_EQ(dir.read("stdout.txt"), "") << r.text;
    }
}
