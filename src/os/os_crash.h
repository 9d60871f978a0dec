// The terminal given back when the process dies of a signal.
//
// While the status window holds the terminal (raw, on the alternate screen,
// the cursor hidden), a signal that ends the process without a handler of
// the driver's own (a crash: SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, and
// the others whose default is to end the process) would leave it so. The
// guard's handler writes the escape strings prepared beforehand and puts
// the saved terminal settings back, with async-signal-safe calls only, then
// puts back the action the signal had before and raises the signal again,
// so the process dies of it as it would have (a core dump included). The
// signals the starter set to ignored, and those the event pipe takes
// (os_signal.h), are left as they are.
#pragma once

#include <string>

namespace qzr {

// Keeps the settings of the terminal `fd` as they are now: those a death by
// signal puts back. Called before the screen library changes them. Returns 0
// or the error number.
int os_crashGuardSave(int fd);

// Installs the guard's handlers; `escapes` are the bytes that give the
// screen back (leave the alternate screen, show the cursor, plain
// attributes), written to the saved terminal as they are. Returns 0 or -1.
int os_crashGuardArm(const std::string& escapes);

// Puts back the actions the guarded signals had before `os_crashGuardArm`
// (the screen was given back).
void os_crashGuardDisarm();

}  // namespace qzr
