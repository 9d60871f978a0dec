// The activity record in activity.dat: one instance per working directory.
//
// The first update opens activity.dat without truncating it and takes an
// exclusive lock; only once the lock is held is the file emptied and
// written. A refused lock means another instance runs here: its record is
// read, reported, and the process ends with exit code 2. The descriptor is
// opened close-on-exec, so a program the driver starts never inherits the
// lock. The record is always rewritten whole at offset 0. A symbolic link
// named activity.dat is never followed, for writing or for reading. The
// file is the driver's user's alone (0600, whatever the umask; one left
// with more access loses it), so no other user can open it and hold the
// lock that keeps the next driver out.
#include "foundation/activity.h"

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/tbx_msg.h"
#include "os/os_file.h"
#include "os/os_lock.h"
#include "os/os_proc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace qzr {

ActivityRec activityRec{};
bool activityEnabled = true;

namespace {

// The open, locked activity.dat, or none. Never destroyed: a thread may
// still write the record while the process ends.
OsFd& activityFd = *new OsFd;
bool firstWrite = true;    // the static fields are not filled yet
bool idleWritten = false;  // the last write was an idle record

std::string activityPath()
{
    if (CurDir.empty()) return "activity.dat";
    return CurDir + "/activity.dat";
}

// "YYYY-MM-DD HH:MM:SS" of the local time `t`.
void formatTime(std::time_t t, char* buf, std::size_t size)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    if (std::strftime(buf, size, "%Y-%m-%d %H:%M:%S", &tm) == 0 && size > 0) buf[0] = '\0';
}

// A text field of a record read from the file: up to its zero byte, never
// past the field, whatever the file held.
std::string fieldText(const char* field, std::size_t size)
{
    return std::string(field, strnlen(field, size));
}

// A text field of another process's record, as a message may show it.
std::string foreignField(const char* field, std::size_t size)
{
    return log_foreign(fieldText(field, size));
}

// Another instance holds activity.dat: report its record and end the process.
[[noreturn]] void refuseSecondInstance(const std::string& path)
{
    char now[ACTIVITY_TIME_SIZE];
    formatTime(std::time(nullptr), now, sizeof now);
    std::string computer = os_hostName(ACTIVITY_COMPUTER_SIZE - 1);

    ActivityRec other{};
    if (OsFd fd; os_fileOpen(path.c_str(), OS_OPEN_READ, 0, fd) == 0) {
        long n = os_readAt(fd.get(), &other, sizeof other, 0);
        if (n < static_cast<long>(sizeof other)) other = ActivityRec{};
    }

    std::string msg = "QZR is already running in this directory.\n";
    msg += "This computer: " + computer + "  " + now + "\n";
    msg += "Running on: " + foreignField(other.computer, sizeof other.computer) + "\n";
    msg += "Directory: " + CurDir + "\n";
    msg += "Started: " + foreignField(other.startTime, sizeof other.startTime) + " by " +
           foreignField(other.parentPath, sizeof other.parentPath);

    log_write(LOG_ERROR, "%s", msg.c_str());
    log_close();
    showConfigError(msg.c_str());
    std::exit(2);
}

// Opens and locks activity.dat, then empties it. Ends the process when
// another instance holds it (or the file cannot be opened at all: a
// symbolic link there is not followed, and counts as such a file).
void openActivityFile()
{
    std::string path = activityPath();
    OsFd fd;
    // A lock that no other user can take: one left behind by an unclean end
    // with more access loses it.
    if (os_fileOpen(path.c_str(), OS_OPEN_READ | OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_NARROW, 0600, fd) != 0)
        refuseSecondInstance(path);
    if (os_lockExclusive(fd.get()) != 0) {
        fd.reset();
        refuseSecondInstance(path);
    }
    if (os_fileTruncate(fd.get(), 0) != 0) {
        // The record is rewritten whole at offset 0 all the same.
    }
    activityFd = std::move(fd);
}

// The static fields of the first write: start time, parent program, computer.
void fillFirstRecord()
{
    char startTime[ACTIVITY_TIME_SIZE];
    formatTime(std::time(nullptr), startTime, sizeof startTime);
    std::snprintf(activityRec.startTime, sizeof activityRec.startTime, "%s", startTime);

    int ppid = os_parentPid();
    std::string parent;
    int err = os_programPath(ppid, parent);
    if (err != 0) {
        // A parent of another user (the service manager, say) does not
        // show its program: it is named by its id.
        char text[ACTIVITY_PARENT_SIZE];
        std::snprintf(text, sizeof text, "process %i", ppid);
        parent = text;
    }
    std::snprintf(activityRec.parentPath, sizeof activityRec.parentPath, "%.120s", parent.c_str());

    std::string computer = os_hostName(ACTIVITY_COMPUTER_SIZE - 1);
    std::snprintf(activityRec.computer, sizeof activityRec.computer, "%s", computer.c_str());

    activityRec.state = ACT_IDLE;
    activityRec.heartbeat = ' ';
    activity_setNetwork(" ");
    activity_setFile(" ");
    activity_setStatus(0);
}

}  // namespace

void activity_update()
{
    if (activityRec.state == ACT_IDLE && idleWritten) return;

    if (!activityFd.valid()) openActivityFile();
    if (!activityEnabled) return;

    if (firstWrite) {
        fillFirstRecord();
        firstWrite = false;
    } else {
        // The heartbeat runs through 0x21 .. 0x7F and back to the blank.
        int hb = static_cast<unsigned char>(activityRec.heartbeat) + 1;
        activityRec.heartbeat = static_cast<char>(hb > 0x7F ? ' ' : hb);
    }

    if (activityRec.state == ACT_IDLE) {
        activityRec.heartbeat = ' ';
        idleWritten = true;
    } else {
        idleWritten = false;
    }

    if (debugTrace) {
        std::string text = fieldText(reinterpret_cast<const char*>(&activityRec), sizeof activityRec);
        log_write(LOG_INFO, "Activity: %*s", static_cast<int>(ACTIVITY_REC_SIZE), text.c_str());
    }

    if (os_writeAt(activityFd.get(), &activityRec, sizeof activityRec, 0) < 0) {
        // The record is best effort: the next update writes it again.
    }
}

void (*activity_sendHook)() = nullptr;

void activity_setState(char letter)
{
    if (letter == ACT_SEND && activity_sendHook) activity_sendHook();
    activityRec.state = letter;
}

void activity_setNetwork(const char* name)
{
    std::snprintf(activityRec.network, sizeof activityRec.network, "%-31.31s", name ? name : "");
}

void activity_setFile(const char* name)
{
    std::snprintf(activityRec.file, sizeof activityRec.file, "%-31.31s", name ? name : "");
}

void activity_setStatus(int status)
{
    char text[16];
    std::snprintf(text, sizeof text, "%4d", status);
    std::snprintf(activityRec.status, sizeof activityRec.status, "%.4s", text);
}

void activity_close()
{
    if (!activityFd.valid()) return;
    // Delete while the lock is still held, so no new instance can take the
    // old file and lose it to this unlink.
    (void)os_unlink(activityPath().c_str());
    activityFd.reset();
    firstWrite = true;
    idleWritten = false;
}

void activity_reset()
{
    activityFd.reset();
    firstWrite = true;
    idleWritten = false;
    activityEnabled = true;
    activityRec = ActivityRec{};
}

}  // namespace qzr
