// An answer that reached the driver is never lost, and a claim is sent once:
// the real driver against a host on a loopback socket that counts the claims
// it receives, with a network directory the driver cannot write, a full
// file system, an old response that cannot be removed, a driver killed
// during its call, and responses made under any umask.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delayed_renames.h"
#include "driver_fixture.h"
#include "os/os_tcp.h"

using namespace qzr::test;

namespace {

namespace fs = std::filesystem;

constexpr uid_t NOBODY = 65534;
const std::string ANSWER = std::string("000008\x01\x01\x20", 9) + "ANSWER 1";

// A carrier's host on a loopback port that takes any number of calls, one
// after the other, and counts the claims it receives. Before it answers a
// claim it runs `beforeAnswer`; when that returns false the claim is not
// answered (the call hangs until the driver goes).
class ClaimHost {
public:
    ClaimHost()
    {
        listen_ = qzr::os_tcpListenLoopback(&port_);
        if (listen_ < 0) ADD_FAILURE() << "cannot listen on loopback";
        thread_ = std::thread([this] { run(); });
    }
    ~ClaimHost()
    {
        stop_ = true;
        thread_.join();
        if (listen_ >= 0) ::close(listen_);
    }
    ClaimHost(const ClaimHost&) = delete;
    ClaimHost& operator=(const ClaimHost&) = delete;

    std::string network() const
    {
        return "[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"127.0.0.1:" +
               std::to_string(port_) + "\"\n";
    }
    int claims() const { return claims_; }
    void beforeAnswer(std::function<bool()> f)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        beforeAnswer_ = std::move(f);
    }

private:
    // Reads `n` bytes from `fd`; false at the end of the connection or a stop.
    bool readN(int fd, std::string& out, std::size_t n)
    {
        out.clear();
        while (out.size() < n && !stop_) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) return false;
            out.append(buf, static_cast<std::size_t>(got));
        }
        return out.size() == n;
    }
    void serve(int fd)
    {
        std::string head, text;
        while (readN(fd, head, 9)) {
            if (!readN(fd, text, static_cast<std::size_t>(std::stoi(head.substr(0, 6))))) break;
            ++claims_;
            std::function<bool()> f;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                f = beforeAnswer_;
            }
            if (f && !f()) continue;
            (void)!::write(fd, ANSWER.data(), ANSWER.size());
        }
    }
    void run()
    {
        while (!stop_) {
            int fd = qzr::os_tcpAccept(listen_, 50);
            if (fd < 0) continue;
            serve(fd);
            ::close(fd);
        }
    }

    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> claims_{0};
    std::mutex mutex_;
    std::function<bool()> beforeAnswer_;
    std::thread thread_;
};

// A tmpfs of `size` mounted on `dir` for the life of the object.
class SmallFileSystem {
public:
    SmallFileSystem(const fs::path& dir, const char* size) : dir_(dir)
    {
        fs::create_directories(dir);
        std::string options = std::string("size=") + size + ",mode=0755";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
            mounted_ = true;
        else
            error_ = errno;
    }
    ~SmallFileSystem()
    {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    int error() const { return error_; }

private:
    fs::path dir_;
    bool mounted_ = false;
    int error_ = 0;
};

// Writes `path` until the file system holding it is full.
void fillUp(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << path;
    const std::string block(4096, 'F');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    (void)!::write(fd, "F", 1);  // the last bytes of a page
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
}

// A directory with a file in it: no rename or removal can take its name.
void makeUnremovable(const fs::path& at)
{
    fs::create_directories(at);
    std::ofstream(at / "inside") << "x";
}

class Answers : public DriverTest {
protected:
    // setpriv's arguments that run qzr as nobody with `exeDir` as its
    // program directory (the working directory when empty).
    std::vector<std::string> asNobody(const std::string& exeDir = "") const
    {
        std::vector<std::string> a = {"--reuid=65534", "--regid=65534", "--clear-groups", QZR_BINARY,
                                      "-c", dir.path().string(), "-e", exeDir.empty() ? dir.path().string() : exeDir};
        return a;
    }
    std::string keptPath() const { return dir.file("qzrkept.NETIP%2FREQ.001"); }
    // Readies a run whose answer is kept: a driver that runs on, the
    // request NETIP/REQ.001, and its response's name taken by `host` while
    // it answers. Returns that name.
    fs::path keepTheAnswer(ClaimHost& host)
    {
        writeIni(host.network(), true);
        request("NETIP", "REQ.001", claim(1));
        const fs::path rsp = dir.path() / "NETIP" / "RSP.001";
        host.beforeAnswer([rsp] {
            makeUnremovable(rsp);
            return true;
        });
        return rsp;
    }
};

const std::string NOT_WRITABLE = "ERROR- The claim of NETIP/REQ.001 is not sent and keeps its name: its answer "
                                 "cannot be written in NETIP ";

}  // namespace

// The practice software made the network directory, which the driver may
// read but not write: the claim is not sent, whatever the number of starts,
// and the request keeps its name; once the directory may be written, the
// claim is sent once and answered.
TEST_F(Answers, DirectoryTheDriverCannotWriteSendsNothing)
{
    if (!otherUserCanRunQzr()) GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    ClaimHost host;
    writeIni(host.network());
    request("NETIP", "REQ.001", claim(1));
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir.path() / "NETIP", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);

    for (int start = 1; start <= 3; ++start) {
        SCOPED_TRACE(start);
        QzrProcess p(dir.path().string(), asNobody(), "", SETPRIV);
        EXPECT_EQ(p.wait(15000), 1);
        std::string l = log();
        EXPECT_NE(l.find(NOT_WRITABLE + "(errno=13 Permission denied)"), std::string::npos) << l;
        EXPECT_TRUE(exists("NETIP/REQ.001"));
        EXPECT_EQ(host.claims(), 0);
    }

    // Run on: the message is logged once while the directory stays closed,
    // and the pass after it opens sends the claim.
    writeIni(host.network(), true);
    fs::remove(dir.path() / "qzr.log");
    QzrProcess p(dir.path().string(), asNobody(), "", SETPRIV);
    ASSERT_TRUE(waitFor([&] { return log().find(NOT_WRITABLE) != std::string::npos; })) << log();
    // A later pass reads the request again before the directory opens.
    const long long readBefore = p.bytesRead();
    ASSERT_TRUE(waitFor([&] { return p.bytesRead() > readBefore; }));
    fs::permissions(dir.path() / "NETIP", fs::perms::all);
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
    EXPECT_EQ(host.claims(), 1);
    EXPECT_EQ(count(log(), NOT_WRITABLE), 1) << log();
}

// The network directory is a small file system. Full before the call: the
// claim is not sent until room is made, then sent once. Filled during the
// call: the room for the answer was set aside before the claim went out, so
// the answer is written all the same.
TEST_F(Answers, FullFileSystemNeverCostsAnAnswer)
{
    SmallFileSystem small(dir.path() / "NETIP", "256k");
    if (!small.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (errno=" << small.error() << " " << std::strerror(small.error())
                     << ")";
    ClaimHost host;
    writeIni(host.network(), true);
    request("NETIP", "REQ.001", claim(1));
    const std::string filler = dir.file("NETIP/filler");
    fillUp(filler);

    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return log().find(NOT_WRITABLE) != std::string::npos; })) << log();
    EXPECT_NE(log().find(NOT_WRITABLE + "(errno=28 No space left on device)"), std::string::npos) << log();
    EXPECT_EQ(host.claims(), 0);
    EXPECT_TRUE(exists("NETIP/REQ.001"));

    ::unlink(filler.c_str());
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000)) << log();
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
    EXPECT_EQ(host.claims(), 1);

    // The next claim: the disk fills while the host works on it.
    host.beforeAnswer([&] {
        fillUp(filler);
        return true;
    });
    request("NETIP", "REQ.002", claim(2));
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.002"); }, 15000)) << log();
    EXPECT_EQ(dir.read("NETIP/RSP.002"), "2,0,002,ANSWER 1") << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(host.claims(), 2);
    EXPECT_EQ(log().find("1036"), std::string::npos) << log();
}

// An old response that cannot be removed keeps the claim from going out. One
// that appears during the call (the answer cannot be written): the answer is
// kept in the program directory and logged, the request keeps its name and
// is not sent again, by this run or the next, and the first pass that can
// write the response delivers the kept answer and marks the request served.
TEST_F(Answers, AnswerThatCannotBeWrittenIsKeptAndDeliveredLater)
{
    ClaimHost host;
    writeIni(host.network(), true);
    request("NETIP", "REQ.001", claim(1));
    const fs::path rsp = dir.path() / "NETIP" / "RSP.001";
    makeUnremovable(rsp);
    const std::string notRemovable = "ERROR- The claim of NETIP/REQ.001 is not sent and keeps its name: the old "
                                     "response NETIP/RSP.001 cannot be removed (errno=21 Is a directory)";
    {
        // The kept answer is the driver's user's alone whatever the umask.
        const mode_t saved = ::umask(0);
        QzrProcess p(dir.path().string(), args());
        ::umask(saved);
        ASSERT_TRUE(waitFor([&] { return log().find(notRemovable) != std::string::npos; })) << log();
        EXPECT_EQ(host.claims(), 0);

        // The response's name is taken again while the host answers.
        fs::remove_all(rsp);
        host.beforeAnswer([&] {
            makeUnremovable(rsp);
            return true;
        });
        ASSERT_TRUE(waitFor([&] { return exists("qzrkept.NETIP%2FREQ.001"); }, 15000)) << log();
        p.signal(SIGTERM);
        EXPECT_EQ(p.wait(10000), 0);
    }
    std::string l = log();
    EXPECT_NE(l.find("ERROR- The answer to NETIP/REQ.001 cannot be written to NETIP/RSP.001: it is kept in " +
                     keptPath() + " and delivered once it can be; the claim is not sent again"),
              std::string::npos)
        << l;
    EXPECT_NE(l.find("INFO - Answer received len=16 <1,0,001,ANSWER 1>"), std::string::npos) << l;
    EXPECT_TRUE(exists("NETIP/REQ.001"));
    EXPECT_FALSE(exists("NETIP/_EQ.001"));
    EXPECT_EQ(host.claims(), 1);
    struct stat st {};
    ASSERT_EQ(::stat(keptPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // The next run cannot deliver it either, and does not send the claim.
    host.beforeAnswer(nullptr);
    fs::remove(dir.path() / "qzr.log");
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return log().find(notRemovable) != std::string::npos; })) << log();
    EXPECT_EQ(host.claims(), 1);
    fs::remove_all(rsp);
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
    EXPECT_EQ(dir.read("NETIP/_EQ.001"), claim(1) + "\r\n");
    EXPECT_FALSE(exists("qzrkept.NETIP%2FREQ.001"));
    EXPECT_EQ(host.claims(), 1);
    EXPECT_NE(log().find("INFO - The answer kept for NETIP/REQ.001 is delivered to NETIP/RSP.001"), std::string::npos)
        << log();
}

// The practice software puts another claim under the name whose answer is
// kept, and that claim's answer cannot be written either: it is kept beside
// the first, which stays whole, and is delivered to its own claim.
TEST_F(Answers, AnswersOfTwoClaimsUnderOneNameAreBothKept)
{
    ClaimHost host;
    writeIni(host.network(), true);
    request("NETIP", "REQ.001", claim(1));
    const fs::path rsp = dir.path() / "NETIP" / "RSP.001";
    host.beforeAnswer([&] {
        makeUnremovable(rsp);
        return true;
    });
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return exists("qzrkept.NETIP%2FREQ.001"); }, 15000)) << log();

    // The next claim under that name, put in place whole.
    dir.write("NETIP/next.tmp", claim(2) + "\r\n");
    fs::rename(dir.path() / "NETIP" / "next.tmp", dir.path() / "NETIP" / "REQ.001");
    fs::remove_all(rsp);
    ASSERT_TRUE(waitFor([&] { return exists("qzrkept.NETIP%2FREQ.001.1"); }, 15000)) << log();
    EXPECT_EQ(host.claims(), 2);
    EXPECT_NE(dir.read("qzrkept.NETIP%2FREQ.001").find("1,0,001,ANSWER 1"), std::string::npos);
    EXPECT_NE(dir.read("qzrkept.NETIP%2FREQ.001.1").find("2,0,001,ANSWER 1"), std::string::npos);
    // The second claim was served, not taken for the first, whose answer stays.
    EXPECT_NE(log().find("INFO - ** WARNING ** NETIP/REQ.001 holds another claim than the one whose answer is kept "
                         "in " + keptPath() + ": it is served, the kept answer stays"),
              std::string::npos)
        << log();

    // Room again: the second claim gets its own answer, not sent again; the
    // first claim's answer stays kept.
    host.beforeAnswer(nullptr);
    fs::remove_all(rsp);
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "2,0,001,ANSWER 1");
    EXPECT_EQ(dir.read("NETIP/_EQ.001"), claim(2) + "\r\n");
    EXPECT_EQ(host.claims(), 2);
    EXPECT_FALSE(exists("qzrkept.NETIP%2FREQ.001.1"));
    EXPECT_NE(dir.read("qzrkept.NETIP%2FREQ.001").find("1,0,001,ANSWER 1"), std::string::npos);
}

// A kept answer waits while a writer holds the request through a pass's
// tries to read it: the response's name is free again, and no 1033 response
// takes the answer's place; once the writer lets go, the kept answer is
// delivered.
TEST_F(Answers, KeptAnswerIsNotReplacedByAnErrorWhileItsRequestIsHeld)
{
    ClaimHost host;
    const fs::path rsp = keepTheAnswer(host);
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return exists("qzrkept.NETIP%2FREQ.001"); }, 15000)) << log();

    std::atomic<bool> opened{false};
    std::thread writer([&] {
        int fd = ::open(dir.file("NETIP/REQ.001").c_str(), O_RDWR | O_CLOEXEC);
        opened = true;
        std::this_thread::sleep_for(std::chrono::seconds(6));
        if (fd >= 0) ::close(fd);
    });
    ASSERT_TRUE(waitFor([&] { return opened.load(); }, 15000));
    fs::remove_all(rsp);
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 20000)) << log();
    writer.join();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    std::string l = log();
    EXPECT_NE(l.find("INFO - ** WARNING ** NETIP/REQ.001 is still being written, left for the next pass"),
              std::string::npos)
        << l;
    EXPECT_EQ(l.find("status=1033"), std::string::npos) << l;
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
    EXPECT_FALSE(exists("qzrkept.NETIP%2FREQ.001"));
    EXPECT_EQ(host.claims(), 1);
}

// The driver is killed while it marks the request whose kept answer it has
// just delivered (its rename is held a moment): the next start delivers the
// kept answer again and marks the request, and the claim is not sent again.
TEST_F(Answers, KeptAnswerOutlivesAKillDuringItsDelivery)
{
    if (::access(STRACE, X_OK) != 0) GTEST_SKIP() << "strace is missing";
    ClaimHost host;
    const fs::path rsp = keepTheAnswer(host);
    {
        DelayedRenames p(dir.path().string(), args());
        ASSERT_TRUE(p.started());
        ASSERT_TRUE(waitFor([&] { return exists("qzrkept.NETIP%2FREQ.001"); }, 15000)) << log();
        fs::remove_all(rsp);
        ASSERT_TRUE(waitFor([&] { return log().find("is delivered to NETIP/RSP.001") != std::string::npos; }, 15000))
            << log();
        p.stop(SIGKILL);
    }
    EXPECT_TRUE(exists("NETIP/REQ.001"));

    host.beforeAnswer(nullptr);
    fs::remove(dir.path() / "qzr.log");
    QzrProcess p(dir.path().string(), args());
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_NE(log().find("The answer kept for NETIP/REQ.001 is delivered"), std::string::npos) << log();
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1") << log();
    EXPECT_FALSE(exists("qzrkept.NETIP%2FREQ.001"));
    EXPECT_EQ(host.claims(), 1) << log();
}

// An answer that can be neither written nor kept (the program directory is
// closed to the driver): it is in the log, and the run ends with status 2,
// on which the service manager does not start it again to send the claim
// again.
TEST_F(Answers, AnswerThatCannotBeKeptEndsTheRunForGood)
{
    if (!otherUserCanRunQzr()) GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    ClaimHost host;
    writeIni(host.network(), true);
    request("NETIP", "REQ.001", claim(1));
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir.path() / "NETIP", fs::perms::all);
    TempDir program;  // root's, closed to others' writes
    fs::permissions(program.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    const fs::path rsp = dir.path() / "NETIP" / "RSP.001";
    host.beforeAnswer([&] {
        makeUnremovable(rsp);
        return true;
    });

    QzrProcess p(dir.path().string(), asNobody(program.path().string()), "", SETPRIV);
    EXPECT_EQ(p.wait(15000), 2) << log();
    std::string l = log();
    EXPECT_NE(l.find("ERROR- The answer to NETIP/REQ.001 cannot be written to NETIP/RSP.001 nor kept in " +
                     program.file("qzrkept.NETIP%2FREQ.001") + " (errno=13 Permission denied)"),
              std::string::npos)
        << l;
    EXPECT_NE(l.find("INFO - Answer received len=16 <1,0,001,ANSWER 1>"), std::string::npos) << l;
    EXPECT_NE(l.find("ERROR- ****FATAL ERROR**** The answer to NETIP/REQ.001 is in this log only"), std::string::npos)
        << l;
    EXPECT_TRUE(exists("NETIP/REQ.001"));
    EXPECT_EQ(host.claims(), 1);
}

namespace {

// A backup connection that fails before its frame goes out.
struct FailingBackup {
    const char* name;
    const char* section;
    bool responseTaken = false;  // the response's name is taken during the primary's call
};

class BackupAfterASend : public Answers, public ::testing::WithParamInterface<FailingBackup> {};

}  // namespace

// The primary sent the claim and its host never answered; the backup fails
// before it sends (its port cannot be opened, its host refuses the
// connection, the old response cannot be removed). The response, or the
// answer kept, holds the status that says the claim may have reached the
// carrier, not one that says it never did.
TEST_P(BackupAfterASend, LeavesTheStatusOfTheSend)
{
    const FailingBackup& c = GetParam();
    const fs::path rsp = dir.path() / "NETIP" / "RSP.001";
    ClaimHost host;
    host.beforeAnswer([&] {
        if (c.responseTaken) makeUnremovable(rsp);
        return false;
    });
    std::string net = host.network();
    net.replace(net.find("maxProcessingDelay = 10"), 23, "maxProcessingDelay = 1");
    // A port of our own that takes no connection: bound, never listening.
    const int closed = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(closed, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof at;
    ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::getsockname(closed, reinterpret_cast<sockaddr*>(&at), &len), 0);
    std::string backup = c.section;
    if (std::size_t p = backup.find("{port}"); p != std::string::npos)
        backup.replace(p, 6, std::to_string(ntohs(at.sin_port)));
    writeIni(net + "[SECONDARY_NETIP]\n" + backup);
    request("NETIP", "REQ.001", claim(1));
    EXPECT_EQ(run(), 1);
    std::string l = log();
    EXPECT_NE(l.find("Primary connection status=1042, Trying backup connection"), std::string::npos) << l;
    if (c.responseTaken) {
        // The answer is kept, with the status of the send; never 1035.
        EXPECT_TRUE(dir.read(fs::path(keptPath()).filename().string()).ends_with("answer 11\n1,1042,001,")) << l;
        EXPECT_TRUE(exists("NETIP/REQ.001"));
    } else {
        EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,1042,001,") << l;
        EXPECT_TRUE(exists("NETIP/_EQ.001"));
    }
    EXPECT_EQ(host.claims(), 1);
    ::close(closed);
}

INSTANTIATE_TEST_SUITE_P(Answers, BackupAfterASend,
                         ::testing::Values(FailingBackup{"PortMissing", "comdev = \"COM9\"\nspeed = 9600\n"
                                                                        "dataBit = 8\nparity = none\n"},
                                           FailingBackup{"HostRefuses", "connectionType = tcpip\n"
                                                                        "address = \"127.0.0.1:{port}\"\n"},
                                           FailingBackup{"ResponseNameTaken", "comdev = \"COM9\"\nspeed = 9600\n"
                                                                              "dataBit = 8\nparity = none\n", true}),
                         [](const ::testing::TestParamInfo<FailingBackup>& i) { return std::string(i.param.name); });

namespace {

// Whether another claim, before the one cut off in byte order, waits when
// the driver starts again: it is served first.
class ClaimCutOff : public Answers, public ::testing::WithParamInterface<bool> {};

}  // namespace

// The driver is killed while the host holds the claim unanswered: the log
// holds the call's lines up to that instant, and the next start sends the
// claim again with a warning that says it may have reached the carrier,
// and when it was sent, also when other claims are served before it.
TEST_P(ClaimCutOff, IsSentAgainWithAWarning)
{
    const bool anotherFirst = GetParam();
    ClaimHost host;
    host.beforeAnswer([] { return false; });
    writeIni(host.network(), true);
    request("NETIP", "REQ.002", claim(2));
    {
        // The mark is the driver's user's alone whatever the umask.
        const mode_t saved = ::umask(0);
        QzrProcess p(dir.path().string(), args());
        ::umask(saved);
        ASSERT_TRUE(waitFor([&] { return host.claims() == 1; }, 15000)) << log();
        ASSERT_TRUE(waitFor([&] { return log().find("bytes sent, waiting") != std::string::npos; }, 5000));
        p.signal(SIGKILL);
        EXPECT_EQ(p.wait(5000), -1);
    }
    std::string l = log();
    EXPECT_NE(l.find("INFO - NETIP/REQ.002, len=69 Seq=2 CDA-V4"), std::string::npos) << l;
    EXPECT_NE(l.find("INFO -prot. 78 bytes sent, waiting (max=10 sec) for response"), std::string::npos) << l;
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("qzrsend.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(exists("NETIP/REQ.002"));

    host.beforeAnswer(nullptr);
    if (anotherFirst) request("NETIP", "REQ.001", claim(1));
    fs::remove(dir.path() / "qzr.log");
    QzrProcess p(dir.path().string(), args());
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.002"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    l = log();
    const std::regex warning("INFO - \\*\\* WARNING \\*\\* A previous run began to send (NETIP/REQ.00[0-9]) at "
                             "[0-9]{8} [0-9]{2}:[0-9]{2}:[0-9]{2} and ended before it was marked served: the claim may "
                             "have reached the carrier already; it is sent again");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(l, m, warning)) << l;
    EXPECT_EQ(m[1], "NETIP/REQ.002");
    EXPECT_FALSE(std::regex_search(m.suffix().first, l.cend(), warning)) << l;
    EXPECT_EQ(dir.read("NETIP/RSP.002"), "2,0,002,ANSWER 1");
    if (anotherFirst) {
        EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
        EXPECT_LT(l.find("NETIP/REQ.001, len=69"), l.find("NETIP/REQ.002, len=69")) << l;
    }
    EXPECT_EQ(host.claims(), anotherFirst ? 3 : 2);
    EXPECT_FALSE(exists("qzrsend.dat"));
}

INSTANTIATE_TEST_SUITE_P(Answers, ClaimCutOff, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "AfterAnotherClaim" : "Alone");
                         });

namespace {

class ResponseMode : public Answers, public ::testing::WithParamInterface<mode_t> {};

}  // namespace

// Responses hold patients' claims: made 0640 whatever the umask of the one
// who started the driver, answered claims and refused ones alike.
TEST_P(ResponseMode, IsTheSameUnderAnyUmask)
{
    ClaimHost host;
    writeIni(host.network());
    request("NETIP", "REQ.001", claim(1));
    request("NETIP", "REQ.002", "NOT A CLAIM");
    const mode_t saved = ::umask(GetParam());
    EXPECT_EQ(run(), 0);
    EXPECT_NE(run(), 0);  // the refused claim: 1034
    ::umask(saved);
    for (const char* name : {"NETIP/RSP.001", "NETIP/RSP.002"}) {
        SCOPED_TRACE(name);
        struct stat st {};
        ASSERT_EQ(::stat(dir.file(name).c_str(), &st), 0) << log();
        EXPECT_EQ(st.st_mode & 07777, 0640u);
    }
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
    EXPECT_EQ(dir.read("NETIP/RSP.002").substr(0, 8), "-1,1034,");
}

INSTANTIATE_TEST_SUITE_P(Umasks, ResponseMode, ::testing::Values(0000, 0022, 0077),
                         [](const auto& info) { return "Umask0" + std::to_string(info.param / 8 % 8) +
                                                       std::to_string(info.param % 8); });
