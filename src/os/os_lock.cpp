// File locks and leases (flock, F_SETLEASE, F_SETLK).
#include "os/os_lock.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>

namespace qzr {

namespace {

// A lease break is announced by SIGIO, whose default action ends the process.
void ignoreLeaseBreaks()
{
    static bool done = false;
    if (done) return;
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGIO, &sa, nullptr);
    done = true;
}

}  // namespace

int os_lockExclusive(int fd)
{
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

int os_denyWriters(int fd, int& how)
{
    ignoreLeaseBreaks();
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        how = OS_DENY_LEASE;
        return 0;
    }
    if (errno == EAGAIN || errno == EBUSY) return EAGAIN;  // open for writing elsewhere
    how = (errno == EACCES || errno == EPERM) ? OS_DENY_LOCK_NOT_OWNER : OS_DENY_LOCK;

    // No lease here (not the file's owner, no lease support): an advisory
    // read lock keeps off writers that lock.
    struct flock lk {};
    lk.l_type = F_RDLCK;
    lk.l_whence = SEEK_SET;
    lk.l_start = 0;
    lk.l_len = 0;
    if (fcntl(fd, F_SETLK, &lk) == 0) return 0;
    return (errno == EACCES || errno == EAGAIN) ? EAGAIN : errno;
}

bool os_leaseBroken(int fd)
{
    // While a lease is being broken the kernel reports what it is being
    // broken to (F_UNLCK for a read lease); once removed, there is none.
    return fcntl(fd, F_GETLEASE) != F_RDLCK;
}

int os_leaseRenew(int fd)
{
    (void)fcntl(fd, F_SETLEASE, F_UNLCK);  // none left (broken to its end) is no fault
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return 0;
    return errno == EBUSY ? EAGAIN : errno;
}

}  // namespace qzr
