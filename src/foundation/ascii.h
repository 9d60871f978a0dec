// Case folding of ASCII letters: switches, keywords and identifiers,
// device names, menu letters.
//
// What must always hold: only 'A'-'Z' and 'a'-'z' change; every other value
// (an accented letter of the request's code page, a byte above 127 in a
// signed char, a key code above 255) passes unchanged, whatever the locale.
#pragma once

namespace qzr {

// `c` in lower case when it is an ASCII capital, otherwise `c`.
constexpr int asciiLower(int c)
{
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}
constexpr char asciiLower(char c)
{
    return static_cast<char>(asciiLower(static_cast<int>(c)));
}

// `c` in upper case when it is an ASCII small letter, otherwise `c`.
constexpr char asciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace qzr
