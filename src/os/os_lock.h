// File locks and leases: how one process keeps others off a file.
//
// Two kinds of exclusion rest on these calls: the activity record, which one
// instance per directory holds locked for its whole run, and a request file,
// which the driver reads while no one may write to it. The exclusion lives as
// long as the descriptor it was taken on; closing it releases everything.
#pragma once

namespace qzr {

// Takes an exclusive, non-blocking whole-file lock (flock) on `fd`.
// Returns 0, or the error number (EWOULDBLOCK when another open file holds it).
int os_lockExclusive(int fd);

// What keeps writers off a file (os_denyWriters).
enum : int {
    OS_DENY_LEASE = 0,           // a read lease: a writer's open waits until it is let go
    OS_DENY_LOCK_NOT_OWNER = 1,  // a read lock: no lease without the file's owner or CAP_LEASE
    OS_DENY_LOCK = 2,            // a read lock: the file system has no leases
};

// Keeps writers off the file open read-only on `fd`: a read lease, which the
// kernel refuses while anyone has the file open for writing, or, where a
// lease is not permitted (the file belongs to another user and the process
// lacks CAP_LEASE, or the file system has none), a non-blocking read lock,
// which keeps off only writers that lock. Returns 0 with `how` set, or the
// error number of the refusal (EAGAIN: a writer has the file open or locked).
// A lease holder is told by SIGIO when a writer wants the file; SIGIO is
// ignored for the whole process the first time a lease is taken, so that the
// signal never ends the driver: os_leaseBroken tells of the writer instead.
int os_denyWriters(int fd, int& how);

// Whether the read lease taken on `fd` has been broken: a writer waits to
// open the file (or, after the kernel's lease-break time, has opened it).
bool os_leaseBroken(int fd);

// Lets go of the read lease on `fd` (a writer waiting for it gets the file)
// and takes a new one. Returns 0, or EAGAIN while anyone has the file open
// for writing (a writer let in has not closed it yet).
int os_leaseRenew(int fd);

}  // namespace qzr
