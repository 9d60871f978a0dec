// Files and directories: opening, reading and writing at an offset, the kind
// and times of a file, renaming, removing, listing, and the working
// directory.
//
// Every file is opened close-on-exec, without following a symbolic link in
// its last component (a link there fails with ELOOP) unless asked, and for
// writing only a link of the process's own user or root, without becoming
// the controlling terminal, and, unless the caller asks for a device,
// without waiting in the open (a FIFO never blocks it) and only when it is a
// regular file. A file made here gets exactly the mode asked, whatever the
// umask. Functions that can fail return 0 or the error number, the way the
// rest of this layer does; reads and writes return a count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "os/os_fd.h"

namespace qzr {

// How `os_fileOpen` opens a file: OS_OPEN_READ and/or OS_OPEN_WRITE, and
// any of the others.
enum : int {
    OS_OPEN_READ = 0x01,
    OS_OPEN_WRITE = 0x02,
    OS_OPEN_CREATE = 0x04,     // made when missing, with exactly the mode given
    OS_OPEN_TRUNCATE = 0x08,   // emptied
    OS_OPEN_EXCLUSIVE = 0x10,  // with OS_OPEN_CREATE: fails (EEXIST) when the name exists
    OS_OPEN_APPEND = 0x20,     // every write goes to the end
    OS_OPEN_FOLLOW = 0x40,     // a symbolic link is followed to what it names; with
                               // OS_OPEN_WRITE only a link of the process's user or root
                               // (another's fails with ELOOP)
    OS_OPEN_DEVICE = 0x80,     // any kind of file (a terminal): the open and reads wait as it does
    OS_OPEN_NARROW = 0x100,    // a file of the process's user found with access beyond
                               // the mode given loses that access
    OS_OPEN_ANY_KIND = 0x200,  // any kind of file, opened without waiting (a serial
                               // port whose carrier is down)
};

// What a name or a descriptor is.
enum : int {
    OS_KIND_OTHER = 0,      // a FIFO, socket or device
    OS_KIND_REGULAR = 1,
    OS_KIND_DIRECTORY = 2,
    OS_KIND_LINK = 3,       // only when the link is not followed
};

struct os_fileInfo {
    int kind = OS_KIND_OTHER;
    unsigned mode = 0;             // the permission bits (07777)
    std::uint64_t device = 0;      // the file system and the file's number on it:
    std::uint64_t inode = 0;       // together they name one file
    std::int64_t size = 0;         // bytes
    std::int64_t mtime = 0;        // the last change: seconds since 1970
    long mtimeNsec = 0;            // and nanoseconds within that second
    bool ownedByUs = false;        // its owner is the process's effective user
    long owner = -1;               // its owner's user id
};

// The standard descriptors.
enum : int { OS_STDIN = 0, OS_STDOUT = 1, OS_STDERR = 2 };

// Opens `path` as `how` says (OS_OPEN_ flags); a file it makes gets exactly
// `mode`, whatever the umask. Without OS_OPEN_DEVICE the open never waits and takes
// only a regular file: a directory fails with EISDIR, a FIFO, socket or
// device with ENXIO, as a file that cannot be opened. Returns 0 with the
// descriptor in `fd`, or the error number (then `fd` stays as it was).
int os_fileOpen(const char* path, int how, unsigned mode, OsFd& fd);

// As os_fileOpen, then a stdio stream on the descriptor with the stdio
// `streamMode` ("r", "rb", "a", "w", ...; it must agree with `how`).
// Returns 0 with the stream in `fp` (the caller closes it), or the error
// number (then `fp` is null).
int os_fileOpenStream(const char* path, int how, unsigned mode, const char* streamMode, std::FILE*& fp);

// The kind, mode and time of the open file `fd`. Returns 0 or the error number.
int os_fileInfoOf(int fd, os_fileInfo& info);

// The kind, mode and time of `path`; a symbolic link is followed when
// `followLink` is set, else described itself (OS_KIND_LINK). Returns 0 or the
// error number (ENOENT: no such name).
int os_pathInfo(const char* path, bool followLink, os_fileInfo& info);

// Reads up to `len` bytes at `offset` (pread), again when a signal
// interrupted it. Returns the count (0 at end of file) or OS_IO_ERROR (errno).
long os_readAt(int fd, void* buf, std::size_t len, std::int64_t offset);

// Writes up to `len` bytes at `offset` (pwrite). Returns the count or
// OS_IO_ERROR (errno).
long os_writeAt(int fd, const void* buf, std::size_t len, std::int64_t offset);

// Writes all `len` bytes at the file's position, again after a signal or a
// short write. Returns 0 or the error number (EIO when nothing could be written).
int os_writeAll(int fd, const void* buf, std::size_t len);

// Cuts the file to `size` bytes. Returns 0 or the error number.
int os_fileTruncate(int fd, std::int64_t size);

// Reserves room on disk for `size` bytes from the start of the file without
// changing its size, so that writes up to that size cannot fail for want of
// room. Returns 0, EOPNOTSUPP where the file system cannot reserve (nothing
// is reserved then), or the error number (ENOSPC: no room).
int os_fileReserve(int fd, std::int64_t size);

// Puts the file's data and attributes on disk (fsync). Returns 0 or the error number.
int os_fileSync(int fd);

// Puts the file's data on disk, and the attributes needed to read it back
// (fdatasync). Returns 0 or the error number.
int os_fileSyncData(int fd);

// Sets the file's permission bits. Returns 0 or the error number.
int os_fileSetMode(int fd, unsigned mode);

// Why another user could change what a path names (os_pathWeakness).
enum : int {
    OS_PATH_SAFE = 0,        // only the process's user and root can change it
    OS_PATH_FOREIGN = 1,     // `where` belongs to another user (`owner`)
    OS_PATH_WRITABLE = 2,    // `where` is writable by its group or by others
};

struct os_pathCheck {
    int weakness = OS_PATH_SAFE;
    std::string where;  // the name found weak
    long owner = -1;    // its owner's user id
};

// Looks whether a user other than the process's own and root could change
// what `path` names: every directory on the way to it, every link on the
// way and the file itself must belong to the process's user or root, and
// none may be writable by its group or by others (a directory with the
// sticky bit may: there no one removes or renames a name he does not own).
// The path is looked at as written and, links resolved, as it lands. A
// missing last name is no weakness. Returns 0 with the finding in `check`,
// or the error number of a look that failed.
int os_pathWeakness(const std::string& path, os_pathCheck& check);

// Renames `from` to `to`, replacing `to`. Returns 0 or the error number.
int os_rename(const char* from, const char* to);

// Renames `from` to `to` only when `to` does not exist (EEXIST otherwise).
// Returns 0 or the error number.
int os_renameNoReplace(const char* from, const char* to);

// Removes the name `path` (a link itself, never what it points at). Returns
// 0 or the error number.
int os_unlink(const char* path);

// The names in directory `dir`, "." and ".." included, in the order the
// file system gives them. Returns 0 or the error number of opening it.
int os_listDirectory(const char* dir, std::vector<std::string>& names);

// The process's working directory (at most PATH_MAX bytes long). Returns 0,
// or the error number (then `dir` is unchanged).
int os_currentDirectory(std::string& dir);

// Makes `dir` the process's working directory. Returns 0 or the error number.
int os_changeDirectory(const char* dir);

// Keeps a descriptor opened elsewhere (by a library) out of the programs
// this process starts. Returns 0 or the error number.
int os_setCloseOnExec(int fd);

// Whether descriptor `fd` (OS_STDIN, OS_STDOUT, OS_STDERR or another) is a terminal.
bool os_isTerminal(int fd);

}  // namespace qzr
