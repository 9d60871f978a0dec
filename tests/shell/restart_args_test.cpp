// The arguments of the restart script: quoted for the shell, the working
// directory given as its full path, every other value as given.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/worker.h"
#include "foundation/runtime.h"

using namespace qzr;

TEST(RestartArguments, QuotedWithTheWorkingDirectoryInFull)
{
    CurDir = "/srv/office";
    struct {
        std::vector<std::string> argv;
        const char* expected;
    } cases[] = {
        {{"qzr"}, ""},
        {{"qzr", "-v", "/X"}, " '-v' '/X'"},
        {{"qzr", "-c", "office", "-v"}, " '-c' '/srv/office' '-v'"},
        {{"qzr", "/C", "a", "-c", "b"}, " '/C' '/srv/office' '-c' '/srv/office'"},
        {{"qzr", "-config", "office"}, " '-config' '/srv/office'"},
        // Values of -e and -i are never taken for switches.
        {{"qzr", "-e", "/cfg", "-v"}, " '-e' '/cfg' '-v'"},
        {{"qzr", "-i", "/cfg/qzr.ini", "-x"}, " '-i' '/cfg/qzr.ini' '-x'"},
        {{"qzr", "-i", "it's.ini"}, " '-i' 'it'\\''s.ini'"},
    };
    for (const auto& c : cases) EXPECT_EQ(worker_restartArguments(c.argv), c.expected) << c.expected;
}
