// The texts the driver forms from its version, built the same way in the
// tests so that a new version changes none of them: the banner of the log
// and the About box, the user agent of the proxy's requests, and the
// default prefix of a request (the first 12 characters of A01).
#pragma once

#include <string>

#include "foundation/runtime.h"

namespace qzr::test {

// "Quarzel QZR version <version>".
inline std::string versionBanner()
{
    return std::string("Quarzel QZR version ") + qzr_version;
}

// "11", the major and the minor version digits, "1111" and four blanks.
inline std::string defaultPrefix()
{
    return std::string("11") + qzr_version[0] + qzr_version[2] + "1111    ";
}

}  // namespace qzr::test
