// The command line: switches, the working and program directories and the
// configuration file.
#include "engine/cmdline.h"

#include <cstdio>
#include <filesystem>

#include "foundation/activity.h"
#include "foundation/ascii.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "os/os_file.h"
#include "os/os_proc.h"

namespace qzr {

std::string Inifile;
bool optDebug = false;
bool optVerbose = false;
bool serviceMode = false;
bool exitDisabled = false;
bool usageShown = false;
std::vector<std::string> g_argv;

const char* const usageText =
    "\n"
    "\n"
    "usage: QZR  [-i inifile] [-v] [-h]\n"
    "\n"
    "   -i inifile       optional by default qzr.ini in current directory\n"
    "   -v               enable detailed messages\n"
    "   -x               disallow exit and Alt-F4 (Windows only)\n"
    "   -a               create but do *NOT* update activity.dat file (Windows only)\n";

namespace {

bool directoriesSettled = false;

// The directory the driver was started in, before any -c: a relative -e is
// taken from it. Empty when it could not be read.
std::string startDir;

void settleDirectories()
{
    directoriesSettled = true;
    CurDir.clear();
    if (int err = os_currentDirectory(CurDir); err != 0) {
        log_write(LOG_ERROR, "Cannot get current QZR directory GetCurrentDirectory (err=%d), using './' ", err);
        CurDir = "./";
    } else {
        startDir = CurDir;
    }
    std::string exe;
    int err = os_programPath(os_processId(), exe);
    if (err != 0) {
        log_write(LOG_ERROR, "Cannot find QZR GetModuleFileName (err=%d), using './' ", err);
        ExeDir = "./";
    } else {
        std::size_t slash = exe.rfind('/');
        ExeDir = slash == std::string::npos ? exe : exe.substr(0, slash);
        if (ExeDir.empty()) ExeDir = "/";
    }
}

// The program directory named by -e: a relative name is taken from the
// directory the driver was started in, whatever -c made current before or
// after it, and kept absolute ("." and ".." steps resolved by name, no
// trailing slash).
std::string programDirectory(const char* dir)
{
    std::filesystem::path d = dir;
    if (d.is_relative() && !startDir.empty()) d = std::filesystem::path(startDir) / d;
    std::string s = d.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Refuses the command line with `text`; returns 1001 when the report returns.
int refuse(const char* text)
{
    tbx_error(nullptr, TBX_MSG_STOP, text);
    return STS_ERROR;
}

// The value of a switch: the next argument, which must exist and must not
// begin with '-'. Null when it is missing.
const char* switchValue(int argc, char** argv, int& i)
{
    if (i + 1 >= argc || argv[i + 1][0] == '-') return nullptr;
    return argv[++i];
}

}  // namespace

bool cmdline_asksForService(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' && arg[0] != '/') return false;
        char sw = asciiLower(arg[1]);
        if (sw == 's') return true;
        if ((sw == 'c' || sw == 'e' || sw == 'i') && !switchValue(argc, argv, i)) return false;
    }
    return false;
}

int parseCommandLine(int argc, char** argv)
{
    if (!directoriesSettled) settleDirectories();
    activityEnabled = true;
    bool haveC = false;
    bool haveI = false;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' && arg[0] != '/') return refuse("Invalid command line switch\n");
        char sw = asciiLower(arg[1]);
        switch (sw) {
        case '?':
        case 'h':
            tbx_error(nullptr, TBX_MSG_INFO, usageText);
            usageShown = true;
            return STS_ERROR;
        case 'a': activityEnabled = false; break;
        case 'd': optDebug = true; break;
        case 's': serviceMode = true; break;
        case 'v': optVerbose = true; break;
        case 'x': exitDisabled = true; break;
        case 'c': {
            const char* dir = switchValue(argc, argv, i);
            if (!dir) return refuse("Invalid command line syntax -c,  please specify <directory-name>\n");
            if (int err = os_changeDirectory(dir); err != 0) {
                log_write(LOG_INFO, "Error changing directory to '%s'  code %d\n", dir, err);
                char text[TBX_TEXT_SIZE];
                std::snprintf(text, sizeof text, "Invalid command line syntax -c,  cannot change directory to %s\n",
                              dir);
                return refuse(text);
            }
            // Kept absolute, so that paths formed from it stay right now
            // that the process works there.
            if (os_currentDirectory(CurDir) != 0) CurDir = dir;
            haveC = true;
            break;
        }
        case 'e': {
            const char* dir = switchValue(argc, argv, i);
            if (!dir)
                return refuse("Invalid command line syntax -e,  please specify alternate QZR directory name after -e\n");
            ExeDir = programDirectory(dir);
            break;
        }
        case 'i': {
            const char* file = switchValue(argc, argv, i);
            if (!file) return refuse("Invalid command line syntax -i,  please specify filename\n");
            Inifile = file;
            haveI = true;
            break;
        }
        default: {
            char text[TBX_TEXT_SIZE];
            std::snprintf(text, sizeof text, "Invalid command line switch %s \n", arg);
            return refuse(text);
        }
        }
    }

    if (serviceMode && !haveC) {
        if (int err = os_changeDirectory(ExeDir.c_str()); err != 0) {
            log_write(LOG_INFO, "Error changing directory to '%s'  code %d\n", ExeDir.c_str(), err);
            return STS_ERROR;
        }
        CurDir = ExeDir;
    }
    if (!haveI) Inifile = CurDir + "/qzr.ini";
    log_write(LOG_INFO, "QZR main: ExeDir=%s CurDir=%s Inifile=%s", ExeDir.c_str(), CurDir.c_str(),
              Inifile.c_str());
    g_argv.assign(argv, argv + argc);
    return STS_OK;
}

}  // namespace qzr
