// Descriptors, polling and the monotonic clock for the link layer.
//
// The waits of the driver are poll() calls with a deadline on the monotonic
// clock; nothing here sleeps where a descriptor can be watched instead.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/os_fd.h"

namespace qzr {

// Events of `os_pollItem`, independent of <poll.h>.
enum : short {
    OS_POLL_IN = 0x1,    // readable (or end of file / hang-up)
    OS_POLL_OUT = 0x2,   // writable
    OS_POLL_ERR = 0x4,   // error or hang-up reported (revents only)
};

struct os_pollItem {
    int fd = -1;        // negative: the item is ignored
    short events = 0;   // OS_POLL_IN and/or OS_POLL_OUT
    short revents = 0;  // filled in by os_poll
};

// Waits up to `timeoutMs` milliseconds (negative: without a limit) until one
// of the items is ready. Returns the number of ready items, 0 after the time
// or when a signal interrupted the wait, -1 on another failure (errno set).
int os_poll(os_pollItem* items, std::size_t count, int timeoutMs);

// Milliseconds of the monotonic clock (not changed by setting the date).
std::int64_t os_monotonicMs();

// Sleeps `ms` milliseconds, the whole time even when signals arrive.
void os_sleepMs(int ms);

// The milliseconds left until `deadlineMs` of the monotonic clock, 0 when it
// has passed, clipped to what poll() takes.
int os_msUntil(std::int64_t deadlineMs);

// Reads what is there, up to `len` bytes, without blocking. Returns the
// count; 0 at end of file (the peer closed, the line hung up);
// OS_IO_AGAIN when nothing is there yet; OS_IO_ERROR on a failure (errno).
long os_readSome(int fd, void* buf, std::size_t len);

// Writes up to `len` bytes without blocking; a socket is written with
// MSG_NOSIGNAL, so a closed peer gives an error instead of SIGPIPE. Returns
// the count written (possibly fewer than `len`), OS_IO_AGAIN when nothing can
// be written yet, OS_IO_ERROR on a failure (errno).
long os_writeSome(int fd, const void* buf, std::size_t len, bool isSocket);

// The number of bytes waiting in a descriptor's input queue, or -1.
long os_inputCount(int fd);

}  // namespace qzr
