// One owned descriptor: the closing side.
#include "os/os_fd.h"

#include <cerrno>
#include <unistd.h>

namespace qzr {

void OsFd::reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

int OsFd::close()
{
    int fd = release();
    if (fd < 0) return 0;
    return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace qzr
