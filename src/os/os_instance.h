// The instance mutex: a name that one process at a time can hold.
//
// The name is bound as an abstract-namespace Unix-domain socket, so the
// kernel releases it when the holder ends, however it ends; no file is left
// behind. The socket is closed on exec, so no child holds the name. The
// mutex is private to the user, as a named mutex is to its login session:
// the bound name begins with the user id ("1000/<name>"), so one user's
// processes exclude each other and another user's do not. The holder
// listens on the socket; a newcomer that finds the name taken connects and
// reads the holder's user id (SO_PEERCRED): only a holder of its own user
// counts as its instance. A thread of the holder answers every newcomer at
// once and closes its connection, so that no number of newcomers, nor
// another user who connects over and over, fills the holder's queue: the
// name answers as held for as long as its holder runs.
#pragma once

#include <string>
#include <thread>

#include "os/os_fd.h"

namespace qzr {

// A held instance mutex: the bound socket and the thread that answers the
// newcomers. The name is let go when the object is reset or destroyed.
class OsInstanceMutex {
public:
    OsInstanceMutex() = default;
    OsInstanceMutex(OsInstanceMutex&&) = default;
    OsInstanceMutex& operator=(OsInstanceMutex&& other) noexcept;
    ~OsInstanceMutex() { reset(); }

    // Whether a name is held.
    bool valid() const { return socket_.valid(); }
    // Stops the answering thread and lets the name go.
    void reset();

private:
    friend int os_instanceMutex(const std::string&, OsInstanceMutex&, long*);
    OsFd socket_;
    OsFd stop_;  // written to end the thread
    std::thread answering_;
};

// Takes this user's mutex named `name` into `held`. Returns 0 when this
// process now holds it; EEXIST when another process of the user holds it;
// EACCES when the name is held by a process of another user, or by one that
// does not answer as a holder does (abstract names carry no permissions:
// anyone can bind any name), with that user's id in `*holder` (-1 when it
// did not answer); or the error number of another failure. Then `held`
// stays empty. A name longer than the kernel takes keeps its beginning and
// ends with a digest of the whole, so two different names never become one.
int os_instanceMutex(const std::string& name, OsInstanceMutex& held, long* holder = nullptr);

}  // namespace qzr
