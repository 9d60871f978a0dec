// What the driver learns about its own process and computer from Linux.
//
// The computer's name and the program that started the driver go into the
// activity record; the file-size limit lets tests make a write fail the way a
// full disk does; the standard files are made sure of before the driver
// opens anything.
#pragma once

#include <string>

namespace qzr {

// The computer's name (gethostname), cut to `maxLen` characters; "" when it
// cannot be had.
std::string os_hostName(std::size_t maxLen);

// The id of this process.
int os_processId();

// The id of this process's parent.
int os_parentPid();

// Whether a process of id `pid` exists (it may belong to another user).
bool os_processExists(int pid);

// The path of the program that process `pid` runs (readlink of
// /proc/<pid>/exe). Returns 0 and the path, or the error number.
int os_programPath(int pid, std::string& path);

// Makes sure that the standard input, output and error (descriptors 0, 1
// and 2) are open: each one that is closed is opened on /dev/null, so that
// no file the driver opens later takes its number and receives what is
// printed. Returns 0, or the error number when /dev/null cannot be opened.
int os_standardFilesOpen();

// Limits the size of every file this process writes to `bytes`; a write past
// it fails with EFBIG instead of ending the process (SIGXFSZ is ignored).
// Returns 0 or the error number. Tests use it to stand for a full disk.
int os_setFileSizeLimit(long bytes);

}  // namespace qzr
