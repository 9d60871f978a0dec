// Other programs: the process list from /proc and posix_spawn.
#include "os/os_spawn.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qzr {

namespace {

// The programs started and not yet collected.
std::vector<pid_t> started;

// Whether process `pid` has ended and only waits to be collected (state Z).
bool isZombie(const char* pid)
{
    std::ifstream stat(std::string("/proc/") + pid + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    std::size_t paren = line.rfind(')');
    return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] == 'Z';
}

// Whether process `pid` runs as this process's user: its real and
// effective user ids (/proc/<pid>/status) are both this process's
// effective one.
bool ofOurUser(const char* pid)
{
    std::ifstream status(std::string("/proc/") + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (!line.starts_with("Uid:")) continue;
        std::istringstream ids(line.substr(4));
        long real = -1, effective = -1;
        ids >> real >> effective;
        const long us = static_cast<long>(::geteuid());
        return real == us && effective == us;
    }
    return false;
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
        if (::strcasecmp(line.c_str(), name) == 0 && ofOurUser(e->d_name) && !isZombie(e->d_name)) {
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
    ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_t files;
    if (int err = ::posix_spawn_file_actions_init(&files); err != 0) {
        ::posix_spawnattr_destroy(&attr);
        return err;
    }
    ::posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int err = ::posix_spawn(&pid, path.c_str(), &files, &attr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&files);
    ::posix_spawnattr_destroy(&attr);
    if (err == 0) started.push_back(pid);
    return err;
}

void os_collectChildren()
{
    std::erase_if(started, [](pid_t pid) {
        pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    });
}

}  // namespace qzr
