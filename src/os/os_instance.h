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
// counts as its instance.
#pragma once

#include <string>

#include "os/os_fd.h"

namespace qzr {

// Takes this user's mutex named `name` into `held`. Returns 0 when this
// process now holds it; EEXIST when another process of the user holds it;
// EACCES when the name is held by a process of another user, or by one that
// does not answer as a holder does (abstract names carry no permissions:
// anyone can bind any name), with that user's id in `*holder` (-1 when it
// did not answer); or the error number of another failure. Then `held`
// stays empty. A name longer than the kernel takes keeps its beginning and
// ends with a digest of the whole, so two different names never become one.
int os_instanceMutex(const std::string& name, OsFd& held, long* holder = nullptr);

}  // namespace qzr
