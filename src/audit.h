// The record of what the daemon did: one INFO line in the category "audit" for every write, and
// the counters since start, which SIGUSR1 has written as one INFO line. Main thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <netinet/in.h>

#include "northlink.h"
#include "notifier.h"
#include "qlog.h"

class QuorrelMessage;

// What came and went since start, counted by the main thread.
struct sCounters {
    uint64_t received;     // datagrams read from the broker socket
    uint64_t denied;       // from a source the allow-list does not name
    uint64_t malformed;    // empty, or not a message
    uint64_t refused;      // refused by the dictionary
    uint64_t served;       // requests a script's entry point ran for
    uint64_t scriptErrors; // of those, ended by an error or over budget
    uint64_t replies;      // reply messages sent to requesters
    uint64_t replyBytes;   // bytes of reply datagrams sent
    uint64_t replayed;     // repeated writes answered from memory
    uint64_t seqReused;    // writes whose key was kept with other bytes: run as new
    uint64_t writeDenied;  // writes from a source that may only read
};

// Writes the counters, with the north link's, as one INFO line "Counters: ..." to log.
void reportCounters(cQlog& log, const sCounters& c, const cNorthLink::sCounters& north,
                    const cNotifier::sCounters& notify);

class cAudit : public cQlog {
public:
    // One write as the audit line tells it. The pointers stay the caller's.
    struct sEntry {
        const sockaddr_in* peer;
        const QuorrelMessage* request; // its objects are named
        uint8_t seq;
        const char* kind;    // "set", "delete", "replace"
        const char* by;      // the script's path, or "forwarded"
        const char* outcome; // "done", "script error", ...
        int status;          // the reply's status when it is not 0, else -1
        const char* reason;  // the reply's reason, or null
        timespec started;    // on CLOCK_MONOTONIC, when the request passed the dictionary
    };

    cAudit();
    // Whether audit lines are written at all: the clock is read only when they are.
    bool on() const { return enabled(INFO); }
    // One line: peer, sequence number, kind, the objects by name (at most 32, then "+N"), who
    // served it, how it ended and how long it took, in microseconds.
    void write(const sEntry& e);
    // One line for the restore of one object of a change that was not confirmed: who made the
    // change, its transaction, the object, the script, why (cancel, deadline, restart, failed)
    // and how the restore went.
    void rollback(const sockaddr_in& peer, uint32_t transaction, uint8_t objectId, const char* by,
                  const char* why, const char* outcome);
};
