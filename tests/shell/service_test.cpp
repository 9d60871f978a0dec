// Service mode: the driver run as the service in a child process, driven by
// the signals systemd and an operator send, with its status reports read
// from a notification socket in the test's directory; and the control
// handler on its own, with a worker of the test's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver_fixture.h"
#include "engine/cmdline.h"
#include "engine/worker.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "links/link_peers.h"
#include "support/in_order.h"
#include "shell/service.h"
#include "support/version_texts.h"

using namespace qzr::test;

namespace {

// A notification socket as systemd listens on it: each datagram is one
// report.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            ADD_FAILURE() << "cannot bind " << path;
    }
    ~NotifySocket()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    const std::string& path() const { return path_; }

    // Reads the reports that came, waiting up to `limitMs` for the one that
    // equals `text` (counting from the `from`-th report). Returns whether it came.
    bool waitFor(const std::string& text, std::size_t from = 0, int limitMs = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            for (std::size_t i = from; i < messages.size(); ++i)
                if (messages[i] == text) return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) > 0) drain();
        }
    }
    // Takes the reports waiting now.
    void drain()
    {
        char buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) break;
            messages.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }

    std::vector<std::string> messages;

private:
    std::string path_;
    int fd_ = -1;
};

const std::string READY = "READY=1\nSTATUS=MyService running";
const std::string STOP_PENDING = "STOPPING=1\nSTATUS=MyService stop pending";
const std::string STOPPED = "STOPPING=1\nSTATUS=MyService stopped";
const std::string PAUSED = "STATUS=MyService paused";

// The reports are `expected`; the stopped state may be reported once more,
// by the watch thread as well as by the stop.
void expectReports(std::vector<std::string> messages, const std::vector<std::string>& expected)
{
    if (messages.size() == expected.size() + 1 && messages.back() == STOPPED) messages.pop_back();
    EXPECT_EQ(messages, expected);
}

class ServiceTest : public DriverTest {
protected:
    void TearDown() override
    {
        for (pid_t pid : {pid_, other_}) {
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }

    // Starts the driver as the service in a child process, as the entry
    // does for "qzr -s -e <dir>"; its standard output and error go to
    // stdout<tag>.txt and stderr<tag>.txt in the directory. `notify` is
    // NOTIFY_SOCKET (none when empty). Returns the child's id.
    pid_t spawn(const std::string& notify, const std::string& tag = "")
    {
        std::fflush(nullptr);
        pid_t pid = ::fork();
        if (pid != 0) return pid;
        int out = ::open(dir.file("stdout" + tag + ".txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int err = ::open(dir.file("stderr" + tag + ".txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (notify.empty())
            ::unsetenv("NOTIFY_SOCKET");
        else
            ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
        std::vector<std::string> args = {"qzr", "-s", "-e", dir.path().string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int code = 99;
        try {
            if (qzr::parseCommandLine(static_cast<int>(args.size()), argv.data()) == 0)
                code = qzr::service_main(static_cast<int>(args.size()), argv.data());
        } catch (...) {
            code = 98;
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    void start(const std::string& notify)
    {
        pid_ = spawn(notify);
        ASSERT_GT(pid_, 0);
    }
    void signal(int sig) const { ::kill(pid_, sig); }
    // The exit status of the child `pid`, or -1 when it did not exit
    // normally within `limitMs` (it is then killed). Clears `pid`.
    static int waitChild(pid_t& pid, int limitMs)
    {
        int status = 0;
        bool ended = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limitMs);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            pid = -1;
            return -1;
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int wait(int limitMs = 15000) { return waitChild(pid_, limitMs); }
    // Whether `line` is in the log, after the text `after` when given.
    bool logHas(const std::string& line, const std::string& after = "")
    {
        std::string l = log();
        std::size_t from = after.empty() ? 0 : l.find(after);
        return from != std::string::npos && l.find(line, from) != std::string::npos;
    }

    pid_t pid_ = -1;
    pid_t other_ = -1;  // a second instance
};

// The log appended, so the service's own lines stay before the worker's.
const std::string APPEND = "logFileAppend = true\n";

// A stop while the host holds the claim: the call ends, and the response
// says the claim may have reached the carrier (1042, not 1003).
TEST_F(ServiceTest, StopDuringACallEndsIt)
{
    NotifySocket notify(dir.file("notify"));
    TcpPeer host;
    std::atomic<bool> requested{false};
    writeIni("[NETIP]\nmaxProcessingDelay = 60\nconnectionType = tcpip\naddress = \"" + host.address() +
                 "\"\ndataBit = 8\n",
             false, APPEND);
    request("NETIP", "REQ.001", claim(41));

    start(notify.path());
    // A host that takes the request and never answers.
    host.start([&](PeerIo& io) {
        io.readN(9 + 69, 10000);
        requested = true;
        io.drain(15000);
    });
    ASSERT_TRUE(notify.waitFor(READY)) << log();
    ASSERT_TRUE(waitFor([&] { return requested.load(); })) << log();
    signal(SIGTERM);
    EXPECT_EQ(wait(), 0) << log() << dir.read("stderr.txt");
    host.closeConnection();

    EXPECT_EQ(dir.read("NETIP/RSP.001"), "41,1042,001,");
    EXPECT_TRUE(exists("NETIP/_EQ.001"));
    EXPECT_FALSE(exists("activity.dat"));
    notify.drain();
    expectReports(notify.messages, {READY, STOP_PENDING, STOPPED});

    std::string l = log();
    const std::vector<std::string> inOrder = {
        "INFO - QZR service: Starting ... ExeDir='" + dir.path().string() + "' ",
        "INFO - " + versionBanner() + " LINUX",
        "INFO - QZR service: starting main QZR thread",
        "INFO - QZR service: MyService running",
        "INFO - QZR service: Service is running ",
        "INFO - HangAround parameter set to TRUE in service mode",
        "INFO - QZR service: Stop request",
        "INFO - QZR service: MyService stop pending",
        "File:NETIP/REQ.001 processed",
        "INFO - End.",
        "INFO - QZR service: MyService stopped",
        "INFO - QZR service: Leaving Service ",
    };
    ASSERT_TRUE(qzr::test::inOrder(l, inOrder));
}

TEST_F(ServiceTest, ConfigurationSyntaxErrorEndsTheWorkerThreadAtOnce)
{
    NotifySocket notify(dir.file("notify"));
    writeIni("[A1]\nspeed = 300\n[B2]\nspeed = 1200\n", true, APPEND);

    start(notify.path());
    EXPECT_EQ(wait(), 2) << log() << dir.read("stderr.txt");

    std::string l = log();
    // The first syntax error stops the reading and ends the worker's
    // thread: nothing of the worker after it, no clean-up.
    std::size_t error = l.find("1200 2400 9600 14400 19200 38400 57600.");
    ASSERT_NE(error, std::string::npos) << l;
    std::size_t watch = l.find("INFO - QZR service: watchThread main stopped", error);
    ASSERT_NE(watch, std::string::npos) << l;
    EXPECT_NE(l.find("INFO - QZR service: MyService stopped", watch), std::string::npos) << l;
    EXPECT_EQ(l.find("Error reading initialization file"), std::string::npos) << l;
    EXPECT_EQ(l.find("End."), std::string::npos) << l;
    EXPECT_EQ(l.find("B2"), std::string::npos) << l;
    EXPECT_NE(dir.read("stderr.txt").find("QZR Error: "), std::string::npos);
    // The worker never served: systemd never heard it was ready.
    notify.drain();
    EXPECT_EQ(notify.messages, (std::vector<std::string>{STOPPED}));
}

TEST_F(ServiceTest, PauseContinueInterrogateAndUserControlLeaveTheWorkerRunning)
{
    NotifySocket notify(dir.file("notify"));
    writeIni(TEST_NETWORK, true, APPEND);
    linkDevice("com1", "/dev/ptmx");

    start(notify.path());
    ASSERT_TRUE(notify.waitFor(READY));

    signal(SIGTSTP);
    ASSERT_TRUE(notify.waitFor(PAUSED, 1));
    // Paused only in name: the worker serves a request meanwhile.
    std::string c = claim(51);
    request("TEST", "REQ.001", c);
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); })) << log();
    EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 7), "51,0,00");

    signal(SIGCONT);
    ASSERT_TRUE(notify.waitFor(READY, 2));
    signal(SIGUSR1);
    ASSERT_TRUE(notify.waitFor(READY, 3));
    signal(SIGUSR2);
    ASSERT_TRUE(notify.waitFor(READY, 4));
    signal(SIGINT);
    EXPECT_EQ(wait(), 0) << log();

    notify.drain();
    expectReports(notify.messages, {READY, PAUSED, READY, READY, READY, STOP_PENDING, STOPPED});
    std::string l = log();
    const std::vector<std::string> inOrder = {
        "INFO - QZR service: MyService paused",
        "File:TEST/REQ.001 processed",
        "INFO - QZR service: MyService running",
        "INFO - QZR service: MyService running",
        "INFO - QZR service: Unrecognized opcode 128",
        "INFO - QZR service: MyService running",
        "INFO - QZR service: Stop request",
        "INFO - End.",
        "INFO - QZR service: Leaving Service ",
    };
    ASSERT_TRUE(qzr::test::inOrder(l, inOrder));
    EXPECT_EQ(l.find("not running"), std::string::npos) << l;
    EXPECT_FALSE(exists("activity.dat"));
}

TEST_F(ServiceTest, WithoutSystemdTheReportsGoToTheLogOnly)
{
    writeIni(TEST_NETWORK, true, APPEND);
    start("");
    ASSERT_TRUE(waitFor([&] { return logHas("QZR service: Service is running "); })) << log();
    ASSERT_TRUE(waitFor([&] { return exists("activity.dat"); }));
    signal(SIGTERM);
    EXPECT_EQ(wait(), 0) << log();
    EXPECT_TRUE(logHas("INFO - QZR service: Leaving Service ", "INFO - End."));
    EXPECT_FALSE(logHas("SetServiceStatus error"));
}

TEST_F(ServiceTest, UnreachableNotificationSocketIsLoggedAndTheServiceGoesOn)
{
    writeIni(TEST_NETWORK, true, APPEND);
    start(dir.file("nobody-listens"));
    ASSERT_TRUE(waitFor([&] { return logHas("QZR service: Service is running "); })) << log();
    ASSERT_TRUE(waitFor([&] { return exists("activity.dat"); }));
    // The report of ready comes once the worker serves, after the log opened.
    ASSERT_TRUE(waitFor([&] { return logHas("INFO - QZR service: SetServiceStatus error "); })) << log();
    signal(SIGTERM);
    EXPECT_EQ(wait(), 0) << log();
    std::string l = log();
    // The report of running, then those of setState (stop pending, and
    // stopped by the stop and perhaps by the watch thread too).
    EXPECT_EQ(count(l, "INFO - QZR service: SetServiceStatus error "), 1) << l;
    int bySetState = count(l, "ERROR- QZR service: setState SetServiceStatus error ");
    EXPECT_GE(bySetState, 2) << l;
    EXPECT_LE(bySetState, 3) << l;
    EXPECT_TRUE(logHas("INFO - QZR service: Leaving Service ", "INFO - End."));
}

// The service ends with the status on which the unit has systemd start it
// again, under the service's own user: the restart script asks no one.
TEST_F(ServiceTest, InstallationLockEndsTheServiceWithTheRestartStatus)
{
    NotifySocket notify(dir.file("notify"));
    writeIni(TEST_NETWORK, true, APPEND);
    // The stand-in update program announces an installation.
    dir.write("qzrupdate", "#!/bin/sh\ntouch \"$(dirname \"$0\")/qzrinstall.lck\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);

    start(notify.path());
    EXPECT_EQ(wait(20000), qzr::SERVICE_EXIT_RESTART) << log() << dir.read("stderr.txt");

    std::string script = dir.read("$qzrrestart.sh");
    EXPECT_EQ(script.find("systemctl"), std::string::npos) << script;
    EXPECT_NE(script.find("\n# the service manager starts the driver again\n"), std::string::npos) << script;
    EXPECT_TRUE(logHas("INFO - QZR service: watchThread main stopped", "INFO - End."));
    notify.drain();
    EXPECT_EQ(notify.messages, (std::vector<std::string>{READY, STOPPED}));
}

TEST_F(ServiceTest, SecondInstanceInTheSameDirectoryEndsWithStatus2)
{
    NotifySocket notify(dir.file("notify"));
    writeIni(TEST_NETWORK, true, APPEND);
    start(notify.path());
    ASSERT_TRUE(notify.waitFor(READY));
    ASSERT_TRUE(waitFor([&] { return exists("activity.dat"); }));

    // The second worker finds the first instance's record and ends the
    // process at once, its service threads with it.
    other_ = spawn("", "-2");
    ASSERT_GT(other_, 0);
    EXPECT_EQ(waitChild(other_, 15000), 2) << dir.read("stderr-2.txt");
    EXPECT_NE(dir.read("stderr-2.txt").find("QZR is already running in this directory."), std::string::npos)
        << dir.read("stderr-2.txt");

    // The first runs on, and stops as asked.
    EXPECT_TRUE(exists("activity.dat"));
    signal(SIGTERM);
    EXPECT_EQ(wait(), 0) << log();
    EXPECT_FALSE(exists("activity.dat"));
}

// The program itself, as systemd starts it: "qzr -s".
TEST_F(ServiceTest, ProgramRunsAsTheServiceWithSwitchS)
{
    NotifySocket notify(dir.file("notify"));
    writeIni(TEST_NETWORK, true, APPEND);
    linkDevice("com1", "/dev/ptmx");
    ::setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    QzrProcess p(dir.path().string(), {"-s", "-e", dir.path().string()});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(notify.waitFor(READY)) << log() << dir.read("stderr.txt");
    request("TEST", "REQ.001", claim(61));
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); })) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(15000), 0) << log() << dir.read("stderr.txt");
    EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 5), "61,0,");
    EXPECT_FALSE(exists("activity.dat"));
    notify.drain();
    expectReports(notify.messages, {READY, STOP_PENDING, STOPPED});
    EXPECT_TRUE(logHas("INFO - QZR service: Leaving Service ", "INFO - End."));
}

// systemd hears READY=1 only from a driver that has read its configuration
// and serves: a broken or missing qzr.ini, or a qzrsup.ini that ends the
// worker in service mode, ends the start with status 2 and no ready.
TEST_F(ServiceTest, ProgramIsReadyOnlyOnceItsConfigurationWasRead)
{
    const struct {
        const char* name;
        bool iniPresent;
        std::string ini;         // qzr.ini, when present ("": a good one)
        std::string supplement;  // qzrsup.ini ("" for none)
        bool ready;
    } cases[] = {
        {"syntax error in qzr.ini", true, std::string(GENERAL) + "hangAround = yes please\n", "", false},
        {"no qzr.ini", false, "", "", false},
        {"syntax error in qzrsup.ini", true, "", "network begin\n", false},
        {"good qzr.ini", true, "", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(dir.path() / "qzr.ini");
        std::filesystem::remove(dir.path() / "qzrsup.ini");
        std::filesystem::remove(dir.path() / "qzr.log");
        if (c.iniPresent && !c.ini.empty())
            dir.write("qzr.ini", c.ini);
        else if (c.iniPresent)
            writeIni(TEST_NETWORK, true, APPEND);
        if (!c.supplement.empty()) dir.write("qzrsup.ini", c.supplement);

        NotifySocket notify(dir.file("notify-" + std::to_string(&c - cases)));
        ::setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
        QzrProcess p(dir.path().string(), {"-s", "-e", dir.path().string()});
        ::unsetenv("NOTIFY_SOCKET");
        if (c.ready) {
            ASSERT_TRUE(notify.waitFor(READY)) << log() << dir.read("stderr.txt");
            p.signal(SIGTERM);
            EXPECT_EQ(p.wait(15000), 0) << log() << dir.read("stderr.txt");
        } else {
            EXPECT_EQ(p.wait(15000), 2) << log() << dir.read("stderr.txt");
        }
        notify.drain();
        int readies = 0;
        for (const std::string& m : notify.messages) readies += m.find("READY=1") != std::string::npos;
        EXPECT_EQ(readies, c.ready ? 1 : 0) << ::testing::PrintToString(notify.messages);
        ASSERT_FALSE(notify.messages.empty());
        EXPECT_EQ(notify.messages.back(), STOPPED);
    }
}

// A service started beside a driver of the same user and start directory
// name ends at once with status 0 and says why on standard error, for the
// journal; outside service mode it ends as silently as ever.
TEST_F(ServiceTest, ServiceThatFindsItsNameHeldSaysWhy)
{
    const std::string startName = dir.path().filename().string() + "-start";
    std::filesystem::create_directories(dir.path() / startName);
    for (const char* w : {"w1", "w2"}) {
        std::filesystem::create_directories(dir.path() / w);
        dir.write(std::string(w) + "/qzr.ini", std::string(GENERAL) + "hangAround = true\n" + APPEND +
                                                   "[connectScript]\nversion = \"test\"\n" + TEST_NETWORK);
    }
    const std::string start = dir.file(startName), w1 = dir.file("w1"), w2 = dir.file("w2");
    QzrProcess first(w1, {"-s", "-c", w1, "-e", w1}, start);
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.path() / "w1" / "activity.dat"); }))
        << dir.read("w1/qzr.log") << dir.read("w1/stderr.txt");

    for (bool service : {true, false}) {
        SCOPED_TRACE(service ? "service" : "window");
        std::vector<std::string> args = {"-c", w2, "-e", w2};
        if (service) args.insert(args.begin(), "-s");
        QzrProcess second(w2, args, start);
        EXPECT_EQ(second.wait(15000), 0);
        std::string err = dir.read("w2/stderr.txt");
        if (service) {
            EXPECT_EQ(err, "QZR is already running: instance name 'ZAVI Quarzel " + startName +
                               " is running' is held by another driver of this user, not started\n");
        } else {
            EXPECT_EQ(err, "");
        }
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "w2" / "activity.dat"));
    }
    EXPECT_TRUE(first.running());
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(15000), 0) << dir.read("w1/qzr.log");
}

// The second instance's message names the first one's parent even when its
// program cannot be read (another user's process, as the service manager
// is to the service's user): "by process <id>".
TEST_F(ServiceTest, SecondInstanceNamesAnUnreadableParentByItsId)
{
    if (!otherUserCanRunQzr()) GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    writeIni(TEST_NETWORK, true);
    for (const char* d : {"", "s1", "s2"}) {
        std::filesystem::create_directories(dir.path() / d);
        std::filesystem::permissions(dir.path() / d, std::filesystem::perms::all);
    }
    // As nobody, whose parent (this test, root's) shows no program to it;
    // from two start directories, so that the instance name lets both in.
    const std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534",     "--clear-groups",
                                               QZR_BINARY,      "-c",                dir.path().string(),
                                               "-e",            dir.path().string()};
    QzrProcess first(dir.file("s1"), asNobody, dir.file("s1"), SETPRIV);
    ASSERT_TRUE(waitFor([&] { return exists("activity.dat") && logHas("Waiting for request in"); }))
        << log() << dir.read("s1/stderr.txt");
    QzrProcess second(dir.file("s2"), asNobody, dir.file("s2"), SETPRIV);
    EXPECT_EQ(second.wait(15000), 2);
    std::string err = dir.read("s2/stderr.txt");
    EXPECT_NE(err.find(" by process " + std::to_string(::getpid()) + "\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("ERROR GETTING"), std::string::npos) << err;
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(15000), 0) << log();
}

// Closing the terminal of a foreground "qzr -s" hangs it up: a stop like
// SIGTERM, with the whole stop sequence, not the end SIGHUP's default
// action would make. Started with SIGHUP ignored (nohup), it runs on.
TEST_F(ServiceTest, HangUpStopsTheProgramUnlessTheStarterIgnoredIt)
{
    writeIni(TEST_NETWORK, true, APPEND);
    for (bool ignored : {false, true}) {
        SCOPED_TRACE(ignored ? "SIGHUP ignored" : "SIGHUP default");
        std::vector<std::string> args = {"-s", "-e", dir.path().string()};
        if (ignored) args.insert(args.begin(), {"-c", "trap '' HUP; exec \"$0\" \"$@\"", QZR_BINARY});
        QzrProcess p(dir.path().string(), args, "", ignored ? "/bin/sh" : "");
        ASSERT_TRUE(waitFor([&] { return exists("activity.dat"); })) << log();
        ASSERT_TRUE(waitFor([&] { return logHas("QZR service: Service is running "); })) << log();
        p.signal(SIGHUP);
        if (ignored) {
            // An interrogation sent after it is answered, and the hang-up
            // was not taken before it as a stop.
            p.signal(SIGUSR1);
            ASSERT_TRUE(waitFor([&] { return count(log(), "INFO - QZR service: MyService running") == 2; })) << log();
            EXPECT_TRUE(p.running());
            EXPECT_FALSE(logHas("QZR service: Stop request")) << log();
            p.signal(SIGTERM);
        }
        EXPECT_EQ(p.wait(15000), 0) << log() << dir.read("stderr.txt");
        EXPECT_FALSE(exists("activity.dat"));
        EXPECT_TRUE(logHas("INFO - QZR service: Leaving Service ", "INFO - End.")) << log();
        std::filesystem::remove(dir.path() / "qzr.log");
    }
}

// The log of a stopped service ends with the worker's "End.", the watch
// thread's lines and then the leaving line, stop after stop, whichever of
// the stopping signals came (a quit or an alarm is a stop too, never a
// core dump or a silent end).
TEST_F(ServiceTest, LeavingLineIsTheLastOfEveryStop)
{
    writeIni(TEST_NETWORK, true, APPEND);
    const int stops[] = {SIGTERM, SIGQUIT, SIGALRM, SIGINT, SIGTERM, SIGQUIT};
    for (int run = 0; run < 6; ++run) {
        SCOPED_TRACE(run);
        QzrProcess p(dir.path().string(), {"-s", "-e", dir.path().string()});
        ASSERT_TRUE(waitFor([&] { return exists("activity.dat"); })) << log();
        p.signal(stops[run]);
        ASSERT_EQ(p.wait(15000), 0) << log() << dir.read("stderr.txt");
        std::string l = log();
        std::size_t stop = l.rfind("INFO - QZR service: Stop request");
        ASSERT_NE(stop, std::string::npos) << l;
        std::string tail = l.substr(stop);
        EXPECT_TRUE(qzr::test::inOrder(tail, {"INFO - End.", "INFO - QZR service: watchThread main stopped",
                                              "INFO - QZR service: Leaving Service "}));
        EXPECT_EQ(l.substr(l.rfind('\n') + 1).substr(18), "INFO - QZR service: Leaving Service ") << tail;
    }
}

// The shipped unit file, as the source tree holds it.
std::string shippedUnit()
{
    // QZR_TEST_DATA is <top>/tests/shell/data, which need not exist.
    std::ifstream in(std::filesystem::path(QZR_TEST_DATA).parent_path().parent_path().parent_path() /
                     "qzr.service");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs `args` (a program's full path first) with `env` added to the
// environment, its standard output and error into `out`. Returns its exit
// status, or -1.
int runTool(const std::vector<std::string>& args, const std::string& out, const std::vector<std::string>& env = {})
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = env;
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    pid_t pid = -1;
    int r = ::posix_spawn(&pid, all[0].c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char* const ANALYZE = "/usr/bin/systemd-analyze";

// The unit file as systemd reads it: systemd-analyze finds no unknown key,
// bad value or missing program in it (the program and the directory are
// replaced by ones that exist here).
TEST(ServiceUnit, SystemdAcceptsTheUnitFile)
{
    TempDir dir;
    std::string unit = shippedUnit();
    ASSERT_FALSE(unit.empty());
    for (const char* line : {"Type=notify", "KillMode=process", "UMask=0027", "AmbientCapabilities=CAP_LEASE",
                             "CapabilityBoundingSet=CAP_LEASE", "ExecStart=/opt/qzr/qzr -s",
                             "WorkingDirectory=/opt/qzr", "ReadWritePaths=/opt/qzr", "User=qzr", "Group=qzr",
                             "SupplementaryGroups=dialout", "NoNewPrivileges=yes", "ProtectSystem=strict",
                             "ProtectHome=yes", "PrivateTmp=yes", "DevicePolicy=closed", "DeviceAllow=char-ttyS rw",
                             "SystemCallFilter=@system-service", "RestartPreventExitStatus=2"})
        EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;
    // An update's restart is the service manager's, on the driver's status.
    const std::string restart = std::to_string(qzr::SERVICE_EXIT_RESTART);
    EXPECT_NE(unit.find("\nRestartForceExitStatus=" + restart + "\n"), std::string::npos);
    EXPECT_NE(unit.find("\nSuccessExitStatus=" + restart + "\n"), std::string::npos);
    EXPECT_EQ(unit.find("systemctl start"), std::string::npos);
    for (auto [from, to] : {std::pair<std::string, std::string>{"ExecStart=/opt/qzr/qzr", "ExecStart=/bin/true"},
                            {"WorkingDirectory=/opt/qzr", "WorkingDirectory=" + dir.path().string()}}) {
        std::size_t at = unit.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        unit.replace(at, from.size(), to);
    }
    std::string path = dir.write("qzr.service", unit);

    if (::access(ANALYZE, X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
    EXPECT_EQ(runTool({ANALYZE, "verify", path}, dir.file("out.txt")), 0) << dir.read("out.txt");
    EXPECT_EQ(dir.read("out.txt"), "");
}

// The exposure systemd-analyze gives the shipped unit (0 safest, 10 least):
// 4.0 or lower, that is "OK" or better.
TEST(ServiceUnit, SystemdAnalyzeSecurityRatesTheUnitOk)
{
    if (::access(ANALYZE, X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
    TempDir dir;
    std::string path = dir.write("qzr.service", shippedUnit());
    int status = runTool({ANALYZE, "security", "--offline=true", "--no-pager", path}, dir.file("out.txt"));
    std::string out = dir.read("out.txt");
    ASSERT_EQ(status, 0) << out;
    const std::string mark = "Overall exposure level for qzr.service: ";
    std::size_t at = out.find(mark);
    ASSERT_NE(at, std::string::npos) << out;
    double level = std::strtod(out.c_str() + at + mark.size(), nullptr);
    EXPECT_GT(level, 0.0) << out;
    EXPECT_LE(level, 4.0) << out;
}

// `cmake --install` puts each file where the unit and README expect it: the
// program and a sample qzr.ini in /opt/qzr, the unit and the user's file
// under the prefix where systemd looks; the user the unit runs as is the
// one the sysusers file makes; an office's own qzr.ini is never replaced.
TEST(ServiceUnit, InstallPutsEveryFileWhereTheUnitLooks)
{
    TempDir dir;
    const std::string root = dir.file("root");
    auto install = [&] {
        return runTool({QZR_CMAKE, "--install", QZR_BUILD_DIR, "--prefix", "/usr"}, dir.file("install.txt"),
                       {"DESTDIR=" + root});
    };
    ASSERT_EQ(install(), 0) << dir.read("install.txt");
    namespace fs = std::filesystem;
    const fs::path program = fs::path(root) / "opt/qzr/qzr";
    EXPECT_TRUE(fs::is_regular_file(program));
    EXPECT_EQ(::access(program.c_str(), X_OK), 0);
    const std::string sample = dir.read("root/opt/qzr/qzr.ini.sample");
    EXPECT_NE(sample.find("[general]"), std::string::npos);
    EXPECT_EQ(dir.read("root/opt/qzr/qzr.ini"), sample);
    const std::string unit = dir.read("root/usr/lib/systemd/system/qzr.service");
    EXPECT_EQ(unit, shippedUnit());
    const std::string users = dir.read("root/usr/lib/sysusers.d/qzr.conf");
    EXPECT_NE(users.find("\nu qzr - \"Quarzel QZR CDAnet driver\" /opt/qzr -\n"), std::string::npos) << users;

    // The sample is a configuration the installed driver reads.
    fs::create_directories(fs::path(root) / "opt/qzr/CDANET");
    EXPECT_EQ(runTool({program.string(), "-c", root + "/opt/qzr", "-e", root + "/opt/qzr"}, dir.file("run.txt")),
              1)
        << dir.read("run.txt");
    EXPECT_NE(dir.read("root/opt/qzr/qzr.log").find("INFO -   Network 0 CDANET"), std::string::npos)
        << dir.read("root/opt/qzr/qzr.log");

    dir.write("root/opt/qzr/qzr.ini", "; the office's own\n");
    ASSERT_EQ(install(), 0) << dir.read("install.txt");
    EXPECT_EQ(dir.read("root/opt/qzr/qzr.ini"), "; the office's own\n");

    // systemd-sysusers makes the user the unit names, at home in /opt/qzr.
    const char* sysusers = "/usr/bin/systemd-sysusers";
    if (::access(sysusers, X_OK) != 0) GTEST_SKIP() << "systemd-sysusers is not installed";
    fs::create_directories(fs::path(root) / "etc");
    ASSERT_EQ(runTool({sysusers, "--root=" + root, root + "/usr/lib/sysusers.d/qzr.conf"}, dir.file("users.txt")), 0)
        << dir.read("users.txt");
    EXPECT_NE(dir.read("root/etc/passwd").find("qzr:x:"), std::string::npos);
    EXPECT_NE(dir.read("root/etc/passwd").find(":/opt/qzr:"), std::string::npos) << dir.read("root/etc/passwd");
    EXPECT_NE(dir.read("root/etc/group").find("qzr:x:"), std::string::npos);
}

// The handler on its own, with a worker of the test's.

// How many times `what` occurs in `text`.
int occurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size())) ++n;
    return n;
}

std::atomic<bool> workerRelease{false};

// Runs until released, then ends with 7.
int heldWorker(void*)
{
    while (!workerRelease) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 7;
}

// Takes longer than a second to end once told to stop.
int slowWorker(void*)
{
    while (!qzr::terminateRequested) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    return 0;
}

// Ends by a stop message, as the configuration reader's without a window.
int stoppedWorker(void*)
{
    throw qzr::StopThread{0};
}

class ServiceHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qzr::ExeDir = dir.path().string();
        qzr::stopRequested = false;
        qzr::terminateRequested = false;
        qzr::wakeFlag = false;
        ::unsetenv("NOTIFY_SOCKET");
        ASSERT_EQ(qzr::log_open(dir.file("qzr.log").c_str(), false), 0);
        workerRelease = false;
    }
    void TearDown() override
    {
        workerRelease = true;
        qzr::service_reset();
        qzr::serviceWorker = qzr::mainThread;
        qzr::log_close();
        qzr::stopRequested = false;
        qzr::terminateRequested = false;
        qzr::wakeFlag = false;
    }
    std::string log()
    {
        qzr::log_flush();
        return dir.read("qzr.log");
    }
    static std::uint32_t state() { return qzr::service_status().currentState; }

    TempDir dir;
};

TEST_F(ServiceHandlerTest, ServiceMainReportsRunningWithItsRecord)
{
    qzr::serviceWorker = heldWorker;
    qzr::serviceMain(0, nullptr);
    qzr::ServiceStatus s = qzr::service_status();
    EXPECT_EQ(s.serviceType, 0x30u);
    EXPECT_EQ(s.currentState, qzr::SERVICE_RUNNING);
    EXPECT_EQ(s.controlsAccepted, 1u);
    EXPECT_EQ(s.win32ExitCode, 0u);
    EXPECT_EQ(s.checkPoint, 0u);
    EXPECT_EQ(s.waitHint, 0u);
    EXPECT_EQ(qzr::service_workerExitCode(), qzr::STILL_ACTIVE);

    qzr::serviceHandler(qzr::SERVICE_CONTROL_INTERROGATE);
    qzr::serviceHandler(200);
    EXPECT_EQ(state(), qzr::SERVICE_RUNNING);
    std::string l = log();
    EXPECT_NE(l.find("INFO - QZR service: starting main QZR thread"), std::string::npos) << l;
    EXPECT_NE(l.find("INFO - QZR service: Unrecognized opcode 200"), std::string::npos) << l;
    EXPECT_EQ(occurrences(l, "INFO - QZR service: MyService running"), 3) << l;
    EXPECT_EQ(l.find("not running"), std::string::npos) << l;
}

TEST_F(ServiceHandlerTest, WorkerThatEndsByItselfIsReportedStopped)
{
    qzr::serviceWorker = heldWorker;
    qzr::serviceMain(0, nullptr);
    qzr::serviceHandler(qzr::SERVICE_CONTROL_PAUSE);
    EXPECT_EQ(state(), qzr::SERVICE_PAUSED);
    workerRelease = true;
    ASSERT_TRUE(waitFor([] { return state() == qzr::SERVICE_STOPPED; }));
    EXPECT_EQ(qzr::service_workerExitCode(), 7u);
    EXPECT_NE(log().find("INFO - QZR service: watchThread main stopped"), std::string::npos);

    // A continue after the end finds the worker gone.
    qzr::serviceHandler(qzr::SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(state(), qzr::SERVICE_STOPPED);
    std::string l = log();
    EXPECT_EQ(occurrences(l, "INFO - QZR service: The QZR Thread is not running, set service state to stopped "), 1) << l;
    // The flags were never raised: the worker ended on its own.
    EXPECT_FALSE(qzr::terminateRequested);
}

TEST_F(ServiceHandlerTest, StopWaitsUntilTheWorkerHasEnded)
{
    qzr::serviceWorker = slowWorker;
    qzr::serviceMain(0, nullptr);
    qzr::serviceHandler(qzr::SERVICE_CONTROL_STOP);
    // The handler returns only once the worker has returned.
    EXPECT_EQ(qzr::service_workerExitCode(), 0u);
    EXPECT_EQ(state(), qzr::SERVICE_STOPPED);
    EXPECT_TRUE(qzr::stopRequested);
    EXPECT_TRUE(qzr::terminateRequested);
    std::string l = log();
    std::size_t stop = l.find("INFO - QZR service: Stop request");
    std::size_t pending = l.find("INFO - QZR service: MyService stop pending");
    std::size_t leaving = l.find("INFO - QZR service: Leaving Service ");
    ASSERT_NE(stop, std::string::npos) << l;
    ASSERT_NE(pending, std::string::npos) << l;
    ASSERT_NE(leaving, std::string::npos) << l;
    EXPECT_LT(stop, pending);
    EXPECT_LT(pending, leaving);
}

TEST_F(ServiceHandlerTest, StopMessageEndsOnlyTheWorkerThread)
{
    qzr::serviceWorker = stoppedWorker;
    qzr::serviceMain(0, nullptr);
    ASSERT_TRUE(waitFor([] { return state() == qzr::SERVICE_STOPPED; }));
    EXPECT_EQ(qzr::service_workerExitCode(), 0u);
    EXPECT_NE(log().find("INFO - QZR service: watchThread main stopped"), std::string::npos);
}

}  // namespace

namespace {

// A stop that comes while the request is still held open by its writer (the
// worker tries again a second later) starts nothing, in window mode and as
// the service: the writer lets the request go right after the stop, yet
// nothing is sent, no response written, the request stays in place, and the
// next start serves it.
TEST_F(DriverTest, StopWhileTheRequestIsHeldByItsWriterStartsNoCall)
{
    struct Mode {
        const char* name;
        std::vector<std::string> args;
    };
    const Mode modes[] = {
        {"window", args()},
        {"service", {"-s", "-e", dir.path().string()}},
    };
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.name);
        TcpPeer host;
        std::atomic<bool> called{false};
        host.start([&](PeerIo& io) {
            called = true;
            io.readN(9 + 69, 5000);
            io.send(std::string("000011\x01\x01\x20", 9) + "EOB 71 PAID");
        });
        writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() +
                 "\"\ndataBit = 8\n");
        std::filesystem::remove(dir.path() / "NETIP" / "_EQ.001");
        std::filesystem::remove(dir.path() / "NETIP" / "RSP.001");
        request("NETIP", "REQ.001", claim(71));
        int writer = ::open(dir.file("NETIP/REQ.001").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        ::unsetenv("NOTIFY_SOCKET");
        QzrProcess p(dir.path().string(), mode.args);
        ASSERT_TRUE(waitFor([&] { return exists("activity.dat"); })) << log();
        // Between the tries of the open.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        auto signalled = std::chrono::steady_clock::now();
        p.signal(SIGTERM);
        ::close(writer);
        int rc = p.wait(15000);
        long took = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - signalled)
                                          .count());
        EXPECT_EQ(rc, 0) << log();
        EXPECT_LT(took, 3000);
        EXPECT_FALSE(exists("NETIP/RSP.001"));
        EXPECT_FALSE(exists("NETIP/_EQ.001"));
        EXPECT_EQ(dir.read("NETIP/REQ.001"), claim(71) + "\r\n");
        EXPECT_FALSE(called.load());
        EXPECT_EQ(log().find("Seq=71"), std::string::npos) << log();

        // Nothing lost: the next start serves it.
        EXPECT_EQ(run(), 0) << log();
        host.join();
        EXPECT_EQ(dir.read("NETIP/RSP.001"), "71,0,001,EOB 71 PAID");
        EXPECT_TRUE(exists("NETIP/_EQ.001"));
        std::filesystem::remove(dir.path() / "qzr.log");
    }
}

}  // namespace
