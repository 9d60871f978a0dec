// The start of the real driver at its edges: an instance name that another
// user holds, a log that cannot be opened in service mode, a relative
// program directory, standard files closed by the starter, and a syntax
// error on a last line without a line feed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver_fixture.h"
#include "os/os_instance.h"
#include "screen_fixture.h"
#include "support/held_child.h"

using namespace qzr;
using namespace qzr::test;

namespace {

constexpr unsigned NOBODY = 65534;

// A process of the user nobody that binds the abstract name `name` as the
// instance mutex binds it, listening or not, and holds it until destroyed.
class ForeignHolder {
public:
    ForeignHolder(const std::string& name, bool listens) : child_(bindAsNobody(name, listens)) {}

    bool bound() const { return child_.result() == 1; }

private:
    static HeldChild bindAsNobody(const std::string& name, bool listens)
    {
        sockaddr_un addr;
        const socklen_t len = abstractAddress(name, addr);
        return HeldChild([&] {
            if (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) return 0;
            int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            return fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 &&
                           (!listens || ::listen(fd, 4) == 0)
                       ? 1
                       : 0;
        });
    }

    HeldChild child_;
};

// What a descriptor of a running process points at.
std::string fdTarget(pid_t pid, int fd)
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec).string();
}

const std::regex LOG_LINE("[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2} [A-Z].*");

}  // namespace

// The instance name bound by a process of another user (anyone can bind an
// abstract name) is not this user's instance: the driver runs, and its log
// says whose name it found, whether the holder answers or not.
TEST_F(DriverTest, InstanceNameHeldByAnotherUserDoesNotStopTheDriver)
{
    if (::geteuid() != 0) GTEST_SKIP() << "binding a name as another user needs root";
    writeIni(TEST_NETWORK);
    dir.write("qzrupdate.lck", "");
    const std::string title = "ZAVI Quarzel " + dir.path().filename().string();
    const std::string name = std::to_string(::getuid()) + "/" + title + " is running";
    struct Case {
        bool listens;
        std::string warning;
    } cases[] = {
        {true, "** WARNING ** Instance name '" + title + " is running' is held by a process of user 65534, not by a "
                                                         "driver of this user: running without it"},
        {false, "** WARNING ** Instance name '" + title + " is running' is held by a process that does not answer "
                                                          "as a driver does: running without it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.listens ? "the holder listens" : "the holder does not listen");
        ForeignHolder holder(name, c.listens);
        ASSERT_TRUE(holder.bound());
        OsInstanceMutex mine;
        long uid = 0;
        EXPECT_EQ(os_instanceMutex(title + " is running", mine, &uid), EACCES);
        EXPECT_EQ(uid, c.listens ? static_cast<long>(NOBODY) : -1L);
        EXPECT_FALSE(mine.valid());

        // One pass, no request: status 1, the whole run logged.
        EXPECT_EQ(run(), 1) << dir.read("stderr.txt");
        std::string l = log();
        std::size_t warning = l.find("INFO - " + c.warning);
        EXPECT_NE(warning, std::string::npos) << l;
        EXPECT_LT(warning, l.find("Quarzel QZR version")) << l;
        EXPECT_EQ(l.substr(l.size() - 4), "End.");
    }
    // A name held by this user still ends a newcomer at once.
    OsInstanceMutex first, second;
    ASSERT_EQ(os_instanceMutex(title + " is running", first), 0);
    long uid = -1;
    EXPECT_EQ(os_instanceMutex(title + " is running", second, &uid), EEXIST);
    EXPECT_EQ(uid, static_cast<long>(::geteuid()));
    std::filesystem::remove(dir.path() / "qzr.log");
    EXPECT_EQ(run(), 0);
    EXPECT_FALSE(exists("qzr.log"));
}

// In service mode a log that cannot be opened is said on standard error
// (the journal under systemd), and the run ends with status 2.
TEST_F(DriverTest, ServiceModeTellsAnUnopenableLogOnStandardError)
{
    writeIni(TEST_NETWORK, true, "logFileAppend = true\n");
    std::string ini = dir.read("qzr.ini");
    const std::string bad = dir.file("no-such-dir/qzr.log");
    ini.replace(ini.find("logFile = \"qzr.log\""), 19, "logFile = \"" + bad + "\"");
    dir.write("qzr.ini", ini);
    QzrProcess p(dir.path().string(), {"-s", "-e", dir.path().string()});
    EXPECT_EQ(p.wait(15000), 2) << dir.read("stderr.txt");
    EXPECT_NE(dir.read("stderr.txt").find("ERROR- cannot open log file " + bad + "\n"), std::string::npos)
        << dir.read("stderr.txt");
}

// A relative program directory is the one typed, taken from the directory
// the driver was started in, not from the working directory that -c makes
// current: the update program in it runs.
TEST_F(DriverTest, RelativeProgramDirectoryIsTheOneTyped)
{
    const std::string d = "d9";
    dir.write(d + "/qzr.ini", std::string(GENERAL) + "hangAround = true\n[connectScript]\nversion = \"test\"\n" +
                                  TEST_NETWORK);
    dir.write(d + "/qzrupdate", "#!/bin/sh\necho started >> \"$(dirname \"$0\")/update-ran\"\n");
    ::chmod(dir.file(d + "/qzrupdate").c_str(), 0755);
    QzrProcess p(dir.path().string(), {"-c", d, "-e", d});
    EXPECT_TRUE(waitFor([&] { return exists(d + "/update-ran"); })) << dir.read(d + "/qzr.log");
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    const std::string l = dir.read(d + "/qzr.log");
    const std::string abs = dir.file(d);
    EXPECT_NE(l.find("QZR main: ExeDir=" + abs + " CurDir=" + abs + " Inifile=" + abs + "/qzr.ini"),
              std::string::npos)
        << l;
    EXPECT_EQ(l.find("errno="), std::string::npos) << l;
    EXPECT_FALSE(exists(d + "/" + d));
}

// Started with its standard files closed, the driver opens them on
// /dev/null first: what it prints (a configuration error's context, the
// rules report) goes nowhere instead of into activity.dat or the log.
TEST_F(DriverTest, StandardFilesClosedAtStartAreOpenedOnDevNull)
{
    // A configuration error: its text is printed on standard output.
    dir.write("qzr.ini", "[general]\ninputFileName = REQ\noutputFileName = RSP\nhangupDelay = zz\n");
    {
        QzrProcess p(dir.path().string(), args(), "", "", true);
        EXPECT_EQ(p.wait(), 2);
    }
    // The record the driver wrote, and nothing else.
    const std::string record = dir.read("activity.dat");
    EXPECT_EQ(record.size(), 228u);
    EXPECT_EQ(record.substr(0, 1), "A") << record;
    EXPECT_EQ(record.find("hangupDelay"), std::string::npos) << record;
    EXPECT_EQ(record.find("Syntax error"), std::string::npos) << record;
    std::filesystem::remove(dir.path() / "activity.dat");

    // A run that serves a request, with its rules report printed.
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrupdate.lck", "");
    dir.write("qzrredir.dat", "version = \"r1\"\nredirect to \"TEST\" groups = \"9998\" and carriers = \"000001\"\n");
    request("TEST", "REQ.001", claim(7));
    QzrProcess p(dir.path().string(), args(), "", "", true);
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); })) << log();
    for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(fdTarget(p.pid(), fd), "/dev/null") << fd;
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
    // Every line of the log is a line of the log writer.
    const std::string l = log();
    ASSERT_EQ(l.substr(0, 1), "\n");
    std::size_t at = 1;
    while (at <= l.size()) {
        std::size_t end = l.find('\n', at);
        if (end == std::string::npos) end = l.size();
        std::string line = l.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(line, LOG_LINE)) << line;
        at = end + 1;
    }
    EXPECT_EQ(l.find("END of Report *\n"), std::string::npos) << l;
}

// A syntax error on the last line of qzr.ini or qzrredir.dat that ends
// without a line feed reads as it does when the line ends with one: the
// file, the line number, the source line and the caret.
TEST_F(DriverTest, ErrorOnALastLineWithoutLineFeedKeepsItsPlace)
{
    struct Case {
        const char* file;
        std::string text;       // the last line ends the file's text
        const char* expecting;  // the syntax error's text
        int line;
    } cases[] = {
        {"qzr.ini", "[general]\ninputFileName = REQ\noutputFileName = RSP\nhangupDelay = zz", "num", 4},
        {"qzrredir.dat", "version = \"r1\"\nredirect to \"TEST\" groups = all and carriers = zz", " 'all' 'string' ",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> outputs;
        std::vector<std::string> errors;
        for (const char* ending : {"\n", ""}) {
            SCOPED_TRACE(*ending ? "with a line feed" : "without a line feed");
            std::filesystem::remove(dir.path() / "qzr.log");
            std::filesystem::remove(dir.path() / "qzrredir.dat");
            writeIni(TEST_NETWORK);
            linkDevice("com1", "/dev/ptmx");
            dir.write("qzrupdate.lck", "");
            request("TEST", "REQ.001", claim(3));
            dir.write(c.file, c.text + ending);
            run();
            const std::string path = dir.file(c.file);
            const std::string err = dir.read("stderr.txt");
            EXPECT_NE(err.find("QZR Error: " + path + " near line:" + std::to_string(c.line) +
                               ": %F-0202: Syntax error, expecting: " + c.expecting + "\n"),
                      std::string::npos)
                << err;
            const std::string out = dir.read("stdout.txt");
            const std::string last = c.text.substr(c.text.rfind('\n') + 1);
            const std::string caret = std::string(last.size() - 2, ' ') + "^\n";
            EXPECT_NE(out.find(last + "\n" + caret), std::string::npos) << out;
            outputs.push_back(out);
            errors.push_back(err);
            std::filesystem::remove_all(dir.path() / "devices");
            std::filesystem::remove_all(dir.path() / "TEST");
        }
        EXPECT_EQ(errors[0], errors[1]);
        EXPECT_EQ(outputs[0], outputs[1]);
    }
}
