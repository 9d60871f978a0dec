// Files and directories through open(2), stat(2), readdir and their kin.
#include "os/os_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qzr {

namespace {

int kindOf(mode_t mode)
{
    if (S_ISREG(mode)) return OS_KIND_REGULAR;
    if (S_ISDIR(mode)) return OS_KIND_DIRECTORY;
    if (S_ISLNK(mode)) return OS_KIND_LINK;
    return OS_KIND_OTHER;
}

void describe(const struct stat& st, os_fileInfo& info)
{
    info.kind = kindOf(st.st_mode);
    info.mode = static_cast<unsigned>(st.st_mode & 07777);
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.size = static_cast<std::int64_t>(st.st_size);
    info.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    info.mtimeNsec = st.st_mtim.tv_nsec;
    info.ownedByUs = st.st_uid == ::geteuid();
    info.owner = static_cast<long>(st.st_uid);
}


// A link followed for writing goes at most this far.
constexpr int MAX_LINK_HOPS = 8;

// Whether a name of owner `uid` can only have been put there by the
// process's own user or root.
bool trustedOwner(uid_t uid)
{
    return uid == ::geteuid() || uid == 0;
}

// The directory part of `path` with its last '/', "" for a bare name.
std::string directoryPart(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Opens `name` itself, never following a link there (`flags` hold
// O_NOFOLLOW when the caller follows none or looks at each). A file that
// must be made is first made exclusively, so that `created` tells whether
// this open made it. Returns 0 with the descriptor in `fd`, or the error
// number (ELOOP: a link is there).
int openName(const std::string& name, int how, int flags, unsigned mode, OsFd& fd, bool& created)
{
    const mode_t m = static_cast<mode_t>(mode);
    created = false;
    if (!(how & OS_OPEN_CREATE)) {
        fd = OsFd(::open(name.c_str(), flags));
        return fd.valid() ? 0 : errno;
    }
    // A name removed between the two opens is made again; a name that keeps
    // coming and going is given up on.
    for (int attempt = 0; attempt < 8; ++attempt) {
        fd = OsFd(::open(name.c_str(), flags | O_CREAT | O_EXCL, m));
        if (fd.valid()) {
            created = true;
            return 0;
        }
        if (errno != EEXIST || (how & OS_OPEN_EXCLUSIVE)) return errno;
        fd = OsFd(::open(name.c_str(), flags));
        if (fd.valid()) return 0;
        if (errno != ENOENT) return errno;
    }
    return ENOENT;
}

// Reads the link at `name` when it may be followed for writing: only a link
// of the process's user or root, which another user could not have put
// there. Returns 0 with the name it points at (a relative one joined to the
// link's directory) in `next`, ELOOP for another user's link, or the error
// number of the look. The link is read through the descriptor it was judged
// on, so a link put in its place meanwhile is never followed.
int trustedLinkTarget(const std::string& name, std::string& next)
{
    OsFd link(::open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!link.valid()) return errno;
    struct stat st {};
    if (::fstat(link.get(), &st) != 0) return errno;
    if (!S_ISLNK(st.st_mode) || !trustedOwner(st.st_uid)) return ELOOP;
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlinkat(link.get(), "", target.data(), target.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) >= target.size()) return ENAMETOOLONG;
    target.resize(static_cast<std::size_t>(n));
    next = target.starts_with('/') ? target : directoryPart(name) + target;
    return 0;
}

// Looks at each name on the way to the absolute `path` (os_pathWeakness).
// Returns 0 with the first weakness found in `check`, or the error number.
int chainWeakness(const std::string& path, os_pathCheck& check)
{
    // "/", then each name after it in turn.
    std::vector<std::string> names = {"/"};
    for (std::size_t pos = 0; (pos = path.find_first_not_of('/', pos)) != std::string::npos;) {
        std::size_t end = path.find('/', pos);
        std::string part = path.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        names.push_back(names.back() == "/" ? "/" + part : names.back() + "/" + part);
        pos = end;
    }
    bool stickyOpen = false;  // the directory looked at last is writable by others, but sticky
    for (const std::string& name : names) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0) {
            if (errno != ENOENT) return errno;
            // A name still missing is made by whoever may write its
            // directory: the sticky bit keeps no one from that.
            if (!stickyOpen) check = os_pathCheck{};
            return 0;
        }
        check.weakness = OS_PATH_SAFE;
        check.where = name;
        check.owner = static_cast<long>(st.st_uid);
        if (!trustedOwner(st.st_uid)) {
            check.weakness = OS_PATH_FOREIGN;
            return 0;
        }
        const bool writable = !S_ISLNK(st.st_mode) && (st.st_mode & 022) != 0;
        stickyOpen = writable && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0;
        if (writable) check.weakness = OS_PATH_WRITABLE;
        if (writable && !stickyOpen) return 0;
    }
    check = os_pathCheck{};
    return 0;
}
}  // namespace

int os_fileOpen(const char* path, int how, unsigned mode, OsFd& fd)
{
    int flags = O_CLOEXEC | O_NOCTTY;
    // For writing, each link is looked at before it is followed; for
    // reading, the kernel follows any.
    const bool checkLinks = (how & OS_OPEN_FOLLOW) && (how & OS_OPEN_WRITE);
    if (!(how & OS_OPEN_FOLLOW) || checkLinks) flags |= O_NOFOLLOW;
    if ((how & OS_OPEN_READ) && (how & OS_OPEN_WRITE))
        flags |= O_RDWR;
    else if (how & OS_OPEN_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (how & OS_OPEN_TRUNCATE) flags |= O_TRUNC;
    if (how & OS_OPEN_APPEND) flags |= O_APPEND;
    // A FIFO without a writer would hold the open, one without a reader
    // fails it (ENXIO); on a regular file the flag changes nothing but that
    // another's lease on it refuses the open (EWOULDBLOCK) instead of
    // waiting for it.
    if (!(how & OS_OPEN_DEVICE)) flags |= O_NONBLOCK;

    std::string name = path;
    OsFd opened;
    bool created = false;
    for (int hop = 0;; ++hop) {
        int err = openName(name, how, flags, mode, opened, created);
        if (err == 0) break;
        if (err != ELOOP || !checkLinks || hop == MAX_LINK_HOPS) return err;
        if (int e = trustedLinkTarget(name, name); e != 0) return e;
    }
    struct stat st {};
    if (::fstat(opened.get(), &st) != 0) return errno;
    if (!(how & (OS_OPEN_DEVICE | OS_OPEN_ANY_KIND))) {
        if (S_ISDIR(st.st_mode)) return EISDIR;
        if (!S_ISREG(st.st_mode)) return ENXIO;
    }
    // The umask took bits from a file made here: it gets the mode asked.
    const mode_t want = static_cast<mode_t>(mode & 07777);
    mode_t has = st.st_mode & 07777;
    bool narrow = (how & OS_OPEN_NARROW) && !created && st.st_uid == ::geteuid() && (has & ~want) != 0;
    if ((created && has != want) || narrow) {
        if (::fchmod(opened.get(), created ? want : (has & want)) != 0) return errno;
    }
    fd = std::move(opened);
    return 0;
}

int os_fileOpenStream(const char* path, int how, unsigned mode, const char* streamMode, std::FILE*& fp)
{
    fp = nullptr;
    OsFd fd;
    if (int err = os_fileOpen(path, how, mode, fd); err != 0) return err;
    fp = ::fdopen(fd.get(), streamMode);
    if (!fp) return errno;
    (void)fd.release();  // the stream owns it now
    return 0;
}

int os_fileInfoOf(int fd, os_fileInfo& info)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    describe(st, info);
    return 0;
}

int os_pathInfo(const char* path, bool followLink, os_fileInfo& info)
{
    struct stat st {};
    if ((followLink ? ::stat(path, &st) : ::lstat(path, &st)) != 0) return errno;
    describe(st, info);
    return 0;
}

long os_readAt(int fd, void* buf, std::size_t len, std::int64_t offset)
{
    for (;;) {
        ssize_t n = ::pread(fd, buf, len, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return OS_IO_ERROR;
    }
}

long os_writeAt(int fd, const void* buf, std::size_t len, std::int64_t offset)
{
    ssize_t n = ::pwrite(fd, buf, len, static_cast<off_t>(offset));
    return n < 0 ? OS_IO_ERROR : static_cast<long>(n);
}

int os_writeAll(int fd, const void* buf, std::size_t len)
{
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int os_fileTruncate(int fd, std::int64_t size)
{
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int os_fileReserve(int fd, std::int64_t size)
{
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) return 0;
    return errno == ENOSYS ? EOPNOTSUPP : errno;
}

int os_fileSync(int fd)
{
    return ::fsync(fd) == 0 ? 0 : errno;
}

int os_fileSyncData(int fd)
{
    return ::fdatasync(fd) == 0 ? 0 : errno;
}

int os_fileSetMode(int fd, unsigned mode)
{
    return ::fchmod(fd, static_cast<mode_t>(mode)) == 0 ? 0 : errno;
}

int os_pathWeakness(const std::string& path, os_pathCheck& check)
{
    check = os_pathCheck{};
    std::string full = path;
    if (!full.starts_with('/')) {
        std::string cwd;
        if (int err = os_currentDirectory(cwd); err != 0) return err;
        full = cwd + "/" + full;
    }
    if (int err = chainWeakness(full, check); err != 0 || check.weakness != OS_PATH_SAFE) return err;
    // Where the links land: the file itself, or, when it is missing, its
    // directory and the missing name.
    std::string landed;
    if (char* real = ::realpath(full.c_str(), nullptr)) {
        landed = real;
        std::free(real);
    } else {
        std::string dir = directoryPart(full);
        char* realDir = ::realpath(dir.empty() ? "." : dir.c_str(), nullptr);
        if (!realDir) return errno == ENOENT ? 0 : errno;
        landed = std::string(realDir) + "/" + full.substr(dir.size());
        std::free(realDir);
    }
    if (landed == full) return 0;
    return chainWeakness(landed, check);
}

int os_rename(const char* from, const char* to)
{
    return std::rename(from, to) == 0 ? 0 : errno;
}

int os_renameNoReplace(const char* from, const char* to)
{
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0 ? 0 : errno;
}

int os_unlink(const char* path)
{
    return ::unlink(path) == 0 ? 0 : errno;
}

int os_listDirectory(const char* dir, std::vector<std::string>& names)
{
    DIR* d = ::opendir(dir);
    if (!d) return errno;
    while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
    return 0;
}

int os_currentDirectory(std::string& dir)
{
    char buf[PATH_MAX];
    if (!::getcwd(buf, sizeof buf)) return errno;
    dir = buf;
    return 0;
}

int os_changeDirectory(const char* dir)
{
    return ::chdir(dir) == 0 ? 0 : errno;
}

int os_setCloseOnExec(int fd)
{
    int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) return errno;
    return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0 ? 0 : errno;
}

bool os_isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

}  // namespace qzr
