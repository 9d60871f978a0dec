// Runs a function in a forked child and collects its exit code and what it
// wrote on standard output, so tests can check process-ending paths.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace qzr::test {

struct ChildResult {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string out;
};

template <typename F>
ChildResult runInChild(F&& body)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        // The child never returns into the test program, whatever the body does.
        int code = 0;
        try {
            body();
        } catch (...) {
            code = 125;
        }
        std::fflush(stdout);
        _exit(code);
    }
    close(fds[1]);
    ChildResult r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    return r;
}

}  // namespace qzr::test
