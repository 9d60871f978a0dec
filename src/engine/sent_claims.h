// Claims that may have reached the carrier while their request is not yet
// marked served.
//
// Two records, each a small file written whole under a temporary name and
// renamed into place:
// - the in-flight mark beside the log ("qzrsend.dat"): written just before a
//   claim's frame goes out and removed once its request is marked served or
//   its answer kept. A run that ends without removing it (a SIGKILL, a power
//   cut) leaves it for the next start, which sends the same claim again
//   with a warning that it may have reached the carrier already, and when.
// - a kept answer in the program directory ("qzrkept.<request>"): the
//   answer of a claim that was sent when it cannot be written beside its
//   request (a full disk, a directory that cannot be written, an old
//   response that cannot be removed). The request keeps its name and is not
//   sent again; a later pass delivers the kept answer and marks the request
//   served.
//
// What must always hold: both records name the request and hold the claim's
// bytes, so that they only ever apply to the same claim; a kept answer is
// never removed before it was delivered.
#pragma once

#include <string>

namespace qzr {

// The place of the in-flight mark: the directory of the log `logPath`
// (null: "qzr.log" in the working directory). Reads the mark a previous run
// left there, if any, and remembers it for sent_warnIfResent.
void sent_start(const char* logPath);

// Arms the mark for the claim about to be served: the request `reqPath`
// holding `claim`. Nothing is written until sent_frameGoesOut.
void sent_arm(const char* reqPath, const std::string& claim);
// Writes the mark of the armed claim, once per arming: its frame is about
// to go out. Called as the dialogs begin to send.
void sent_frameGoesOut();
// Whether the armed claim's frame may have gone out (sent_frameGoesOut came).
bool sent_frameMayHaveGoneOut();
// How many dialogs began to send the armed claim (one per connection tried
// that got as far as its frame).
int sent_framesOut();
// Removes the mark and disarms: the request was marked served, or its
// answer kept, or its claim was never sent.
void sent_clear();

// Logs a warning when a previous run began to send the claim `claim` of
// `reqPath` and ended before marking it served: it is sent again and may
// have reached the carrier already. The previous run's mark is forgotten
// once its claim was found; until then other claims leave it as it is.
void sent_warnIfResent(const char* reqPath, const std::string& claim);

// Keeps `response` (the whole response file's bytes) of the armed claim,
// whose response `respPath` could not be written, in the program directory,
// and logs it with its request. Returns 0 or the error number of the write
// (the answer is then only in the log).
int sent_keepAnswer(const char* respPath, const std::string& response);

// Whether an answer is kept for the claim `claim` (the request file's
// bytes) of `reqPath`; when one is, the response's bytes in `response` and
// where it is kept in `keptAt`. When none is, `keptAt` names the first
// answer kept for another claim of `reqPath`, or is empty when none is kept
// for it at all: one look at the kept answers tells both.
bool sent_findKept(const char* reqPath, const std::string& claim, std::string& response, std::string& keptAt);

// Whether an answer is kept for any claim of `reqPath`; when one is, where
// (the first found) in `keptAt`.
bool sent_anyKept(const char* reqPath, std::string& keptAt);

// The path of the kept answer of `reqPath`: the first of its names; the
// answers of other claims sent under the same request name take the next
// ones (the same path followed by ".1", ".2", ...).
std::string sent_keptPath(const char* reqPath);

// Removes the kept answer `keptAt` once it was delivered.
void sent_dropKept(const std::string& keptAt);

}  // namespace qzr
