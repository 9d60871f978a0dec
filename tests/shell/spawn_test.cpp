// Programs the driver starts (the update program) begin with a clean signal
// state: nothing blocked, nothing ignored that the driver blocked or ignored.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "os/os_spawn.h"
#include "support/qzr_run.h"
#include "support/temp_dir.h"

namespace {

// The hexadecimal mask of a "Sig...:" line of /proc/<pid>/status.
std::uint64_t maskOf(const std::string& status, const std::string& name)
{
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1), nullptr, 16);
    return ~std::uint64_t{0};
}

std::uint64_t bit(int sig)
{
    return std::uint64_t{1} << (sig - 1);
}

}  // namespace

TEST(Spawn, StartedProgramInheritsNoBlockedOrIgnoredSignal)
{
    qzr::test::TempDir dir;
    dir.write("child", "#!/bin/sh\ncat /proc/$$/status > \"$(dirname \"$0\")/status.tmp\"\n"
                       "mv \"$(dirname \"$0\")/status.tmp\" \"$(dirname \"$0\")/status\"\n");
    ::chmod(dir.file("child").c_str(), 0755);

    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
    struct sigaction ignore {}, oldIo{}, oldFsz{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGIO, &ignore, &oldIo);
    sigaction(SIGXFSZ, &ignore, &oldFsz);

    int err = qzr::os_spawn(dir.file("child"), {dir.file("child")});

    sigaction(SIGIO, &oldIo, nullptr);
    sigaction(SIGXFSZ, &oldFsz, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    ASSERT_EQ(err, 0);
    ASSERT_TRUE(qzr::test::waitFor([&] { return !dir.read("status").empty(); }));
    std::string status = dir.read("status");
    std::uint64_t blocked = maskOf(status, "SigBlk");
    std::uint64_t ignored = maskOf(status, "SigIgn");
    EXPECT_EQ(blocked & (bit(SIGTERM) | bit(SIGUSR1)), 0u) << status;
    EXPECT_EQ(ignored & (bit(SIGIO) | bit(SIGXFSZ)), 0u) << status;
}
