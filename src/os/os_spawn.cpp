// Other programs: the process list from /proc and posix_spawn.
#include "os/os_spawn.h"

#include <cctype>
#include <dirent.h>
#include <fstream>
#include <csignal>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>

extern char** environ;

namespace qzr {

namespace {

// Whether process `pid` has ended and only waits to be collected (state Z).
bool isZombie(const char* pid)
{
    std::ifstream stat(std::string("/proc/") + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    std::size_t paren = line.rfind(')');
    return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] == 'Z';
}

}  // namespace

bool os_processRunning(const char* name)
{
    // Children of ours that have ended are collected first: an ended update
    // program must not count as running.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    DIR* dir = ::opendir("/proc");
    if (!dir) return false;
    bool found = false;
    while (dirent* e = ::readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
        std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
        std::string line;
        if (!std::getline(comm, line)) continue;
        if (::strcasecmp(line.c_str(), name) == 0 && !isZombie(e->d_name)) {
            found = true;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

int os_spawn(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The program starts with no signal blocked and none ignored: the
    // service blocks its controls, and leases and the tests ignore SIGIO
    // and SIGXFSZ, and all of that would otherwise pass through exec.
    posix_spawnattr_t attr;
    if (int err = ::posix_spawnattr_init(&attr); err != 0) return err;
    sigset_t none, defaults;
    ::sigemptyset(&none);
    ::sigemptyset(&defaults);
    for (int sig : {SIGIO, SIGXFSZ, SIGPIPE}) ::sigaddset(&defaults, sig);
    ::posix_spawnattr_setsigmask(&attr, &none);
    ::posix_spawnattr_setsigdefault(&attr, &defaults);
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    int err = ::posix_spawn(&pid, path.c_str(), nullptr, &attr, argv.data(), environ);
    ::posix_spawnattr_destroy(&attr);
    return err;
}

}  // namespace qzr
