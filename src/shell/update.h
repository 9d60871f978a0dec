// The daily check for updates.
//
// Once a day (the time of the last check is the modification time of
// `qzrupdate.lck`, so the rhythm survives restarts), or when asked, the
// driver starts the update program `<ExeDir>/qzrupdate` unless it already
// runs; during the minute after a check it logs the first line of the
// installation status file each time that file changes.
#pragma once

#include "engine/update_files.h"

namespace qzr {

// Runs a check when a day has passed since the last one, or when `force`.
void checkForUpdates(int force);

// Logs the first line of the installation status file when it changed.
void showUpdateStatus();

// Hands the check and the status to the worker (`update_checkHook`,
// `update_statusHook`); called before the worker starts.
void update_handToWorker();

}  // namespace qzr
