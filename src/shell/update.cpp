// The update check: the lock file's time, the daily rhythm, the process scan
// and the start of the update program.
#include "shell/update.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "os/os_file.h"
#include "os/os_spawn.h"

namespace qzr {

namespace {

std::int64_t lastCheck = 0;
std::int64_t lastStatusTime = 0;

}  // namespace

void update_handToWorker()
{
    update_checkHook = checkForUpdates;
    update_statusHook = showUpdateStatus;
}

void checkForUpdates(int force)
{
    std::string program = ExeDir + "/qzrupdate";
    std::int64_t now = std::time(nullptr);

    if (lastCheck <= 0) {
        os_fileInfo info;
        if (os_pathInfo(updateLockPath.c_str(), true, info) != 0) {
            log_write(LOG_DEBUG, "UPDATE: Update lock file '%s' not found", updateLockPath.c_str());
            lastCheck = 0;
        } else {
            lastCheck = info.mtime;
        }
    }
    std::int64_t elapsed = now - lastCheck;
    if (elapsed < 60) {
        showUpdateStatus();
        if (!force) return;
    } else if (elapsed <= 86400 && !force) {
        return;
    }

    lastCheck = now;
    // A link there is not followed: refused like a file that cannot be made.
    OsFd lock;
    const int how = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_TRUNCATE | OS_OPEN_NARROW;
    if (os_fileOpen(updateLockPath.c_str(), how, 0600, lock) != 0)
        log_write(LOG_ERROR, "UPDATE: Error creating update Lock file '%s'", updateLockPath.c_str());
    lock.reset();
    log_write(LOG_INFO, "UPDATE: Checking for updates...");
    if (os_processRunning("qzrupdate")) {
        log_write(LOG_INFO, "UPDATE: update program already running.");
        return;
    }
    // A program that another user could have put there would run as this one.
    if (!update_trusted(program, "Update program")) return;
    if (int err = os_spawn(program, {program}); err != 0)
        log_write(LOG_ERROR, "UPDATE: Error starting update process %s errno=%d", program.c_str(), err);
}

void showUpdateStatus()
{
    os_fileInfo info;
    if (os_pathInfo(installStatusPath.c_str(), true, info) != 0) return;
    // Nanoseconds too, so that two changes within one second are both seen.
    std::int64_t mtime = info.mtime * 1000000000 + info.mtimeNsec;
    if (mtime == lastStatusTime) return;
    lastStatusTime = mtime;
    std::FILE* f = nullptr;
    if (os_fileOpenStream(installStatusPath.c_str(), OS_OPEN_READ | OS_OPEN_FOLLOW, 0, "r", f) == 0) {
        char line[126] = {};
        if (!std::fgets(line, sizeof line, f)) line[0] = '\0';
        // The update program's text; the line feed that ends it stays.
        std::string_view text = line;
        const bool ended = !text.empty() && text.back() == '\n';
        if (ended) text.remove_suffix(1);
        log_write(LOG_INFO, "UPDATE:[[%s%s]]", log_foreign(text).c_str(), ended ? "\n" : "");
        std::fclose(f);
    }
}

}  // namespace qzr
