// Request, response and statistics files.
//
// The practice software writes each request as one CDAnet message on one
// text line into a network directory; the driver reads its header twice
// (to check it, then to redirect it) and then the whole line with its
// character checks, once per connection tried (again for the secondary
// after the primary failed), writes the answer
// into a response file beside it ("%d,%d,%s," of sequence, status and
// extension, then the answer's bytes), names the office of the last
// transaction in qzrstat.dat, and marks the request processed by renaming it
// (the first letter of its file name becomes '_').
//
// What must always hold: a request is read while no one else may write to
// it; the file marked processed is the file that was read, holding the bytes
// that were read (a writer that changed nothing changed no claim), never a
// file that took its name meanwhile, nor one still held by its writer; no
// request is ever removed by its name; the request buffer is never written
// past its size and is zero after the line; a response file appears complete
// or not at all; every descriptor is opened close-on-exec.
#pragma once

#include "engine/cda_header.h"
#include "foundation/buffers.h"
#include "os/os_fd.h"
#include "os/os_file.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qzr {

constexpr std::size_t REQ_HEADER_SIZE = 1000;  // the header-only read: 998 characters at most

// RequestFile::open's answer for an entry that is not a regular file (a
// symbolic link, FIFO, socket, device or directory): no request at all.
constexpr int REQUEST_NOT_A_FILE = -1;

// Milliseconds between the two looks at a request that no lease holds: it
// is read only when its size and time of change hold still meanwhile.
constexpr int REQUEST_SETTLE_MS = 300;

// Milliseconds the marking of a request waits at most for a writer that came
// for it while it was served to be done with it.
constexpr int REQUEST_WRITER_WAIT_MS = 2000;

// The request being served: a read-only descriptor holding a read lease (or,
// where no lease can be had, a read lock), so that no writer can change the
// file while the driver reads it, and the bytes it held when it was opened,
// which the readers read. One pass owns it from the open to the rename; the
// readers and file_rename are given it, and it is closed once, when the pass
// lets it go.
class RequestFile {
public:
    RequestFile() = default;
    RequestFile(const RequestFile&) = delete;
    RequestFile& operator=(const RequestFile&) = delete;
    ~RequestFile() { close(); }

    bool isOpen() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    // Opens `path` for reading with writers denied, without following a
    // link and without waiting (a FIFO never blocks the open). Where no
    // lease can be had, the file is taken only when its size and time of
    // change hold still between two looks REQUEST_SETTLE_MS apart; where the
    // lease is refused because the file is another user's, a warning naming
    // the remedy is logged, once per directory. Returns 0,
    // REQUEST_NOT_A_FILE when `path` is not a regular file, or the error
    // number of the failed try (EAGAIN: someone is writing it). A file of
    // more than REQ_TEXT_SIZE bytes is read up to there.
    int open(const char* path);
    // The error number of the last open that failed (EAGAIN: a writer held
    // the file), 0 after one that succeeded.
    int openError() const { return openError_; }
    // The bytes the file held when it was opened (REQ_TEXT_SIZE at most).
    std::span<const char> content() const { return content_; }
    // The file opened: its device and inode name it.
    const os_fileInfo& opened() const { return opened_; }
    // Whether the request was changed since it was opened: a writer came for
    // it (its lease was broken), or its size or time of change moved.
    bool changedSinceOpen() const;
    // Whether `path` still names the file opened (ENOENT when no file has
    // that name any more). Returns 0, ENOENT, or ESTALE for another file.
    int namedBy(const char* path) const;
    // Once a writer came for the request: lets it in, waits until
    // `deadlineMs` (monotonic clock) at most for it to be done (no writer
    // holds the file any more, or, where no lease is held, its size and time
    // of change hold still between two looks), and compares what the file
    // holds with what was read. Returns 0 when it holds the same bytes (it is
    // then leased anew, and a later writer is seen again), ESTALE when it
    // holds others, EAGAIN when a writer still held it at the deadline.
    int settle(std::int64_t deadlineMs);
    void close();

private:
    int openLeased(const char* path);

    OsFd fd_;
    bool leased_ = false;
    os_fileInfo opened_;  // the file as it was when opened (or last settled)
    std::vector<char> content_;  // what it held then
    bool whole_ = false;         // content_ is the whole file
    int openError_ = 0;
};

// Code page 850 letters of version 02/03 requests to plain ASCII letters.
extern const unsigned char accentTable[256];

// Seconds between the tries of file_rename (5), and the wait it uses (null:
// a plain sleep; the worker installs the wait that keeps the window alive).
extern int fileRenameDelay;
extern void (*file_waitHook)(int seconds);

// Reads the first line of the open request `requestFp` (998 characters at
// most) and checks its header without the length test. Clears `ti` first
// and stores the result in its `status`. Returns STS_OK, STS_READ_ERROR (no
// request open) or STS_INVALID_CLAIM.
int file_read_header(const RequestFile& requestFp, const char* name, transInfo* ti);

// Reads the line of `requestFp` into `buf` (the request text, REQ_TEXT_SIZE bytes;
// at most one byte less is read, the rest is zero), checks its header, its
// length, its characters and its office, and, for versions 02 and 03, turns
// code page 850 letters into ASCII when `convert` is set. The line's length
// without its line end is `realLength`. Returns STS_OK, STS_READ_ERROR (no
// request open) or STS_INVALID_CLAIM (after one LOG_ERROR line).
int file_read(const RequestFile& requestFp, const char* name, std::span<char> buf, bool convert, transInfo* ti);

// Room reserved on disk for a response before its claim is sent: the
// largest answer, its head and extension.
constexpr std::int64_t RESPONSE_RESERVE = static_cast<std::int64_t>(RESP_BUF_SIZE) + 256;

// The response file of one request, made ready before the claim is sent:
// its temporary file in the network directory (mode 0640 whatever the
// umask: the practice software reads it through the group), with room for
// the largest answer reserved on disk. A response file appears complete or
// not at all; a temporary file not written into place is removed.
class ResponseFile {
public:
    ResponseFile() = default;
    ResponseFile(const ResponseFile&) = delete;
    ResponseFile& operator=(const ResponseFile&) = delete;
    ~ResponseFile() { discard(); }

    // Makes the temporary file of the response `path` and reserves its room
    // (where the file system cannot reserve, the file alone is made).
    // Returns 0 or the error number (EACCES: the directory cannot be
    // written; ENOSPC: no room).
    int prepare(const char* path);
    bool isReady() const { return fd_.valid(); }
    // Whether commit put the response into place.
    bool written() const { return written_; }
    const std::string& path() const { return path_; }
    // Writes `bytes` as the whole response, puts it on disk and renames it
    // into place. Returns 0 or the error number (logged); the temporary file
    // is removed either way.
    int commit(std::string_view bytes);
    // Removes the temporary file when it was not written into place.
    void discard();

private:
    std::string path_;
    std::string tmp_;
    OsFd fd_;
    bool written_ = false;
};

// The bytes of a response: "%d,%d,%s," of `seq`, `status` and `ext` of
// `ti`, the `len` bytes of `data`, and "\r\n" and `extra` when `extra` is
// not empty.
std::string file_responseBytes(const char* data, int len, const transInfo* ti, const char* extra);

// Writes the response through `rsp`, made ready beforehand: the bytes of
// file_responseBytes, then, unless the status is 1033 or 1034, rewrites
// qzrstat.dat in `ExeDir`. Returns STS_OK or STS_CANNOT_WRITE_OUTPUT.
int file_writePrepared(ResponseFile& rsp, const char* data, int len, const transInfo* ti, const char* extra);

// Writes the response file `path` as file_writePrepared does, made ready
// here. Returns STS_OK or STS_CANNOT_WRITE_OUTPUT.
int file_write(const char* path, const char* data, int len, const transInfo* ti, const char* extra);

// Removes the old response `path` before a claim is sent, so that the
// office never reads the previous claim's answer as this one's. Returns 0
// (also when there was none) or the error number.
int file_removeResponse(const char* path);

// Removes from `dir` the temporary response files (".qzr<pid>.tmp" and
// ".qzr<pid>-<n>.tmp", where the first name was taken) that a
// driver left when it was killed mid-write: those whose process no longer
// runs. Each removal is logged.
void file_removeStaleTemporaries(const std::string& dir);

// The processed name of a request path: the character after the first '/'
// (the first character when there is none) becomes '_'.
std::string file_processedName(const char* path);

// Marks the request served: renames it to its processed name, or deletes
// it; three tries `fileRenameDelay` seconds apart. When all fail and `fatal`
// is set, asks the main loop to end (`terminateRequested`).
// The file marked is the one read (`requestFp` open), or, when it could not
// be read, the one `path` named when the marking began. It is marked only
// while `path` holds it, with the bytes that were read: a writer that came
// for it is waited for (REQUEST_WRITER_WAIT_MS at most) and what it left
// compared. After the rename the processed name is looked at: a file that
// took the request's name meanwhile and was renamed in its place gets its
// name back (or, where that name was taken again, a name of its own, logged),
// and so does the request when a writer changed it during the rename. A
// request is deleted only after it was moved to a name of the driver's own
// and found there to be the file marked. A request that could not be read
// because its writer held it keeps its name. Whatever is left for the next
// pass is logged. `requestFp` stays open: its owner closes it.
void file_rename(RequestFile& requestFp, const char* path, bool fatal);

}  // namespace qzr
