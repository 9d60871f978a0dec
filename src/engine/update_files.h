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

// The update check (`checkForUpdates`, with its force argument) and the
// installation status (`showUpdateStatus`); null until they are handed over.
extern void (*update_checkHook)(int force);
extern void (*update_statusHook)();

}  // namespace qzr
