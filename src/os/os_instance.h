// The instance mutex: a name that one process at a time can hold.
//
// The name is bound as an abstract-namespace Unix-domain socket, so the
// kernel releases it when the holder ends, however it ends; no file is left
// behind. The socket is closed on exec, so no child holds the name. The
// mutex is private to the user, as a named mutex is to its login session:
// the bound name begins with the user id ("1000/<name>"), so one user's
// processes exclude each other and another user's do not.
#pragma once

#include <string>

#include "os/os_fd.h"

namespace qzr {

// Takes this user's mutex named `name` into `held`. Returns 0 when this
// process now holds it, EEXIST when another process of the user holds it,
// or the error number of another failure (then `held` stays empty). A name longer than the kernel
// takes keeps its beginning and ends with a digest of the whole, so two
// different names never become one.
int os_instanceMutex(const std::string& name, OsFd& held);

}  // namespace qzr
