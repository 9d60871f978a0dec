// Runs of the real qzr binary on a terminal: a tmux server of the test's
// own (its socket in the test's directory) with one 100 x 30 window, whose
// screen the test reads and into which it types. When the driver ends, the
// window shows "[exit N]" and the terminal's settings (stty -a) and stays.
//
// The drivers run each from a directory of its own, so they take their
// instance mutex as a user's driver does.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/qzr_run.h"
#include "support/temp_dir.h"

namespace qzr::test {

// The environment of the test without the variables named.
inline std::vector<std::string> environmentWithout(const std::vector<std::string>& names)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool dropped = false;
        for (const auto& n : names)
            if (entry.compare(0, n.size() + 1, n + "=") == 0) dropped = true;
        if (!dropped) env.push_back(entry);
    }
    return env;
}

// Starts `args` (args[0] the program, searched in PATH) in `cwd` with `env`,
// standard input from /dev/null, standard output to `out` (or /dev/null, or
// the descriptor `outFd`) and standard error to `err` (or /dev/null); or,
// with `ttyFd`, all three on that terminal. Returns its pid, or -1.
inline pid_t spawnIn(const std::vector<std::string>& args, const std::string& cwd, const std::vector<std::string>& env,
                     const std::string& out = "/dev/null", const std::string& err = "/dev/null", int outFd = -1,
                     int ttyFd = -1)
{
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (ttyFd >= 0) {
        for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_adddup2(&fa, ttyFd, fd);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (outFd >= 0)
            posix_spawn_file_actions_adddup2(&fa, outFd, 1);
        else
            posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

// Waits up to `limitMs` for `pid` to end; its exit code, or -1 (then it is
// killed).
inline int waitExit(pid_t pid, int limitMs = 20000)
{
    if (pid <= 0) return -1;
    int status = 0;
    bool done = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limitMs);
    if (!done) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The text quoted for the shell.
inline std::string shellQuoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs qzr with `args` in `cwd` and `env`, its standard input, output and
// error on a pseudo-terminal of its own; keeps every byte it sent there in
// `output`. Returns its exit code, or -1 when it did not end within
// `limitMs` (it is then killed).
inline int runOnPty(const std::vector<std::string>& args, const std::string& cwd, const std::vector<std::string>& env,
                    std::string& output, int limitMs = 15000)
{
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    std::vector<std::string> all = {QZR_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    pid_t pid = spawnIn(all, cwd, env, "", "", -1, slave);
    ::close(slave);
    int code = -1;
    if (pid > 0) {
        auto drain = [&](int waitMs) {
            pollfd p{master, POLLIN, 0};
            char buf[4096];
            while (::poll(&p, 1, waitMs) > 0) {
                ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0) break;
                output.append(buf, static_cast<std::size_t>(n));
                waitMs = 0;
            }
        };
        int status = 0;
        bool ended = waitFor(
            [&] {
                drain(10);
                return ::waitpid(pid, &status, WNOHANG) == pid;
            },
            limitMs);
        if (ended) {
            drain(0);
            code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    ::close(master);
    return code;
}

class Terminal {
public:
    static constexpr int COLUMNS = 100;
    static constexpr int ROWS = 30;

    explicit Terminal(const TempDir& dir) : socket_(dir.file("tmux.sock")) {}
    ~Terminal() { tmux({"kill-server"}); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Runs qzr with `args` in `cwd`; `env` (assignments such as "TERM=dumb")
    // and `wrapper` (a program such as "nohup") come before it.
    bool start(const std::string& cwd, const std::vector<std::string>& args, const std::string& env = "",
               const std::string& wrapper = "")
    {
        std::string command = "env " + env + " " + wrapper + " " + shellQuoted(QZR_BINARY);
        for (const auto& a : args) command += " " + shellQuoted(a);
        command += "; echo \"[exit $?]\"; stty -a; exec sleep 600";
        return tmux({"-f", "/dev/null", "new-session", "-d", "-x", std::to_string(COLUMNS), "-y",
                     std::to_string(ROWS), "-c", cwd, command})
                   .first == 0;
    }

    // The screen as text, one line per row (with `attributes`, with the
    // escape sequences of the characters' attributes).
    std::string screen(bool attributes = false) const
    {
        std::vector<std::string> args = {"capture-pane", "-p"};
        if (attributes) args.push_back("-e");
        return tmux(args).second;
    }
    std::vector<std::string> rows(bool attributes = false) const
    {
        std::vector<std::string> out;
        std::istringstream in(screen(attributes));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        out.resize(ROWS);
        return out;
    }
    std::string row(int n) const { return rows()[static_cast<std::size_t>(n)]; }

    // Types keys, with tmux's names ("M-f", "Enter", "F10", "C-c", "x").
    void keys(const std::vector<std::string>& names) const
    {
        std::vector<std::string> args = {"send-keys"};
        args.insert(args.end(), names.begin(), names.end());
        tmux(args);
    }

    // A format of tmux about the window ("#{alternate_on}").
    std::string format(const std::string& f) const
    {
        std::string s = tmux({"display-message", "-p", f}).second;
        while (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }

    // Waits until the screen holds `text`.
    bool shows(const std::string& text, int limitMs = 10000) const
    {
        return waitFor([&] { return screen().find(text) != std::string::npos; }, limitMs);
    }
    // Waits until the screen no longer holds `text`.
    bool hides(const std::string& text, int limitMs = 10000) const
    {
        return waitFor([&] { return screen().find(text) == std::string::npos; }, limitMs);
    }

    // Waits for the driver's end; its exit code, or -1.
    int exitCode(int limitMs = 15000) const
    {
        int code = -1;
        waitFor(
            [&] {
                std::string s = screen();
                std::size_t at = s.find("[exit ");
                if (at == std::string::npos) return false;
                code = static_cast<int>(std::strtol(s.c_str() + at + 6, nullptr, 10));
                return true;
            },
            limitMs);
        return code;
    }

    // After the end: the terminal is back in its line mode, with echo, out
    // of the alternate screen and with a cursor.
    void expectRestored() const
    {
        EXPECT_TRUE(shows(" icanon ", 5000)) << screen();
        std::string s = screen();
        EXPECT_EQ(s.find("-icanon"), std::string::npos) << s;
        EXPECT_EQ(s.find("-echo "), std::string::npos) << s;
        EXPECT_EQ(s.find("-isig"), std::string::npos) << s;
        EXPECT_NE(s.find(" echo "), std::string::npos) << s;
        EXPECT_NE(s.find(" icrnl "), std::string::npos) << s;
        EXPECT_EQ(format("#{alternate_on}"), "0");
        EXPECT_EQ(format("#{cursor_flag}"), "1");
    }

    // Gives the window another size.
    void resize(int columns, int rows) const
    {
        tmux({"resize-window", "-x", std::to_string(columns), "-y", std::to_string(rows)});
    }

    // Takes the terminal away (the driver's terminal hangs up).
    void hangUp() const { tmux({"kill-server"}); }

    // The pid of the driver (the child of the window's shell), or -1.
    pid_t driverPid() const
    {
        std::string shell = format("#{pane_pid}");
        std::ifstream children("/proc/" + shell + "/task/" + shell + "/children");
        pid_t pid = -1;
        if (!(children >> pid)) return -1;
        return pid;
    }

private:
    std::pair<int, std::string> tmux(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"tmux", "-u", "-S", socket_});
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return {-1, ""};
        pid_t pid = spawnIn(args, "", environmentWithout({"TMUX", "TMUX_PANE"}), "", "/dev/null", fds[1]);
        ::close(fds[1]);
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
        int status = 0;
        if (pid > 0) ::waitpid(pid, &status, 0);
        return {pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    std::string socket_;
};

}  // namespace qzr::test
