// Other programs: finding a running one by name and starting one.
#pragma once

#include <string>
#include <vector>

namespace qzr {

// True when a running process's name (/proc/<pid>/comm) equals `name`
// without regard to letter case. Processes that cannot be read, and ended
// ones not yet collected, are passed over; ended children of this process
// are collected first.
bool os_processRunning(const char* name);

// Starts `path` with `args` (args[0] included) without waiting for it; the
// child does not inherit the driver's descriptors (all are close-on-exec),
// nor its blocked or ignored signals.
// Returns 0 or the error number.
int os_spawn(const std::string& path, const std::vector<std::string>& args);

}  // namespace qzr
