// What /proc tells of a process: its state, process group and session; and
// a stand-in program that records these of itself, with where its standard
// descriptors lead.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace qzr::test {

struct ProcStat {
    bool found = false;  // false: no such process (or it was collected)
    char state = '?';    // 'Z' for one that ended and waits to be collected
    pid_t pid = 0;
    pid_t pgrp = 0;
    pid_t session = 0;
};

// Reads a line of /proc/<pid>/stat.
inline ProcStat parseProcStat(const std::string& line)
{
    ProcStat s;
    std::size_t paren = line.rfind(')');
    if (paren == std::string::npos) return s;
    std::istringstream head(line.substr(0, paren));
    std::istringstream tail(line.substr(paren + 1));
    long ppid = 0, pgrp = 0, session = 0, pid = 0;
    head >> pid;
    if (!(tail >> s.state >> ppid >> pgrp >> session)) return s;
    s.found = true;
    s.pid = static_cast<pid_t>(pid);
    s.pgrp = static_cast<pid_t>(pgrp);
    s.session = static_cast<pid_t>(session);
    return s;
}

inline ProcStat procStat(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return {};
    return parseProcStat(line);
}

// The hexadecimal mask of a "Sig...:" line ("SigIgn", "SigBlk") of a text
// of /proc/<pid>/status; all bits set when the line is missing.
inline std::uint64_t signalMask(const std::string& status, const std::string& name)
{
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1), nullptr, 16);
    return ~std::uint64_t{0};
}

// The text of /proc/<pid>/status, or "".
inline std::string procStatus(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bit of `sig` in a signal mask.
inline std::uint64_t signalBit(int sig)
{
    return std::uint64_t{1} << (sig - 1);
}

// A shell script that writes, into "started" beside itself, its own
// /proc/<pid>/stat line and the targets of its descriptors 0, 1 and 2, one a
// line; then prints `noise` on its standard output and error.
inline std::string recordingProgram(const std::string& noise)
{
    return "#!/bin/sh\nd=$(dirname \"$0\")\n"
           "s=$(cat /proc/$$/stat)\nf=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
           "printf '%s\\n%s\\n' \"$s\" \"$f\" > \"$d/started.tmp\"\n"
           "mv \"$d/started.tmp\" \"$d/started\"\n"
           "echo '" + noise + "'\necho '" + noise + "' >&2\n";
}

// The record of `recordingProgram`: its stat and the three targets.
struct StartedRecord {
    ProcStat stat;
    std::string fd[3];
};

inline StartedRecord readStartedRecord(const std::string& text)
{
    StartedRecord r;
    std::istringstream in(text);
    std::string line;
    if (std::getline(in, line)) r.stat = parseProcStat(line);
    for (std::string& fd : r.fd) std::getline(in, fd);
    return r;
}

}  // namespace qzr::test
