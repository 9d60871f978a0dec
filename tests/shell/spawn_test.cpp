// Programs the driver starts (the update program) begin with a clean signal
// state: nothing blocked, nothing ignored that the driver blocked or ignored;
// they run in a session of their own with /dev/null as standard files, and
// are collected once ended.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <string>
#include <sys/stat.h>

#include "os/os_spawn.h"
#include "support/proc_stat.h"
#include "support/qzr_run.h"
#include "support/temp_dir.h"

TEST(Spawn, StartedProgramInheritsNoBlockedOrIgnoredSignal)
{
    qzr::test::TempDir dir;
    // The program's own masks, read by itself as it was started: the shell
    // forks nothing (it blocks every signal for an instant around a fork)
    // and becomes the cat that reads them.
    dir.write("child", "#!/bin/sh\nexec cat /proc/self/status > \"$0.status\"\n");
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
    // Its last line ends what it wrote.
    ASSERT_TRUE(qzr::test::waitFor(
        [&] { return dir.read("child.status").find("nonvoluntary_ctxt_switches") != std::string::npos; }));
    std::string status = dir.read("child.status");
    std::uint64_t blocked = qzr::test::signalMask(status, "SigBlk");
    std::uint64_t ignored = qzr::test::signalMask(status, "SigIgn");
    EXPECT_EQ(blocked & (qzr::test::signalBit(SIGTERM) | qzr::test::signalBit(SIGUSR1)), 0u) << status;
    EXPECT_EQ(ignored & (qzr::test::signalBit(SIGIO) | qzr::test::signalBit(SIGXFSZ)), 0u) << status;
}

TEST(Spawn, StartedProgramRunsInASessionOfItsOwnAndIsCollected)
{
    qzr::test::TempDir dir;
    dir.write("child", qzr::test::recordingProgram("noise"));
    ::chmod(dir.file("child").c_str(), 0755);

    ASSERT_EQ(qzr::os_spawn(dir.file("child"), {dir.file("child")}), 0);
    ASSERT_TRUE(qzr::test::waitFor([&] { return !dir.read("started").empty(); }));
    qzr::test::StartedRecord r = qzr::test::readStartedRecord(dir.read("started"));
    ASSERT_TRUE(r.stat.found) << dir.read("started");
    // A session and a process group of its own, which it leads.
    EXPECT_EQ(r.stat.session, r.stat.pid);
    EXPECT_EQ(r.stat.pgrp, r.stat.pid);
    EXPECT_NE(r.stat.session, ::getsid(0));
    for (const std::string& fd : r.fd) EXPECT_EQ(fd, "/dev/null");

    // Once it has ended it is collected, not left a zombie.
    ASSERT_TRUE(qzr::test::waitFor([&] { return qzr::test::procStat(r.stat.pid).state == 'Z'; }));
    qzr::os_collectChildren();
    EXPECT_FALSE(qzr::test::procStat(r.stat.pid).found);
}
