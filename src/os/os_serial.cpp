// Serial ports through the kernel's termios2 interface. This file uses the
// kernel's own definitions (asm/termbits.h) instead of <termios.h>, whose
// struct termios differs and cannot carry an arbitrary speed.
#include "os/os_serial.h"

#include "os/os_file.h"

#include <asm/termios.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace qzr {

namespace {

// A refusal that only says "this device has no such thing" (a pty has no
// modem lines and no hardware flow control).
bool notApplicable(int err)
{
    return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP;
}

tcflag_t sizeFlag(int dataBits)
{
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    case 8: return CS8;
    default: return 0;
    }
}

}  // namespace

int os_serialOpen(const char* path)
{
    OsFd opened;
    if (int err = os_fileOpen(path, OS_OPEN_READ | OS_OPEN_WRITE | OS_OPEN_FOLLOW | OS_OPEN_ANY_KIND, 0, opened);
        err != 0) {
        errno = err;
        return -1;
    }
    int fd = opened.release();
    // No sharing: a second open by another process is refused. A device that
    // does not know the request is still usable.
    if (::ioctl(fd, TIOCEXCL) != 0 && !notApplicable(errno)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

void os_serialRelease(int fd)
{
    ::ioctl(fd, TIOCNXCL);
}

int os_serialConfigure(int fd, const os_serialSettings& s)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return OS_SERIAL_GET_FAILED;

    tcflag_t csize = sizeFlag(s.dataBits);
    if (csize == 0 || s.speed <= 0 || (s.stopBits != 1 && s.stopBits != 2)) {
        errno = EINVAL;
        return OS_SERIAL_SET_FAILED;
    }

    // Raw input and output: no translation, no parity check, no software
    // flow control, no null stripping.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CBAUD | CLOCAL |
                                          CRTSCTS | (CBAUD << IBSHIFT));
    tio.c_cflag |= CREAD | HUPCL | csize | BOTHER | (BOTHER << IBSHIFT);
    if (s.parity == OS_PARITY_ODD) tio.c_cflag |= PARENB | PARODD;
    if (s.parity == OS_PARITY_EVEN) tio.c_cflag |= PARENB;
    if (s.stopBits == 2) tio.c_cflag |= CSTOPB;
    if (s.ctsFlow) tio.c_cflag |= CRTSCTS;
    if (!s.carrierWatch) tio.c_cflag |= CLOCAL;
    tio.c_ispeed = static_cast<speed_t>(s.speed);
    tio.c_ospeed = static_cast<speed_t>(s.speed);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (::ioctl(fd, TCSETS2, &tio) != 0) return OS_SERIAL_SET_FAILED;

    // Read the settings back: a driver may quietly refuse part of them.
    termios2 now{};
    if (::ioctl(fd, TCGETS2, &now) != 0) return OS_SERIAL_GET_FAILED;
    const tcflag_t framing = CSIZE | PARENB | PARODD | CSTOPB;
    if ((now.c_cflag & framing) != (tio.c_cflag & framing)) {
        errno = EINVAL;
        return OS_SERIAL_SET_FAILED;
    }
    return OS_SERIAL_OK;
}

int os_serialSetDtr(int fd, bool on)
{
    int bits = TIOCM_DTR;
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
    return notApplicable(errno) ? 0 : -1;
}

int os_ptyOpen(int* master, int* slave, char* name, unsigned long nameSize)
{
    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (m < 0) return -1;
    int unlock = 0;
    char path[128];
    if (::grantpt(m) != 0 || ::ioctl(m, TIOCSPTLCK, &unlock) != 0 ||
        ::ptsname_r(m, path, sizeof path) != 0) {
        ::close(m);
        return -1;
    }
    int s = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0) {
        ::close(m);
        return -1;
    }
    // Raw on both sides: the master side sees the bytes as written.
    for (int fd : {m, s}) {
        termios2 tio{};
        if (::ioctl(fd, TCGETS2, &tio) == 0) {
            tio.c_iflag = 0;
            tio.c_oflag = 0;
            tio.c_lflag = 0;
            tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CREAD | CLOCAL;
            tio.c_cc[VMIN] = 1;
            tio.c_cc[VTIME] = 0;
            ::ioctl(fd, TCSETS2, &tio);
        }
    }
    *master = m;
    *slave = s;
    if (name && nameSize > 0) {
        std::size_t n = std::strlen(path);
        if (n >= nameSize) n = nameSize - 1;
        std::memcpy(name, path, n);
        name[n] = '\0';
    }
    return 0;
}

int os_serialSpeed(int fd)
{
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return -1;
    return static_cast<int>(tio.c_ospeed);
}

}  // namespace qzr
