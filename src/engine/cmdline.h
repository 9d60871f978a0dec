// The command line and the three locations of the run.
//
// `parseCommandLine` runs before anything else: it fixes `CurDir` (the
// working directory, also the process's current directory), `ExeDir` (the
// program directory), `Inifile` (the configuration file) and the option
// flags, and keeps the arguments for the restart script. Both directories
// are absolute: a relative -c is entered from where the process stands when
// it is read, a relative -e is taken from the directory the driver was
// started in (whatever -c did); a relative -i stays as it is, relative to
// the working directory.
#pragma once

#include <string>
#include <vector>

namespace qzr {

extern std::string Inifile;
extern bool optDebug;      // -d
extern bool optVerbose;    // -v
extern bool serviceMode;   // -s
extern bool exitDisabled;  // -x
extern bool usageShown;    // -h: the usage text was shown
// The arguments as given (argv[0] included), kept once the line is accepted.
extern std::vector<std::string> g_argv;

// Reads the command line. Returns 0 when it is accepted; 1001 when it is
// refused or the usage text was shown (-h). A refusal is reported as the
// stop message 299, which ends the calling thread (StopThread) when there is
// no window. The directories are settled by the first call only.
int parseCommandLine(int argc, char** argv);

// Whether the command line asks for service mode (-s), read as
// `parseCommandLine` reads its switches but changing nothing (the values
// of -c, -e and -i are skipped). For the entry, before the line is read.
bool cmdline_asksForService(int argc, char** argv);

// The usage text of -h.
extern const char* const usageText;

}  // namespace qzr
