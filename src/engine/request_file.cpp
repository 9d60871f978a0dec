// Reading requests, writing responses and statistics, renaming requests.
//
// Requests are read with pread from offset 0, so each read starts at the
// beginning whatever was read before. Text mode is kept as the practice
// software expects it: the line ends at the first LF, and a CR just before
// that LF reads as part of the line end. Responses are written to a
// temporary file in the same directory (".qzr<pid>.tmp", or ".qzr<pid>-<n>.tmp"
// where that name is taken; made exclusively) and renamed over the response
// name only once every byte is on disk; the temporary file is made, with
// room for the largest answer, before the claim is sent. A request read is renamed while it
// is still open and leased, and only while its name holds it as it was read.
#include "engine/request_file.h"

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "foundation/status.h"
#include "os/os_file.h"
#include "os/os_lock.h"
#include "os/os_proc.h"
#include "os/os_wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qzr {

int fileRenameDelay = 5;
void (*file_waitHook)(int seconds) = nullptr;

// clang-format off
const unsigned char accentTable[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F,
    0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, '?',
    // 0x80
    'C',  'u',  'e',  'a',  'a',  'a',  'a',  'c',  'e',  'e',  'e',  'I',  'i',  'i',  'A',  'A',
    // 0x90
    'E',  'a',  'A',  'o',  'o',  'o',  'u',  'u',  'y',  'O',  'U',  'o',  0x9C, 'O',  'x',  0x9F,
    // 0xA0
    'a',  'i',  'o',  'u',  'n',  'N',  0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, '"',  '"',
    // 0xB0
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 'A',  'A',  'A',  0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,
    // 0xC0
    0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 'a',  'A',  0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF,
    // 0xD0
    0xD0, 0xD1, 'E',  'E',  'E',  'i',  'I',  'I',  'I',  0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 'I',  0xDF,
    // 0xE0
    'O',  0xE1, 'O',  'O',  'o',  'O',  0xE6, 0xE7, 0xE8, 'U',  'U',  'U',  'y',  'Y',  0xEE, 0xEF,
    // 0xF0
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,
};
// clang-format on

namespace {

constexpr std::size_t READ_CHUNK = 1 << 20;
constexpr const char* TEMPORARY_PREFIX = ".qzr";
constexpr const char* TEMPORARY_SUFFIX = ".tmp";
constexpr unsigned RESPONSE_MODE = 0640;

constexpr char CTRL_Z = 0x1A;  // end of file of a DOS text file

// Reads the first line of `file` (the bytes of the request) into `buf` (at
// most `cap` characters, cap < buf.size()) as text mode does; zeroes the rest
// of `buf`. Returns the number of characters read (the LF included when it
// fits). A Ctrl-Z that ends the line (before its line end, or as the file's
// last byte) is the end of the file: the line is the text before it, without
// a line end.
std::size_t readLine(std::span<const char> file, std::span<char> buf, std::size_t cap)
{
    char* b = buf.data();
    const std::size_t limit = cap + 1;  // a CR LF pair reads as one character
    const std::size_t raw = std::min(limit, file.size());
    if (raw > 0) std::memcpy(b, file.data(), raw);
    const void* p = std::memchr(b, '\n', raw);
    const long lf = p ? static_cast<const char*>(p) - b : -1;
    std::size_t len;
    if (lf >= 0) {
        std::size_t text = static_cast<std::size_t>(lf > 0 && b[lf - 1] == '\r' ? lf - 1 : lf);
        if (text > 0 && b[text - 1] == CTRL_Z) {
            len = text - 1;
        } else if (text < static_cast<std::size_t>(lf)) {
            b[lf - 1] = '\n';
            len = static_cast<std::size_t>(lf);
        } else {
            len = static_cast<std::size_t>(lf) + 1;
        }
    } else {
        // The file's last byte; a line that reached the limit is cut to
        // `cap` below, whatever its last byte.
        len = raw > 0 && b[raw - 1] == CTRL_Z ? raw - 1 : raw;
    }
    len = std::min(len, cap);
    std::memset(b + len, 0, buf.size() - len);
    return len;
}

// Reads what the open file `fd` holds, REQ_TEXT_SIZE bytes at most, into
// `out`; `whole` tells whether that is all of it. Returns 0 or the error
// number of a failed read.
int readContent(int fd, std::int64_t sizeHint, std::vector<char>& out, bool& whole)
{
    const std::size_t limit = REQ_TEXT_SIZE;
    std::size_t want = static_cast<std::size_t>(std::clamp<std::int64_t>(sizeHint, 0, limit)) + 1;
    out.resize(want);
    std::size_t got = 0;
    for (;;) {
        if (got == out.size()) {
            if (got > limit) break;
            out.resize(std::min(limit + 1, got + READ_CHUNK));
        }
        long n = os_readAt(fd, out.data() + got, out.size() - got, static_cast<std::int64_t>(got));
        if (n < 0) return errno ? errno : EIO;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    whole = got <= limit;
    out.resize(std::min(got, limit));
    return 0;
}

// Scans the line for a byte below 32 other than LF; returns its position or
// -1, and tells whether a byte of 128 or above occurs before it.
long findControl(const unsigned char* m, long len, bool* high)
{
    constexpr long B = 64;
    unsigned hi = 0;
    long i = 0;
    for (; len - i >= B; i += B) {
        unsigned ctl = 0, h = 0;
        for (long j = 0; j < B; ++j) {
            unsigned char c = m[i + j];
            ctl |= static_cast<unsigned>(c < 32) & static_cast<unsigned>(c != '\n');
            h |= c;
        }
        if (ctl) break;
        hi |= h;
    }
    for (; i < len; ++i) {
        unsigned char c = m[i];
        if (c < 32 && c != '\n') {
            *high = (hi & 0x80) != 0;
            return i;
        }
        hi |= c;
    }
    *high = (hi & 0x80) != 0;
    return -1;
}

// The first position below `len` holding a byte of 128 or above, or -1.
long findHigh(const unsigned char* m, long len)
{
    for (long i = 0; i < len; ++i) {
        if (m[i] >= 128) return i;
    }
    return -1;
}

void waitBetweenTries(int seconds)
{
    if (file_waitHook) {
        file_waitHook(seconds);
        return;
    }
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

// How many names a response may try before it gives up: the process's own
// and those with a counter after the process id.
constexpr int TEMPORARY_TRIES = 100;

// The temporary name a response is written under: a short hidden name in
// the same directory (TEMPORARY_PREFIX, the process id, TEMPORARY_SUFFIX),
// so the rename into place stays on one file system, no request search
// matches it, and it fits however long the response's own name is. Where
// that name is taken, `n` above 0 puts "-<n>" after the process id.
std::string temporaryName(const std::string& path, int n)
{
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string name = dir + TEMPORARY_PREFIX + std::to_string(os_processId());
    if (n > 0) name += "-" + std::to_string(n);
    return name + TEMPORARY_SUFFIX;
}

// Whether `tmp` holds what an earlier run of this user with the same
// process id left when it ended mid-write: a regular file of this user.
// Anything else (a directory, a link, another user's file) is not ours to
// remove.
bool leftByUs(const std::string& tmp)
{
    os_fileInfo info;
    return os_pathInfo(tmp.c_str(), false, info) == 0 && info.kind == OS_KIND_REGULAR && info.ownedByUs;
}

// Makes the temporary file of a response: the process's own name (a file
// this user left there is replaced), or, when something else holds it (a
// directory, a link, another user's file), the next free name with a
// counter. Returns 0 with the name in `tmp`, or the error number of the
// last try.
int createTemporary(const std::string& path, std::string& tmp, OsFd& fd)
{
    const int how = OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_EXCLUSIVE;
    int e = EEXIST;
    for (int n = 0; n < TEMPORARY_TRIES && e == EEXIST; ++n) {
        tmp = temporaryName(path, n);
        e = os_fileOpen(tmp.c_str(), how, RESPONSE_MODE, fd);
        if (e == EEXIST && n == 0 && leftByUs(tmp) && os_unlink(tmp.c_str()) == 0)
            e = os_fileOpen(tmp.c_str(), how, RESPONSE_MODE, fd);
    }
    return e;
}

// The digits of `text`, as a number, when it is 1 to 9 of them; else -1.
int digitsValue(std::string_view text)
{
    if (text.empty() || text.size() > 9) return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The process id of a temporary name of this form ("<prefix><digits><suffix>"
// or "<prefix><digits>-<digits><suffix>"), or 0 when `name` has another form.
int temporaryOwner(std::string_view name)
{
    std::string_view prefix = TEMPORARY_PREFIX, suffix = TEMPORARY_SUFFIX;
    if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
        return 0;
    std::string_view middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    std::size_t dash = middle.find('-');
    if (dash != std::string_view::npos && digitsValue(middle.substr(dash + 1)) < 0) return 0;
    int pid = digitsValue(middle.substr(0, dash));
    return pid < 0 ? 0 : pid;
}

void writeStatistics(const transInfo* ti)
{
    std::string path = ExeDir.empty() ? std::string("qzrstat.dat") : ExeDir + "/qzrstat.dat";
    // A link there is not followed: refused like a file that cannot be opened.
    OsFd fd;
    if (os_fileOpen(path.c_str(), OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_TRUNCATE | OS_OPEN_NARROW, 0600, fd) != 0)
        return;
    char line[32];
    int n = std::snprintf(line, sizeof line, "OFFICE=%.4s\n", ti->office);
    int err = os_writeAll(fd.get(), line, static_cast<std::size_t>(n));
    fd.reset();
    if (err == 0) {
        std::string_view office(ti->office, ::strnlen(ti->office, CDA_OFFICE_LEN));
        log_write(LOG_INFO, "Group:%s processed", log_foreign(office).c_str());
    }
}

// Whether two looks at a file found the same size and time of change.
bool sameContent(const os_fileInfo& a, const os_fileInfo& b)
{
    return a.size == b.size && a.mtime == b.mtime && a.mtimeNsec == b.mtimeNsec;
}

// The directories whose requests were found without a lease for want of
// the right to one: each is named once in the log.
std::set<std::string> unleasedDirectories;

void warnNoLease(const char* path)
{
    std::string p = path;
    std::size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : p.substr(0, slash);
    if (!unleasedDirectories.insert(dir).second) return;
    log_write(LOG_INFO,
              "** WARNING ** Requests in %s belong to another user and cannot be leased: a claim could be read "
              "while it is written. Grant the driver CAP_LEASE (AmbientCapabilities=CAP_LEASE in qzr.service)",
              dir.c_str());
}

// Milliseconds between the looks at a request whose writer is awaited.
constexpr int WRITER_POLL_MS = 20;

// Whether the open file `fd`, found as `first`, holds still: the same size
// and time of change REQUEST_SETTLE_MS later.
bool holdsStill(int fd, const os_fileInfo& first)
{
    os_sleepMs(REQUEST_SETTLE_MS);
    os_fileInfo second;
    return os_fileInfoOf(fd, second) == 0 && sameContent(first, second);
}

// Whether `path` names the file `file` (same device and inode), without
// following a link. Returns 0, ENOENT when no file has that name, or ESTALE
// for another file (or a name that cannot be looked at).
int namedFile(const char* path, const os_fileInfo& file)
{
    os_fileInfo named;
    if (int err = os_pathInfo(path, false, named); err != 0) return err == ENOENT ? ENOENT : ESTALE;
    return named.device == file.device && named.inode == file.inode ? 0 : ESTALE;
}

}  // namespace

int RequestFile::open(const char* path)
{
    close();
    openError_ = openLeased(path);
    return openError_;
}

int RequestFile::openLeased(const char* path)
{
    OsFd fd;
    if (int err = os_fileOpen(path, OS_OPEN_READ, 0, fd); err != 0)
        return err == ELOOP || err == EISDIR || err == ENXIO ? REQUEST_NOT_A_FILE : err;
    int how = OS_DENY_LEASE;
    if (int err = os_denyWriters(fd.get(), how); err != 0) return err;
    if (how == OS_DENY_LOCK_NOT_OWNER) warnNoLease(path);
    os_fileInfo first;
    if (int err = os_fileInfoOf(fd.get(), first); err != 0) return err;
    if (how != OS_DENY_LEASE) {
        // Nothing holds a writer back: the file is taken only once it holds
        // still, so that a claim is not read half-way through its writing.
        if (!holdsStill(fd.get(), first)) return EAGAIN;
    }
    if (int err = readContent(fd.get(), first.size, content_, whole_); err != 0) return err;
    fd_ = std::move(fd);
    leased_ = how == OS_DENY_LEASE;
    opened_ = first;
    return 0;
}

bool RequestFile::changedSinceOpen() const
{
    if (!fd_.valid()) return false;
    if (leased_ && os_leaseBroken(fd_.get())) return true;
    os_fileInfo now;
    if (os_fileInfoOf(fd_.get(), now) != 0) return true;
    return !sameContent(now, opened_);
}

int RequestFile::namedBy(const char* path) const
{
    return namedFile(path, opened_);
}

int RequestFile::settle(std::int64_t deadlineMs)
{
    if (!fd_.valid()) return ESTALE;
    os_fileInfo now;
    for (;;) {
        if (os_fileInfoOf(fd_.get(), now) != 0) return ESTALE;
        if (leased_ ? os_leaseRenew(fd_.get()) == 0 : holdsStill(fd_.get(), now)) break;
        if (os_monotonicMs() >= deadlineMs) return EAGAIN;
        os_sleepMs(WRITER_POLL_MS);
    }
    // What was written while the lease was let go is on the file now.
    if (os_fileInfoOf(fd_.get(), now) != 0) return ESTALE;
    std::vector<char> held;
    bool whole = false;
    if (readContent(fd_.get(), now.size, held, whole) != 0 || !whole || !whole_ || held != content_) return ESTALE;
    opened_ = now;
    return 0;
}

void RequestFile::close()
{
    fd_.reset();
    leased_ = false;
    content_.clear();
    whole_ = false;
}

int file_read_header(const RequestFile& requestFp, const char* name, transInfo* ti)
{
    if (!requestFp.isOpen()) {
        log_write(LOG_ERROR, "file_read_header: file should be open <%s> for reading", name);
        return STS_READ_ERROR;
    }
    char line[REQ_HEADER_SIZE];
    *ti = transInfo{};
    readLine(requestFp.content(), std::span<char>(line, sizeof line), REQ_HEADER_SIZE - 2);
    ti->status = cda_parse_header(name, std::string_view(line, sizeof line), -1, ti);
    return ti->status;
}

int file_read(const RequestFile& requestFp, const char* name, std::span<char> buf, bool convert, transInfo* ti)
{
    if (!requestFp.isOpen()) {
        log_write(LOG_ERROR, "file_read: file should be open <%s> for reading", name);
        return STS_READ_ERROR;
    }
    if (buf.size() < 2) return STS_READ_ERROR;
    *ti = transInfo{};
    std::size_t got = readLine(requestFp.content(), buf, buf.size() - 1);
    auto* m = reinterpret_cast<unsigned char*>(buf.data());

    long len = static_cast<long>(got);
    if (len > 0 && (m[len - 1] == '\n' || m[len - 1] == '\r')) --len;

    int sts = cda_parse_header(name, std::string_view(buf.data(), buf.size()), static_cast<int>(len), ti);
    if (sts != STS_OK) return sts;

    bool high = false;
    long bad = findControl(m, len, &high);
    if (bad >= 0) {
        log_write(LOG_ERROR, "Invalid character ASCII(%d) at position %ld in file <%s>", m[bad], bad, name);
        return STS_INVALID_CLAIM;
    }

    for (int i = 0; i < CDA_OFFICE_LEN; ++i) {
        auto c = static_cast<unsigned char>(ti->office[i]);
        if (c < 33 || c > 127) {
            log_write(LOG_ERROR, "Invalid character ASCII(%d) in CDA office field <%s>", c,
                      log_foreign(ti->office).c_str());
            return STS_INVALID_CLAIM;
        }
    }

    if (ti->cdaVersion == 4 || !high) return STS_OK;

    long msgLen = std::min(static_cast<long>(ti->msgLength), static_cast<long>(buf.size()));
    if (msgLen < 1) return STS_OK;
    log_dump(LOG_INFO, "Transaction contains 8bit characters", m, static_cast<std::size_t>(msgLen));
    if (convert) {
        for (long i = 0; i < msgLen; ++i) m[i] = accentTable[m[i]];
        log_dump(LOG_INFO, "Converted to:", m, static_cast<std::size_t>(msgLen));
    }
    long pos = findHigh(m, msgLen);
    if (pos >= 0) {
        log_write(LOG_ERROR, "Invalid character ASCII(%d) at position %ld in file <%s>", m[pos], pos, name);
        return STS_INVALID_CLAIM;
    }
    return STS_OK;
}

int ResponseFile::prepare(const char* path)
{
    discard();
    path_ = path;
    written_ = false;
    OsFd fd;
    if (int e = createTemporary(path_, tmp_, fd); e != 0) return e;
    // Made 0640 whatever the umask (the answer holds a patient's claim):
    // os_fileOpen gives a file it makes the mode asked.
    int e = os_fileReserve(fd.get(), RESPONSE_RESERVE);
    if (e != 0 && e != EOPNOTSUPP) {
        fd.reset();
        (void)os_unlink(tmp_.c_str());
        tmp_.clear();
        return e;
    }
    fd_ = std::move(fd);
    return 0;
}

int ResponseFile::commit(std::string_view bytes)
{
    int err = fd_.valid() ? 0 : EBADF;
    if (err == 0) err = os_writeAll(fd_.get(), bytes.data(), bytes.size());
    // The room reserved beyond the answer is given back.
    if (err == 0) err = os_fileTruncate(fd_.get(), static_cast<std::int64_t>(bytes.size()));
    if (err == 0) err = os_fileSyncData(fd_.get());
    if (int closed = fd_.close(); closed != 0 && err == 0) err = closed;
    if (err == 0) err = os_rename(tmp_.c_str(), path_.c_str());
    if (err == 0) {
        tmp_.clear();
        written_ = true;
    } else {
        log_write(LOG_ERROR, "error writing file <%s> (errno=%d %s)", path_.c_str(), err, std::strerror(err));
        discard();
    }
    return err;
}

void ResponseFile::discard()
{
    fd_.reset();
    if (!tmp_.empty()) (void)os_unlink(tmp_.c_str());
    tmp_.clear();
}

std::string file_responseBytes(const char* data, int len, const transInfo* ti, const char* extra)
{
    std::string bytes = std::to_string(ti->seq) + "," + std::to_string(ti->status) + "," + (ti->ext ? ti->ext : "") + ",";
    if (len > 0) bytes.append(data, static_cast<std::size_t>(len));
    if (extra && *extra) bytes.append("\r\n").append(extra);
    return bytes;
}

int file_writePrepared(ResponseFile& rsp, const char* data, int len, const transInfo* ti, const char* extra)
{
    log_write(LOG_INFO, "Writing %s status=%d len response=%d", rsp.path().c_str(), ti->status, len);
    if (rsp.commit(file_responseBytes(data, len, ti, extra)) != 0) return STS_CANNOT_WRITE_OUTPUT;
    if (ti->status == STS_READ_ERROR || ti->status == STS_INVALID_CLAIM) return STS_OK;
    writeStatistics(ti);
    return STS_OK;
}

int file_write(const char* path, const char* data, int len, const transInfo* ti, const char* extra)
{
    ResponseFile rsp;
    if (int e = rsp.prepare(path); e != 0) {
        log_write(LOG_ERROR, "error opening file <%s> for writing (errno=%d %s)", path, e, std::strerror(e));
        return STS_CANNOT_WRITE_OUTPUT;
    }
    return file_writePrepared(rsp, data, len, ti, extra);
}

int file_removeResponse(const char* path)
{
    int err = os_unlink(path);
    return err == ENOENT ? 0 : err;
}

void file_removeStaleTemporaries(const std::string& dir)
{
    std::vector<std::string> names;
    if (os_listDirectory(dir.c_str(), names) != 0) return;
    for (const std::string& name : names) {
        int pid = temporaryOwner(name);
        if (pid <= 0 || os_processExists(pid)) continue;
        if (os_unlink((dir + "/" + name).c_str()) == 0)
            log_write(LOG_INFO, "Removing old temporary file %s/%s", dir.c_str(), name.c_str());
    }
}

std::string file_processedName(const char* path)
{
    std::string processed = path;
    std::size_t slash = processed.find('/');
    std::size_t at = slash == std::string::npos ? 0 : slash + 1;
    if (at < processed.size()) processed[at] = '_';
    return processed;
}

namespace {

// How many names of its own a file that cannot have its name back may try.
constexpr int KEPT_TRIES = 100;

// A name of its own for a claim whose request name was taken again: '_'
// before the request's file name (no request search matches it), and ".<n>"
// after it where `n` is above 0.
std::string keptName(const char* path, int n)
{
    std::string p = path;
    std::size_t slash = p.rfind('/');
    std::size_t at = slash == std::string::npos ? 0 : slash + 1;
    p.insert(at, "_");
    if (n > 0) p += "." + std::to_string(n);
    return p;
}

void logLeftForNextPass(const char* path)
{
    log_write(LOG_INFO, "** WARNING ** %s was written while it was served, left for the next pass", path);
}

void logStillWritten(const char* path)
{
    log_write(LOG_INFO, "** WARNING ** %s is still being written, left for the next pass", path);
}

void logDeleted(const char* path)
{
    log_code(0, "%s does not exist (was deleted by another process)", path);
}

// Gives the file now named `from`, which is not the request marked, back its
// request name `path`, for the next pass; where another file took that name
// meanwhile, a name of its own. The file is never replaced nor removed.
void giveNameBack(const std::string& from, const char* path)
{
    int e = os_renameNoReplace(from.c_str(), path);
    if (e == 0) {
        logLeftForNextPass(path);
        return;
    }
    for (int n = 0; n < KEPT_TRIES && e == EEXIST; ++n) {
        std::string kept = keptName(path, n);
        e = os_renameNoReplace(from.c_str(), kept.c_str());
        if (e == 0) {
            log_write(LOG_ERROR,
                      "A claim written as %s while it was served found the name taken again: it is kept as %s, "
                      "not sent",
                      path, kept.c_str());
            return;
        }
    }
    log_write(LOG_ERROR, "%s was written while it was served and cannot have its name back from %s (errno=%d %s)",
              path, from.c_str(), e, std::strerror(e));
}

// Whether `path` holds the request marked: the file `marked` names, and,
// when it was read (`requestFp` open), the bytes that were read. A writer
// that came for it is waited for until `deadlineMs`. Returns 0, ENOENT when
// the name holds no file, ESTALE when it holds another file or other bytes,
// EAGAIN when a writer still holds it.
int holdsMarked(RequestFile& requestFp, const os_fileInfo& marked, const char* path, std::int64_t deadlineMs)
{
    if (int named = namedFile(path, marked); named != 0) return named;
    while (requestFp.isOpen() && requestFp.changedSinceOpen()) {
        if (os_monotonicMs() >= deadlineMs) return EAGAIN;  // writers that keep coming
        if (int e = requestFp.settle(deadlineMs); e != 0) return e;
        if (int named = namedFile(path, marked); named != 0) return named;
    }
    return 0;
}

// Deletes the request `path` only when it is the file `marked`: it is moved
// to a name of the driver's own, looked at there, and removed; a file that
// took the request's name meanwhile is given it back. Returns 0, ESTALE when
// the name held another file, or the error number of the failed move or
// removal (the request then keeps its name).
int deleteMarked(const char* path, const os_fileInfo& marked)
{
    std::string own;
    int e = EEXIST;
    for (int n = 0; n < TEMPORARY_TRIES && e == EEXIST; ++n) {
        own = temporaryName(path, n);
        e = os_renameNoReplace(path, own.c_str());
    }
    if (e != 0) return e;
    if (namedFile(own.c_str(), marked) != 0) {
        giveNameBack(own, path);
        return ESTALE;
    }
    e = os_unlink(own.c_str());
    if (e != 0 && os_renameNoReplace(own.c_str(), path) != 0) giveNameBack(own, path);
    return e;
}

}  // namespace

void file_rename(RequestFile& requestFp, const char* path, bool fatal)
{
    const bool read = requestFp.isOpen();
    // Not read because its writer still held it: the claim is not complete.
    if (!read && requestFp.openError() == EAGAIN) {
        logStillWritten(path);
        return;
    }
    // The file to mark: the one read, or the one the name holds now.
    os_fileInfo marked;
    if (read) {
        marked = requestFp.opened();
    } else if (int e = os_pathInfo(path, false, marked); e != 0) {
        logDeleted(path);
        return;
    }

    std::string processed = file_processedName(path);
    if (int e = os_unlink(processed.c_str()); e != 0 && e != ENOENT) {
        log_write(LOG_ERROR, "Cannot delete %s (errno=%d %s) ", processed.c_str(), e, std::strerror(e));
    }

    int deleteErr = 0;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const std::int64_t deadline = os_monotonicMs() + REQUEST_WRITER_WAIT_MS;
        if (int held = holdsMarked(requestFp, marked, path, deadline); held != 0) {
            if (held == ENOENT) {
                logDeleted(path);
            } else if (held == EAGAIN) {
                logStillWritten(path);
            } else {
                logLeftForNextPass(path);
            }
            return;
        }
        int e = os_rename(path, processed.c_str());
        if (e == 0) {
            // The name may have been given to another file between the look
            // and the rename, or a writer may have come meanwhile.
            int held = holdsMarked(requestFp, marked, processed.c_str(), deadline);
            if (held == ESTALE || held == EAGAIN) {
                giveNameBack(processed, path);
            } else if (attempt > 1) {
                log_code(0, "File rename to %s succeeded", processed.c_str());
            }
            return;
        }
        log_write(LOG_ERROR, "*ERROR* cannot rename input file %s to %s (errno=%d %s).", path, processed.c_str(), e,
                  std::strerror(e));
        deleteErr = deleteMarked(path, marked);
        if (deleteErr == 0) {
            log_code(0, "Could not rename to %s, %s deleted.", processed.c_str(), path);
            return;
        }
        if (deleteErr == ESTALE) return;

        waitBetweenTries(fileRenameDelay);

        os_fileInfo still;
        if (os_pathInfo(path, false, still) == ENOENT) {
            logDeleted(path);
            return;
        }
    }

    if (fatal) {
        log_write(LOG_ERROR, "****FATAL ERROR**** Cannot delete %s (errno=%d %s) terminating program. ", path,
                  deleteErr, std::strerror(deleteErr));
        stopForGood = true;
        terminateRequested = true;
    } else {
        log_write(LOG_ERROR, "****ERROR**** Cannot delete %s (errno=%d %s). ", path,
                  deleteErr, std::strerror(deleteErr));
    }
}

}  // namespace qzr
