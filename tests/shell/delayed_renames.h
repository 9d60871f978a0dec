// The real driver run under strace with every rename it makes held a
// moment at its start: the window between the driver's last look at a file
// and its rename, wide enough for a test to act in.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/types.h>

#include "support/qzr_run.h"

namespace qzr::test {

constexpr const char* STRACE = "/usr/bin/strace";
// Microseconds every rename of the driver is held at its start: the window
// between the driver's last look at the request and its rename.
constexpr const char* RENAME_DELAY_US = "300000";

// The pid of the child of `parent` that runs the driver, or -1 (strace
// starts children of its own to learn what the kernel offers).
inline pid_t driverChildOf(pid_t parent)
{
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    for (pid_t child; children >> child;) {
        std::ifstream cmdline("/proc/" + std::to_string(child) + "/cmdline");
        std::string program;
        if (std::getline(cmdline, program, '\0') && program == QZR_BINARY) return child;
    }
    return -1;
}

// The driver run under strace, every rename it makes held RENAME_DELAY_US at
// its start; a stop goes to the driver itself, and strace ends with it.
class DelayedRenames {
public:
    DelayedRenames(const std::string& dir, const std::vector<std::string>& args)
        : tracer_(dir, straceArgs(args), "", STRACE)
    {
        waitFor([&] { return (driver_ = driverChildOf(tracer_.pid())) > 0; }, 5000);
    }
    ~DelayedRenames()
    {
        if (driver_ > 0 && !stopped_) ::kill(driver_, SIGKILL);
    }
    DelayedRenames(const DelayedRenames&) = delete;
    DelayedRenames& operator=(const DelayedRenames&) = delete;

    bool started() const { return driver_ > 0; }
    // Stops the driver with `sig` (SIGTERM, or SIGKILL for a run cut
    // short); returns its tracer's exit code (the driver's own).
    int stop(int sig = SIGTERM)
    {
        if (driver_ > 0) ::kill(driver_, sig);
        stopped_ = true;
        return tracer_.wait(10000);
    }

private:
    static std::vector<std::string> straceArgs(const std::vector<std::string>& args)
    {
        const std::string calls = "rename,renameat,renameat2";
        std::vector<std::string> a = {"-f", "-qq", "-o", "/dev/null", "-e", "trace=" + calls,
                                      "-e", "inject=" + calls + ":delay_enter=" + RENAME_DELAY_US};
        // The leak check of a sanitized build cannot run under a tracer.
        const char* asan = std::getenv("ASAN_OPTIONS");
        a.insert(a.end(), {"-E", std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "detect_leaks=0"});
        a.push_back(QZR_BINARY);
        a.insert(a.end(), args.begin(), args.end());
        return a;
    }

    QzrProcess tracer_;
    pid_t driver_ = -1;
    bool stopped_ = false;
};

}  // namespace qzr::test
