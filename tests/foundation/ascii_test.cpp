// ASCII case folding: only the 26 letters change, whatever surrounds them.
#include <gtest/gtest.h>

#include "foundation/ascii.h"

namespace qzr {
namespace {

TEST(AsciiCase, OnlyTheLettersFold)
{
    struct Case {
        int c;
        int lower;
        int upper;
    };
    // The neighbours of both alphabets, the digits, a byte above 127 (an
    // accented capital of the request's code page) and a key code above 255.
    const Case cases[] = {
        {'@', '@', '@'}, {'A', 'a', 'A'}, {'M', 'm', 'M'}, {'Z', 'z', 'Z'},   {'[', '[', '['},
        {'`', '`', '`'}, {'a', 'a', 'A'}, {'z', 'z', 'Z'}, {'{', '{', '{'},   {'0', '0', '0'},
        {0xC9, 0xC9, 0xC9}, {0xE9, 0xE9, 0xE9}, {0, 0, 0}, {0x109, 0x109, 0x109},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.c);
        EXPECT_EQ(asciiLower(k.c), k.lower);
        if (k.c > 0xFF) continue;
        const char c = static_cast<char>(k.c);
        EXPECT_EQ(asciiLower(c), static_cast<char>(k.lower));
        EXPECT_EQ(asciiUpper(c), static_cast<char>(k.upper));
    }
}

}  // namespace
}  // namespace qzr
