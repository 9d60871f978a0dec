// Files and directories through open(2), stat(2), readdir and their kin.
#include "os/os_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
}

}  // namespace

int os_fileOpen(const char* path, int how, unsigned mode, OsFd& fd)
{
    int flags = O_CLOEXEC | O_NOCTTY;
    if (!(how & OS_OPEN_FOLLOW)) flags |= O_NOFOLLOW;
    if ((how & OS_OPEN_READ) && (how & OS_OPEN_WRITE))
        flags |= O_RDWR;
    else if (how & OS_OPEN_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    if (how & OS_OPEN_CREATE) flags |= O_CREAT;
    if (how & OS_OPEN_TRUNCATE) flags |= O_TRUNC;
    if (how & OS_OPEN_EXCLUSIVE) flags |= O_EXCL;
    if (how & OS_OPEN_APPEND) flags |= O_APPEND;
    // A FIFO without a writer would hold the open, one without a reader
    // fails it (ENXIO); on a regular file the flag changes nothing but that
    // another's lease on it refuses the open (EWOULDBLOCK) instead of
    // waiting for it.
    if (!(how & OS_OPEN_DEVICE)) flags |= O_NONBLOCK;
    OsFd opened(::open(path, flags, static_cast<mode_t>(mode)));
    if (!opened.valid()) return errno;
    if (!(how & OS_OPEN_DEVICE)) {
        struct stat st {};
        if (::fstat(opened.get(), &st) != 0) return errno;
        if (S_ISDIR(st.st_mode)) return EISDIR;
        if (!S_ISREG(st.st_mode)) return ENXIO;
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
