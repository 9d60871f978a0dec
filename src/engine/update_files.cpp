// The update files' paths and the update check handed to the worker.
#include "engine/update_files.h"

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "os/os_file.h"

namespace qzr {

std::string updateLockPath;
std::string installLockPath;
std::string installStatusPath;
std::string restartScriptPath;

void (*update_checkHook)(int force) = nullptr;
void (*update_statusHook)() = nullptr;

void update_formPaths()
{
    updateLockPath = ExeDir + "/qzrupdate.lck";
    installLockPath = ExeDir + "/qzrinstall.lck";
    installStatusPath = ExeDir + "/qzrinstall.dat";
    restartScriptPath = ExeDir + "/$qzrrestart.sh";
}

bool update_installationLocked()
{
    static bool foreignTold = false;
    os_fileInfo info;
    if (os_pathInfo(installLockPath.c_str(), false, info) != 0) return false;
    if (info.ownedByUs || info.owner == 0) return true;
    if (!foreignTold)
        log_write(LOG_ERROR, "UPDATE: Installation lock %s ignored: it belongs to user %ld, neither this user nor root",
                  installLockPath.c_str(), info.owner);
    foreignTold = true;
    return false;
}

bool update_trusted(const std::string& path, const char* what)
{
    os_pathCheck check;
    int err = os_pathWeakness(path, check);
    if (err != 0) {
        log_write(LOG_ERROR, "UPDATE: %s %s refused: its path cannot be checked errno=%d", what, path.c_str(), err);
        return false;
    }
    switch (check.weakness) {
    case OS_PATH_FOREIGN:
        log_write(LOG_ERROR, "UPDATE: %s %s refused: %s belongs to user %ld, neither this user nor root", what,
                  path.c_str(), check.where.c_str(), check.owner);
        return false;
    case OS_PATH_WRITABLE:
        log_write(LOG_ERROR, "UPDATE: %s %s refused: %s is writable by other users", what, path.c_str(),
                  check.where.c_str());
        return false;
    default:
        return true;
    }
}

}  // namespace qzr
