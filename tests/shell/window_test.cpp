// The status window: the real driver on a terminal (its rows, menus by key,
// modal boxes, -x, the terminal given back), the instance mutex, and the
// window procedure and title in this process.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <cstring>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver_fixture.h"
#include "engine/cmdline.h"
#include "foundation/runtime.h"
#include "https/https_peer.h"
#include "links/link_peers.h"
#include "links/msg_pump.h"
#include "os/os_instance.h"
#include "redirect/ini_switch_table.h"
#include "screen_fixture.h"
#include "shell/window.h"
#include "support/proc_stat.h"
#include "support/test_window.h"
#include "support/version_texts.h"

using namespace qzr;
using namespace qzr::test;

namespace {

// Rows of the window on the terminal.
constexpr int TITLE_ROW = 0;
constexpr int MENU_ROW = 1;
constexpr int STATUS_ROW = 2;
constexpr int FIRST_SCREEN_ROW = 4;
constexpr int LAST_ERROR_LABEL_ROW = 13;
constexpr int LAST_ERROR_ROW = 14;

const std::regex STAMP("^[0-2][0-9]:[0-5][0-9]:[0-5][0-9] .*");

// The activity mark at the end of the title line.
std::string mark(const std::string& titleRow)
{
    return titleRow.size() < 3 ? "" : titleRow.substr(titleRow.size() - 3);
}

// The row of `rows` that holds `text`, or -1.
int rowWith(const std::vector<std::string>& rows, const std::string& text)
{
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
}

class WindowTest : public DriverTest {
protected:
    // The driver on the terminal, started in its working directory.
    void start(std::vector<std::string> extra = {})
    {
        // The update check was made just now: it stays quiet.
        dir.write("qzrupdate.lck", "");
        ASSERT_TRUE(term.start(dir.path().string(), args(std::move(extra))));
    }
    // Waits for the status line of the idle driver: the last network
    // announced at start, or the wait after a pass.
    bool idle() const { return idle(term); }
    bool idle(const Terminal& t) const
    {
        return waitFor([&] {
            std::string status = t.row(STATUS_ROW);
            return status.find("Waiting for request in " + dir.path().string()) != std::string::npos ||
                   status.find("  Network 0 ") != std::string::npos;
        });
    }
    std::string title() const { return "ZAVI Quarzel " + dir.path().filename().string(); }

    Terminal term{dir};
};

TEST_F(WindowTest, RowsShowTitleStatusScreenLinesAndLastError)
{
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    std::string good = claim(5);
    request("TEST", "REQ.001", good.substr(0, 60));  // shorter than its length field
    request("TEST", "REQ.002", good);
    start();
    ASSERT_TRUE(term.shows("File:TEST/REQ.002 processed")) << term.screen();
    ASSERT_TRUE(idle()) << term.screen();

    std::vector<std::string> rows = term.rows();
    EXPECT_EQ(rows[TITLE_ROW].rfind(" " + title(), 0), 0u) << rows[TITLE_ROW];
    EXPECT_EQ(mark(rows[TITLE_ROW]), "[ ]") << rows[TITLE_ROW];  // idle
    EXPECT_EQ(rows[MENU_ROW].rfind("  File   Help ", 0), 0u) << rows[MENU_ROW];

    EXPECT_TRUE(std::regex_match(rows[STATUS_ROW], STAMP)) << rows[STATUS_ROW];
    EXPECT_EQ(rows[STATUS_ROW].substr(9), "Waiting for request in " + dir.path().string());
    EXPECT_EQ(rows[STATUS_ROW + 1], "");

    // The screen lines are the last eight lines of the log, oldest first,
    // each with the time of day.
    std::string l = log();
    std::size_t at = 0;
    for (int r = FIRST_SCREEN_ROW; r < FIRST_SCREEN_ROW + 8; ++r) {
        const std::string& row = rows[static_cast<std::size_t>(r)];
        ASSERT_TRUE(std::regex_match(row, STAMP)) << r << ": " << row;
        std::size_t found = l.find(row.substr(9), at);
        ASSERT_NE(found, std::string::npos) << r << ": " << row << "\n" << l;
        at = found;
    }
    EXPECT_EQ(l.find('\n', at), std::string::npos) << "the last screen line is the log's last line";
    EXPECT_EQ(rows[FIRST_SCREEN_ROW + 8], "");

    EXPECT_EQ(rows[LAST_ERROR_LABEL_ROW], "Last Error:");
    EXPECT_TRUE(std::regex_match(rows[LAST_ERROR_ROW], STAMP)) << rows[LAST_ERROR_ROW];
    EXPECT_EQ(rows[LAST_ERROR_ROW].substr(9), "Error 1034 (invalid CDAnet claim) while processing TEST/REQ.001");
    EXPECT_EQ(rows[LAST_ERROR_ROW + 1], "");

    // What the redirection rules print goes to the log, not over the window.
    EXPECT_NE(l.find("INFO - * END of Report *"), std::string::npos) << l;
    EXPECT_EQ(dir.read("TEST/RSP.002").substr(0, 9), "5,0,002,1");

    // Exit from the File menu ends the run with 0, the terminal given back.
    term.keys({"M-f"});
    ASSERT_TRUE(term.shows("Cancel current call")) << term.screen();
    std::vector<std::string> shaded = term.rows(true);
    int exitRow = rowWith(term.rows(), "Exit");
    ASSERT_GT(exitRow, 0);
    EXPECT_EQ(shaded[static_cast<std::size_t>(exitRow)].find("\x1b[2m"), std::string::npos) << "Exit is not greyed";
    term.keys({"x"});
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    term.expectRestored();
    EXPECT_EQ(log().substr(log().size() - 4), "End.");
    EXPECT_FALSE(exists("activity.dat"));
}

TEST_F(WindowTest, CancelEndsTheCallAndArrowsReachExit)
{
    PtyPeer host;  // a host that never invites: the driver waits for its ENQ
    host.linkInto(dir.path().string());
    writeIni("[HOST]\nmaxEnqDelay = 60\ncomdev = \"COM1\"\nconnectionMode = direct\nspeed = 9600\ndataBit = 8\n"
             "parity = none\n",
             true);
    request("HOST", "REQ.001", claim(4));
    start();
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").substr(0, 1) == "G"; })) << term.screen();
    // The mark shows a step of the call.
    std::string busy = mark(term.row(TITLE_ROW));
    EXPECT_TRUE(busy == "[|]" || busy == "[/]" || busy == "[-]" || busy == "[\\]") << busy;

    term.keys({"M-f", "c"});
    ASSERT_TRUE(waitFor([&] { return dir.read("HOST/RSP.001") == "4,1003,001,"; })) << term.screen();
    ASSERT_TRUE(idle()) << term.screen();  // the run goes on
    EXPECT_EQ(mark(term.row(TITLE_ROW)), "[ ]");

    // F10 opens File on its first item; Down passes the separator to Exit.
    term.keys({"F10"});
    ASSERT_TRUE(term.shows("Cancel current call"));
    term.keys({"Down", "Enter"});
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    term.expectRestored();
}

// The window's Close (Ctrl-C) while the proxy keeps the claim waiting:
// the transfer dispatches the window's keys, so the Close is taken at once
// and aborts the transfer; the call ends with 1001 (the proxy may have the
// claim) and the run with 0.
TEST_F(WindowTest, CloseDuringAnHttpsProxyTransferEndsIt)
{
    LoopbackProxy proxy(dir);
    ASSERT_TRUE(proxy.ready());
    HttpsServer& keyServer = proxy.keyServer;
    HttpsServer& claimServer = proxy.claimServer;
    keyServer.serve({replyOf(200, "KEY-FOR-9998")});
    HttpReply slow = replyOf(200, "LATE ANSWER");
    slow.delayMs = 20000;
    claimServer.serve({slow});
    writeIni("[NETH]\nmaxProcessingDelay = 60\nconnectionType = http\naddress = \"localhost\"\n");
    request("NETH", "REQ.001", claim(5));
    start();
    ASSERT_TRUE(waitFor([&] { return claimServer.requests().size() == 1; }, 15000)) << term.screen();
    auto closed = std::chrono::steady_clock::now();
    term.keys({"C-c"});
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    long took = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closed).count());
    proxy.stop();
    EXPECT_LT(took, 3000);
    EXPECT_EQ(dir.read("NETH/RSP.001"), "5,1001,001,");
    term.expectRestored();
}

TEST_F(WindowTest, DetailedMessagesMarkFollowsTheFlag)
{
    writeIni(TEST_NETWORK, true);  // detailed messages on at start
    linkDevice("com1", "/dev/ptmx");
    start();
    ASSERT_TRUE(idle()) << term.screen();

    // The mark is clear at start, whatever the flag.
    term.keys({"M-h"});
    ASSERT_TRUE(term.shows("Detailed Messages"));
    EXPECT_EQ(term.screen().find("* Detailed Messages"), std::string::npos);

    // Off: the mark stays clear and a request logs no detail.
    term.keys({"d"});
    ASSERT_TRUE(term.hides("Detailed Messages"));
    request("TEST", "REQ.001", claim(1));
    ASSERT_TRUE(waitFor([&] { return exists("TEST/RSP.001"); }));
    ASSERT_TRUE(term.shows("File:TEST/REQ.001 processed"));
    EXPECT_EQ(log().find("request len ="), std::string::npos) << log();
    term.keys({"M-h"});
    ASSERT_TRUE(term.shows("Detailed Messages"));
    EXPECT_EQ(term.screen().find("* Detailed Messages"), std::string::npos);
    term.keys({"Escape"});
    ASSERT_TRUE(term.hides("Detailed Messages"));

    // SIGUSR2 is the same command: on again, with its mark.
    pid_t pid = term.driverPid();
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGUSR2);
    request("TEST", "REQ.002", claim(2));
    ASSERT_TRUE(term.shows("File:TEST/REQ.002 processed"));
    EXPECT_NE(log().find("request len ="), std::string::npos) << log();
    term.keys({"M-h"});
    ASSERT_TRUE(term.shows("* Detailed Messages")) << term.screen();
    term.keys({"Escape", "M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

TEST_F(WindowTest, ExitDisabledGreysExitAndRefusesIt)
{
    writeIni(TEST_NETWORK, true);
    start({"-x"});
    ASSERT_TRUE(idle()) << term.screen();
    term.keys({"M-f"});
    ASSERT_TRUE(term.shows("Cancel current call"));
    std::vector<std::string> shaded = term.rows(true);
    int exitRow = rowWith(term.rows(), "Exit");
    ASSERT_GT(exitRow, 0);
    EXPECT_NE(shaded[static_cast<std::size_t>(exitRow)].find("\x1b[2m"), std::string::npos)
        << shaded[static_cast<std::size_t>(exitRow)];

    // Exit by its letter, by Enter on it, and Ctrl-C (the window's Close)
    // do nothing; the Help menu opening after them shows they were read.
    term.keys({"x", "F10", "Down", "Enter", "C-c", "M-f", "c", "M-h"});
    ASSERT_TRUE(term.shows("Detailed Messages")) << term.screen();
    EXPECT_EQ(term.screen().find("[exit"), std::string::npos);
    term.keys({"Escape"});
    ASSERT_TRUE(term.hides("Detailed Messages"));

    // A close from outside still ends the run.
    pid_t pid = term.driverPid();
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    term.expectRestored();
    EXPECT_EQ(log().substr(log().size() - 4), "End.");
}

TEST_F(WindowTest, BoxesWaitForEnter)
{
    writeIni(TEST_NETWORK, true);
    start();
    ASSERT_TRUE(idle()) << term.screen();

    // F1, Alt-? and Alt-/ do nothing: the Help menu opening after them
    // shows they were read.
    term.keys({"F1", "M-?", "M-/", "M-h"});
    ASSERT_TRUE(term.shows("Detailed Messages")) << term.screen();
    EXPECT_EQ(term.screen().find("Unable to activate help"), std::string::npos) << term.screen();
    EXPECT_EQ(term.screen().find("Redirection version"), std::string::npos) << term.screen();
    term.keys({"Escape"});
    ASSERT_TRUE(term.hides("Detailed Messages"));

    // The About box, from the Help menu.
    term.keys({"M-h", "a"});
    ASSERT_TRUE(term.shows("Redirection version")) << term.screen();
    std::vector<std::string> rows = term.rows();
    int top = rowWith(rows, " About ");
    ASSERT_GE(top, 0) << term.screen();
    EXPECT_NE(term.screen().find("[ OK ]"), std::string::npos);
    EXPECT_NE(rows[static_cast<std::size_t>(top + 1)].find("ZAVI"), std::string::npos);
    EXPECT_NE(rows[static_cast<std::size_t>(top + 2)].find(versionBanner()), std::string::npos);
    EXPECT_NE(rows[static_cast<std::size_t>(top + 3)].find("Ini file version      test "), std::string::npos);
    // No redirection file was read: its version is empty.
    std::smatch m;
    EXPECT_TRUE(std::regex_search(rows[static_cast<std::size_t>(top + 4)], m, std::regex("Redirection version +[^ ]+$")))
        << rows[static_cast<std::size_t>(top + 4)];
    // The box takes every key until Enter.
    term.keys({"M-h", "x", "C-c", "Enter"});
    ASSERT_TRUE(term.hides("Redirection version")) << term.screen();
    EXPECT_EQ(term.screen().find("Detailed Messages"), std::string::npos) << term.screen();
    EXPECT_EQ(term.screen().find("[exit"), std::string::npos);
    // Esc alone dismisses it too.
    term.keys({"M-h", "a"});
    ASSERT_TRUE(term.shows("Redirection version"));
    term.keys({"Escape"});
    ASSERT_TRUE(term.hides("Redirection version"));

    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

// Names in UTF-8 show as written, in the title and in the lines; a line
// cut at its 127 bytes ends on a whole character.
TEST_F(WindowTest, NamesInUtf8ShowAsWritten)
{
    namespace fs = std::filesystem;
    // The status line is the time, "Waiting for request in " and the
    // directory: its cut falls between the two bytes of the last "é".
    const std::string base = dir.path().string() + "/";
    const std::string shown = "D\xc3\xa9p\xc3\xb4t " + std::string(126 - 9 - 23 - base.size() - 8, 'x');
    const std::string name = shown + "\xc3\xa9" "fin";
    const std::string work = base + name;
    fs::create_directories(work);
    // The configuration's version, shown in the About box, wraps there.
    std::string version;
    for (int i = 0; i < 60; ++i) version += "\xc3\xa9";
    writeIni(TEST_NETWORK, true);  // written in `dir`, moved into `work`
    std::string ini = dir.read("qzr.ini");
    ini.replace(ini.find("version = \"test\""), 16, "version = \"" + version + "\"");
    std::ofstream(fs::path(work) / "qzr.ini") << ini;
    std::ofstream(fs::path(work) / "qzrupdate.lck");

    ASSERT_TRUE(term.start(work, {"-c", work, "-e", work}, "LC_ALL=C.UTF-8"));
    term.resize(140, Terminal::ROWS);
    ASSERT_TRUE(idle()) << term.screen();
    // Drawn at the new width: 139 cells, three of them two bytes long.
    ASSERT_TRUE(waitFor([&] { return term.row(TITLE_ROW).size() == 139 + 3; })) << term.row(TITLE_ROW);
    EXPECT_EQ(term.row(TITLE_ROW).rfind(" ZAVI Quarzel " + name + " ", 0), 0u) << term.row(TITLE_ROW);
    // The screen line of the start.
    std::vector<std::string> rows = term.rows();
    int waiting = rowWith(rows, "Waiting for request in");
    ASSERT_GE(waiting, FIRST_SCREEN_ROW) << term.screen();
    EXPECT_EQ(rows[static_cast<std::size_t>(waiting)].substr(9), "Waiting for request in " + base + shown)
        << rows[static_cast<std::size_t>(waiting)];
    EXPECT_EQ(term.screen().find('?'), std::string::npos) << term.screen();

    // A box line too long for the box wraps between whole characters.
    term.keys({"M-h", "a"});
    ASSERT_TRUE(term.shows("Redirection version")) << term.screen();
    rows = term.rows();
    int iniRow = rowWith(rows, "Ini file version      ");
    ASSERT_GT(iniRow, 0) << term.screen();
    // The box's lines are 76 cells wide: the label's 22 and 54 letters,
    // then the other 6.
    EXPECT_EQ(count(rows[static_cast<std::size_t>(iniRow)], "\xc3\xa9"), 54) << term.screen();
    EXPECT_EQ(count(rows[static_cast<std::size_t>(iniRow + 1)], "\xc3\xa9"), 6) << term.screen();
    EXPECT_EQ(term.screen().find('?'), std::string::npos) << term.screen();
    term.keys({"Enter"});
    ASSERT_TRUE(term.hides("Redirection version"));
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

// A change of the terminal's size is drawn at once, idle or with a box open,
// and the Esc after it still answers the box.
TEST_F(WindowTest, ResizeIsDrawnAtOnce)
{
    writeIni(TEST_NETWORK, true);
    start();
    ASSERT_TRUE(idle()) << term.screen();
    // Idle: the title line ends with the activity mark at the new width,
    // well before the next idle pass (3 s) would have drawn it.
    for (int columns : {60, 80, 70}) {
        term.resize(columns, Terminal::ROWS);
        EXPECT_TRUE(waitFor([&] { return term.row(TITLE_ROW).size() == static_cast<std::size_t>(columns - 1); }, 1000))
            << columns << ": " << term.row(TITLE_ROW);
    }
    EXPECT_EQ(mark(term.row(TITLE_ROW)), "[ ]");

    // A box open: centred again on the new screen.
    term.keys({"M-h", "a"});
    ASSERT_TRUE(term.shows("Redirection version")) << term.screen();
    term.resize(70, 16);
    // Its four lines in a frame with the OK row: eight rows from row 4.
    EXPECT_TRUE(waitFor([&] { return rowWith(term.rows(), " About ") == 4; }, 1000)) << term.screen();
    term.keys({"Escape"});
    EXPECT_TRUE(term.hides("Redirection version")) << term.screen();
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

// On a low screen the menu shows the items that fit, and only those can be
// chosen.
TEST_F(WindowTest, MenuIsClippedToALowScreen)
{
    writeIni(TEST_NETWORK, true);
    start();
    ASSERT_TRUE(idle()) << term.screen();
    term.resize(Terminal::COLUMNS, 8);
    ASSERT_TRUE(waitFor([&] { return term.rows()[8].empty() && term.row(TITLE_ROW).find("[ ]") != std::string::npos; }));
    // Four rows between the edges: Detailed Messages, a separator and the
    // first two Test items (no network: "N/A").
    term.keys({"M-h"});
    ASSERT_TRUE(term.shows("Detailed Messages")) << term.screen();
    EXPECT_EQ(count(term.screen(), "N/A"), 2) << term.screen();
    EXPECT_EQ(term.screen().find("Check for updates"), std::string::npos) << term.screen();
    EXPECT_EQ(term.screen().find("About QZR"), std::string::npos) << term.screen();
    // About's letter is not taken; Detailed Messages' is.
    term.keys({"a", "d"});
    ASSERT_TRUE(term.hides("Detailed Messages")) << term.screen();
    EXPECT_EQ(term.screen().find("Redirection version"), std::string::npos) << term.screen();
    // Up from the first item goes round to the last shown, not past the
    // screen's edge: Enter on it (a greyed Test item) only closes the menu.
    term.keys({"M-h", "Up", "Enter"});
    ASSERT_TRUE(term.hides("Detailed Messages")) << term.screen();
    EXPECT_EQ(term.screen().find("Redirection version"), std::string::npos) << term.screen();
    // Room again for what the window's shell prints after the end.
    term.resize(Terminal::COLUMNS, Terminal::ROWS);
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

TEST_F(WindowTest, CheckForUpdatesStartsTheUpdateProgramAtOnce)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate", "#!/bin/sh\necho started >> \"$(dirname \"$0\")/update-ran\"\n");
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    start();  // the last check was just now: none at idle
    ASSERT_TRUE(idle()) << term.screen();
    EXPECT_FALSE(exists("update-ran"));
    term.keys({"M-h", "u"});
    ASSERT_TRUE(waitFor([&] { return exists("update-ran"); })) << term.screen();
    EXPECT_TRUE(term.shows("UPDATE: Checking for updates..."));
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

// The update program runs on its own: it neither draws on the window nor
// shares the driver's session (a hang-up of the terminal would end it),
// and it is collected at an idle pass once it has ended.
TEST_F(WindowTest, UpdateProgramRunsInASessionOfItsOwnAndIsCollected)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate", recordingProgram("UPDATE PROGRAM NOISE"));
    ::chmod(dir.file("qzrupdate").c_str(), 0755);
    start();
    ASSERT_TRUE(idle()) << term.screen();
    pid_t driver = term.driverPid();
    ASSERT_GT(driver, 0);
    term.keys({"M-h", "u"});
    ASSERT_TRUE(waitFor([&] { return exists("started"); })) << term.screen();

    StartedRecord r = readStartedRecord(dir.read("started"));
    ASSERT_TRUE(r.stat.found) << dir.read("started");
    EXPECT_EQ(r.stat.session, r.stat.pid);
    EXPECT_EQ(r.stat.pgrp, r.stat.pid);
    EXPECT_NE(r.stat.session, procStat(driver).session);
    for (const std::string& fd : r.fd) EXPECT_EQ(fd, "/dev/null");

    // Ended, it is collected within an idle pass or two; the driver runs on.
    EXPECT_TRUE(waitFor([&] { return !procStat(r.stat.pid).found; }, 8000)) << procStat(r.stat.pid).state;
    EXPECT_EQ(procStat(driver).state != 'Z' && procStat(driver).found, true);
    EXPECT_EQ(term.screen().find("UPDATE PROGRAM NOISE"), std::string::npos) << term.screen();
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
}

// A terminal that goes away hangs up: the run ends as on a close.
TEST_F(WindowTest, HangUpEndsTheRun)
{
    writeIni(TEST_NETWORK, true);
    start();
    ASSERT_TRUE(idle()) << term.screen();
    pid_t pid = term.driverPid();
    ASSERT_GT(pid, 0);
    term.hangUp();
    ASSERT_TRUE(waitFor([&] { return ::kill(pid, 0) != 0; })) << "the driver still runs";
    EXPECT_EQ(log().substr(log().size() - 4), "End.");
    EXPECT_FALSE(exists("activity.dat"));
}

// Started under nohup, the driver outlives its terminal: the hang-up that
// nohup set to ignored stays ignored (nohup sends the output to nohup.out,
// so nothing is drawn).
TEST_F(WindowTest, HangUpIgnoredByTheStarterStaysIgnored)
{
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrupdate.lck", "");
    ASSERT_TRUE(term.start(dir.path().string(), args(), "", "nohup"));
    ASSERT_TRUE(waitFor([&] { return log().find("Waiting for request in") != std::string::npos; })) << log();
    pid_t pid = term.driverPid();
    ASSERT_GT(pid, 0);
    std::string shell = term.format("#{pane_pid}");
    std::string status = procStatus(pid);
    EXPECT_TRUE(signalMask(status, "SigIgn") & signalBit(SIGHUP)) << status;

    term.hangUp();
    ASSERT_TRUE(waitFor([&] { return ::kill(std::stoi(shell), 0) != 0; })) << "the terminal's shell still runs";
    // The driver runs on and serves.
    request("TEST", "REQ.001", claim(3));
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); })) << log();
    EXPECT_EQ(::kill(pid, 0), 0);
    ::kill(pid, SIGTERM);
    ASSERT_TRUE(waitFor([&] { return ::kill(pid, 0) != 0; })) << "the driver still runs";
    EXPECT_EQ(log().substr(log().size() - 4), "End.");
}

// A text without its blanks and line ends: a terminal's settings as stty
// prints them, wherever the rows of the screen cut them.
std::string withoutBlanks(const std::string& text)
{
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') out += c;
    return out;
}

// SIGQUIT and SIGALRM end the run as SIGTERM does; a signal that ends the
// process by default (a crash among them) gives the terminal back, then
// the process dies of that signal. Either way the terminal's settings are
// those of before and the normal screen is back, with its cursor.
TEST_F(WindowTest, EveryWayOutGivesTheTerminalBack)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer reports a SIGSEGV itself, then aborts.
    constexpr int SEGV_DEATH = SIGABRT;
#else
    constexpr int SEGV_DEATH = SIGSEGV;
#endif
    struct Case {
        int sig;
        int exit;  // as the shell shows it: 128 and the signal for a death by signal
    } cases[] = {
        {SIGQUIT, 0},
        {SIGALRM, 0},
        {SIGABRT, 128 + SIGABRT},
        {SIGSEGV, 128 + SEGV_DEATH},
        {SIGILL, 128 + SIGILL},
        {SIGPIPE, 128 + SIGPIPE},
        {SIGRTMIN + 1, 128 + SIGRTMIN + 1},
    };
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");
    // Keeps the settings of before the driver, and leaves no core file; a
    // sanitizer's report of the crash ends in an abort whatever options the
    // test was started with.
    const std::string before = dir.file("stty-before");
    const std::string wrapper =
        dir.write("wrapper", "#!/bin/sh\nulimit -c 0\nexport ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}abort_on_error=1\"\n"
                             "stty -a > " + shellQuoted(before) + "\nexec \"$@\"\n");
    ::chmod(wrapper.c_str(), 0755);
    for (const Case& c : cases) {
        SCOPED_TRACE(::strsignal(c.sig));
        TempDir own;
        Terminal t(own);
        std::filesystem::remove(before);
        ASSERT_TRUE(t.start(dir.path().string(), args(), "", shellQuoted(wrapper)));
        ASSERT_TRUE(idle(t)) << t.screen();
        EXPECT_EQ(t.format("#{alternate_on}"), "1");
        pid_t pid = t.driverPid();
        ASSERT_GT(pid, 0);
        ::kill(pid, c.sig);
        EXPECT_EQ(t.exitCode(), c.exit) << t.screen();
        t.expectRestored();
        std::string shown = t.screen();
        std::size_t after = shown.find('\n', shown.find("[exit "));
        ASSERT_NE(after, std::string::npos) << shown;
        EXPECT_EQ(withoutBlanks(shown.substr(after)), withoutBlanks(dir.read("stty-before"))) << shown;
        if (c.exit == 0) {
            EXPECT_EQ(log().substr(log().size() - 4), "End.");
        }
    }
}

// On a terminal without the dim attribute (vt100), a greyed item is drawn
// in parentheses; the others are drawn as they are.
TEST_F(WindowTest, GreyedItemsAreMarkedWhereDimIsMissing)
{
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");
    ASSERT_TRUE(term.start(dir.path().string(), args({"-x"}), "TERM=vt100"));
    ASSERT_TRUE(idle()) << term.screen();
    term.keys({"M-f"});
    ASSERT_TRUE(term.shows("Cancel current call")) << term.screen();
    std::vector<std::string> rows = term.rows();
    EXPECT_GT(rowWith(rows, "(Exit)"), 0) << term.screen();
    EXPECT_EQ(rowWith(rows, "(Cancel current call)"), -1) << term.screen();
    EXPECT_EQ(term.screen(true).find("\x1b[2m"), std::string::npos) << term.screen(true);
    term.keys({"Escape", "M-h"});
    ASSERT_TRUE(term.shows("Detailed Messages")) << term.screen();
    rows = term.rows();
    // No network can be tested: the three Test items are greyed.
    int first = rowWith(rows, "(N/A)");
    ASSERT_GT(first, 0) << term.screen();
    for (int r = first; r < first + 3; ++r)
        EXPECT_NE(rows[static_cast<std::size_t>(r)].find("(N/A)"), std::string::npos) << term.screen();
    EXPECT_EQ(rowWith(rows, "(Detailed Messages)"), -1) << term.screen();
    EXPECT_EQ(rowWith(rows, "(About QZR...)"), -1) << term.screen();
    term.keys({"Escape"});
    ASSERT_TRUE(term.hides("Detailed Messages"));
    ::kill(term.driverPid(), SIGTERM);
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
}

// A log that cannot be opened ends the run at once: once the window has
// given the screen back, its last error stays readable on standard error.
TEST_F(WindowTest, LastErrorIsToldOnceTheScreenIsGivenBack)
{
    const std::string bad = dir.file("no-such-dir/qzr.log");
    writeIni(TEST_NETWORK, true);
    std::string ini = dir.read("qzr.ini");
    ini.replace(ini.find("logFile = \"qzr.log\""), 19, "logFile = \"" + bad + "\"");
    dir.write("qzr.ini", ini);
    start();
    EXPECT_EQ(term.exitCode(), 2) << term.screen();
    term.expectRestored();
    std::vector<std::string> rows = term.rows();
    int exitRow = rowWith(rows, "[exit 2]");
    ASSERT_GT(exitRow, 0) << term.screen();
    EXPECT_TRUE(std::regex_match(rows[static_cast<std::size_t>(exitRow - 1)],
                                 std::regex("Last Error: [0-2][0-9]:[0-5][0-9]:[0-5][0-9] cannot open log file " +
                                            std::regex_replace(bad, std::regex("[.]"), "[.]"))))
        << term.screen();
}

// A configuration error: its box waits on the window; the tokenizer's
// context lines are screen lines, not text printed over the window.
TEST_F(WindowTest, ConfigurationErrorShowsItsContextAndBox)
{
    dir.write("qzr.ini", "[general]\ninputFileName = REQ\noutputFileName = RSP\nhangupDelay = zz\n");
    start();
    ASSERT_TRUE(term.shows("Syntax error, expecting: num")) << term.screen();
    std::vector<std::string> rows = term.rows();
    EXPECT_EQ(rows[TITLE_ROW].rfind(" " + title(), 0), 0u) << rows[TITLE_ROW];
    EXPECT_EQ(rows[MENU_ROW].rfind("  File   Help ", 0), 0u) << rows[MENU_ROW];
    int source = rowWith(rows, "hangupDelay = zz");
    ASSERT_GE(source, FIRST_SCREEN_ROW) << term.screen();
    EXPECT_TRUE(std::regex_match(rows[static_cast<std::size_t>(source)], STAMP));
    EXPECT_EQ(rows[static_cast<std::size_t>(source + 1)].substr(9), "              ^");
    EXPECT_NE(term.screen().find(" QZR Error "), std::string::npos);
    term.keys({"Enter"});
    EXPECT_EQ(term.exitCode(), 2) << term.screen();
    term.expectRestored();
}

// A terminal that cannot address the cursor (dumb) or whose type is
// unknown is no terminal for the window: nothing is drawn, the box of a
// configuration error goes to standard error and the run ends at once.
TEST_F(DriverTest, TerminalThatCannotAddressTheCursorIsNoTerminal)
{
    dir.write("qzr.ini", "[general]\ninputFileName = REQ\noutputFileName = RSP\nhangupDelay = zz\n");
    for (const char* type : {"dumb", "qzr-unknown-terminal"}) {
        SCOPED_TRACE(type);
        std::vector<std::string> env = environmentWithout({"TERM"});
        env.push_back(std::string("TERM=") + type);
        std::string output;
        EXPECT_EQ(runOnPty(args(), dir.path().string(), env, output), 2) << output;
        EXPECT_NE(output.find("QZR Error: "), std::string::npos) << output;
        EXPECT_NE(output.find("Syntax error, expecting: num"), std::string::npos) << output;
        EXPECT_EQ(output.find('\x1b'), std::string::npos) << output;
    }
}

// An error of qzrsup.ini on the terminal: after its box the run goes on
// and serves what comes.
TEST_F(WindowTest, SupplementalFileErrorShowsItsBoxAndTheRunGoesOn)
{
    writeIni(TEST_NETWORK, true);
    linkDevice("com1", "/dev/ptmx");
    dir.write("qzrsup.ini", "version = v1\n");
    start();
    ASSERT_TRUE(term.shows("Syntax error, expecting: string")) << term.screen();
    EXPECT_NE(term.screen().find(" QZR Error "), std::string::npos);
    term.keys({"Enter"});
    ASSERT_TRUE(idle()) << term.screen();
    request("TEST", "REQ.001", claim(1));
    ASSERT_TRUE(waitFor([&] { return exists("TEST/_EQ.001"); })) << term.screen();
    EXPECT_EQ(dir.read("TEST/RSP.001").substr(0, 8), "1,0,001,");
    EXPECT_EQ(term.screen().find("[exit"), std::string::npos);
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
}

// The second instance in a working directory ends through exit() after its
// box: the terminal is given back all the same.
TEST_F(WindowTest, SecondInstanceInTheWorkingDirectoryShowsItsBoxThenEnds)
{
    writeIni(TEST_NETWORK, true);
    // Started elsewhere, so that only the working directory is shared.
    TempDir elsewhere;
    QzrProcess first(dir.path().string(), args(), elsewhere.path().string());
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").size() == 228; }));
    start();
    ASSERT_TRUE(term.shows("QZR is already running in this directory.")) << term.screen();
    EXPECT_NE(term.screen().find(" Configuration QZR non valide/ Invalid QZR configuration "), std::string::npos)
        << term.screen();
    EXPECT_NE(term.screen().find("Directory: " + dir.path().string()), std::string::npos);
    term.keys({"Enter"});
    EXPECT_EQ(term.exitCode(), 2) << term.screen();
    term.expectRestored();
    EXPECT_TRUE(first.running());
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
}

TEST_F(WindowTest, TestMenuRunsTheNetworkTest)
{
    TcpPeer host;
    const std::string frame = std::string("000011\x01\x01\x20", 9) + std::string("TEST PLAIN\0", 11);
    std::string received;
    host.start([&](PeerIo& io) {
        received = io.readN(frame.size(), 10000);
        io.send(std::string("000010\x01\x01\x20", 9) + "HOST READY");
        io.drain(200);
    });
    writeIni("[NETIP]\nmaxProcessingDelay = 10\nconnectionType = tcpip\naddress = \"" + host.address() + "\"\n", true);
    start();
    ASSERT_TRUE(idle()) << term.screen();
    term.keys({"M-h"});
    ASSERT_TRUE(term.shows("Test NETIP")) << term.screen();
    std::vector<std::string> shaded = term.rows(true);
    std::vector<std::string> rows = term.rows();
    int item = rowWith(rows, "Test NETIP");
    ASSERT_GT(item, 0);
    // Slots 2 and 3 have no network: "N/A", greyed.
    for (int r : {item + 1, item + 2}) {
        EXPECT_NE(rows[static_cast<std::size_t>(r)].find("N/A"), std::string::npos) << rows[static_cast<std::size_t>(r)];
        EXPECT_NE(shaded[static_cast<std::size_t>(r)].find("\x1b[2m"), std::string::npos);
    }
    EXPECT_EQ(shaded[static_cast<std::size_t>(item)].find("\x1b[2m"), std::string::npos);

    // Ctrl-Space types a NUL: no item has it as its letter, so nothing is
    // chosen and the menu stays open (Escape then closes it). Only the
    // choice below tests the network (counted at the end).
    term.keys({"C-Space", "Escape"});
    ASSERT_TRUE(term.hides("Test NETIP")) << term.screen();
    term.keys({"M-h"});
    ASSERT_TRUE(term.shows("Test NETIP")) << term.screen();

    term.keys({"Down", "Enter"});
    ASSERT_TRUE(term.shows("NETIP Test-1 " + host.address() + " HOST READY  Ok")) << term.screen();
    host.join();
    EXPECT_EQ(received, frame);
    // The bytes on the link, in the screen lines' readable form.
    EXPECT_NE(term.screen().find("IP write  len=20 <000011{0x01}{0x01} TEST PLAIN{nul}"), std::string::npos)
        << term.screen();
    term.keys({"M-f", "x"});
    EXPECT_EQ(term.exitCode(), 0);
    std::string l = log();
    std::size_t first = l.find("Testing Network NETIP primary connection");
    ASSERT_NE(first, std::string::npos) << l;
    EXPECT_EQ(l.find("Testing Network NETIP primary connection", first + 1), std::string::npos) << l;
}

// The instance mutex is named by the title: the last component of the
// directory the driver was started in, whatever its working directory.
TEST_F(DriverTest, SecondInstanceStartedInADirectoryOfTheSameNameEndsAtOnce)
{
    namespace fs = std::filesystem;
    writeIni(TEST_NETWORK, true);
    TempDir work2, work3, elsewhere, other;
    std::string name = dir.path().filename().string();  // unique to this test
    fs::create_directories(elsewhere.path() / name);
    // The others make one pass.
    std::string ini = std::string(GENERAL) + "hangAround = false\n[connectScript]\nversion = \"test\"\n" + TEST_NETWORK;
    work2.write("qzr.ini", ini);
    work3.write("qzr.ini", ini);
    std::vector<std::string> env = environmentWithout({});

    pid_t first = spawnIn({QZR_BINARY, "-c", dir.path().string(), "-e", dir.path().string()}, dir.path().string(),
                          env, dir.file("stdout.txt"), dir.file("stderr.txt"));
    ASSERT_GT(first, 0);
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").size() == 228; }));

    // Started in a directory of the same name, elsewhere: silent end, 0,
    // before anything was read or written.
    pid_t second = spawnIn({QZR_BINARY, "-c", work2.path().string(), "-e", work2.path().string(), "-v"},
                           (elsewhere.path() / name).string(), env, work2.file("stdout.txt"), work2.file("stderr.txt"));
    EXPECT_EQ(waitExit(second), 0);
    EXPECT_EQ(work2.read("stdout.txt"), "");
    EXPECT_EQ(work2.read("stderr.txt"), "");
    EXPECT_FALSE(fs::exists(work2.path() / "activity.dat"));
    EXPECT_FALSE(fs::exists(work2.path() / "qzr.log"));
    // Even the usage text is not shown.
    pid_t usage = spawnIn({QZR_BINARY, "-h"}, dir.path().string(), env, other.file("stdout.txt"),
                          other.file("stderr.txt"));
    EXPECT_EQ(waitExit(usage), 0);
    EXPECT_EQ(other.read("stderr.txt"), "");

    // Started in a directory of another name: it runs (one pass, no request).
    pid_t third = spawnIn({QZR_BINARY, "-c", work3.path().string(), "-e", work3.path().string()},
                          other.path().string(), env, work3.file("stdout.txt"), work3.file("stderr.txt"));
    EXPECT_EQ(waitExit(third), 1);
    EXPECT_NE(work3.read("qzr.log").find("End."), std::string::npos);

    ::kill(first, SIGTERM);
    EXPECT_EQ(waitExit(first), 0);
    // The name is free again once the first has ended.
    pid_t again = spawnIn({QZR_BINARY, "-c", work2.path().string(), "-e", work2.path().string()},
                          (elsewhere.path() / name).string(), env, work2.file("stdout.txt"), work2.file("stderr.txt"));
    EXPECT_EQ(waitExit(again), 1);
    EXPECT_TRUE(fs::exists(work2.path() / "qzr.log"));
}

// The instance mutex is private to its user: another user's driver started
// in a directory of the same name runs beside this one, while a second
// driver of that user still ends at once.
TEST_F(DriverTest, DriversOfTwoUsersInDirectoriesOfTheSameNameBothRun)
{
    namespace fs = std::filesystem;
    constexpr unsigned NOBODY = 65534;
    if (::geteuid() != 0) GTEST_SKIP() << "starting a driver as another user needs root";
    if (::access(SETPRIV, X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    writeIni(TEST_NETWORK, true);
    dir.write("qzrupdate.lck", "");
    // The other user's working directories, named as this one.
    TempDir other, other2;
    std::string name = dir.path().filename().string();
    std::vector<std::string> works;
    for (const TempDir* t : {&other, &other2}) {
        ::chmod(t->path().c_str(), 0755);
        t->write(name + "/qzr.ini", dir.read("qzr.ini"));
        t->write(name + "/qzrupdate.lck", "");
        fs::path w = t->path() / name;
        for (const fs::path& p : {w, w / "qzr.ini", w / "qzrupdate.lck"}) ASSERT_EQ(::chown(p.c_str(), NOBODY, NOBODY), 0);
        works.push_back(w.string());
    }
    std::vector<std::string> env = environmentWithout({});
    auto asNobody = [&](const std::string& w, const std::string& outDir) {
        return spawnIn({SETPRIV, "--reuid=65534", "--regid=65534", "--clear-groups", QZR_BINARY, "-c", w,
                        "-e", w},
                       w, env, outDir + "/stdout.txt", outDir + "/stderr.txt");
    };

    pid_t mine = spawnIn({QZR_BINARY, "-c", dir.path().string(), "-e", dir.path().string()}, dir.path().string(), env,
                         dir.file("stdout.txt"), dir.file("stderr.txt"));
    ASSERT_GT(mine, 0);
    ASSERT_TRUE(waitFor([&] { return dir.read("activity.dat").size() == 228; }));
    pid_t theirs = asNobody(works[0], other.path().string());
    ASSERT_GT(theirs, 0);
    EXPECT_TRUE(waitFor([&] { return other.read(name + "/activity.dat").size() == 228; }))
        << other.read("stderr.txt") << other.read(name + "/qzr.log");

    // That user's second driver, in another directory of the same name.
    pid_t theirSecond = asNobody(works[1], other2.path().string());
    EXPECT_EQ(waitExit(theirSecond), 0);
    EXPECT_FALSE(fs::exists(fs::path(works[1]) / "qzr.log"));
    EXPECT_EQ(other2.read("stderr.txt"), "");

    for (pid_t pid : {mine, theirs}) {
        ::kill(pid, SIGTERM);
        EXPECT_EQ(waitExit(pid), 0);
    }
}

// The window procedure and the title, in this process.
class WindowProcTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        stopRequested = false;
        terminateRequested = false;
        wakeFlag = false;
        g_detailedMessages = false;
        g_detailedMark = false;
        g_closeRequested = false;
        exitDisabled = false;
    }
    struct Flags {
        bool stop, terminate, wake, closed;
    };
    static Flags flags() { return {stopRequested, terminateRequested, wakeFlag, g_closeRequested}; }
};

TEST_F(WindowProcTest, TitleIsTheResourceAndTheLastComponent)
{
    struct Case {
        const char* dir;
        const char* title;
    } cases[] = {
        {"/home/office/claims", "ZAVI Quarzel claims"},
        {"/", "ZAVI Quarzel "},  // a root: the title ends with the blank
        {"", "ZAVI Quarzel "},   // the directory could not be read
        {"relative", "ZAVI Quarzel relative"},
        {"/srv/with blank", "ZAVI Quarzel with blank"},
    };
    for (const Case& c : cases) EXPECT_EQ(window_formTitle(c.dir), c.title) << c.dir;
}

TEST_F(WindowProcTest, CommandsSetTheirFlags)
{
    struct Case {
        int message;
        bool exitDisabled;
        Flags expected;
    } cases[] = {
        {IDM_CANCEL, false, {true, false, true, false}},
        {IDM_CANCEL, true, {true, false, true, false}},
        {IDM_EXIT, false, {true, true, true, true}},
        {IDM_EXIT, true, {false, false, false, false}},
        {SC_CLOSE, false, {true, true, true, true}},
        {SC_CLOSE, true, {false, false, false, false}},
        {MSG_CLOSE, true, {true, true, true, true}},  // a close message ignores -x
        {MSG_TIMER, false, {false, false, true, false}},
        {12345, false, {false, false, false, false}},
    };
    for (const Case& c : cases) {
        reset();
        exitDisabled = c.exitDisabled;
        window_proc(c.message);
        Flags f = flags();
        EXPECT_EQ(f.stop, c.expected.stop) << c.message << " " << c.exitDisabled;
        EXPECT_EQ(f.terminate, c.expected.terminate) << c.message << " " << c.exitDisabled;
        EXPECT_EQ(f.wake, c.expected.wake) << c.message << " " << c.exitDisabled;
        EXPECT_EQ(f.closed, c.expected.closed) << c.message << " " << c.exitDisabled;
    }
}

TEST_F(WindowProcTest, DetailedMessagesToggleAndItsMark)
{
    for (bool start : {false, true}) {
        g_detailedMessages = start;
        g_detailedMark = false;  // never set at start
        window_proc(IDM_DETAILED_MESSAGES);
        EXPECT_EQ(g_detailedMessages, !start);
        EXPECT_EQ(g_detailedMark, !start);
        window_proc(IDM_DETAILED_MESSAGES);
        EXPECT_EQ(g_detailedMessages, start);
        EXPECT_EQ(g_detailedMark, start);
    }
}

TEST_F(WindowProcTest, HelpAndAboutBoxes)
{
    TestWindow window;
    for (int id : {IDM_HELP_CONTENTS, IDM_HELP_KEY, IDM_HELP_ON_HELP, IDM_HELP_FINDER}) window_proc(id);
    ASSERT_EQ(window.boxes.size(), 4u);
    for (const Box& b : window.boxes) {
        EXPECT_EQ(b.title, "QZR");
        EXPECT_EQ(b.text, "Unable to activate help");
        EXPECT_EQ(b.style, 16u);
    }
    EXPECT_TRUE(window.quits.empty());

    std::string saved = g_version;
    g_version = "R7";
    window_proc(IDM_ABOUT);
    g_version = saved;
    ASSERT_EQ(window.boxes.size(), 5u);
    EXPECT_EQ(window.boxes[4].title, "About");
    EXPECT_EQ(window.boxes[4].text.substr(0, versionBanner().size() + 6), "ZAVI\n" + versionBanner() + "\n");
    EXPECT_NE(window.boxes[4].text.find("\nRedirection version   R7"), std::string::npos) << window.boxes[4].text;
    EXPECT_FALSE(stopRequested || terminateRequested);
}

TEST(InstanceMutexTest, OneHolderAtATime)
{
    std::string name = "qzr test mutex " + std::to_string(::getpid()) + " " + std::to_string(std::rand());
    OsInstanceMutex first, second;
    EXPECT_EQ(os_instanceMutex(name, first), 0);
    EXPECT_TRUE(first.valid());
    EXPECT_EQ(os_instanceMutex(name, second), EEXIST);
    EXPECT_FALSE(second.valid());
    EXPECT_EQ(os_instanceMutex(name + " other", second), 0);
    second.reset();
    first.reset();  // released with its descriptor
    EXPECT_EQ(os_instanceMutex(name, second), 0);

    // Names longer than an address holds stay apart by their ends.
    std::string longName = name + std::string(200, 'x');
    OsInstanceMutex a, b, c;
    EXPECT_EQ(os_instanceMutex(longName + "a", a), 0);
    EXPECT_EQ(os_instanceMutex(longName + "b", b), 0);
    EXPECT_EQ(os_instanceMutex(longName + "a", c), EEXIST);
}

}  // namespace
