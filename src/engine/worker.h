// The main worker: the driver's one long-running loop.
//
// It reads the configuration, opens the log, prepares the update files and
// the Test menu, then polls the network directories. Each pass serves at
// most one request (search, open with writers denied, header check,
// redirection, transaction, response, renaming), keeps a link up for the
// hang-up delay after a success, checks for updates when idle, and ends on a
// stop, after the first pass without `hangAround`, or when an update is being
// installed. A request is renamed only after its response was written, so a
// driver stopped at any moment serves it again at its next start.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "config/config.h"

namespace qzr {

extern bool transactionBusy;             // from serving a request until its link is released
extern bool testInProgress;              // a network test runs: requests wait
extern bool installationStop;            // the worker ended for an update's installation
// Slots 1 to 3: the networks of the Test menu (slot 0 unused), and their texts.
extern std::array<NetworkDef*, 4> testNetTable;
extern std::array<std::string, 4> testMenuText;
// Called once per run when the worker begins to serve: its configuration
// read, its log open, its networks listed (none: nothing is called). The
// service tells the service manager it is ready here.
extern void (*worker_servingHook)();

// Runs the worker. Returns 2 when the configuration has errors or the log
// cannot be opened; otherwise the status of the last pass (1001 when it
// found no request).
int mainThread(void* unused);

// Hangs up and disconnects a kept link, deletes activity.dat.
void cleanup();

// The process has one port: hangs up and disconnects every network of
// `networkTable` other than `keep` (null: every one) whose port is open,
// whether its link is still kept or was hung up with the port left open
// (disconnectAfterTX false), and leaves it no connection in use.
void worker_releaseOpenPorts(NetworkDef* keep);

// The arguments after the program name as the restart script passes them:
// each quoted for the shell, with " " before it; the value of -c is the
// working directory's full path (`CurDir`), the values of -e and -i stay as
// given.
std::string worker_restartArguments(const std::vector<std::string>& argv);

// The directory of the network `networkName` in the working directory: the
// name compared without regard to letter case, the first in byte order that
// is a directory; "" when there is none.
std::string worker_findDirectory(const std::string& networkName);

// The first request file of `dir` for `inputName` (names "<inputName>.*",
// compared without regard to letter case, the first in byte order that is a
// regular file and whose name holds no control character), or "".
std::string worker_findRequest(const std::string& dir, const std::string& inputName);

}  // namespace qzr
