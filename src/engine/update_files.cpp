// The update files' paths and the update check handed to the worker.
#include "engine/update_files.h"

#include "foundation/runtime.h"

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

}  // namespace qzr
