// The update files of the program directory, as the main worker forms them
// at its start, and the update check the worker runs at its idle moments.
//
// The check itself (its daily rhythm, the update program, the installation
// status file) belongs to the shell, which hands it to the worker before the
// worker starts; without it the worker checks nothing and shows no
// installation status.
#pragma once

#include <string>

namespace qzr {

// The update files, formed from `ExeDir` at the worker's start.
extern std::string updateLockPath;     // qzrupdate.lck
extern std::string installLockPath;    // qzrinstall.lck
extern std::string installStatusPath;  // qzrinstall.dat
extern std::string restartScriptPath;  // $qzrrestart.sh

// Forms the four paths from `ExeDir`.
void update_formPaths();

// Whether `path` (the update program, or the restart script about to be
// written) can only have been put there or changed by the driver's own
// user or root (os_pathWeakness). When another user could have planted or
// changed it, logs at LOG_ERROR why `what` at `path` is refused, and
// returns false.
bool update_trusted(const std::string& path, const char* what);

// Whether the installation lock is there, put by the driver's own user or
// root (the update program the driver started). One that another user put
// there is no installation: it is named in the log once, and ignored.
bool update_installationLocked();

// The update check (`checkForUpdates`, with its force argument) and the
// installation status (`showUpdateStatus`); null until they are handed over.
extern void (*update_checkHook)(int force);
extern void (*update_statusHook)();

}  // namespace qzr
