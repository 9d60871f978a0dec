// Activity record: the file's layout, the heartbeat and idle writes, and the
// one-instance-per-directory rule, checked with real second processes.
//
// A second instance is this test program started again (posix_spawn of
// /proc/self/exe) running only ActivityChild.DISABLED_Instance, which opens
// the record in the directory it is given; its exit code is the real one.
#include "foundation/activity.h"

#include "foundation/log.h"
#include "foundation/runtime.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace qzr {
namespace {

namespace fs = std::filesystem;

std::string makeTempDir()
{
    std::string tmpl = (fs::temp_directory_path() / "qzr-activity-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return buf.data();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ChildResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs ActivityChild.DISABLED_Instance in a new process with `vars` added to
// its environment; waits for it.
ChildResult runInstance(const std::string& scratch, const std::vector<std::string>& vars)
{
    std::vector<std::string> args = {"/proc/self/exe", "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=ActivityChild.DISABLED_Instance"};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), vars.begin(), vars.end());

    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string outPath = scratch + "/child.out", errPath = scratch + "/child.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ChildResult r;
    pid_t pid = 0;
    int rc = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return r;
    int st = 0;
    if (waitpid(pid, &st, 0) == pid && WIFEXITED(st)) r.exitCode = WEXITSTATUS(st);
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

class Activity : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = makeTempDir();
        scratch = makeTempDir();
        ASSERT_FALSE(dir.empty());
        ASSERT_FALSE(scratch.empty());
        activity_reset();
        CurDir = dir;
        debugTrace = false;
    }
    void TearDown() override
    {
        activity_reset();
        log_close();
        debugTrace = false;
        CurDir.clear();
        std::error_code ec;
        fs::remove_all(dir, ec);
        fs::remove_all(scratch, ec);
    }
    std::string recordFile() const { return readFile(dir + "/activity.dat"); }

    std::string dir, scratch;
};

std::string field(const std::string& rec, std::size_t off, std::size_t len)
{
    return rec.substr(off, len);
}

TEST_F(Activity, FirstWriteLaysOutTheRecord)
{
    activity_update();
    std::string rec = recordFile();
    ASSERT_EQ(rec.size(), 228u);
    EXPECT_EQ(rec[0], 'A');
    EXPECT_EQ(rec[1], ' ');
    EXPECT_EQ(field(rec, 2, 32), std::string(31, ' ') + '\0');
    EXPECT_EQ(field(rec, 34, 32), std::string(31, ' ') + '\0');
    EXPECT_EQ(field(rec, 66, 5), std::string("   0") + '\0');

    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string computer = std::string(host).substr(0, 15);
    EXPECT_EQ(std::string(rec.c_str() + 71), computer);
    EXPECT_EQ(rec[71 + computer.size()], '\0');

    std::string start(rec.c_str() + 87);
    EXPECT_TRUE(std::regex_match(start, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << start;
    EXPECT_EQ(rec[106], '\0');

    std::string parent = fs::read_symlink("/proc/" + std::to_string(getppid()) + "/exe").string();
    EXPECT_EQ(std::string(rec.c_str() + 107), parent.substr(0, 120));
    EXPECT_EQ(rec[227], '\0');
}

TEST_F(Activity, FieldsAreCutToTheirWidth)
{
    activity_update();
    activity_setState(ACT_START);
    activity_setNetwork("ANETWORKNAMEMUCHLONGERTHANTHIRTYONECHARACTERS");
    activity_setFile("REQ.001");
    activity_setStatus(1034);
    activity_update();
    std::string rec = recordFile();
    ASSERT_EQ(rec.size(), 228u);
    EXPECT_EQ(rec[0], 'B');
    EXPECT_EQ(field(rec, 2, 32), std::string("ANETWORKNAMEMUCHLONGERTHANTHIRT") + '\0');
    EXPECT_EQ(field(rec, 34, 32), "REQ.001" + std::string(24, ' ') + '\0');
    EXPECT_EQ(field(rec, 66, 5), std::string("1034") + '\0');
    // The static fields stay those of the first write.
    EXPECT_EQ(rec[87 + 4], '-');
}

TEST_F(Activity, IdleRecordIsWrittenOncePerIdlePeriod)
{
    activity_update();  // the first write is idle
    std::string path = dir + "/activity.dat";
    // Spoil the file: a second idle call must not write it again.
    {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "Z", 1, 0), 1);
        close(fd);
    }
    activity_update();
    activity_update();
    EXPECT_EQ(recordFile()[0], 'Z');

    activity_setState(ACT_START);
    activity_update();
    EXPECT_EQ(recordFile()[0], 'B');

    // A new idle period writes once again.
    activity_setState(ACT_IDLE);
    activity_update();
    std::string rec = recordFile();
    EXPECT_EQ(rec[0], 'A');
    EXPECT_EQ(rec[1], ' ');
    {
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "Z", 1, 0), 1);
        close(fd);
    }
    activity_update();
    EXPECT_EQ(recordFile()[0], 'Z');
}

TEST_F(Activity, HeartbeatRunsThroughPrintablesAndBackToBlank)
{
    activity_update();
    activity_setState(ACT_SEND);
    for (int expected = 0x21; expected <= 0x7F; ++expected) {
        activity_update();
        ASSERT_EQ(static_cast<unsigned char>(recordFile()[1]), expected);
    }
    activity_update();
    EXPECT_EQ(recordFile()[1], ' ');
    activity_update();
    EXPECT_EQ(recordFile()[1], '!');
}

TEST_F(Activity, DebugTraceLogsTheRecordRightAligned)
{
    std::string logPath = scratch + "/trace.log";
    ASSERT_EQ(log_open(logPath.c_str(), false), 0);
    debugTrace = true;
    activity_update();
    log_close();
    std::string log = readFile(logPath);
    // The record's text ends at the zero after the network field: 33 characters.
    std::string expected = "INFO - Activity: " + std::string(228 - 33, ' ') + "A " + std::string(31, ' ');
    EXPECT_NE(log.find(expected), std::string::npos) << log;
}

TEST_F(Activity, CloseDeletesTheRecord)
{
    activity_update();
    ASSERT_TRUE(fs::exists(dir + "/activity.dat"));
    activity_close();
    EXPECT_FALSE(fs::exists(dir + "/activity.dat"));
    // The directory is free again for a new instance.
    ChildResult r = runInstance(scratch, {"QZR_ACTIVITY_DIR=" + dir});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_F(Activity, SecondInstanceInTheSameDirectoryIsRefused)
{
    activity_update();
    std::string before = recordFile();
    ASSERT_EQ(before.size(), 228u);

    ChildResult r = runInstance(scratch, {"QZR_ACTIVITY_DIR=" + dir});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;

    // The box goes to standard error without a window, with the first
    // instance's computer, start time and parent program.
    std::string computer(before.c_str() + 71), start(before.c_str() + 87), parent(before.c_str() + 107);
    EXPECT_NE(r.err.find("Configuration QZR non valide/ Invalid QZR configuration: "
                         "QZR is already running in this directory.\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("This computer: .*  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n")))
        << r.err;
    EXPECT_NE(r.err.find("Running on: " + computer + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Directory: " + dir + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Started: " + start + " by " + parent + "\n"), std::string::npos) << r.err;

    // The first instance's record is untouched, and it goes on writing.
    EXPECT_EQ(recordFile(), before);
    activity_setState(ACT_START);
    activity_update();
    EXPECT_EQ(recordFile()[0], 'B');
}

TEST_F(Activity, InstanceInAnotherDirectoryRunsAndInheritsNoLock)
{
    activity_update();
    std::string other = makeTempDir();
    ChildResult r = runInstance(scratch, {"QZR_ACTIVITY_DIR=" + other,
                                          "QZR_ACTIVITY_FOREIGN=" + dir + "/activity.dat"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    std::string rec = readFile(other + "/activity.dat");
    EXPECT_EQ(rec.size(), 228u);
    EXPECT_EQ(rec[0], 'A');
    std::error_code ec;
    fs::remove_all(other, ec);
}

TEST_F(Activity, DisabledRecordIsHeldEmptyAndStillExcludes)
{
    activityEnabled = false;
    activity_update();
    activity_setState(ACT_START);
    activity_update();
    ASSERT_TRUE(fs::exists(dir + "/activity.dat"));
    EXPECT_EQ(fs::file_size(dir + "/activity.dat"), 0u);

    ChildResult r = runInstance(scratch, {"QZR_ACTIVITY_DIR=" + dir});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_EQ(fs::file_size(dir + "/activity.dat"), 0u);
}

TEST_F(Activity, StaleRecordOfAnEndedInstanceIsReplaced)
{
    {
        std::ofstream out(dir + "/activity.dat", std::ios::binary);
        out << std::string(300, 'x');
    }
    activity_update();
    std::string rec = recordFile();
    ASSERT_EQ(rec.size(), 228u);
    EXPECT_EQ(rec[0], 'A');
}

// The second instance: opens the record in $QZR_ACTIVITY_DIR. When
// $QZR_ACTIVITY_FOREIGN names a file, no descriptor of this process may
// refer to it (descriptors are not inherited across exec).
TEST(ActivityChild, DISABLED_Instance)
{
    const char* d = std::getenv("QZR_ACTIVITY_DIR");
    ASSERT_NE(d, nullptr);
    CurDir = d;
    activity_update();
    if (const char* foreign = std::getenv("QZR_ACTIVITY_FOREIGN")) {
        for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            auto target = fs::read_symlink(e.path(), ec);
            if (!ec) {
                EXPECT_NE(target.string(), foreign);
            }
        }
    }
}

}  // namespace
}  // namespace qzr
