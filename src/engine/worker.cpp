// The main worker loop.
#include "engine/worker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/cmdline.h"
#include "engine/process.h"
#include "engine/request_file.h"
#include "engine/sent_claims.h"
#include "engine/update_files.h"
#include "foundation/activity.h"
#include "foundation/ascii.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/stop.h"
#include "foundation/tbx_msg.h"
#include "https/http_dialog.h"
#include "links/link_ops.h"
#include "links/modem.h"
#include "links/port.h"
#include "os/os_file.h"
#include "os/os_spawn.h"
#include "redirect/ini_switch_table.h"
#include "redirect/switch_table.h"

namespace qzr {

bool transactionBusy = false;
bool testInProgress = false;
bool installationStop = false;
std::array<NetworkDef*, 4> testNetTable{};
std::array<std::string, 4> testMenuText{};
void (*worker_servingHook)() = nullptr;

namespace {

NetworkDef* g_activeNet = nullptr;  // the network served or whose link stays up
bool redirectionLoaded = false;     // the redirection rules were loaded

// The restart script runs, and only its owner may read or change it.
constexpr unsigned RESTART_SCRIPT_MODE = 0700;

bool fileExists(const std::string& path)
{
    os_fileInfo info;
    return os_pathInfo(path.c_str(), true, info) == 0;
}

// Whether `a` and `b` are the same text without regard to the case of their
// ASCII letters.
bool sameLetters(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                               [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// The text quoted for the shell: single quotes, an inner quote as '\''.
std::string shellQuote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// Writes the restart script that starts the driver again once the update
// program has replaced its files. A link in its place is not followed; in a
// directory where another user could change the script, none is written.
void writeRestartScript()
{
    OsFd fd;
    const int how = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_TRUNCATE | OS_OPEN_NARROW;
    if (!update_trusted(restartScriptPath, "Restart file") ||
        os_fileOpen(restartScriptPath.c_str(), how, RESTART_SCRIPT_MODE, fd) != 0) {
        log_write(LOG_INFO, "UPDATE: Error creating restart file %s", restartScriptPath.c_str());
        return;
    }
    std::string script = "#!/bin/sh\n";
    script += "# QZR restart File\n";
    script += "if [ ! -e " + shellQuote(CurDir) + " ]; then exit 0; fi\n";
    if (serviceMode) {
        // The service manager starts the service again when it ends with
        // SERVICE_EXIT_RESTART, under the service's own user.
        script += "# the service manager starts the driver again\n";
    } else {
        script += "cd " + shellQuote(CurDir) + " && " + shellQuote(ExeDir + "/qzr") +
                  worker_restartArguments(g_argv) + " >/dev/null 2>&1 &\n";
    }
    script += "# END\n";
    bool ok = os_writeAll(fd.get(), script.data(), script.size()) == 0;
    ok = fd.close() == 0 && ok;
    if (!ok) {
        log_write(LOG_INFO, "UPDATE: Error creating restart file %s", restartScriptPath.c_str());
        return;
    }
    log_write(LOG_INFO, "UPDATE: Restart file created: %s", restartScriptPath.c_str());
}

void handleInstallationLock()
{
    log_write(LOG_DEBUG, "UPDATE: Installation lock present (%s)", installLockPath.c_str());
    installationStop = true;
    if (!Genparam->hangAround && !serviceMode) return;
    writeRestartScript();
}

void fillTestMenu()
{
    testNetTable.fill(nullptr);
    int slot = 1;
    for (NetworkDef* net : networkTable) {
        if (!net || slot > 3) break;
        if (net->primary && link_opsOf(net->primary).test != NetTestKind::None) {
            testNetTable[static_cast<std::size_t>(slot)] = net;
            testMenuText[static_cast<std::size_t>(slot)] = "Test " + net->networkName;
            ++slot;
        }
    }
}

// Loads the redirection rules at the first request of the process.
void loadRedirection()
{
    const std::string path = switchFilePath();
    if (g_detailedMessages) log_write(LOG_INFO, "Processing redirection file '%s'", path.c_str());
    (void)loadSwitchTable(path.c_str());
    if (g_detailedMessages) log_write(LOG_INFO, "Redirection file version '%s'", g_version.c_str());
    tbx_hash_rewind(switchNetworks);
    for (int i = 0; i < 20; ++i) {
        tbx_hash_entry* e = tbx_hash_next(switchNetworks);
        if (!e) break;
        // The target of a "do not redirect" rule names no network.
        if (e->key != SWITCH_NO_TARGET && !findNetwork(e->key.c_str()))
            log_write(LOG_INFO,
                      "** WARNING ** Network '%s' is not defined, redirection to this network is disabled",
                      e->key.c_str());
    }
    redirectionLoaded = true;
}

// The network that carries the request found in `dirNet`'s directory.
NetworkDef* redirect(const RequestFile& requestFp, const std::string& reqPath, NetworkDef* dirNet)
{
    if (!redirectionLoaded) loadRedirection();
    transInfo again;
    if (file_read_header(requestFp, reqPath.c_str(), &again) != STS_OK) return dirNet;
    char carrier[16];
    std::snprintf(carrier, sizeof carrier, "%06d", again.carrier);
    // The office is logged before its characters are checked.
    log_write(LOG_INFO, "Transaction file:%s Office=%s Carr=%s", reqPath.c_str(), log_foreign(again.office).c_str(),
              carrier);
    int code = 0;
    const char* msg = "";
    const char* target = lookupSwitchTable(again.office, carrier, code, &msg);
    if (!target) return dirNet;
    log_write(LOG_INFO, "Transaction redirection required to %s (msg:%s)", target, msg ? msg : "");
    NetworkDef* net = findNetwork(target);
    if (!net) {
        log_write(LOG_ERROR, "Could not redirect, network '%s' is not defined, continuing with %s", target,
                  dirNet->networkName.c_str());
        return dirNet;
    }
    return net;
}

// A name holding a control character (below 0x20, or 0x7F) is no request:
// it would put what it holds into every log line that names it.
bool hasControlCharacter(const char* name)
{
    for (const char* p = name; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F) return true;
    }
    return false;
}

// A wait of the worker's own, outside a call: a Cancel from before is
// dropped, so the wait runs its time; a stop that ends the run still ends
// it at once.
void waitBetweenCalls(unsigned seconds)
{
    stop_dropCancel();
    waitSeconds(seconds);
}

// Opens the request with writers denied: three tries a second apart.
// Returns STS_OK, STS_READ_ERROR, or REQUEST_NOT_A_FILE when the entry is
// no longer a regular file (replaced since the search).
int openRequest(RequestFile& requestFp, const std::string& reqPath)
{
    bool failedBefore = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int err = requestFp.open(reqPath.c_str());
        if (err == 0) {
            if (failedBefore) log_code(0, "file open %s succeeded.", reqPath.c_str());
            return STS_OK;
        }
        if (err == REQUEST_NOT_A_FILE) return REQUEST_NOT_A_FILE;
        log_write(LOG_ERROR, "error opening file <%s> for reading... will retry", reqPath.c_str());
        failedBefore = true;
        waitBetweenCalls(1);
    }
    return STS_READ_ERROR;
}

}  // namespace

std::string worker_restartArguments(const std::vector<std::string>& argv)
{
    std::string out;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        out += " " + shellQuote(arg);
        char sw = arg.size() >= 2 && (arg[0] == '-' || arg[0] == '/') ? arg[1] : '\0';
        sw = asciiLower(sw);
        if ((sw == 'c' || sw == 'e' || sw == 'i') && i + 1 < argv.size()) {
            ++i;
            // The driver starts again in its working directory, so a -c
            // value given relative to where it was first started is passed
            // as that directory's full path.
            out += " " + shellQuote(sw == 'c' ? CurDir : argv[i]);
        }
    }
    return out;
}

std::string worker_findRequest(const std::string& dir, const std::string& inputName)
{
    std::vector<std::string> listed;
    if (os_listDirectory(dir.c_str(), listed) != 0) return "";
    std::vector<std::string> names;
    for (const std::string& name : listed) {
        if (name.size() <= inputName.size() || !sameLetters(name.substr(0, inputName.size()), inputName) ||
            name[inputName.size()] != '.')
            continue;
        if (name[0] == '_' || hasControlCharacter(name.c_str())) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    // Only a regular file is a request: a link, FIFO, socket, device or
    // directory of that name is passed over as if it were not there, as is a
    // name with a control character.
    std::string found;
    for (const std::string& name : names) {
        os_fileInfo info;
        if (os_pathInfo((dir + "/" + name).c_str(), false, info) == 0 && info.kind == OS_KIND_REGULAR) {
            found = name;
            break;
        }
    }
    return found;
}

std::string worker_findDirectory(const std::string& networkName)
{
    std::vector<std::string> listed;
    if (os_listDirectory(".", listed) != 0) return "";
    std::string best;
    for (const std::string& name : listed) {
        if (!sameLetters(name, networkName)) continue;
        if (!best.empty() && best <= name) continue;
        os_fileInfo info;
        if (os_pathInfo(name.c_str(), true, info) == 0 && info.kind == OS_KIND_DIRECTORY) best = name;
    }
    return best;
}

void cleanup()
{
    if (g_activeNet && g_activeNet->portOpen) {
        log_write(LOG_INFO, "cleanup: net_hangup");
        (void)net_hangup(g_activeNet);
    }
    if (g_activeNet) {
        log_write(LOG_INFO, "cleanup: net_disconnect");
        net_disconnect(g_activeNet);
    }
    activity_close();
    log_write(LOG_INFO, "cleanup: terminate");
}

void worker_releaseOpenPorts(NetworkDef* keep)
{
    for (NetworkDef* other : networkTable) {
        if (!other) break;
        if (other != keep && other->portOpen) {
            (void)net_hangup(other);
            net_disconnect(other);
            other->curCnx = nullptr;
        }
    }
}

namespace {

// The state of the polling loop, kept across passes.
struct PollState {
    std::string inputName;            // request files are "<inputName>.*"
    std::string outputName;           // response files are "<outputName>.<request's extension>"
    bool announce = false;            // the waiting state changed and is to be logged
    unsigned pollInterval = 3;        // seconds of the wait at the end of a pass
    std::int64_t hangupDeadline = 0;  // when a kept link is released; 0 for none
};

// The request file a pass found.
struct FoundRequest {
    NetworkDef* dirNet = nullptr;  // the network whose directory holds it; null when none
    std::string dir;               // that directory as it is named on disk
    std::string path;              // the directory, a slash, the file's name
};

// Sets the run's trace flags and hooks, then reads the configuration file.
// Returns false, with its log line, when the file has errors.
bool readConfiguration()
{
    debugTrace = optDebug;
    g_detailedMessages = optVerbose;
    tbx_message_hook = log_messageHook;
    // The waits between rename tries keep the window's messages flowing.
    file_waitHook = [](int seconds) { waitBetweenCalls(static_cast<unsigned>(seconds)); };
    // What is written before the log opens (the configuration's warnings)
    // is kept for it, until the log is open or known not to be.
    log_keepWhileClosed(true);
    if (optVerbose) log_write(LOG_STATUS, "Reading initialization file %s", Inifile.c_str());

    ini_resetConfiguration();
    int readResult = ini_readFile(Inifile.c_str());
    ini_closeFile();
    if (iniParser.errorCount > 0 || readResult < 0) {
        log_write(LOG_ERROR, "Error reading initialization file %s", Inifile.c_str());
        log_keepWhileClosed(false);
        return false;
    }
    if (Genparam->detailedMessages) g_detailedMessages = true;
    return true;
}

// Opens the log when logging is enabled and writes the banner and the
// directories. Returns false, with its log line, when the log cannot be
// opened.
bool openLog()
{
    if (Genparam->loggingEnabled) {
        const char* name = Genparam->logFile ? Genparam->logFile->c_str() : nullptr;
        if (log_open(name, Genparam->logFileAppend) != 0) {
            log_write(LOG_ERROR, "cannot open log file %s\n", name ? name : "qzr.log");
            log_keepWhileClosed(false);
            return false;
        }
        log_write(LOG_INFO, "Quarzel QZR version %s", qzr_version);
        log_append(" LINUX");
    }
    log_keepWhileClosed(false);
    log_write(LOG_INFO, "QZR main: ExeDir=%s CurDir=%s Inifile=%s", ExeDir.c_str(), CurDir.c_str(),
              Inifile.c_str());
    log_flush();
    return true;
}

// Reads qzrsup.ini of the program directory when there is one; its errors
// are logged and the run goes on.
void readSupplementalFile()
{
    const std::string supPath = ini_supplementalPath();
    // Read only when it can be opened: only a regular file can.
    if (OsFd sup; os_fileOpen(supPath.c_str(), OS_OPEN_READ | OS_OPEN_FOLLOW, 0, sup) == 0) {
        sup.reset();
        if (g_detailedMessages) log_write(LOG_INFO, "Processing supplemental ini file '%s'", supPath.c_str());
        (void)ini_readSupplementalFile(supPath.c_str());
        ini_closeFile();
        if (iniParser.errorCount > 0)
            log_write(LOG_ERROR, "Error processing supplemental ini file '%s'", supPath.c_str());
    }
    if (g_detailedMessages) log_write(LOG_INFO, "Ini file version '%s'", ini_text(Genparam->version));
}

// Forms the update paths, shows the last update's outcome and removes the
// installation lock and restart script an earlier run left behind.
void clearOldUpdateFiles()
{
    update_formPaths();
    if (update_statusHook) update_statusHook();
    if (fileExists(installLockPath)) {
        log_write(LOG_DEBUG, "UPDATE: Removing old installation lock %s", installLockPath.c_str());
        (void)os_unlink(installLockPath.c_str());
    }
    if (fileExists(restartScriptPath)) {
        log_write(LOG_DEBUG, "UPDATE: Removing old restart file %s", restartScriptPath.c_str());
        (void)os_unlink(restartScriptPath.c_str());
    }
}

// Takes the run's file names, lists the networks, checks their directories
// and fills the Test menu. Returns the idle loop state.
PollState startPolling()
{
    PollState st;
    st.inputName = ini_text(Genparam->inputFileName);
    st.outputName = ini_text(Genparam->outputFileName);
    if (!Genparam->hangAround && serviceMode) {
        log_write(LOG_INFO, "HangAround parameter set to TRUE in service mode");
        Genparam->hangAround = true;
    }

    log_write(LOG_STATUS, "Waiting for request in %s", CurDir.c_str());
    for (std::size_t i = 0; i < networkTable.size() && networkTable[i]; ++i)
        log_write(LOG_STATUS, "  Network %d %s", static_cast<int>(i), networkTable[i]->networkName.c_str());
    for (NetworkDef* net : networkTable) {
        if (!net) break;
        std::string netDir = worker_findDirectory(net->networkName);
        if (netDir.empty()) {
            log_write(LOG_INFO, "** WARNING ** Directory of network '%s' not found in %s, no request can reach it",
                      net->networkName.c_str(), CurDir.c_str());
            continue;
        }
        file_removeStaleTemporaries(netDir);
    }

    activity_setStatus(0);
    activity_setState(ACT_IDLE);
    fillTestMenu();
    return st;
}

// Looks for a request in `net`'s directory; true, with `req` filled, when
// one is found.
bool searchNetwork(NetworkDef* net, const std::string& inputName, FoundRequest& req)
{
    std::string netDir = worker_findDirectory(net->networkName);
    std::string found = netDir.empty() ? std::string() : worker_findRequest(netDir, inputName);
    if (found.empty()) return false;
    req.dir = netDir;
    req.path = netDir + "/" + found;
    req.dirNet = net;
    return true;
}

// The request of this pass: while a link is kept, only its network's
// directory is searched; when idle, the networks in table order, the first
// that holds one wins. None while a kept link is down.
FoundRequest findPassRequest(const std::string& inputName)
{
    FoundRequest req;
    if (g_activeNet && g_activeNet->linkUp) {
        searchNetwork(g_activeNet, inputName, req);
    } else if (!g_activeNet) {
        for (NetworkDef* net : networkTable) {
            if (!net || searchNetwork(net, inputName, req)) break;
        }
    }
    return req;
}

// The claim of the open request: the bytes read when it was opened, from
// which its line was taken and sent.
std::string requestClaim(const RequestFile& requestFp)
{
    const std::span<const char> read = requestFp.content();
    return std::string(read.begin(), read.end());
}

// A claim whose answer was written while its request kept its name, the
// file that was read still under it: a writer held it past the marking's
// wait (or changed it). The pass that finds the request holding these bytes
// marks it served without sending it again, and while a writer holds it no
// error response is written over its answer.
struct AnsweredClaim {
    std::string path;   // the request
    std::string claim;  // the bytes that were sent
};
std::optional<AnsweredClaim> answeredUnmarked;

// Marks the request `path`, whose answer is written, served, and remembers
// its claim when the name still holds the file that was read.
void markServed(RequestFile& requestFp, const std::string& path)
{
    file_rename(requestFp, path.c_str(), true);
    if (requestFp.namedBy(path.c_str()) == 0)
        answeredUnmarked = AnsweredClaim{path, requestClaim(requestFp)};
    else if (answeredUnmarked && answeredUnmarked->path == path)
        answeredUnmarked.reset();
}

// Serves one request over `serving`: releases any other port, runs the
// transaction with its answer made ready in `rsp`, renames the request once
// its answer is written and sets when the link is released. A request whose
// answer could not be written keeps its name: its claim was not sent, or its
// answer is kept for a later pass. Returns the transaction's status.
int serveTransaction(PollState& st, RequestFile& requestFp, const std::string& reqPath, ResponseFile& rsp,
                     NetworkDef* serving, transInfo& ti)
{
    transactionBusy = true;
    st.announce = true;
    stop_dropCancel();
    animateTrayIcon(TRAY_IDLE);
    worker_releaseOpenPorts(serving);
    activity_setState(ACT_START);
    activity_setNetwork(serving->networkName.c_str());
    activity_setFile(reqPath.c_str() + reqPath.find('/') + 1);
    g_activeNet = serving;

    const std::string claim = requestClaim(requestFp);
    sent_warnIfResent(reqPath.c_str(), claim);
    sent_arm(reqPath.c_str(), claim);
    int status = processFile(requestFp, reqPath.c_str(), rsp, g_activeNet, &ti);
    if (rsp.written() && status != STS_READ_ERROR) {
        markServed(requestFp, reqPath);
    } else if (!rsp.written() && !sent_frameMayHaveGoneOut()) {
        log_write(LOG_ERROR, "The claim of %s was not sent and keeps its name: its answer cannot be written",
                  reqPath.c_str());
    }
    // A claim that cannot be marked served keeps its mark: the next start
    // warns as it sends it again.
    if (!stopForGood) sent_clear();
    if (status != STS_OK && g_detailedMessages)
        log_write(LOG_ERROR, "Error %d %s while processing %s", status, statusText(status), reqPath.c_str());
    std::int64_t now = std::time(nullptr);
    bool keep = status == STS_OK && g_activeNet->curCnx && link_opsOf(g_activeNet->curCnx).keepsLink;
    st.hangupDeadline = keep ? now + Genparam->hangupDelay : now;
    st.pollInterval = 1;
    activity_setState(ACT_PROCESSED);
    activity_setFile("");
    return status;
}

// The request whose answer cannot be written, and why, as last logged: the
// passes that find it so again say nothing more.
std::string lastRefusal;

// Logs, once for as long as it lasts, that the claim of `reqPath` keeps its
// name because of `why`.
void refuseClaim(const std::string& reqPath, const std::string& why)
{
    if (lastRefusal == reqPath + "\n" + why) return;
    lastRefusal = reqPath + "\n" + why;
    log_write(LOG_ERROR, "The claim of %s is not sent and keeps its name: %s", reqPath.c_str(), why.c_str());
}

// The text of the error number `e` as a log line gives it.
std::string errorText(int e)
{
    return "(errno=" + std::to_string(e) + " " + std::strerror(e) + ")";
}

// Makes the answer of the request ready before its claim is sent: the
// response's temporary file in the network directory with room for the
// largest answer, and the old response removed. Returns STS_OK, or 1036 or
// 1035 (logged once while it lasts): the claim is not sent.
int prepareAnswer(ResponseFile& rsp, const FoundRequest& req, const std::string& respPath)
{
    if (int e = rsp.prepare(respPath.c_str()); e != 0) {
        refuseClaim(req.path, "its answer cannot be written in " + req.dir + " " + errorText(e));
        return STS_CANNOT_WRITE_OUTPUT;
    }
    if (int e = file_removeResponse(respPath.c_str()); e != 0) {
        refuseClaim(req.path, "the old response " + respPath + " cannot be removed " + errorText(e));
        return STS_CANNOT_REMOVE_OUTPUT;
    }
    lastRefusal.clear();
    return STS_OK;
}

// Delivers the answer kept for the request, when one is kept for the claim
// it holds: the response written, the request marked served and the kept
// answer removed. Returns false when no answer is kept for that claim (the
// request is served as any other), else true with the pass status in
// `status`.
bool deliverKeptAnswer(RequestFile& requestFp, const FoundRequest& req, const std::string& respPath,
                       int& status)
{
    std::string keptAt, answer;
    const std::string claim = requestClaim(requestFp);
    if (!sent_findKept(req.path.c_str(), claim, answer, keptAt)) {
        if (!keptAt.empty() && lastRefusal != req.path + "\nkept") {
            lastRefusal = req.path + "\nkept";
            log_write(LOG_INFO, "** WARNING ** %s holds another claim than the one whose answer is kept in %s: it "
                      "is served, the kept answer stays", req.path.c_str(), keptAt.c_str());
        }
        return false;
    }
    ResponseFile rsp;
    status = prepareAnswer(rsp, req, respPath);
    if (status != STS_OK) return true;
    if (rsp.commit(answer) != 0) {
        status = STS_CANNOT_WRITE_OUTPUT;
        return true;
    }
    log_write(LOG_INFO, "The answer kept for %s is delivered to %s", req.path.c_str(), respPath.c_str());
    // Removed only once the request was marked (or left with its answer in
    // place): a run that ends before keeps it, and the next start delivers
    // it again rather than send the claim.
    markServed(requestFp, req.path);
    if (!stopForGood) sent_dropKept(keptAt);
    return true;
}

// Whether the claim last sent under the request name `path` has its answer
// standing: written in its response while the request kept its name, or
// kept in the program directory.
bool answerStands(const std::string& path)
{
    std::string keptAt;
    return (answeredUnmarked && answeredUnmarked->path == path) || sent_anyKept(path.c_str(), keptAt);
}

// Marks the request served without sending it when it holds the claim
// whose answer was written while it kept its name. Returns false when it
// holds another claim (it is served as any other).
bool markAnswered(RequestFile& requestFp, const FoundRequest& req, const std::string& respPath)
{
    if (!answeredUnmarked || answeredUnmarked->path != req.path) return false;
    const bool same = requestClaim(requestFp) == answeredUnmarked->claim;
    answeredUnmarked.reset();
    if (!same) return false;
    log_write(LOG_INFO, "%s holds the claim answered in %s: it is marked served, not sent again", req.path.c_str(),
              respPath.c_str());
    markServed(requestFp, req.path);
    return true;
}

// One polling pass: finds, opens and checks at most one request, answers a
// request that cannot be read with an error response, and serves the
// others. (A network test runs within the worker's waits, from the window's
// messages, so it never overlaps a pass.) The pass owns the open request: it stays open
// (and leased) until its rename, and is closed when the pass ends. Returns
// the pass status (1001 when no request was found).
int runPass(PollState& st)
{
    FoundRequest req = findPassRequest(st.inputName);
    RequestFile requestFp;
    int openStatus = STS_ERROR;
    if (req.dirNet) {
        openStatus = openRequest(requestFp, req.path);
        // Replaced by a link, a FIFO or the like since the search: passed
        // over as the search passes it over.
        if (openStatus == REQUEST_NOT_A_FILE) req.dirNet = nullptr;
    }
    if (!req.dirNet) return STS_ERROR;
    // A stop that ends the run came while the request was opened (its tries
    // wait a second each): nothing is started, nothing answered, and the
    // request stays as it is for the next start (closed with the pass).
    if (stop_runRequested()) return STS_INTERRUPTED;

    transInfo ti;
    std::string respPath = req.dir + "/" + st.outputName + "." + cda_fileExtension(req.path.c_str());
    int passStatus = openStatus;
    if (passStatus == STS_OK) {
        passStatus = file_read_header(requestFp, req.path.c_str(), &ti);
    } else {
        ti.status = passStatus;
    }
    ti.ext = cda_fileExtension(req.path.c_str());
    if (passStatus != STS_OK) {
        // Still held by its writer while the claim last sent under its name
        // has its answer in the response, or kept: no error response is
        // written over that answer, nor shown in its place.
        if (openStatus == STS_READ_ERROR && requestFp.openError() == EAGAIN && answerStands(req.path)) {
            file_rename(requestFp, req.path.c_str(), false);
            return passStatus;
        }
        if (file_write(respPath.c_str(), "", 0, &ti, nullptr) == STS_OK)
            file_rename(requestFp, req.path.c_str(), false);
        else
            refuseClaim(req.path, "its answer cannot be written in " + req.dir);
        return passStatus;
    }
    if (markAnswered(requestFp, req, respPath)) return STS_OK;
    if (int delivered = STS_OK; deliverKeptAnswer(requestFp, req, respPath, delivered)) return delivered;
    ResponseFile rsp;
    if (int prepared = prepareAnswer(rsp, req, respPath); prepared != STS_OK) return prepared;

    NetworkDef* serving = redirect(requestFp, req.path, req.dirNet);
    log_flush();
    if (stop_runRequested()) return STS_INTERRUPTED;
    return serveTransaction(st, requestFp, req.path, rsp, serving, ti);
}

// Releases a kept link once its hang-up deadline has passed, and returns the
// worker to idle.
void releaseLinkAtDeadline(PollState& st)
{
    std::int64_t now = std::time(nullptr);
    if (st.hangupDeadline == 0 || now < st.hangupDeadline) return;
    st.hangupDeadline = 0;
    st.pollInterval = 3;
    if (g_activeNet && g_activeNet->portOpen) {
        if (g_activeNet->linkUp) {
            if (g_detailedMessages) log_write(LOG_INFO, "no more request, end connection");
            st.announce = true;
        }
        animateTrayIcon(TRAY_IDLE);
        // A line lost, or closed by the host, is closed: the next call opens it anew.
        const bool lost = port_lineLost();
        (void)net_hangup(g_activeNet);
        if (Genparam->disconnectAfterTX || lost) {
            net_disconnect(g_activeNet);
            g_activeNet->curCnx = nullptr;
        }
    }
    g_activeNet = nullptr;
    activity_setNetwork("");
    transactionBusy = false;
}

// Logs the waiting state when it changed: for another request over the kept
// link, or for any request when idle.
void announceWaiting(PollState& st)
{
    if (!st.announce) return;
    if (g_activeNet && g_activeNet->linkUp) {
        log_write(LOG_STATUS, "Waiting %d seconds for another request for %s", Genparam->hangupDelay,
                  g_activeNet->networkName.c_str());
    } else {
        animateTrayIcon(TRAY_IDLE);
        log_write(LOG_STATUS, "Waiting for request in %s", CurDir.c_str());
        activity_setState(ACT_IDLE);
    }
    st.announce = false;
}

// The end of a pass: checks for updates when idle, releases a kept link at
// its deadline, announces the waiting state and waits for the next pass
// (a network test chosen meanwhile runs within that wait). Returns true
// when the worker is to
// stop: on a terminate request, without `hangAround`, or when an update is
// being installed.
bool endPass(PollState& st)
{
    // An update program that has ended since the last pass is collected
    // here, busy or idle, so none is left a zombie.
    os_collectChildren();
    if (stop_runRequested()) return true;
    if (!g_activeNet || !Genparam->hangAround) {
        if (update_checkHook) update_checkHook(0);
        if (update_installationLocked()) {
            handleInstallationLock();
            return true;
        }
    }
    if (!Genparam->hangAround) return true;
    releaseLinkAtDeadline(st);
    announceWaiting(st);
    log_flush();
    waitBetweenCalls(st.pollInterval);
    return stop_runRequested();
}

// The stop: hangs up and disconnects a kept link, deletes activity.dat and
// closes the log.
void stopWorker()
{
    log_flush();
    log_write(LOG_STATUS, "Disconnect+terminate");
    animateTrayIcon(TRAY_IDLE);
    log_flush();
    cleanup();
    animateTrayIcon(TRAY_IDLE);
    log_write(LOG_STATUS, "End.");
    log_close();
}

}  // namespace

int mainThread(void*)
{
    // The dialog of http connections lives in the HTTPS channel.
    link_setHttpDialog(http_dialog);
    activity_update();
    if (!readConfiguration()) return 2;
    if (!openLog()) return 2;
    sent_start(Genparam->loggingEnabled && Genparam->logFile ? Genparam->logFile->c_str() : nullptr);
    activity_sendHook = sent_frameGoesOut;
    readSupplementalFile();
    clearOldUpdateFiles();

    PollState st = startPolling();
    if (worker_servingHook) worker_servingHook();
    int passStatus = STS_ERROR;
    do {
        passStatus = runPass(st);
    } while (!endPass(st));

    stopWorker();
    return stopForGood ? 2 : passStatus;
}

}  // namespace qzr
