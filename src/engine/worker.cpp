// The main worker loop.
#include "engine/worker.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/cmdline.h"
#include "engine/process.h"
#include "engine/request_file.h"
#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "foundation/tbx_msg.h"
#include "links/modem.h"
#include "links/port.h"
#include "redirect/ini_switch_table.h"
#include "redirect/switch_table.h"
#include "shell/update.h"

namespace qzr {

NetworkDef* g_activeNet = nullptr;
bool transactionBusy = false;
bool testInProgress = false;
bool redirectionLoaded = false;
bool installationStop = false;
std::array<NetworkDef*, 4> testNetTable{};
std::array<std::string, 4> testMenuText{};

namespace {

bool fileExists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
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
// program has replaced its files.
void writeRestartScript()
{
    std::FILE* f = std::fopen(restartScriptPath.c_str(), "we");
    if (!f) {
        log_write(LOG_INFO, "UPDATE: Error creating restart file %s", restartScriptPath.c_str());
        return;
    }
    std::fprintf(f, "#!/bin/sh\n");
    std::fprintf(f, "# QZR restart File\n");
    std::fprintf(f, "if [ ! -e %s ]; then exit 0; fi\n", shellQuote(CurDir).c_str());
    if (serviceMode) {
        std::fprintf(f, "systemctl start qzr\n");
    } else {
        std::string cmd = "cd " + shellQuote(CurDir) + " && " + shellQuote(ExeDir + "/qzr") +
                          worker_restartArguments(g_argv);
        std::fprintf(f, "%s >/dev/null 2>&1 &\n", cmd.c_str());
    }
    std::fprintf(f, "# END\n");
    bool ok = std::fflush(f) == 0;
    ::fchmod(fileno(f), 0755);
    ok = (std::fclose(f) == 0) && ok;
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
        if (net->primary &&
            (net->primary->connectionType == CNX_TYPE_TCPIP || net->primary->connectionType == CNX_TYPE_HTTP)) {
            testNetTable[static_cast<std::size_t>(slot)] = net;
            testMenuText[static_cast<std::size_t>(slot)] = "Test " + net->networkName;
            ++slot;
        }
    }
}

// Loads the redirection rules at the first request of the process.
void loadRedirection()
{
    std::string path = ExeDir + "/qzrredir.dat";
    if (g_detailedMessages) log_write(LOG_INFO, "Processing redirection file '%s'", path.c_str());
    (void)loadSwitchTable(path.c_str());
    if (g_detailedMessages) log_write(LOG_INFO, "Redirection file version '%s'", g_version.c_str());
    tbx_hash_rewind(switchNetworks);
    for (int i = 0; i < 20; ++i) {
        tbx_hash_entry* e = tbx_hash_next(switchNetworks);
        if (!e) break;
        if (!findNetwork(e->key.c_str()))
            log_write(LOG_INFO,
                      "** WARNING ** Network '%s' is not defined, redirection to this network is disabled",
                      e->key.c_str());
    }
    redirectionLoaded = true;
}

// The network that carries the request found in `dirNet`'s directory.
NetworkDef* redirect(const std::string& reqPath, NetworkDef* dirNet)
{
    if (!redirectionLoaded) loadRedirection();
    transInfo again;
    if (file_read_header(reqPath.c_str(), &again) != STS_OK) return dirNet;
    char carrier[16];
    std::snprintf(carrier, sizeof carrier, "%06d", again.carrier);
    log_write(LOG_INFO, "Transaction file:%s Office=%s Carr=%s", reqPath.c_str(), again.office, carrier);
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

// Opens the request with writers denied: three tries a second apart.
int openRequest(const std::string& reqPath)
{
    requestFp.close();
    bool failedBefore = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (requestFp.open(reqPath.c_str()) == 0) {
            if (failedBefore) log_write(0, "file open %s succeeded.", reqPath.c_str());
            return STS_OK;
        }
        log_write(LOG_ERROR, "error opening file <%s> for reading... will retry", reqPath.c_str());
        failedBefore = true;
        waitSeconds(1);
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
        if (sw >= 'A' && sw <= 'Z') sw = static_cast<char>(sw - 'A' + 'a');
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
    DIR* d = ::opendir(dir.c_str());
    if (!d) return "";
    std::string best;
    while (dirent* e = ::readdir(d)) {
        const char* name = e->d_name;
        if (::strncasecmp(name, inputName.c_str(), inputName.size()) != 0 || name[inputName.size()] != '.')
            continue;
        if (name[0] == '_') continue;
        if (best.empty() || std::string(name) < best) best = name;
    }
    ::closedir(d);
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

int mainThread(void*)
{
    activity_update();
    debugTrace = optDebug;
    g_detailedMessages = optVerbose;
    tbx_message_hook = log_messageHook;
    // The waits between rename tries keep the window's messages flowing.
    file_waitHook = [](int seconds) { waitSeconds(static_cast<unsigned>(seconds)); };
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
        return 2;
    }
    if (Genparam->detailedMessages) g_detailedMessages = true;

    if (Genparam->loggingEnabled) {
        const char* name = Genparam->logFile ? Genparam->logFile->c_str() : nullptr;
        if (log_open(name, Genparam->logFileAppend) != 0) {
            log_write(LOG_ERROR, "cannot open log file %s\n", name ? name : "qzr.log");
            log_keepWhileClosed(false);
            return 2;
        }
        log_write(LOG_INFO, "Quarzel QZR version %s", qzr_version);
        log_append(" LINUX");
    }
    log_keepWhileClosed(false);
    log_write(LOG_INFO, "QZR main: ExeDir=%s CurDir=%s Inifile=%s", ExeDir.c_str(), CurDir.c_str(),
              Inifile.c_str());
    log_flush();

    std::string supPath = ExeDir + "/qzrsup.ini";
    if (std::FILE* sup = std::fopen(supPath.c_str(), "re")) {
        std::fclose(sup);
        if (g_detailedMessages) log_write(LOG_INFO, "Processing supplemental ini file '%s'", supPath.c_str());
        (void)ini_readSupplementalFile(supPath.c_str());
        ini_closeFile();
        if (iniParser.errorCount > 0)
            log_write(LOG_ERROR, "Error processing supplemental ini file '%s'", supPath.c_str());
    }
    if (g_detailedMessages) log_write(LOG_INFO, "Ini file version '%s'", ini_text(Genparam->version));

    update_formPaths();
    showUpdateStatus();
    if (fileExists(installLockPath)) {
        log_write(LOG_DEBUG, "UPDATE: Removing old installation lock %s", installLockPath.c_str());
        ::unlink(installLockPath.c_str());
    }
    if (fileExists(restartScriptPath)) {
        log_write(LOG_DEBUG, "UPDATE: Removing old restart file %s", restartScriptPath.c_str());
        ::unlink(restartScriptPath.c_str());
    }

    const std::string inputName = ini_text(Genparam->inputFileName);
    const std::string outputName = ini_text(Genparam->outputFileName);
    if (!Genparam->hangAround && serviceMode) {
        log_write(LOG_INFO, "HangAround parameter set to TRUE in service mode");
        Genparam->hangAround = true;
    }

    log_write(LOG_STATUS, "Waiting for request in %s", CurDir.c_str());
    for (std::size_t i = 0; i < networkTable.size() && networkTable[i]; ++i)
        log_write(LOG_STATUS, "  Network %d %s", static_cast<int>(i), networkTable[i]->networkName.c_str());

    bool announce = false;
    activity_setStatus(0);
    activity_setState(ACT_IDLE);
    unsigned pollInterval = 3;
    std::int64_t hangupDeadline = 0;
    fillTestMenu();

    int passStatus = STS_ERROR;
    for (;;) {
        passStatus = STS_ERROR;
        std::string reqPath;
        NetworkDef* dirNet = nullptr;

        if (g_activeNet && g_activeNet->linkUp) {
            std::string found = worker_findRequest(g_activeNet->networkName, inputName);
            if (!found.empty()) {
                reqPath = g_activeNet->networkName + "/" + found;
                dirNet = g_activeNet;
            }
        } else if (!g_activeNet) {
            for (NetworkDef* net : networkTable) {
                if (!net) break;
                std::string found = worker_findRequest(net->networkName, inputName);
                if (!found.empty()) {
                    reqPath = net->networkName + "/" + found;
                    dirNet = net;
                    break;
                }
            }
        }

        if (dirNet) {
            transInfo ti;
            std::string respPath = dirNet->networkName + "/" + outputName + "." + cda_fileExtension(reqPath.c_str());
            passStatus = openRequest(reqPath);
            if (passStatus == STS_OK) {
                passStatus = file_read_header(reqPath.c_str(), &ti);
            } else {
                ti.status = passStatus;
            }
            ti.ext = cda_fileExtension(reqPath.c_str());

            if (passStatus != STS_OK) {
                (void)file_write(respPath.c_str(), "", 0, &ti, nullptr);
                file_rename(reqPath.c_str(), false);
            } else {
                NetworkDef* serving = redirect(reqPath, dirNet);
                log_flush();
                if (!testInProgress) {
                    transactionBusy = true;
                    announce = true;
                    stopRequested = false;
                    animateTrayIcon(0);
                    // The process has one port: release it from any other
                    // network, whether its link is still kept or was hung up
                    // with the port left open (disconnectAfterTX false).
                    for (NetworkDef* other : networkTable) {
                        if (!other) break;
                        if (other != serving && other->portOpen) {
                            (void)net_hangup(other);
                            net_disconnect(other);
                            other->curCnx = nullptr;
                        }
                    }
                    activity_setState(ACT_START);
                    activity_setNetwork(serving->networkName.c_str());
                    activity_setFile(reqPath.c_str() + reqPath.find('/') + 1);
                    g_activeNet = serving;

                    int status = processFile(reqPath.c_str(), respPath.c_str(), g_activeNet, &ti);
                    if (status != STS_READ_ERROR) file_rename(reqPath.c_str(), true);
                    if (status != STS_OK && g_detailedMessages)
                        log_write(LOG_ERROR, "Error %d %s while processing %s", status, statusText(status),
                                  reqPath.c_str());
                    std::int64_t now = std::time(nullptr);
                    bool keep = status == STS_OK && g_activeNet->curCnx &&
                                g_activeNet->curCnx->connectionType != CNX_TYPE_HTTP;
                    hangupDeadline = keep ? now + Genparam->hangupDelay : now;
                    pollInterval = 1;
                    activity_setState(ACT_PROCESSED);
                    activity_setFile("");
                    passStatus = status;
                } else {
                    requestFp.close();
                }
            }
        }

        // End of the pass.
        if (terminateRequested) break;
        if (!g_activeNet || !Genparam->hangAround) {
            checkForUpdates(0);
            if (fileExists(installLockPath)) {
                handleInstallationLock();
                break;
            }
        }
        if (!Genparam->hangAround) break;
        std::int64_t now = std::time(nullptr);
        if (hangupDeadline != 0 && now >= hangupDeadline) {
            hangupDeadline = 0;
            pollInterval = 3;
            if (g_activeNet && g_activeNet->portOpen) {
                if (g_activeNet->linkUp) {
                    if (g_detailedMessages) log_write(LOG_INFO, "no more request, end connection");
                    announce = true;
                }
                animateTrayIcon(0);
                (void)net_hangup(g_activeNet);
                if (Genparam->disconnectAfterTX) {
                    net_disconnect(g_activeNet);
                    g_activeNet->curCnx = nullptr;
                }
            }
            g_activeNet = nullptr;
            activity_setNetwork("");
            transactionBusy = false;
        }
        if (announce) {
            if (g_activeNet && g_activeNet->linkUp) {
                log_write(LOG_STATUS, "Waiting %d seconds for another request for %s", Genparam->hangupDelay,
                          g_activeNet->networkName.c_str());
            } else {
                animateTrayIcon(0);
                log_write(LOG_STATUS, "Waiting for request in %s", CurDir.c_str());
                activity_setState(ACT_IDLE);
            }
            announce = false;
        }
        log_flush();
        waitSeconds(pollInterval);
        if (terminateRequested) break;
        while (testInProgress && !terminateRequested) waitSeconds(pollInterval);
        if (terminateRequested) break;
    }

    log_flush();
    log_write(LOG_STATUS, "Disconnect+terminate");
    animateTrayIcon(0);
    log_flush();
    cleanup();
    animateTrayIcon(0);
    log_write(LOG_STATUS, "End.");
    log_close();
    return passStatus;
}

}  // namespace qzr
