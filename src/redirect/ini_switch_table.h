// The redirection file reader (qzrredir.dat).
//
//   file  : version = "text" rule*
//   rule  : redirect to "NET" groups = offices and carriers = carriers
//         | do not redirect groups = offices and carriers = carriers
//   list  : all | "text" { , "text" }
//
// Keywords are matched in any letter case; every text taken from the file is
// upper-cased. An office has exactly 4 characters and a carrier exactly 6;
// others are dropped (an office with a message in the log). A syntax error is
// reported as toolbox message 202, which carries the stop flag: with a main
// window the reading goes on, without one it ends the worker thread. A word
// that begins no rule ends the reading silently.
#pragma once

#include <string>

#include "foundation/tbx_hash.h"
#include "foundation/tbx_pars.h"

namespace qzr {

// Token ids of the redirection file's keywords.
enum : int {
    SWT_VERSION = 606,
    SWT_TO = 607,
    SWT_DO = 608,
    SWT_NOT = 609,
    SWT_ALL = 610,
    SWT_AND = 611,
    SWT_GROUPS = 612,
    SWT_CARRIERS = 613,
    SWT_REDIRECT = 614,
};

extern tbx_hash ruleGroups;       // 70 slots: the offices of the rule being read

// The version text of the file, upper-cased; empty until a file was read.
extern std::string g_version;

// Reads the redirection file at `path` into the switch tables, which the
// caller has created. Returns 0, or 1001 (STS_ERROR) when this reading
// reported a syntax error.
int readSwitchFile(const char* path);

// Puts an office into ruleGroups. Returns 1 when it is there, 0 when it was
// refused (not exactly 4 characters: logged at LOG_ERROR).
int addGroup(const char* office);

}  // namespace qzr
