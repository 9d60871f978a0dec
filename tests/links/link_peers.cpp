// Peers for the link tests: pty and loopback hosts played on threads.
#include "links/link_peers.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "foundation/activity.h"
#include "foundation/log.h"
#include "foundation/runtime.h"
#include "links/msg_pump.h"
#include "links/port.h"
#include "os/os_serial.h"
#include "os/os_signal.h"
#include "os/os_tcp.h"
#include "os/os_wait.h"

namespace qzr::test {

bool PeerIo::readByte(unsigned char& c, int timeoutMs)
{
    std::int64_t deadline = os_monotonicMs() + timeoutMs;
    for (;;) {
        long n = os_readSome(fd_, &c, 1);
        if (n == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            transcript_.push_back(static_cast<char>(c));
            return true;
        }
        if (n != OS_IO_AGAIN) return false;
        int left = os_msUntil(deadline);
        if (left == 0) return false;
        os_pollItem item{fd_, OS_POLL_IN, 0};
        os_poll(&item, 1, left);
    }
}

std::string PeerIo::readUntil(const std::string& terminator, int timeoutMs)
{
    std::int64_t deadline = os_monotonicMs() + timeoutMs;
    std::string got;
    unsigned char c;
    while (readByte(c, os_msUntil(deadline))) {
        got.push_back(static_cast<char>(c));
        if (got.size() >= terminator.size() &&
            got.compare(got.size() - terminator.size(), terminator.size(), terminator) == 0)
            break;
    }
    return got;
}

std::string PeerIo::readN(std::size_t n, int timeoutMs)
{
    std::int64_t deadline = os_monotonicMs() + timeoutMs;
    std::string got;
    unsigned char c;
    while (got.size() < n && readByte(c, os_msUntil(deadline))) got.push_back(static_cast<char>(c));
    return got;
}

std::string PeerIo::drain(int quietMs)
{
    std::string got;
    unsigned char c;
    while (readByte(c, quietMs)) got.push_back(static_cast<char>(c));
    return got;
}

void PeerIo::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        long n = os_writeSome(fd_, bytes.data() + done, bytes.size() - done, false);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n != OS_IO_AGAIN) return;
        os_pollItem item{fd_, OS_POLL_OUT, 0};
        if (os_poll(&item, 1, 5000) <= 0) return;
    }
}

std::string PeerIo::transcript() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return transcript_;
}

PtyPeer::PtyPeer()
{
    char name[128];
    if (os_ptyOpen(&master_, &slave_, name, sizeof name) != 0) {
        ADD_FAILURE() << "openpty failed";
        return;
    }
    slavePath_ = name;
    io.setFd(master_);
}

PtyPeer::~PtyPeer()
{
    join();
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
}

void PtyPeer::linkInto(const std::string& dir, const std::string& name)
{
    std::filesystem::create_directories(dir + "/devices");
    std::filesystem::create_symlink(slavePath_, dir + "/devices/" + name);
}

void PtyPeer::start(std::function<void(PeerIo&)> scenario)
{
    thread_ = std::thread([this, scenario] { scenario(io); });
}

void PtyPeer::join()
{
    if (thread_.joinable()) thread_.join();
}

void PtyPeer::closeMaster()
{
    join();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    io.setFd(-1);
}

TcpPeer::TcpPeer()
{
    listen_ = os_tcpListenLoopback(&port_);
    if (listen_ < 0) ADD_FAILURE() << "cannot listen on loopback";
}

TcpPeer::~TcpPeer()
{
    join();
    if (conn_ >= 0) ::close(conn_);
    closeListener();
}

void TcpPeer::closeConnection()
{
    if (conn_ >= 0) ::close(conn_);
    conn_ = -1;
}

void TcpPeer::closeListener()
{
    if (listen_ >= 0) ::close(listen_);
    listen_ = -1;
}

void TcpPeer::start(std::function<void(PeerIo&)> scenario)
{
    thread_ = std::thread([this, scenario] {
        conn_ = os_tcpAccept(listen_, 5000);
        if (conn_ < 0) return;
        io.setFd(conn_);
        scenario(io);
    });
}

void TcpPeer::join()
{
    if (thread_.joinable()) thread_.join();
}

void LinkTest::SetUp()
{
    CurDir = dir.path().string();
    ExeDir = dir.path().string();
    stopRequested = false;
    terminateRequested = false;
    wakeFlag = false;
    g_detailedMessages = false;
    debugTrace = false;
    log_resetScreen();
    ASSERT_EQ(log_open(dir.file("qzr.log").c_str(), false), 0);
    g_linkTimeouts = LinkTimeouts{};
    g_linkTimeouts.protocolWrite = 1;
    g_linkTimeouts.responseByte = 1;
    g_linkTimeouts.lrcByte = 1;
    g_linkTimeouts.errorPause = 1;
    g_linkTimeouts.modemResetWrite = 1;
    g_linkTimeouts.modemWrite = 1;
    g_linkTimeouts.modemReply = 1;
    g_linkTimeouts.modemPause = 1;
    g_linkTimeouts.waitforRead = 1;
    g_linkTimeouts.tcpConnect = 2;
    Genparam = &general;
    port_clearRxRing();
}

void LinkTest::TearDown()
{
    port_close();
    port_clearRxRing();
    log_close();
    activity_reset();
    pump_setWindowProc(nullptr);
    os_signalRestore();
    unsigned char sink[64];
    while (os_eventTake(sink, sizeof sink) > 0) {
    }
    stopRequested = false;
    terminateRequested = false;
    wakeFlag = false;
    g_detailedMessages = false;
    debugTrace = false;
    g_linkTimeouts = LinkTimeouts{};
    Genparam = &genparamRecord;
}

std::string LinkTest::logText()
{
    log_flush();
    return dir.read("qzr.log");
}

ConnectionDef LinkTest::serialCnx(int mode) const
{
    ConnectionDef c;
    c.comdev = "COM1";
    c.speed = 9600;
    c.dataBit = 8;
    c.stopBits = 1;
    c.parity = PARITY_NONE;
    c.connectionMode = mode;
    c.connectionTimeout = 2;
    return c;
}

NetworkDef LinkTest::networkOf(ConnectionDef* cnx, const char* name) const
{
    NetworkDef n;
    n.networkName = name;
    n.primary = cnx;
    n.curCnx = cnx;
    n.maxEnqDelay = 1;
    n.maxProcessingDelay = 1;
    return n;
}

Later::Later(int delayMs, std::function<void()> action)
    : thread_([delayMs, action] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          action();
      })
{
}

Later::~Later()
{
    if (thread_.joinable()) thread_.join();
}

}  // namespace qzr::test
