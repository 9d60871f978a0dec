// The activity record: what the driver is doing, for an outside observer.
//
// A fixed 228-byte text record kept in `activity.dat` in the working
// directory: a state letter, a heartbeat character that moves while a
// transaction runs, the network and request file being served, the last
// status, the computer's name, the start time and the program that started
// the driver. The file is held open and locked for the whole run, so a second
// instance in the same directory reads this record, reports it and ends with
// exit code 2.
//
// What must always hold: the record is exactly 228 bytes; every field keeps
// its width and ends in a zero byte (longer texts are cut, never overrun);
// only the worker thread calls these functions.
#pragma once

#include <cstddef>

namespace qzr {

// State letters (byte 0 of the record). No other letters are used.
enum : char {
    ACT_IDLE = 'A',            // waiting for a request
    ACT_START = 'B',           // transaction started
    ACT_OPEN_PORT = 'C',       // opening the port
    ACT_MODEM_INIT = 'D',      // modem initialisation
    ACT_DIAL = 'E',            // dialing
    ACT_SCRIPT = 'F',          // running the connect script
    ACT_WAIT_ENQ = 'G',        // waiting for ENQ
    ACT_SEND = 'H',            // sending the request
    ACT_WAIT_ANSWER = 'I',     // waiting for the answer
    ACT_SIMULATION = 'J',      // simulation echo
    ACT_RECEIVE = 'K',         // receiving the response
    ACT_WRITE_RESPONSE = 'O',  // writing the response file
    ACT_PROCESSED = 'P',       // transaction processed
    ACT_HANGUP = 'Q',          // hanging up
    ACT_DISCONNECT = 'R',      // closing the port
};

constexpr std::size_t ACTIVITY_REC_SIZE = 228;
constexpr std::size_t ACTIVITY_NAME_SIZE = 32;     // "%-31s": 31 characters and a zero
constexpr std::size_t ACTIVITY_STATUS_SIZE = 5;    // "%4d": 4 characters and a zero
constexpr std::size_t ACTIVITY_COMPUTER_SIZE = 16; // 15 characters and a zero
constexpr std::size_t ACTIVITY_TIME_SIZE = 20;     // "YYYY-MM-DD HH:MM:SS" and a zero
constexpr std::size_t ACTIVITY_PARENT_SIZE = 121;  // "%.120s": 120 characters and a zero

// The record as it is written to the file, byte for byte, at offset 0.
struct ActivityRec {
    char state;                                // 0: state letter
    char heartbeat;                            // 1: heartbeat character
    char network[ACTIVITY_NAME_SIZE];          // 2-33: network name, blank-padded
    char file[ACTIVITY_NAME_SIZE];             // 34-65: request file name, blank-padded
    char status[ACTIVITY_STATUS_SIZE];         // 66-70: last status
    char computer[ACTIVITY_COMPUTER_SIZE];     // 71-86: computer name
    char startTime[ACTIVITY_TIME_SIZE];        // 87-106: start time
    char parentPath[ACTIVITY_PARENT_SIZE];     // 107-227: parent process's program
};
static_assert(sizeof(ActivityRec) == ACTIVITY_REC_SIZE, "the activity record is 228 bytes");

extern ActivityRec activityRec;
// Cleared by the command-line switch -a: the file is still created and held
// (a second instance is still refused) but stays empty.
extern bool activityEnabled;

// Rewrites the record in activity.dat (in `CurDir`, or the process's current
// directory when `CurDir` is empty). The first call opens and locks the file;
// when another instance holds it, reports that instance's record and ends the
// process with exit code 2. An idle record (state A) is written once per idle
// period; each later call advances the heartbeat.
void activity_update();

// Set the record's fields; they reach the file at the next activity_update.
// The state ACT_SEND is set just before a request's bytes go out: it calls
// `activity_sendHook` first, when one is set (the worker marks the claim
// in flight there).
void activity_setState(char letter);
extern void (*activity_sendHook)();
void activity_setNetwork(const char* name);  // "%-31.31s"
void activity_setFile(const char* name);     // "%-31.31s"
void activity_setStatus(int status);         // "%4d", cut to 4 characters

// The end of the run: deletes activity.dat and closes it (releasing the lock).
void activity_close();

// Forgets the open file and every state (tests only; the file stays as it is).
void activity_reset();

}  // namespace qzr
