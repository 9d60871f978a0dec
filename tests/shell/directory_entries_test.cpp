// What the practice software, or anyone who can write a network directory,
// may leave there: entries that are not requests, odd names, long names, a
// DOS end-of-file mark; and what the driver may find in its own directories.
// The real driver runs on each; it must serve what is a request, leave the
// rest exactly as it was, and end by itself.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver_fixture.h"
#include "support/version_texts.h"

using namespace qzr::test;

namespace {

namespace fs = std::filesystem;

// What stands beside a valid request TEST/REQ.002, under a name that comes
// before it in byte order.
enum class Entry { Fifo, Directory, LinkToClaim, Socket, RegularFile };

struct EntryCase {
    const char* label;
    Entry kind;
    std::string name;
};

void PrintTo(const EntryCase& c, std::ostream* os)
{
    *os << c.label;
}

// The entry's file type, without following a link.
fs::file_type typeOf(const fs::path& p)
{
    return fs::symlink_status(p).type();
}

std::set<std::string> listing(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

class EntriesBesideARequest : public DriverTest, public ::testing::WithParamInterface<EntryCase> {
protected:
    // Makes the entry of the case; a link points at a valid claim outside
    // the network directory.
    void plant(const EntryCase& c)
    {
        fs::path p = dir.path() / "TEST" / c.name;
        switch (c.kind) {
        case Entry::Fifo:
            ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0);
            break;
        case Entry::Directory:
            fs::create_directory(p);
            break;
        case Entry::LinkToClaim:
            dir.write("secret.txt", claim(77) + "\r\n");
            fs::create_symlink(dir.path() / "secret.txt", p);
            break;
        case Entry::Socket: {
            sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_GE(sock, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            ASSERT_LT(p.string().size(), sizeof addr.sun_path);
            p.string().copy(addr.sun_path, sizeof addr.sun_path - 1);
            ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            break;
        }
        case Entry::RegularFile:
            request("TEST", c.name, claim(7));
            break;
        }
    }
    void TearDown() override
    {
        if (sock >= 0) ::close(sock);
    }

    int sock = -1;
};

}  // namespace

TEST_P(EntriesBesideARequest, OnlyTheRequestIsServed)
{
    const EntryCase& c = GetParam();
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    plant(c);
    if (HasFatalFailure()) return;
    request("TEST", "REQ.002", claim(2));
    fs::path bad = dir.path() / "TEST" / c.name;
    fs::file_type type = typeOf(bad);
    std::string content = c.kind == Entry::RegularFile ? dir.read("TEST/" + c.name) : "";

    EXPECT_EQ(run({}, 10000), 0);  // a FIFO must not hold the run
    EXPECT_EQ(dir.read("TEST/RSP.002").substr(0, 8), "2,0,002,");
    EXPECT_EQ(listing(dir.path() / "TEST"), (std::set<std::string>{c.name, "RSP.002", "_EQ.002"}));
    EXPECT_EQ(typeOf(bad), type);
    if (c.kind == Entry::Directory) {
        EXPECT_TRUE(fs::is_empty(bad));
    }
    if (c.kind == Entry::LinkToClaim) {
        EXPECT_EQ(fs::read_symlink(bad), dir.path() / "secret.txt");
        EXPECT_EQ(dir.read("secret.txt"), claim(77) + "\r\n");
    }
    if (c.kind == Entry::RegularFile) {
        EXPECT_EQ(dir.read("TEST/" + c.name), content);
    }
    std::string l = log();
    EXPECT_EQ(l.find("TEST/" + c.name), std::string::npos) << l;
    EXPECT_EQ(l.find("forged"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(NotRequests, EntriesBesideARequest,
                         ::testing::Values(EntryCase{"Fifo", Entry::Fifo, "REQ.001"},
                                           EntryCase{"Directory", Entry::Directory, "REQ.001"},
                                           EntryCase{"SymbolicLink", Entry::LinkToClaim, "REQ.001"},
                                           EntryCase{"Socket", Entry::Socket, "REQ.001"},
                                           EntryCase{"LineFeedInName", Entry::RegularFile,
                                                     "REQ.0\n20261210 00:00:00 ERROR- forged"},
                                           EntryCase{"DeleteInName", Entry::RegularFile, "REQ.001\x7F"},
                                           EntryCase{"TabInName", Entry::RegularFile, "REQ.0\t1"}),
                         [](const auto& info) { return std::string(info.param.label); });

// A request name of 254 characters: the response's name is as long and
// fits, and so must the name it is written under first.
TEST_F(DriverTest, LongRequestNameGetsItsResponse)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    std::string ext(250, 'x');
    ext.replace(0, 3, "001");
    request("TEST", "REQ." + ext, claim(5));
    EXPECT_EQ(run(), 0);
    std::string head = "5,0," + ext + ",";
    EXPECT_EQ(dir.read("TEST/RSP." + ext).substr(0, head.size()), head);
    EXPECT_EQ(listing(dir.path() / "TEST"), (std::set<std::string>{"RSP." + ext, "_EQ." + ext}));
}

// Temporary responses left by a driver killed while writing one: removed at
// the start when their process is gone, kept while it runs.
TEST_F(DriverTest, TemporaryResponsesOfEndedDriversAreRemoved)
{
    writeIni(TEST_NETWORK);
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    std::string deadName = ".qzr" + std::to_string(dead) + ".tmp";
    std::string liveName = ".qzr" + std::to_string(::getpid()) + ".tmp";
    // Also those written under another name where the first was taken.
    std::string deadOther = ".qzr" + std::to_string(dead) + "-3.tmp";
    std::string liveOther = ".qzr" + std::to_string(::getpid()) + "-1.tmp";
    dir.write("TEST/" + deadName, "1,0,001,half an ans");
    dir.write("TEST/" + deadOther, "1,0,001,half another");
    dir.write("TEST/" + liveName, "being written");
    dir.write("TEST/" + liveOther, "being written too");
    for (const char* foreign : {".qzr12ab.tmp", ".qzr12-.tmp", ".qzr12-x.tmp", ".qzr-1.tmp"})
        dir.write(std::string("TEST/") + foreign, "not ours");
    EXPECT_EQ(run(), 1);
    EXPECT_FALSE(exists("TEST/" + deadName));
    EXPECT_FALSE(exists("TEST/" + deadOther));
    EXPECT_EQ(dir.read("TEST/" + liveName), "being written");
    EXPECT_EQ(dir.read("TEST/" + liveOther), "being written too");
    for (const char* foreign : {".qzr12ab.tmp", ".qzr12-.tmp", ".qzr12-x.tmp", ".qzr-1.tmp"})
        EXPECT_EQ(dir.read(std::string("TEST/") + foreign), "not ours") << foreign;
    std::string l = log();
    EXPECT_NE(l.find("INFO - Removing old temporary file TEST/" + deadName), std::string::npos) << l;
    EXPECT_NE(l.find("INFO - Removing old temporary file TEST/" + deadOther), std::string::npos) << l;
    EXPECT_EQ(count(l, "Removing old temporary file"), 2);
}

// Practice software on other systems may end its text files with Ctrl-Z.
TEST_F(DriverTest, TrailingCtrlZEndsTheClaim)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    const struct {
        const char* what;
        const char* tail;
    } cases[] = {{"right after the text", "\x1A"}, {"alone after the line", "\r\n\x1A"}};
    int seq = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string req = claim(++seq);
        dir.write("TEST/REQ.001", req + c.tail);
        EXPECT_EQ(run(), 0);
        EXPECT_EQ(dir.read("TEST/RSP.001"), std::to_string(seq) + ",0,001," + defaultPrefix() + req.substr(12));
        std::filesystem::remove(dir.path() / "TEST" / "_EQ.001");
    }
}

// An installation copied from a system whose names ignore letter case: the
// directory of [TEST] is "test". A network without any directory is named
// once, at the start.
TEST_F(DriverTest, NetworkDirectoryIsFoundWhateverItsCase)
{
    writeIni(std::string(TEST_NETWORK) + "[GHOST]\ncomdev = \"COM7\"\nconnectionMode = direct\n", true);
    linkDevice("com1", "/dev/ptmx");
    request("test", "REQ.001", claim(1));
    request("test", "REQ.002", claim(2));
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return exists("test/_EQ.001") && exists("test/_EQ.002"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(dir.read("test/RSP.001").substr(0, 8), "1,0,001,");
    EXPECT_EQ(dir.read("test/RSP.002").substr(0, 8), "2,0,002,");
    std::string l = log();
    EXPECT_EQ(count(l, "INFO - ** WARNING ** Directory of network 'GHOST' not found in " + dir.path().string() +
                           ", no request can reach it"),
              1)
        << l;
    EXPECT_EQ(count(l, "** WARNING ** Directory of network"), 1);
}

// Of several directories that match, the first in byte order that is a
// directory is the network's.
TEST_F(DriverTest, FirstMatchingDirectoryInByteOrderIsSearched)
{
    writeIni(TEST_NETWORK);
    linkDevice("com1", "/dev/ptmx");
    request("test", "REQ.001", claim(1));
    request("Test", "REQ.001", claim(2));
    dir.write("TEST", "a file, not a directory");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(dir.read("Test/RSP.001").substr(0, 8), "2,0,001,");
    EXPECT_EQ(listing(dir.path() / "test"), (std::set<std::string>{"REQ.001"}));
    EXPECT_EQ(dir.read("TEST"), "a file, not a directory");
    EXPECT_EQ(log().find("** WARNING ** Directory of network"), std::string::npos);
}

namespace {

// Files the driver writes in its directories, each found as a symbolic link
// to a file of someone else's: the link is refused like a file that cannot
// be opened, and neither it nor the file it points at is touched.
class PlantedLinkTest : public DriverTest {
protected:
    static constexpr const char* TARGET_TEXT = "someone else's file\n";

    void plantLink(const std::string& name)
    {
        dir.write("elsewhere/target", TARGET_TEXT);
        fs::create_symlink(dir.path() / "elsewhere" / "target", dir.path() / name);
    }
    void expectUntouched(const std::string& name)
    {
        EXPECT_EQ(typeOf(dir.path() / name), fs::file_type::symlink);
        EXPECT_EQ(dir.read("elsewhere/target"), TARGET_TEXT);
    }
    // One pass with a request on TEST and a link planted at `name`; returns
    // the exit code once the link and its target were found untouched.
    int serveBesideALink(const std::string& name)
    {
        writeIni(TEST_NETWORK);
        linkDevice("com1", "/dev/ptmx");
        request("TEST", "REQ.001", claim(1));
        plantLink(name);
        int rc = run();
        expectUntouched(name);
        return rc;
    }
};

}  // namespace

TEST_F(PlantedLinkTest, ActivityRecordIsRefusedAsAnotherInstance)
{
    EXPECT_EQ(serveBesideALink("activity.dat"), 2);
    EXPECT_NE(dir.read("stderr.txt").find("QZR is already running in this directory."), std::string::npos);
    EXPECT_TRUE(exists("TEST/REQ.001"));
}

TEST_F(PlantedLinkTest, StatisticsFileIsLeftAlone)
{
    EXPECT_EQ(serveBesideALink("qzrstat.dat"), 0);
    EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 8), "1,0,001,");
    EXPECT_EQ(log().find("Group:9998 processed"), std::string::npos);
}

// The update check is due (the lock file's time is the target's, two days
// old) but the lock file cannot be rewritten.
TEST_F(PlantedLinkTest, UpdateLockIsNotRewritten)
{
    writeIni(TEST_NETWORK);
    plantLink("qzrupdate.lck");
    auto old = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(dir.path() / "elsewhere" / "target", old);
    EXPECT_EQ(run(), 1);
    expectUntouched("qzrupdate.lck");
    EXPECT_EQ(fs::last_write_time(dir.path() / "elsewhere" / "target"), old);
    EXPECT_NE(log().find("ERROR- UPDATE: Error creating update Lock file '" + dir.file("qzrupdate.lck") + "'"),
              std::string::npos)
        << log();
}

// An installation begins while the driver waits; the restart script's
// place holds a link by then.
TEST_F(PlantedLinkTest, RestartScriptIsNotWrittenThroughALink)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");  // checked just now: no update program
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; }));
    plantLink("$qzrrestart.sh");
    dir.write("qzrinstall.lck", "");
    EXPECT_EQ(p.wait(15000), 1);
    expectUntouched("$qzrrestart.sh");
    EXPECT_NE(log().find("INFO - UPDATE: Error creating restart file " + dir.file("$qzrrestart.sh")),
              std::string::npos)
        << log();
}

namespace {

// What stands at one of the driver's fixed names in place of its file: a
// FIFO (no writer: an open for reading would wait for good, one for writing
// fails) or a directory.
struct FixedNameCase {
    const char* label;
    std::string name;     // in the working directory, which is also the program directory
    bool directory;       // a directory there, else a FIFO
    bool scramble;        // the claim asks to be scrambled: the mixer file is read
    int exitCode;         // of a run without hangAround
    std::string told;     // a text of the log or standard error ("" for none)
    std::string silence;  // a text the log must not hold ("" for none)
};

void PrintTo(const FixedNameCase& c, std::ostream* os)
{
    *os << c.label;
}

class FixedNameTest : public DriverTest, public ::testing::WithParamInterface<FixedNameCase> {
protected:
    void SetUp() override
    {
        const FixedNameCase& c = GetParam();
        writeIni(std::string(TEST_NETWORK) + (c.scramble ? "encrypt = true\n" : ""), hangAround());
        linkDevice("com1", "/dev/ptmx");
        std::string req = claim(1);
        if (c.scramble) req[31] = '2';
        request("TEST", "REQ.001", req);
        fs::path p = dir.path() / c.name;
        fs::remove(p);
        if (c.directory) {
            fs::create_directory(p);
        } else {
            ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0);
            // An update lock three days old: the check is due.
            fs::last_write_time(p, fs::file_time_type::clock::now() - std::chrono::hours(72));
        }
        type = typeOf(p);
    }
    virtual bool hangAround() const { return false; }
    // The run's words: its log (when it is one: reading a FIFO would wait)
    // and its standard error.
    std::string said() const
    {
        return (fs::is_regular_file(dir.path() / "qzr.log") ? log() : "") + dir.read("stderr.txt");
    }
    void expectTheRunsWords()
    {
        const FixedNameCase& c = GetParam();
        if (!c.told.empty()) {
            EXPECT_NE(said().find(c.told), std::string::npos) << said();
        }
        if (!c.silence.empty()) {
            EXPECT_EQ(said().find(c.silence), std::string::npos) << said();
        }
        EXPECT_EQ(typeOf(dir.path() / c.name), type);
    }

    fs::file_type type = fs::file_type::none;
};

class FixedNameKeptRunning : public FixedNameTest {
protected:
    bool hangAround() const override { return true; }
};

// Files whose failure ends the run at its start.
const FixedNameCase START_FILES[] = {
    {"ConfigurationFile", "qzr.ini", false, false, 2, "Error openning file: '", ""},
    {"LogFile", "qzr.log", false, false, 2, "cannot open log file", ""},
    {"ActivityRecord", "activity.dat", false, false, 2, "QZR is already running in this directory.", ""},
};

// Files the run goes on without.
const FixedNameCase FIXED_NAMES[] = {
    {"SupplementalFile", "qzrsup.ini", false, false, 0, "", "Processing supplemental ini file"},
    {"RulesFile", "qzrredir.dat", false, false, 0, "Redirection file version", "Error openning file"},
    {"RulesFileDirectory", "qzrredir.dat", true, false, 0, "Redirection file version", "Error openning file"},
    {"MixerFile", "CDA-ZAVI.CFG", false, true, 1, "CDA-ZAVI.CFG encryption mixer file", "Read error"},
    {"StatisticsFile", "qzrstat.dat", false, false, 0, "", "Group:"},
    {"InstallationStatus", "qzrinstall.dat", false, false, 0, "", "UPDATE:[["},
    {"UpdateLock", "qzrupdate.lck", false, false, 0, "ERROR- UPDATE: Error creating update Lock file", ""},
};

}  // namespace

// The run ends by itself, as it does where the file cannot be opened.
TEST_P(FixedNameTest, NeitherBlocksNorPassesForTheFile)
{
    const FixedNameCase& c = GetParam();
    EXPECT_EQ(run({}, 10000), c.exitCode) << said();
    if (c.exitCode != 2) {
        EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 2), "1,") << said();
    }
    expectTheRunsWords();
}

// A driver that keeps serving has opened (or failed to open) the file when
// the request is served, and a stop still ends it at once.
TEST_P(FixedNameKeptRunning, StopEndsTheRunAtOnce)
{
    const FixedNameCase& c = GetParam();
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); }, 10000)) << said();
    ASSERT_TRUE(waitFor([&] { return count(log(), "Waiting for request in") >= 2; }, 10000)) << said();
    // The update check comes at the first idle pass.
    if (!c.told.empty()) {
        EXPECT_TRUE(waitFor([&] { return said().find(c.told) != std::string::npos; }, 10000));
    }
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(5000), 0);
    expectTheRunsWords();
}

INSTANTIATE_TEST_SUITE_P(AtStart, FixedNameTest, ::testing::ValuesIn(START_FILES),
                         [](const auto& info) { return std::string(info.param.label); });
INSTANTIATE_TEST_SUITE_P(FifoOrDirectory, FixedNameTest, ::testing::ValuesIn(FIXED_NAMES),
                         [](const auto& info) { return std::string(info.param.label); });
INSTANTIATE_TEST_SUITE_P(FifoOrDirectory, FixedNameKeptRunning, ::testing::ValuesIn(FIXED_NAMES),
                         [](const auto& info) { return std::string(info.param.label); });

// A directory given as the configuration file cannot be opened (204); it is
// not read as an empty file with a syntax error.
TEST_F(DriverTest, DirectoryAsConfigurationFileCannotBeOpened)
{
    fs::create_directory(dir.path() / "conf.d");
    EXPECT_EQ(run({"-i", dir.file("conf.d")}, 10000), 2);
    std::string said = log() + dir.read("stderr.txt");
    EXPECT_NE(said.find("-0204: Error openning file: '" + dir.file("conf.d") + "'"), std::string::npos) << said;
    EXPECT_EQ(said.find("expecting"), std::string::npos) << said;
}

// A restart script's place taken by a FIFO once the driver runs: the
// script cannot be written, and the driver stops all the same.
TEST_F(PlantedLinkTest, RestartScriptPlaceHoldingAFifoDoesNotHoldTheStop)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");  // checked just now: no update program
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; }));
    ASSERT_EQ(::mkfifo(dir.file("$qzrrestart.sh").c_str(), 0644), 0);
    dir.write("qzrinstall.lck", "");
    EXPECT_EQ(p.wait(15000), 1);
    EXPECT_EQ(typeOf(dir.path() / "$qzrrestart.sh"), fs::file_type::fifo);
    EXPECT_NE(log().find("INFO - UPDATE: Error creating restart file " + dir.file("$qzrrestart.sh")),
              std::string::npos)
        << log();
}
