// The in-flight mark and the kept answers.
//
// Both records have one form: a line "QZR", then "time <YYYYMMDD HH:MM:SS>",
// "request <path>", "response <path>" lines, then "claim <n>" and the n bytes
// of the claim, then "answer <n>" and the n bytes of the response file (none
// in the mark). They are written with mode 0600 under "<name>.new", put on
// disk and renamed over their name, so a record is whole or absent.
#include "engine/sent_claims.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "foundation/log.h"
#include "foundation/runtime.h"
#include "os/os_fd.h"
#include "os/os_file.h"

namespace qzr {

namespace {

constexpr const char* MARK_NAME = "qzrsend.dat";
constexpr const char* KEPT_PREFIX = "qzrkept.";
// How many answers of different claims can be kept under one request name.
constexpr int KEPT_NAMES = 100;
constexpr unsigned RECORD_MODE = 0600;
// A record is read only up to the largest claim and answer it can hold.
constexpr std::int64_t RECORD_LIMIT = 64 << 20;

struct ClaimRecord {
    std::string time;      // when it was written, as the log stamps its lines
    std::string request;   // the request's path
    std::string response;  // the response's path
    std::string claim;     // the request file's bytes
    std::string answer;    // the response file's bytes (kept answers)
};

std::string markPath;
std::optional<ClaimRecord> previousMark;  // what the previous run left
std::optional<ClaimRecord> armed;         // the claim being served
bool markWritten = false;
int framesOut = 0;  // the dialogs that began to send the armed claim

std::string nowText()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[80];
    std::snprintf(text, sizeof text, "%04d%02d%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string formRecord(const ClaimRecord& r)
{
    std::string out = "QZR\ntime " + r.time + "\nrequest " + r.request + "\nresponse " + r.response + "\n";
    out += "claim " + std::to_string(r.claim.size()) + "\n" + r.claim;
    out += "answer " + std::to_string(r.answer.size()) + "\n" + r.answer;
    return out;
}

// Takes the line "<key> <value>" at `at` from `text`; false when it is not there.
bool takeLine(std::string_view text, std::size_t& at, std::string_view key, std::string& value)
{
    std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) return false;
    std::string_view line = text.substr(at, end - at);
    if (!line.starts_with(key) || line.size() < key.size() + 1 || line[key.size()] != ' ') return false;
    value = std::string(line.substr(key.size() + 1));
    at = end + 1;
    return true;
}

// Takes "<key> <n>" and the n bytes after it.
bool takeBlock(std::string_view text, std::size_t& at, std::string_view key, std::string& bytes)
{
    std::string count;
    if (!takeLine(text, at, key, count) || count.empty() || count.size() > 12) return false;
    std::size_t n = 0;
    for (char c : count) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    if (n > text.size() - at) return false;
    bytes = std::string(text.substr(at, n));
    at += n;
    return true;
}

bool parseRecord(std::string_view text, ClaimRecord& r)
{
    if (!text.starts_with("QZR\n")) return false;
    std::size_t at = 4;
    return takeLine(text, at, "time", r.time) && takeLine(text, at, "request", r.request) &&
           takeLine(text, at, "response", r.response) && takeBlock(text, at, "claim", r.claim) &&
           takeBlock(text, at, "answer", r.answer) && at == text.size();
}

// Reads the whole of the open file `fd` up to `limit` bytes. Returns 0 or
// the error number (EFBIG beyond the limit).
int readWhole(int fd, std::int64_t limit, std::string& bytes)
{
    bytes.clear();
    char buf[65536];
    for (;;) {
        long n = os_readAt(fd, buf, sizeof buf, static_cast<std::int64_t>(bytes.size()));
        if (n < 0) return errno ? errno : EIO;
        if (n == 0) return 0;
        bytes.append(buf, static_cast<std::size_t>(n));
        if (static_cast<std::int64_t>(bytes.size()) > limit) return EFBIG;
    }
}

// Reads the record `path`. Returns 0, ENOENT when there is none, or another
// error number (EINVAL: not a record).
int readRecord(const std::string& path, ClaimRecord& r)
{
    OsFd fd;
    if (int e = os_fileOpen(path.c_str(), OS_OPEN_READ, 0, fd); e != 0) return e;
    std::string text;
    if (int e = readWhole(fd.get(), RECORD_LIMIT, text); e != 0) return e;
    return parseRecord(text, r) ? 0 : EINVAL;
}

// Writes the record `r` as `path`, whole or not at all. Returns 0 or the
// error number.
int writeRecord(const std::string& path, const ClaimRecord& r)
{
    const std::string tmp = path + ".new";
    if (int e = os_unlink(tmp.c_str()); e != 0 && e != ENOENT) return e;
    OsFd fd;
    if (int e = os_fileOpen(tmp.c_str(), OS_OPEN_WRITE | OS_OPEN_CREATE | OS_OPEN_EXCLUSIVE, RECORD_MODE, fd);
        e != 0)
        return e;
    const std::string text = formRecord(r);
    int err = os_writeAll(fd.get(), text.data(), text.size());
    if (err == 0) err = os_fileSync(fd.get());
    if (int closed = fd.close(); closed != 0 && err == 0) err = closed;
    if (err == 0) err = os_rename(tmp.c_str(), path.c_str());
    if (err != 0) (void)os_unlink(tmp.c_str());
    return err;
}

}  // namespace

void sent_start(const char* logPath)
{
    std::string log = logPath ? logPath : "qzr.log";
    std::size_t slash = log.rfind('/');
    markPath = slash == std::string::npos ? std::string(MARK_NAME) : log.substr(0, slash + 1) + MARK_NAME;
    previousMark.reset();
    armed.reset();
    markWritten = false;
    ClaimRecord r;
    if (readRecord(markPath, r) == 0) previousMark = std::move(r);
}

void sent_arm(const char* reqPath, const std::string& claim)
{
    ClaimRecord r;
    r.request = reqPath;
    r.claim = claim;
    armed = std::move(r);
    markWritten = false;
    framesOut = 0;
}

void sent_frameGoesOut()
{
    if (!armed) return;
    ++framesOut;
    if (markWritten) return;
    markWritten = true;
    armed->time = nowText();
    if (int e = writeRecord(markPath, *armed); e != 0)
        log_write(LOG_ERROR, "Cannot write %s (errno=%d %s): a claim cut off by the end of this run would be sent "
                  "again without a warning", markPath.c_str(), e, std::strerror(e));
}

bool sent_frameMayHaveGoneOut()
{
    return armed && markWritten;
}

int sent_framesOut()
{
    return armed ? framesOut : 0;
}

void sent_clear()
{
    if (markWritten) {
        if (int e = os_unlink(markPath.c_str()); e != 0 && e != ENOENT)
            log_write(LOG_ERROR, "Cannot delete %s (errno=%d %s) ", markPath.c_str(), e, std::strerror(e));
    }
    armed.reset();
    markWritten = false;
    framesOut = 0;
}

void sent_warnIfResent(const char* reqPath, const std::string& claim)
{
    // Other requests may be served first (another network's, a name before
    // it): the mark waits for its own claim.
    if (!previousMark || previousMark->request != reqPath || previousMark->claim != claim) return;
    log_write(LOG_INFO,
              "** WARNING ** A previous run began to send %s at %s and ended before it was marked served: the "
              "claim may have reached the carrier already; it is sent again",
              reqPath, previousMark->time.c_str());
    previousMark.reset();
}

std::string sent_keptPath(const char* reqPath)
{
    // The request's path as one name: '%' and '/' written as "%25" and "%2F".
    std::string name;
    for (const char* p = reqPath; *p; ++p) {
        if (*p == '%')
            name += "%25";
        else if (*p == '/')
            name += "%2F";
        else
            name += *p;
    }
    return (ExeDir.empty() ? std::string() : ExeDir + "/") + KEPT_PREFIX + name;
}

namespace {

// The `n`th name of the kept answers of `reqPath`.
std::string keptName(const char* reqPath, int n)
{
    std::string name = sent_keptPath(reqPath);
    if (n > 0) name += "." + std::to_string(n);
    return name;
}

// Calls `seen` with each kept answer of `reqPath` and its name, in the order
// of the names, until it returns true. Returns true when it did.
template <typename Seen>
bool eachKept(const char* reqPath, Seen seen)
{
    for (int n = 0; n < KEPT_NAMES; ++n) {
        ClaimRecord r;
        const std::string name = keptName(reqPath, n);
        if (readRecord(name, r) == 0 && r.request == reqPath && seen(r, name)) return true;
    }
    return false;
}

// Where the answer of the claim `claim` of `reqPath` is to be kept: the name
// that holds that claim's answer already, else the first name free. The
// answer of another claim is never written over. Empty when every name is
// taken.
std::string keptNameFor(const char* reqPath, const std::string& claim)
{
    std::string firstFree;
    for (int n = 0; n < KEPT_NAMES; ++n) {
        std::string name = keptName(reqPath, n);
        ClaimRecord r;
        const int e = readRecord(name, r);
        if (e == 0 && r.request == reqPath && r.claim == claim) return name;
        // A name that holds anything at all (even what is no record) is taken.
        if (e == ENOENT && firstFree.empty()) firstFree = std::move(name);
    }
    return firstFree;
}

}  // namespace

int sent_keepAnswer(const char* respPath, const std::string& response)
{
    if (!armed) return EINVAL;
    ClaimRecord r = *armed;
    const char* reqPath = armed->request.c_str();
    r.time = nowText();
    r.response = respPath;
    r.answer = response;
    std::string kept = keptNameFor(reqPath, r.claim);
    int err = kept.empty() ? EEXIST : writeRecord(kept, r);
    if (kept.empty()) kept = keptName(reqPath, KEPT_NAMES - 1);
    if (err == 0) {
        log_write(LOG_ERROR,
                  "The answer to %s cannot be written to %s: it is kept in %s and delivered once it can be; the "
                  "claim is not sent again",
                  reqPath, respPath, kept.c_str());
    } else {
        log_write(LOG_ERROR, "The answer to %s cannot be written to %s nor kept in %s (errno=%d %s)", reqPath,
                  respPath, kept.c_str(), err, std::strerror(err));
    }
    log_dump(LOG_INFO, "Answer received", response.data(), response.size());
    return err;
}

bool sent_findKept(const char* reqPath, const std::string& claim, std::string& response, std::string& keptAt)
{
    std::string firstKept;
    const bool found = eachKept(reqPath, [&](ClaimRecord& r, const std::string& name) {
        if (firstKept.empty()) firstKept = name;
        if (r.claim != claim) return false;
        response = std::move(r.answer);
        keptAt = name;
        return true;
    });
    if (!found) keptAt = std::move(firstKept);
    return found;
}

bool sent_anyKept(const char* reqPath, std::string& keptAt)
{
    return eachKept(reqPath, [&](const ClaimRecord&, const std::string& name) {
        keptAt = name;
        return true;
    });
}

void sent_dropKept(const std::string& keptAt)
{
    if (int e = os_unlink(keptAt.c_str()); e != 0 && e != ENOENT)
        log_write(LOG_ERROR, "Cannot delete %s (errno=%d %s) ", keptAt.c_str(), e, std::strerror(e));
}

}  // namespace qzr
