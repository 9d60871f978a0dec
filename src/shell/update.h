// The daily check for updates.
//
// Once a day (the time of the last check is the modification time of
// `qzrupdate.lck`, so the rhythm survives restarts), or when asked, the
// driver starts the update program `<ExeDir>/qzrupdate` unless it already
// runs; during the minute after a check it logs the first line of the
// installation status file each time that file changes.
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

// Runs a check when a day has passed since the last one, or when `force`.
void checkForUpdates(int force);

// Logs the first line of the installation status file when it changed.
void showUpdateStatus();

// Forgets the remembered times (tests only).
void update_reset();

}  // namespace qzr
