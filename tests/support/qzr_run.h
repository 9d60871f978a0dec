// Runs the real qzr binary on a working directory of a test, with standard
// output and error kept in files there, and waits for it within a limit.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace qzr::test {

class QzrProcess {
public:
    // Starts qzr with `args` (after the program name) in the directory
    // `start` (`dir` when empty), output in <dir>/stdout.txt and
    // <dir>/stderr.txt. The start directory names the instance, so runs
    // started from their own directories never meet. `program`, when given,
    // is run instead (a shell that starts qzr in its own way). With
    // `closedStandardFiles`, qzr starts with its standard input, output and
    // error closed instead (as a careless starter leaves them).
    QzrProcess(const std::string& dir, const std::vector<std::string>& args, const std::string& start = "",
               const std::string& program = "", bool closedStandardFiles = false)
    {
        std::vector<std::string> all = {program.empty() ? QZR_BINARY : program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (closedStandardFiles) {
            for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&fa, fd);
        } else {
            posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&fa, 1, (dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
            posix_spawn_file_actions_addopen(&fa, 2, (dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        }
        posix_spawn_file_actions_addchdir_np(&fa, (start.empty() ? dir : start).c_str());
        if (posix_spawn(&pid_, all[0].c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~QzrProcess()
    {
        if (pid_ > 0 && !done_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    QzrProcess(const QzrProcess&) = delete;
    QzrProcess& operator=(const QzrProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const { ::kill(pid_, sig); }

    // The exit code, or -1 when the process did not exit normally within
    // `limitMs` (it is then killed).
    int wait(int limitMs = 30000)
    {
        if (pid_ <= 0) return -1;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                done_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                done_ = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // The bytes the process has read so far by read calls (files, lines,
    // sockets), from /proc; -1 when that cannot be read.
    long long bytesRead() const
    {
        std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
        std::string key;
        long long value = 0;
        while (io >> key >> value) {
            if (key == "rchar:") return value;
        }
        return -1;
    }
    bool running()
    {
        if (done_) return false;
        int status;
        return ::waitpid(pid_, &status, WNOHANG) == 0;
    }

private:
    pid_t pid_ = -1;
    bool done_ = false;
};

// Polls `cond` every 10 ms for at most `limitMs`; returns its last value.
template <typename F>
bool waitFor(F&& cond, int limitMs = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace qzr::test
