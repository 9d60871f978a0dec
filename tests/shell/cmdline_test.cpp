// The command line read in the process: switches, directories and refusals.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/cmdline.h"
#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "support/temp_dir.h"
#include "support/test_window.h"

using namespace qzr;

namespace {

std::string cwd()
{
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? buf : "";
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        start = cwd();
        optDebug = optVerbose = serviceMode = exitDisabled = usageShown = false;
        Inifile.clear();
        tbx_reset_errors();
        tbx_message_hook = [](int, const char*) {};
    }
    void TearDown() override
    {
        if (::chdir(start.c_str()) != 0) ADD_FAILURE() << "cannot return to " << start;
        tbx_reset_errors();
    }
    int parse(std::vector<std::string> args)
    {
        args.insert(args.begin(), "qzr");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return parseCommandLine(static_cast<int>(argv.size()), argv.data());
    }
    std::string start;
    test::TestWindow window;
};

}  // namespace

TEST_F(CommandLine, NoArgumentsSettleTheDirectories)
{
    EXPECT_EQ(parse({}), STS_OK);
    EXPECT_EQ(CurDir, cwd());
    EXPECT_EQ(Inifile, CurDir + "/qzr.ini");
    // The directory of the running test program.
    EXPECT_EQ(ExeDir + "/test_qzr", std::string(QZR_BINARY).substr(0, std::string(QZR_BINARY).rfind("/src/")) +
                                         "/tests/shell/test_qzr");
    EXPECT_TRUE(activityEnabled);
}

TEST_F(CommandLine, SwitchesInEitherCaseAndForm)
{
    test::TempDir dir;
    EXPECT_EQ(parse({"/V", "-debug", "-A", "-x", "-i", "my.ini", "-c", dir.path().string()}), STS_OK);
    EXPECT_TRUE(optVerbose);
    EXPECT_TRUE(optDebug);
    EXPECT_FALSE(activityEnabled);
    EXPECT_TRUE(exitDisabled);
    EXPECT_EQ(Inifile, "my.ini");  // relative, unchanged
    EXPECT_EQ(CurDir, dir.path().string());
    EXPECT_EQ(cwd(), dir.path().string());
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(CommandLine, LaterDirectoryWinsAndFormsTheDefaultIni)
{
    test::TempDir a, b;
    EXPECT_EQ(parse({"-c", a.path().string(), "-c", b.path().string(), "-e", "/opt/qzr"}), STS_OK);
    EXPECT_EQ(CurDir, b.path().string());
    EXPECT_EQ(Inifile, b.path().string() + "/qzr.ini");
    EXPECT_EQ(ExeDir, "/opt/qzr");
}

// A relative program directory is the one typed, taken from the directory
// the driver was started in, before or after a -c; a relative working
// directory is entered from where the process stands.
TEST_F(CommandLine, RelativeProgramDirectoryIsTakenFromTheStartDirectory)
{
    test::TempDir d;
    const std::string rel = std::filesystem::relative(d.path(), start).string();
    ASSERT_FALSE(rel.empty());
    ASSERT_NE(rel[0], '/');
    const std::string abs = d.path().string();
    struct Case {
        std::vector<std::string> args;
        std::string exeDir;
        std::string curDir;
    } cases[] = {
        {{"-c", rel, "-e", rel}, abs, abs},
        {{"-e", rel, "-c", rel}, abs, abs},
        {{"-e", rel + "/", "-c", abs}, abs, abs},
        {{"-e", "./" + rel + "/./"}, abs, start},
        {{"-c", abs, "-e", "."}, start, abs},
        {{"-s", "-e", rel}, abs, abs},  // the service works in it
        {{"-s", "-c", rel, "-e", rel}, abs, abs},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        ASSERT_EQ(::chdir(start.c_str()), 0);
        CurDir = start;  // as settled at the start (once per process)
        serviceMode = false;
        EXPECT_EQ(parse(c.args), STS_OK) << shown;
        EXPECT_EQ(ExeDir, c.exeDir) << shown;
        EXPECT_EQ(CurDir, c.curDir) << shown;
        EXPECT_EQ(cwd(), c.curDir) << shown;
    }
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(CommandLine, ServiceModeWorksInTheProgramDirectory)
{
    test::TempDir exe, other;
    EXPECT_EQ(parse({"-s", "-e", exe.path().string()}), STS_OK);
    EXPECT_EQ(CurDir, exe.path().string());
    EXPECT_EQ(cwd(), exe.path().string());
    EXPECT_EQ(parse({"-s", "-e", exe.path().string(), "-c", other.path().string()}), STS_OK);
    EXPECT_EQ(CurDir, other.path().string());
}

TEST_F(CommandLine, ServiceModeWithoutItsProgramDirectoryIsRefusedWithoutABox)
{
    std::string before = cwd();
    EXPECT_EQ(parse({"-s", "-e", "/no/such/dir"}), STS_ERROR);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_TRUE(window.quits.empty());
    EXPECT_EQ(cwd(), before);
    ASSERT_NE(screenLines.current, nullptr);
    EXPECT_NE(std::string(screenLines.current).find("Error changing directory to '/no/such/dir'  code 2"),
              std::string::npos)
        << screenLines.current;
}

TEST_F(CommandLine, RefusalsReportStopMessage299)
{
    struct {
        std::vector<std::string> args;
        std::string text;
    } cases[] = {
        {{"v"}, "Invalid command line switch\n"},
        {{"-"}, "Invalid command line switch - \n"},
        {{"-z"}, "Invalid command line switch -z \n"},
        {{"-c"}, "Invalid command line syntax -c,  please specify <directory-name>\n"},
        {{"-c", "-v"}, "Invalid command line syntax -c,  please specify <directory-name>\n"},
        {{"-c", "/no/such/dir"}, "Invalid command line syntax -c,  cannot change directory to /no/such/dir\n"},
        {{"-e"}, "Invalid command line syntax -e,  please specify alternate QZR directory name after -e\n"},
        {{"-i", "-v"}, "Invalid command line syntax -i,  please specify filename\n"},
    };
    for (const auto& c : cases) {
        window.boxes.clear();
        window.quits.clear();
        EXPECT_EQ(parse(c.args), STS_ERROR) << c.text;
        ASSERT_EQ(window.boxes.size(), 1u) << c.text;
        EXPECT_EQ(window.boxes[0].text, "%F-0299: " + c.text);
        EXPECT_EQ(window.quits.size(), 1u);
    }
}

TEST_F(CommandLine, UsageIsAnInformation)
{
    EXPECT_EQ(parse({"-?"}), STS_ERROR);
    EXPECT_TRUE(usageShown);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].title, "QZR Information");
    EXPECT_EQ(window.boxes[0].text, std::string("%I-0215: ") + usageText);
    EXPECT_EQ(std::string(usageText),
              "\n\nusage: QZR  [-i inifile] [-v] [-h]\n\n"
              "   -i inifile       optional by default qzr.ini in current directory\n"
              "   -v               enable detailed messages\n"
              "   -x               disallow exit and Alt-F4 (Windows only)\n"
              "   -a               create but do *NOT* update activity.dat file (Windows only)\n");
}

TEST_F(CommandLine, RefusalWithoutWindowEndsTheThread)
{
    MainWindow* saved = hMainWnd;
    hMainWnd = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_THROW(parse({"-q"}), StopThread);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "QZR Error: %F-0299: Invalid command line switch -q \n\n");
    hMainWnd = saved;
}
