// Other programs: finding a running one by name and starting one.
#pragma once

#include <string>
#include <vector>

namespace qzr {

// True when a running process of this process's own user (its real and
// effective user ids both this process's effective one) has a name
// (/proc/<pid>/comm) equal to `name` without regard to letter case: a
// process of another user, whatever its name, is not ours to wait for.
// Processes that cannot be read, and ended ones not yet collected, are
// passed over; ended children of this process are collected first.
bool os_processRunning(const char* name);

// Starts `path` with `args` (args[0] included) without waiting for it. The
// program runs on its own: in a session (and process group) of its own,
// with /dev/null as its standard input, output and error, so that it neither
// draws over the driver's terminal nor reads its keys nor ends when that
// terminal hangs up. It inherits none of the driver's other descriptors (all
// are close-on-exec), nor its blocked or ignored signals.
// Returns 0 or the error number.
int os_spawn(const std::string& path, const std::vector<std::string>& args);

// Collects the programs started by `os_spawn` that have ended, so that none
// is left a zombie; the others are left running. Never blocks.
void os_collectChildren();

}  // namespace qzr
