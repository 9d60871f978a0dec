// Other programs: the process list from /proc and posix_spawn.
#include "os/os_spawn.h"

#include <cctype>
#include <dirent.h>
#include <fstream>
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
    pid_t pid;
    return ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
}

}  // namespace qzr
