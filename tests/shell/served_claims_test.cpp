// A claim is marked served only once it was sent: the real driver against a
// practice software that writes its next claim under the same name the
// instant it has its answer, one that writes over a request while it is
// served, and one that writes its claims slowly, as another user, while the
// driver runs with and without the right to lease them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delayed_renames.h"
#include "driver_fixture.h"
#include "links/link_peers.h"

using namespace qzr::test;

namespace {

namespace fs = std::filesystem;

// The user the driver runs as where it must not own the requests.
constexpr const char* OTHER_USER = "65534";

// Watches a file or directory with inotify.
class Watch {
public:
    Watch(const std::string& path, std::uint32_t mask)
    {
        fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ >= 0) ok_ = ::inotify_add_watch(fd_, path.c_str(), mask) >= 0;
    }
    ~Watch()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool ok() const { return ok_; }
    // Waits up to `limitMs` for an event on `name` (on the watched file
    // itself when empty); true when one came.
    bool waitFor(const std::string& name, int limitMs)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            alignas(inotify_event) char buf[4096];
            ssize_t n;
            while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
                for (char* p = buf; p < buf + n;) {
                    auto* e = reinterpret_cast<inotify_event*>(p);
                    std::string got = e->len ? std::string(e->name) : std::string();
                    if (got == name) return true;
                    p += sizeof(inotify_event) + e->len;
                }
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd pfd{fd_, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(left.count()));
        }
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

// Writes `text` to `path` as practice software does: open (create or
// empty), write, close. The open waits while the driver holds the file
// leased.
void writeClaim(const std::string& path, const std::string& text)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

// Whether the kernel is breaking a lease on `path`'s file: a writer waits
// for it.
bool leaseBreaking(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    std::string inode = ":" + std::to_string(st.st_ino) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
        if (line.find("LEASE") != std::string::npos && line.find("BREAKING") != std::string::npos &&
            line.find(inode) != std::string::npos)
            return true;
    return false;
}

// The sequence number at the head of a response ("<seq>,<status>,..."), or -1.
int sequenceOf(const std::string& response)
{
    std::size_t comma = response.find(',');
    if (comma == std::string::npos || comma == 0) return -1;
    return std::stoi(response.substr(0, comma));
}

class ServedClaims : public DriverTest {
protected:
    // The driver's arguments, run as OTHER_USER (with CAP_LEASE when
    // `lease`) through setpriv; the working directory is opened to it.
    std::vector<std::string> asOtherUser(bool lease)
    {
        for (const auto& e : fs::recursive_directory_iterator(dir.path()))
            if (e.is_directory()) fs::permissions(e.path(), fs::perms::all);
        fs::permissions(dir.path(), fs::perms::all);
        std::vector<std::string> a = {std::string("--reuid=") + OTHER_USER, std::string("--regid=") + OTHER_USER,
                                      "--clear-groups"};
        if (lease) a.insert(a.end(), {"--inh-caps=+lease", "--ambient-caps=+lease"});
        a.push_back(QZR_BINARY);
        for (const std::string& arg : args()) a.push_back(arg);
        return a;
    }
};

}  // namespace

// The practice software writes its next claim under the same name the
// instant the response appears (and it has read and removed it): every claim
// is answered, in order, none renamed unsent.
TEST_F(ServedClaims, ClaimWrittenTheInstantItsResponseAppearsIsNeverLost)
{
    constexpr int CLAIMS = 20;
    writeIni(TEST_NETWORK, true, "hangupDelay = 60\n");
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    Watch responses(dir.file("TEST"), IN_MOVED_TO | IN_CLOSE_WRITE);
    ASSERT_TRUE(responses.ok());
    const std::string req = dir.file("TEST/REQ.001"), rsp = dir.file("TEST/RSP.001");
    writeClaim(req, claim(1) + "\r\n");

    QzrProcess p(dir.path().string(), args());
    std::vector<int> answered;
    for (int i = 1; i <= CLAIMS; ++i) {
        if (!responses.waitFor("RSP.001", 10000)) break;
        std::string response = dir.read("TEST/RSP.001");
        answered.push_back(sequenceOf(response));
        EXPECT_EQ(response.substr(0, std::to_string(i).size() + 7), std::to_string(i) + ",0,001,");
        ::unlink(rsp.c_str());
        if (i < CLAIMS) writeClaim(req, claim(i + 1) + "\r\n");
    }
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);

    std::vector<int> expected;
    for (int i = 1; i <= CLAIMS; ++i) expected.push_back(i);
    EXPECT_EQ(answered, expected) << log();
    std::string l = log();
    EXPECT_EQ(count(l, "INFO - Writing TEST/RSP.001 status=0"), CLAIMS) << l;
    EXPECT_EQ(dir.read("TEST/_EQ.001"), claim(CLAIMS) + "\r\n");
}

namespace {

struct MidCallCase {
    const char* label;
    bool otherUser;  // the driver runs as another user, without a lease
};

void PrintTo(const MidCallCase& c, std::ostream* os)
{
    *os << c.label;
}

class ClaimWrittenMidCall : public ServedClaims, public ::testing::WithParamInterface<MidCallCase> {};

}  // namespace

// A claim written over the request while its call is under way: the answer
// of the first goes into the response, and the next pass serves the second
// under the name it was written to.
TEST_P(ClaimWrittenMidCall, IsServedByTheNextPass)
{
    const MidCallCase& c = GetParam();
    if (c.otherUser && !otherUserCanRunQzr())
        GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    const std::string req = dir.file("NETIP/REQ.001");
    std::thread writer;
    std::atomic<bool> written{false};
    TcpPeer host;
    host.start([&](PeerIo& io) {
        io.readN(9 + 69, 10000);
        writer = std::thread([&] {
            writeClaim(req, claim(2) + "\r\n");
            written = true;
        });
        // With a lease the writer waits for it; without one, it is done.
        waitFor([&] { return c.otherUser ? written.load() : leaseBreaking(req); }, 5000);
        io.send(std::string("000008\x01\x01\x20", 9) + "ANSWER 1");
        io.readN(9 + 69, 10000);
        io.send(std::string("000008\x01\x01\x20", 9) + "ANSWER 2");
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() + "\"\n",
             true, "hangupDelay = 60\n");
    request("NETIP", "REQ.001", claim(1));
    QzrProcess p(dir.path().string(), c.otherUser ? asOtherUser(false) : args(), "", c.otherUser ? SETPRIV : "");
    EXPECT_TRUE(waitFor([&] { return dir.read("NETIP/RSP.001") == "2,0,001,ANSWER 2"; }, 15000)) << log();
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 5000));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    // The driver gone, the host's reads end.
    host.join();
    if (writer.joinable()) writer.join();

    EXPECT_EQ(dir.read("NETIP/_EQ.001"), claim(2) + "\r\n");
    EXPECT_FALSE(exists("NETIP/REQ.001"));
    std::string l = log();
    EXPECT_EQ(count(l, "INFO - ** WARNING ** NETIP/REQ.001 was written while it was served, left for the next pass"),
              1)
        << l;
    EXPECT_NE(l.find("INFO - Writing NETIP/RSP.001 status=0 len response=8"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Writers, ClaimWrittenMidCall,
                         ::testing::Values(MidCallCase{"WaitingOnTheLease", false},
                                           MidCallCase{"OfAnotherUserWithoutLease", true}),
                         [](const auto& info) { return std::string(info.param.label); });

namespace {

class SlowWriterOfAnotherUser : public ServedClaims, public ::testing::WithParamInterface<bool> {};

}  // namespace

// The practice software, another user, writes a claim in two pieces and the
// driver looks at it in between: with CAP_LEASE the lease is refused while
// the writer has it open; without, the file does not hold still. Either way
// the try fails and the claim is read whole later.
TEST_P(SlowWriterOfAnotherUser, ClaimIsNeverReadHalfWritten)
{
    const bool lease = GetParam();
    if (!otherUserCanRunQzr()) GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    QzrProcess p(dir.path().string(), asOtherUser(lease), "", SETPRIV);
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; })) << log();

    const std::string req = dir.file("TEST/REQ.001");
    const std::string text = claim(1) + "\r\n";
    int fd = ::open(req.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), 30), 30);
    // The driver opens the half-written claim; a moment later the rest comes.
    Watch opened(req, IN_OPEN);
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(opened.waitFor("", 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(::write(fd, text.data() + 30, text.size() - 30), static_cast<ssize_t>(text.size() - 30));
    ::close(fd);

    EXPECT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 8), "1,0,001,") << log();
    EXPECT_EQ(dir.read("TEST/_EQ.001"), text);
    std::string l = log();
    EXPECT_NE(l.find("ERROR- error opening file <TEST/REQ.001> for reading... will retry"), std::string::npos) << l;
    EXPECT_EQ(l.find("1034"), std::string::npos) << l;
    const std::string warning = "INFO - ** WARNING ** Requests in TEST belong to another user and cannot be leased: a "
                                "claim could be read while it is written. Grant the driver CAP_LEASE "
                                "(AmbientCapabilities=CAP_LEASE in qzr.service)";
    EXPECT_EQ(count(l, warning), lease ? 0 : 1) << l;
}

INSTANTIATE_TEST_SUITE_P(Rights, SlowWriterOfAnotherUser, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "WithCapLease" : "WithoutCapLease"); });

namespace {

class TakenTemporaryName : public ServedClaims, public ::testing::WithParamInterface<bool> {};

}  // namespace

// The name a response is first written under is taken, for good: by a
// directory, or by another user's file (the driver runs as a user of its
// own, in a directory open to all, where it could remove that file). Every
// response is written all the same, under another name, and what took the
// name is left alone.
TEST_P(TakenTemporaryName, CostsNoResponse)
{
    const bool othersFile = GetParam();
    if (othersFile && !otherUserCanRunQzr())
        GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    QzrProcess p(dir.path().string(), othersFile ? asOtherUser(false) : args(), "", othersFile ? SETPRIV : "");
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; })) << log();
    const std::string taken = ".qzr" + std::to_string(p.pid()) + ".tmp";
    const fs::path takenPath = dir.path() / "TEST" / taken;
    if (othersFile) {
        fs::permissions(dir.path() / "TEST", fs::perms::all);
        dir.write("TEST/" + taken, "not the driver's");
    } else {
        fs::create_directory(takenPath);
    }

    for (int seq = 1; seq <= 2; ++seq) {
        SCOPED_TRACE(seq);
        const std::string ext = "00" + std::to_string(seq);
        // The claim is written as the driver's user's, then moved in.
        request("staging", "REQ." + ext, claim(seq));
        if (othersFile) {
            ASSERT_EQ(::chown(dir.file("staging/REQ." + ext).c_str(), 65534, 65534), 0);
        }
        fs::rename(dir.path() / "staging" / ("REQ." + ext), dir.path() / "TEST" / ("REQ." + ext));
        EXPECT_TRUE(waitFor([&] { return exists("TEST/_EQ." + ext); }, 10000)) << log();
        EXPECT_EQ(dir.read("TEST/RSP." + ext).substr(0, 8), std::to_string(seq) + ",0," + ext + ",") << log();
    }
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);

    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path() / "TEST")) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{taken, "RSP.001", "RSP.002", "_EQ.001", "_EQ.002"}));
    if (othersFile) {
        EXPECT_EQ(dir.read("TEST/" + taken), "not the driver's");
    } else {
        EXPECT_TRUE(fs::is_directory(takenPath));
    }
    EXPECT_EQ(log().find("1036"), std::string::npos) << log();
}

INSTANTIATE_TEST_SUITE_P(TakenBy, TakenTemporaryName, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "AnotherUsersFile" : "Directory"); });

namespace {

// How practice software puts its next claim in place of the request the
// instant the request's response appears.
enum class Swap {
    RenamedOver,          // written under a name of its own, renamed over the request
    DeletedAndRecreated,  // the request removed, a new file made under its name
};

struct SwapCase {
    const char* label;
    Swap swap;
};

void PrintTo(const SwapCase& c, std::ostream* os)
{
    *os << c.label;
}

void putClaim(Swap swap, const std::string& req, const std::string& text)
{
    if (swap == Swap::RenamedOver) {
        writeClaim(req + ".tmp", text);
        ASSERT_EQ(::rename((req + ".tmp").c_str(), req.c_str()), 0);
    } else {
        ASSERT_EQ(::unlink(req.c_str()), 0);
        writeClaim(req, text);
    }
}

class ClaimSwappedDuringTheRename : public ServedClaims, public ::testing::WithParamInterface<SwapCase> {};

}  // namespace

// The driver's rename of a served request is held back a moment, and the
// practice software puts its next claim under the request's name inside that
// moment (after the driver's last look at it): the claim renamed to the
// processed name is not the one served, and gets its name back. Every claim
// is answered, in order.
TEST_P(ClaimSwappedDuringTheRename, LosesNoClaim)
{
    constexpr int CLAIMS = 4;
    if (::access(STRACE, X_OK) != 0) GTEST_SKIP() << "strace is missing";
    const Swap swap = GetParam().swap;
    writeIni(TEST_NETWORK, true, "hangupDelay = 60\n");
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    Watch responses(dir.file("TEST"), IN_MOVED_TO);
    ASSERT_TRUE(responses.ok());
    const std::string req = dir.file("TEST/REQ.001"), rsp = dir.file("TEST/RSP.001");
    writeClaim(req, claim(1) + "\r\n");

    DelayedRenames p(dir.path().string(), args());
    ASSERT_TRUE(p.started());
    std::vector<int> answered;
    for (int i = 1; i <= CLAIMS; ++i) {
        if (!responses.waitFor("RSP.001", 15000)) break;
        answered.push_back(sequenceOf(dir.read("TEST/RSP.001")));
        ::unlink(rsp.c_str());
        // The driver has looked at its request and is renaming it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (i < CLAIMS) putClaim(swap, req, claim(i + 1) + "\r\n");
    }
    EXPECT_TRUE(waitFor([&] { return !exists("TEST/REQ.001"); }, 5000));
    EXPECT_EQ(p.stop(), 0) << log() << dir.read("stderr.txt");

    std::vector<int> expected;
    for (int i = 1; i <= CLAIMS; ++i) expected.push_back(i);
    EXPECT_EQ(answered, expected) << log();
    std::string l = log();
    EXPECT_EQ(count(l, "INFO - Writing TEST/RSP.001 status=0"), CLAIMS) << l;
    EXPECT_EQ(count(l, "INFO - ** WARNING ** TEST/REQ.001 was written while it was served, left for the next pass"),
              CLAIMS - 1)
        << l;
    EXPECT_EQ(dir.read("TEST/_EQ.001"), claim(CLAIMS) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Practice, ClaimSwappedDuringTheRename,
                         ::testing::Values(SwapCase{"RenamedOver", Swap::RenamedOver},
                                           SwapCase{"DeletedAndRecreated", Swap::DeletedAndRecreated}),
                         [](const auto& info) { return std::string(info.param.label); });

// As above, and a third claim takes the request's name again before the
// second, renamed in the served one's place, can have it back: the second is
// kept under a name of its own and logged, the third is answered.
TEST_F(ServedClaims, ClaimWhoseNameWasTakenAgainIsKept)
{
    if (::access(STRACE, X_OK) != 0) GTEST_SKIP() << "strace is missing";
    writeIni(TEST_NETWORK, true, "hangupDelay = 60\n");
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    Watch renamed(dir.file("TEST"), IN_MOVED_TO);
    ASSERT_TRUE(renamed.ok());
    const std::string req = dir.file("TEST/REQ.001");
    writeClaim(req, claim(1) + "\r\n");

    DelayedRenames p(dir.path().string(), args());
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(renamed.waitFor("RSP.001", 15000)) << log();
    EXPECT_EQ(sequenceOf(dir.read("TEST/RSP.001")), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    putClaim(Swap::RenamedOver, req, claim(2) + "\r\n");
    // The driver renames the second claim; the third is written at once.
    ASSERT_TRUE(renamed.waitFor("_EQ.001", 5000)) << log();
    writeClaim(req, claim(3) + "\r\n");
    EXPECT_TRUE(waitFor([&] { return sequenceOf(dir.read("TEST/RSP.001")) == 3; }, 15000)) << log();
    EXPECT_TRUE(waitFor([&] { return !exists("TEST/REQ.001"); }, 5000));
    EXPECT_EQ(p.stop(), 0);

    EXPECT_EQ(dir.read("TEST/_REQ.001"), claim(2) + "\r\n");
    EXPECT_EQ(dir.read("TEST/_EQ.001"), claim(3) + "\r\n");
    std::string l = log();
    EXPECT_EQ(count(l, "INFO - Writing TEST/RSP.001 status=0"), 2) << l;
    EXPECT_EQ(count(l, "ERROR- A claim written as TEST/REQ.001 while it was served found the name taken again: it "
                       "is kept as TEST/_REQ.001, not sent"),
              1)
        << l;
}

// The practice software holds its claim open across the driver's three tries
// to read it: the driver answers 1033 and leaves the request's name, and a
// later pass serves the finished claim.
TEST_F(ServedClaims, ClaimHeldByItsWriterIsServedByALaterPass)
{
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    fs::create_directories(dir.path() / "TEST");
    QzrProcess p(dir.path().string(), args());
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; })) << log();

    const std::string req = dir.file("TEST/REQ.001");
    const std::string text = claim(7) + "\r\n";
    int fd = ::open(req.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), 30), 30);
    EXPECT_TRUE(waitFor([&] { return dir.read("TEST/RSP.001") == "0,1033,001,"; }, 15000)) << log();
    EXPECT_TRUE(exists("TEST/REQ.001"));
    ASSERT_EQ(::write(fd, text.data() + 30, text.size() - 30), static_cast<ssize_t>(text.size() - 30));
    ::close(fd);

    EXPECT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); }, 15000)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 8), "7,0,001,") << log();
    EXPECT_EQ(dir.read("TEST/_EQ.001"), text);
    std::string l = log();
    EXPECT_EQ(count(l, "INFO - ** WARNING ** TEST/REQ.001 is still being written, left for the next pass"), 1) << l;
    EXPECT_EQ(count(l, "error opening file <TEST/REQ.001> for reading... will retry"), 3) << l;
}

namespace {

// What a writer that changes no claim does while the claim is sent.
enum class Unchanged {
    OpenedReadWrite,     // opens it for reading and writing, closes it
    RefusedNonBlocking,  // tries a non-blocking open for writing, refused
    SameBytesRewritten,  // empties it and writes the same claim again
    HeldReadWrite,       // opens it for reading and writing, holds it `holdMs`, closes it
};

struct UnchangedCase {
    const char* label;
    Unchanged writer;
    bool otherUser;  // the driver runs as another user, without a lease
    int holdMs = 0;  // how long a writer that holds it holds it
};

void PrintTo(const UnchangedCase& c, std::ostream* os)
{
    *os << c.label;
}

class WriterChangingNothing : public ServedClaims, public ::testing::WithParamInterface<UnchangedCase> {};

}  // namespace

// A writer comes for the request while its claim is sent, and leaves the
// same bytes: the claim is marked served, and sent once. One that holds it
// past the marking's wait leaves it for a later pass, which marks it served
// without sending it again; while it still holds it through that pass's
// tries, no error response is written over the answer.
TEST_P(WriterChangingNothing, ClaimIsSentOnce)
{
    const UnchangedCase& c = GetParam();
    if (c.otherUser && !otherUserCanRunQzr())
        GTEST_SKIP() << "setpriv is missing or the program is closed to other users";
    const std::string req = dir.file("NETIP/REQ.001");
    const std::string text = claim(1) + "\r\n";
    std::thread writer;
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    TcpPeer host;
    host.start([&](PeerIo& io) {
        for (;;) {
            if (io.readN(9 + 69, 10000).size() < 9 + 69) break;
            int n = ++sent;
            if (n == 1) {
                writer = std::thread([&] {
                    if (c.writer == Unchanged::OpenedReadWrite || c.writer == Unchanged::HeldReadWrite) {
                        int fd = ::open(req.c_str(), O_RDWR | O_CLOEXEC);
                        std::this_thread::sleep_for(std::chrono::milliseconds(c.holdMs));
                        if (fd >= 0) ::close(fd);
                    } else if (c.writer == Unchanged::RefusedNonBlocking) {
                        int fd = ::open(req.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                        EXPECT_LT(fd, 0);
                        if (fd >= 0) ::close(fd);
                    } else {
                        writeClaim(req, text);
                    }
                    done = true;
                });
                // With a lease the writer waits for it (the refused one is
                // done at once); without one, it is done.
                waitFor([&] { return done.load() || leaseBreaking(req); }, 5000);
            }
            io.send(std::string("000008\x01\x01\x20", 9) + "ANSWER " + std::to_string(n));
        }
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() + "\"\n",
             true, "hangupDelay = 60\n");
    dir.write("NETIP/REQ.001", text);
    QzrProcess p(dir.path().string(), c.otherUser ? asOtherUser(false) : args(), "", c.otherUser ? SETPRIV : "");
    EXPECT_TRUE(waitFor([&] { return exists("NETIP/_EQ.001"); }, 15000 + c.holdMs)) << log();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(10000), 0);
    host.join();
    if (writer.joinable()) writer.join();

    EXPECT_EQ(sent.load(), 1) << log();
    EXPECT_EQ(dir.read("NETIP/RSP.001"), "1,0,001,ANSWER 1");
    EXPECT_EQ(dir.read("NETIP/_EQ.001"), text);
    EXPECT_FALSE(exists("NETIP/REQ.001"));
    std::string l = log();
    EXPECT_EQ(count(l, "Writing NETIP/RSP.001"), 1) << l;
    if (c.holdMs == 0) {
        EXPECT_EQ(l.find("left for the next pass"), std::string::npos) << l;
    } else {
        EXPECT_NE(l.find("INFO - ** WARNING ** NETIP/REQ.001 is still being written, left for the next pass"),
                  std::string::npos)
            << l;
        EXPECT_NE(l.find("INFO - NETIP/REQ.001 holds the claim answered in NETIP/RSP.001: it is marked served, not "
                         "sent again"),
                  std::string::npos)
            << l;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writers, WriterChangingNothing,
    ::testing::Values(UnchangedCase{"OpenedReadWrite", Unchanged::OpenedReadWrite, false},
                      UnchangedCase{"RefusedNonBlocking", Unchanged::RefusedNonBlocking, false},
                      UnchangedCase{"SameBytesRewritten", Unchanged::SameBytesRewritten, false},
                      UnchangedCase{"SameBytesRewrittenWithoutLease", Unchanged::SameBytesRewritten, true},
                      UnchangedCase{"HeldPastTheWait", Unchanged::HeldReadWrite, false, 3000},
                      UnchangedCase{"HeldThroughTheNextTries", Unchanged::HeldReadWrite, false, 7000}),
    [](const auto& info) { return std::string(info.param.label); });
