// One owned descriptor, and the results of a read or write on one.
//
// `OsFd` closes its descriptor exactly once: when it is replaced, closed or
// destroyed, never after it was released.
#pragma once

namespace qzr {

// Results of the reads and writes of the os layer beside a byte count.
enum : long { OS_IO_AGAIN = -2, OS_IO_ERROR = -1 };

// One owned descriptor; closes it when replaced or destroyed.
class OsFd {
public:
    OsFd() = default;
    explicit OsFd(int fd) : fd_(fd) {}
    OsFd(const OsFd&) = delete;
    OsFd& operator=(const OsFd&) = delete;
    OsFd(OsFd&& other) noexcept : fd_(other.release()) {}
    OsFd& operator=(OsFd&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~OsFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1);
    // Closes the descriptor held (if any) and says how that went: 0, or the
    // error number of close(2) (a write the kernel could not finish).
    int close();
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

}  // namespace qzr
