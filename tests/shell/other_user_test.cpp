// Another user on the machine (nobody) against the real driver run by root:
// the instance name it cannot fill, the update program it cannot hold back
// nor plant, the activity record it cannot lock, the links it cannot make
// the driver follow, and the files it cannot read or write whatever the
// umask the driver was started with.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver_fixture.h"
#include "os/os_instance.h"
#include "screen_fixture.h"
#include "support/held_child.h"

using namespace qzr;
using namespace qzr::test;
namespace fs = std::filesystem;

namespace {

constexpr unsigned NOBODY = 65534;

// The permission bits of `name`, its link itself when it is one.
unsigned modeOf(const fs::path& name)
{
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) return 07777 + 1;
    return st.st_mode & 07777;
}

// `args` run as nobody through setpriv, in `cwd`.
pid_t startAsNobody(const std::vector<std::string>& args, const std::string& cwd = "/")
{
    std::vector<std::string> all = {SETPRIV, "--reuid=65534", "--regid=65534", "--clear-groups"};
    all.insert(all.end(), args.begin(), args.end());
    return spawnIn(all, cwd, environmentWithout({}));
}

// A process of nobody that connects `count` times to the abstract name
// `name` and keeps every connection open until destroyed. Each connection
// waits a moment for room in the listener's queue; the first that finds
// none ends the filling.
class QueueFiller {
public:
    QueueFiller(const std::string& name, int count) : child_(connectAsNobody(name, count)) {}

    // The connections made and held, -1 when the process could not become nobody.
    int connected() const { return child_.result(); }

private:
    static HeldChild connectAsNobody(const std::string& name, int count)
    {
        sockaddr_un addr;
        const socklen_t len = abstractAddress(name, addr);
        return HeldChild([&] {
            rlimit files{static_cast<rlim_t>(count + 64), static_cast<rlim_t>(count + 64)};
            if (::setrlimit(RLIMIT_NOFILE, &files) != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 ||
                ::setuid(NOBODY) != 0)
                return -1;
            int connected = 0;
            while (connected < count) {
                int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                timeval wait{0, 300000};
                if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait) != 0 ||
                    ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0)
                    break;
                ++connected;
            }
            return connected;
        });
    }

    HeldChild child_;
};

// A running program named qzrupdate (a copy of sleep), of this user or of
// nobody, ended when destroyed.
class ForeignUpdateProgram {
public:
    explicit ForeignUpdateProgram(bool asNobody)
    {
        ::chmod(home_.path().c_str(), 0755);
        fs::copy_file("/usr/bin/sleep", home_.file("qzrupdate"));
        ::chmod(home_.file("qzrupdate").c_str(), 0755);
        std::vector<std::string> args = {home_.file("qzrupdate"), "60"};
        pid_ = asNobody ? startAsNobody(args) : spawnIn(args, "/", environmentWithout({}));
        // Named once setpriv has handed over to it.
        running_ = waitFor([&] { return readComm() == "qzrupdate"; });
    }
    ~ForeignUpdateProgram()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ForeignUpdateProgram(const ForeignUpdateProgram&) = delete;
    ForeignUpdateProgram& operator=(const ForeignUpdateProgram&) = delete;

    bool running() const { return running_; }

private:
    std::string readComm() const
    {
        std::ifstream comm("/proc/" + std::to_string(pid_) + "/comm");
        std::string name;
        std::getline(comm, name);
        return name;
    }

    TempDir home_;
    pid_t pid_ = -1;
    bool running_ = false;
};

class OtherUserTest : public DriverTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
        if (::access(SETPRIV, X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    }
    // The stand-in update program: it notes each start.
    void writeUpdateProgram()
    {
        dir.write("qzrupdate", "#!/bin/sh\necho started >> \"$(dirname \"$0\")/update-ran\"\n");
        ::chmod(dir.file("qzrupdate").c_str(), 0755);
    }
};

}  // namespace

// Newcomers of the driver's user, many more than the holder's queue takes,
// and another user who fills that queue with connections he keeps open: the
// name still answers as held, and a second driver started in a directory of
// the same name ends at once.
TEST_F(OtherUserTest, InstanceNameStaysHeldThroughAFullQueueAndManyProbes)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");
    QzrProcess first(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").size() == 228; })) << log();

    const std::string title = "ZAVI Quarzel " + dir.path().filename().string() + " is running";
    QueueFiller filler(std::to_string(::geteuid()) + "/" + title, 5000);
    EXPECT_EQ(filler.connected(), 5000);
    int heldByUs = 0;
    for (int i = 0; i < 5000; ++i) {
        OsInstanceMutex probe;
        long uid = -1;
        if (os_instanceMutex(title, probe, &uid) == EEXIST && uid == static_cast<long>(::geteuid())) ++heldByUs;
    }
    EXPECT_EQ(heldByUs, 5000);

    TempDir out;  // the newcomer's output; its start directory is the first's
    QzrProcess second(out.path().string(), args(), dir.path().string());
    EXPECT_EQ(second.wait(), 0);
    EXPECT_EQ(out.read("stderr.txt").find("already running"), std::string::npos) << out.read("stderr.txt");
    EXPECT_TRUE(first.running());
    first.signal(SIGINT);
    EXPECT_EQ(first.wait(), 0);
}

// A program named qzrupdate of another user does not keep the driver from
// starting its own; one of the driver's own user still does.
TEST_F(OtherUserTest, UpdateProgramOfAnotherUserDoesNotCountAsRunning)
{
    writeIni(TEST_NETWORK);
    writeUpdateProgram();
    for (bool asNobody : {true, false}) {
        SCOPED_TRACE(asNobody ? "nobody's qzrupdate" : "this user's qzrupdate");
        fs::remove(dir.path() / "qzrupdate.lck");
        fs::remove(dir.path() / "update-ran");
        ForeignUpdateProgram other(asNobody);
        ASSERT_TRUE(other.running());
        EXPECT_EQ(run(), 1);
        std::string l = log();
        EXPECT_NE(l.find("UPDATE: Checking for updates..."), std::string::npos) << l;
        if (asNobody) {
            EXPECT_TRUE(waitFor([&] { return exists("update-ran"); })) << l;
            EXPECT_EQ(l.find("already running"), std::string::npos) << l;
        } else {
            EXPECT_NE(l.find("UPDATE: update program already running."), std::string::npos) << l;
            EXPECT_FALSE(exists("update-ran"));
        }
    }
}

// An update program that another user could have put there, or changed, is
// never started: the log says why; one of this user, closed to others, is.
TEST_F(OtherUserTest, UpdateProgramThatAnotherUserCouldPlantIsRefused)
{
    writeIni(TEST_NETWORK);
    TempDir elsewhere;
    ::chmod(elsewhere.path().c_str(), 0755);
    elsewhere.write("qzrupdate", "#!/bin/sh\necho started >> " + dir.file("update-ran") + "\n");
    ::chmod(elsewhere.file("qzrupdate").c_str(), 0755);
    ASSERT_EQ(::chown(elsewhere.file("qzrupdate").c_str(), NOBODY, NOBODY), 0);
    const std::string program = dir.file("qzrupdate"), home = dir.path().string();
    const std::string refused = "ERROR- UPDATE: Update program " + program + " refused: ";
    struct Case {
        const char* what;
        void (*plant)(const TempDir& dir, const TempDir& elsewhere);
        std::string error;  // "" when it is started
    } cases[] = {
        {"owned by another user",
         [](const TempDir& d, const TempDir&) { ASSERT_EQ(::chown(d.file("qzrupdate").c_str(), NOBODY, 0), 0); },
         refused + program + " belongs to user 65534, neither this user nor root"},
        {"writable by its group", [](const TempDir& d, const TempDir&) { ::chmod(d.file("qzrupdate").c_str(), 0775); },
         refused + program + " is writable by other users"},
        {"writable by others", [](const TempDir& d, const TempDir&) { ::chmod(d.file("qzrupdate").c_str(), 0757); },
         refused + program + " is writable by other users"},
        {"in a directory its group may write", [](const TempDir& d, const TempDir&) { ::chmod(d.path().c_str(), 0770); },
         refused + home + " is writable by other users"},
        {"another user's, in a sticky directory others may write",
         [](const TempDir& d, const TempDir&) {
             ::chmod(d.path().c_str(), 01777);
             ASSERT_EQ(::chown(d.file("qzrupdate").c_str(), NOBODY, NOBODY), 0);
         },
         refused + program + " belongs to user 65534, neither this user nor root"},
        {"a link to another user's program",
         [](const TempDir& d, const TempDir& e) {
             fs::remove(d.file("qzrupdate"));
             fs::create_symlink(e.file("qzrupdate"), d.file("qzrupdate"));
         },
         refused + elsewhere.file("qzrupdate") + " belongs to user 65534, neither this user nor root"},
        {"another user's link to this user's program",
         [](const TempDir& d, const TempDir&) {
             fs::rename(d.file("qzrupdate"), d.file("mine"));
             fs::create_symlink(d.file("mine"), d.file("qzrupdate"));
             ASSERT_EQ(::lchown(d.file("qzrupdate").c_str(), NOBODY, NOBODY), 0);
         },
         refused + program + " belongs to user 65534, neither this user nor root"},
        {"this user's, closed to others", [](const TempDir&, const TempDir&) {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::chmod(dir.path().c_str(), 0700);
        fs::remove(dir.path() / "mine");
        fs::remove(dir.path() / "qzrupdate");
        fs::remove(dir.path() / "qzrupdate.lck");
        fs::remove(dir.path() / "update-ran");
        writeUpdateProgram();
        c.plant(dir, elsewhere);
        EXPECT_EQ(run(), 1);
        std::string l = log();
        if (c.error.empty()) {
            EXPECT_TRUE(waitFor([&] { return exists("update-ran"); })) << l;
            EXPECT_EQ(l.find("refused"), std::string::npos) << l;
        } else {
            EXPECT_NE(l.find(c.error), std::string::npos) << l;
            EXPECT_FALSE(exists("update-ran"));
        }
    }
    ::chmod(dir.path().c_str(), 0700);
}

// Where another user could change the restart script once written (a
// program directory its group may write), none is written; elsewhere it is
// its owner's alone.
TEST_F(OtherUserTest, RestartScriptIsWrittenOnlyWhereNoOtherUserCanChangeIt)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");
    const std::string script = dir.file("$qzrrestart.sh");
    for (unsigned dirMode : {0770u, 0700u}) {
        SCOPED_TRACE(dirMode == 0700 ? "closed directory" : "directory its group may write");
        ::chmod(dir.path().c_str(), dirMode);
        fs::remove(dir.path() / "qzr.log");
        QzrProcess p(dir.path().string(), args());
        // The installation begins once the driver waits for requests.
        ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; })) << log();
        dir.write("qzrinstall.lck", "");
        EXPECT_EQ(p.wait(20000), 1);
        std::string l = log();
        if (dirMode == 0700) {
            EXPECT_NE(l.find("UPDATE: Restart file created: " + script), std::string::npos) << l;
            EXPECT_EQ(modeOf(script), 0700u);
        } else {
            EXPECT_NE(l.find("ERROR- UPDATE: Restart file " + script + " refused: " + dir.path().string() +
                             " is writable by other users"),
                      std::string::npos)
                << l;
            EXPECT_FALSE(exists("$qzrrestart.sh"));
        }
        fs::remove(dir.path() / "qzrinstall.lck");
    }
}

// An installation lock that another user put in the program directory is
// no installation: the driver names it once and goes on serving; the update
// program's own (this user's) ends the run.
TEST_F(OtherUserTest, InstallationLockOfAnotherUserDoesNotStopTheDriver)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; })) << log();
    const std::string lock = dir.file("qzrinstall.lck");
    dir.write("qzrinstall.tmp", "");
    ASSERT_EQ(::chown(dir.file("qzrinstall.tmp").c_str(), NOBODY, NOBODY), 0);
    fs::rename(dir.file("qzrinstall.tmp"), lock);
    const std::string ignored =
        "ERROR- UPDATE: Installation lock " + lock + " ignored: it belongs to user 65534, neither this user nor root";
    ASSERT_TRUE(waitFor([&] { return log().find(ignored) != std::string::npos; })) << log();
    // A lock taken for one would end the run in the same pass.
    EXPECT_TRUE(p.running());
    EXPECT_EQ(log().find("Installation lock present"), std::string::npos) << log();

    // The passes go on until the lock is this user's; it is named once.
    ASSERT_EQ(::chown(lock.c_str(), 0, 0), 0);
    EXPECT_EQ(p.wait(20000), 1);
    std::string l = log();
    EXPECT_NE(l.find("UPDATE: Restart file created"), std::string::npos) << l;
    EXPECT_EQ(count(l, ignored), 1);
}

// An unclean end leaves activity.dat behind: another user can neither read
// nor lock it, whether this version made it or an older one left it open to
// all, and the next start serves.
TEST_F(OtherUserTest, LeftBehindActivityRecordIsNoLockForAnotherUser)
{
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrupdate.lck", "");
    ::chmod(dir.path().c_str(), 0755);
    for (bool leftOpen : {false, true}) {
        SCOPED_TRACE(leftOpen ? "left open to all" : "made by this driver");
        if (leftOpen) {
            dir.write("activity.dat", std::string(228, ' '));
            ::chmod(dir.file("activity.dat").c_str(), 0644);
        }
        {
            QzrProcess killed(dir.path().string(), args());
            ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").size() == 228; })) << log();
            EXPECT_TRUE(waitFor([&] { return modeOf(dir.file("activity.dat")) == 0600u; }));
            killed.signal(SIGKILL);
            EXPECT_EQ(killed.wait(), -1);
        }
        ASSERT_TRUE(exists("activity.dat"));
        EXPECT_EQ(modeOf(dir.file("activity.dat")), 0600u);

        // nobody tries to take the lock and to hold it while the driver starts.
        pid_t locker = startAsNobody({"/usr/bin/flock", "-n", dir.file("activity.dat"), "/usr/bin/sleep", "30"});
        int status = 0;
        bool lockRefused = waitFor([&] { return ::waitpid(locker, &status, WNOHANG) == locker; }, 2000);
        EXPECT_TRUE(lockRefused && WIFEXITED(status) && WEXITSTATUS(status) != 0);

        request("TEST", "REQ.001", claim(1));
        QzrProcess next(dir.path().string(), args());
        EXPECT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); })) << log() << dir.read("stderr.txt");
        EXPECT_TRUE(next.running());
        next.signal(SIGINT);
        EXPECT_EQ(next.wait(), 0);
        if (!lockRefused) {
            EXPECT_EQ(waitExit(locker, 0), -1);  // ended here
        }
        fs::remove_all(dir.path() / "TEST");
    }
}

// A link at the log's name is followed only when it is this user's or
// root's: another user's link in a directory he may write leaves the file
// it points at unchanged, and the log is not opened.
TEST_F(OtherUserTest, LinkOfAnotherUserAtTheLogsNameIsNotFollowed)
{
    ::chmod(dir.path().c_str(), 0755);
    fs::create_directory(dir.path() / "logs");
    ::chmod(dir.file("logs").c_str(), 0777);
    writeIni(TEST_NETWORK, false, "logFile = \"" + dir.file("logs/qzr.log") + "\"\n");
    dir.write("qzrupdate.lck", "");
    const std::string secret = "root's own file\n";
    for (bool nobodysLink : {true, false}) {
        SCOPED_TRACE(nobodysLink ? "nobody's link" : "root's link");
        dir.write("secret", secret);
        ::chmod(dir.file("secret").c_str(), 0600);
        fs::remove(dir.path() / "logs" / "qzr.log");
        if (nobodysLink)
            ASSERT_EQ(waitExit(startAsNobody({"/bin/ln", "-s", dir.file("secret"), dir.file("logs/qzr.log")})), 0);
        else
            fs::create_symlink(dir.file("secret"), dir.file("logs/qzr.log"));
        int rc = run();
        if (nobodysLink) {
            EXPECT_EQ(rc, 2);
            EXPECT_EQ(dir.read("secret"), secret);
            EXPECT_NE(dir.read("stderr.txt").find("cannot open log file " + dir.file("logs/qzr.log")),
                      std::string::npos)
                << dir.read("stderr.txt");
        } else {
            EXPECT_EQ(rc, 1);
            EXPECT_NE(dir.read("secret").find("Quarzel QZR version"), std::string::npos);
        }
    }
}

// A link at a port's device name (devices/com1) is followed only when it is
// this user's or root's: the bytes for the host never go to a device
// another user pointed the driver at.
TEST_F(OtherUserTest, LinkOfAnotherUserAtAPortsNameIsNotFollowed)
{
    writeIni(TEST_NETWORK);
    dir.write("qzrupdate.lck", "");
    for (bool nobodysLink : {true, false}) {
        SCOPED_TRACE(nobodysLink ? "nobody's link" : "root's link");
        fs::remove_all(dir.path() / "devices");
        linkDevice("com1", "/dev/ptmx");
        if (nobodysLink) {
            ASSERT_EQ(::lchown(dir.file("devices/com1").c_str(), NOBODY, NOBODY), 0);
        }
        request("TEST", "REQ.001", claim(1));
        int rc = run();
        std::string response = dir.read("TEST/RSP.001");
        if (nobodysLink) {
            EXPECT_NE(rc, 0);
            EXPECT_NE(response.find(",1051,"), std::string::npos) << response << log();
        } else {
            EXPECT_EQ(rc, 0) << log();
            EXPECT_EQ(response.find(",1051,"), std::string::npos) << response;
        }
        fs::remove_all(dir.path() / "TEST");
    }
}

// Whatever the umask of the starter, the files the driver writes give other
// users no access: the log and the response 0640 (the practice software's
// group reads them), the rest 0600. Files of this user found with more
// access lose it.
TEST_F(OtherUserTest, ModesOfWrittenFilesDoNotDependOnTheUmask)
{
    writeIni(TEST_NETWORK, true, "logFileAppend = true\n");
    linkDevice("com1", "/dev/ptmx");
    struct Case {
        const char* what;
        mode_t umask;
        bool foundOpen;  // the files are there already, open to all
    } cases[] = {{"umask 0", 0, false}, {"umask 022", 022, false}, {"umask 077", 077, false},
                 {"found open to all", 022, true}};
    const std::vector<std::pair<std::string, unsigned>> expected = {
        {"qzr.log", 0640}, {"TEST/RSP.001", 0640}, {"activity.dat", 0600}, {"qzrstat.dat", 0600},
        {"qzrupdate.lck", 0600}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& [name, mode] : expected) fs::remove(dir.path() / name);
        if (c.foundOpen) {
            for (const auto& [name, mode] : expected) {
                if (name == "TEST/RSP.001") continue;  // an answer is always written afresh
                dir.write(name, "");
                ::chmod(dir.file(name).c_str(), 0666);
            }
            // Old enough for a check.
            fs::last_write_time(dir.path() / "qzrupdate.lck", fs::file_time_type::clock::now() - std::chrono::hours(48));
        }
        request("TEST", "REQ.001", claim(1));
        mode_t before = ::umask(c.umask);
        QzrProcess p(dir.path().string(), args());
        ::umask(before);
        ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001") && exists("qzrstat.dat"); })) << log();
        ASSERT_TRUE(waitFor([&] { return exists("qzrupdate.lck") && modeOf(dir.file("qzrupdate.lck")) == 0600u; }))
            << log();
        for (const auto& [name, mode] : expected) EXPECT_EQ(modeOf(dir.file(name)), mode) << name;
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(), 0);
        fs::remove_all(dir.path() / "TEST");
    }
}
