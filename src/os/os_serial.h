// Serial ports: opening, line settings and the DTR line.
//
// A port is opened read-write, non-blocking, close-on-exec, without becoming
// the controlling terminal, and for this process only (TIOCEXCL). Settings
// are raw: no echo, no line editing, no character translation. Any speed is
// set through termios2 and BOTHER, so 14400 works although it has no B
// constant. A pseudo-terminal refuses what it cannot have (modem lines, flow
// control); such a refusal counts as success, so the same code runs against
// a real port and a pty.
#pragma once

namespace qzr {

enum : int {
    OS_PARITY_NONE = 0,
    OS_PARITY_ODD = 1,
    OS_PARITY_EVEN = 2,
};

struct os_serialSettings {
    int speed = 9600;        // bits per second
    int dataBits = 8;        // 5 to 8
    int stopBits = 1;        // 1 or 2
    int parity = OS_PARITY_NONE;
    bool ctsFlow = true;     // CTS output flow control (RTS/CTS)
    bool carrierWatch = true;// CLOCAL off: a carrier drop ends the line
};

// Results of os_serialConfigure.
enum : int {
    OS_SERIAL_OK = 0,
    OS_SERIAL_GET_FAILED = 1,  // the port's settings cannot be read
    OS_SERIAL_SET_FAILED = 2,  // the settings are refused or not kept
};

// Opens a serial device, without waiting for its carrier. A link at `path`
// is followed only when it is the driver's user's or root's: the bytes
// for the port never go where another user pointed them. Returns the
// descriptor, or -1 (errno set).
int os_serialOpen(const char* path);

// Gives up the exclusive use taken by os_serialOpen (before closing), so
// that the device can be opened again while another descriptor of it lives.
void os_serialRelease(int fd);

// Applies the settings and reads them back. Returns an OS_SERIAL_ result;
// errno tells the failure.
int os_serialConfigure(int fd, const os_serialSettings& settings);

// Raises or drops DTR. Returns 0, also when the device has no modem lines
// (a pty); -1 on another failure (errno set).
int os_serialSetDtr(int fd, bool on);

// The speed the port is set to, or -1 (for tests and traces).
int os_serialSpeed(int fd);

// Opens a pseudo-terminal pair in raw mode, both ends close-on-exec, the
// master non-blocking. Stores the descriptors and the slave's path (at most
// `nameSize` bytes with the terminator). Returns 0 or -1. Used by the
// tests' modems and hosts.
int os_ptyOpen(int* master, int* slave, char* name, unsigned long nameSize);

}  // namespace qzr
