// cNotifier: tells configured sinks which objects changed through the daemon.
//
// After a write applied with status 0 the daemon marks each of its objects. Marks wait in a
// bounded set until the interval since the last notification has passed; then every sink gets
// one notify message (id 3): @client (1) "tamo", @transaction (2, u32) counting that sink's
// notifications from 1, and each marked object as it is now, read through the daemon's reader.
// A deleted object, or one the reader gives nothing for, goes as its objid alone: the sink reads
// it again. A notification with no objects and a @reason (4) tells the sink to read everything
// again: "restart" at start-up, "overflow" when more than kMaxMarked objects changed within one
// interval or the objects would not fit one message.
//
// Two marks are of the same object when their tables hold the same entries in the same order;
// a mark of an object already marked only takes the later deleted flag. Objects the reader gives
// twice (two marks that read as the same object) go once.
//
// Sends never block: one non-blocking UDP socket, each segment sent with sendto. A send the
// kernel refuses, and a refusal it reports later for an earlier datagram (a sink with nothing
// listening), counts as failed and goes on; nothing that left is sent again (a send that only
// reported an earlier refusal is tried once more). Log lines a peer can cause are limited. Memory
// is bounded: at most kMaxMarked marked copies and one notification at a time.
//
// Times are the caller's monotonic clock in milliseconds and must not go back. Main thread only;
// no locks. Never throws. Log category "cNotifier".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "configtable.h"
#include "qlog.h"
#include "qwire.h"

class cNotifier : public cQlog {
public:
    static constexpr uint32_t kMaxSinks = 16;
    static constexpr uint32_t kMaxMarked = 64;
    static constexpr uint32_t kMinIntervalMs = 100;
    static constexpr uint32_t kMaxIntervalMs = 60000;
    static constexpr uint64_t kNoneDue = UINT64_MAX; // nextDueMs: nothing pending
    static constexpr uint8_t kNotifyId = 3;

    struct sCounters {
        uint64_t sent = 0;      // notifications handed to the kernel, one per sink
        uint64_t coalesced = 0; // marks made while a notification was already pending
        uint64_t failed = 0;    // sends refused, and refusals reported later, one per datagram
    };

    // Reads one marked object as it is now. request is a request table holding the object, as
    // the write named it (members with the written values), under key 0 (what
    // cConfigScript::getScript and getCfg take); the reader appends the answer to out (empty when
    // called). Only the nested tables of out are taken, as the objects; common tags such as a
    // status are ignored. Both tables stay the notifier's.
    using tReader = std::function<void(cConfigTable* request, cConfigTable* out)>;

    cNotifier();
    ~cNotifier();
    cNotifier(const cNotifier&) = delete;
    cNotifier& operator=(const cNotifier&) = delete;

    // Drops the sinks and every mark, then takes the comma-separated `host:port` entries of sinks
    // (null or empty: none), each host looked up once as IPv4, and opens the socket when at least
    // one sink is kept. A bad entry, a host that cannot be looked up, a repeated sink and those
    // past kMaxSinks are logged with their text and skipped. intervalMs is clamped into
    // kMinIntervalMs..kMaxIntervalMs. Returns the sinks kept.
    uint32_t configure(const char* sinks, uint32_t intervalMs);

    // At least one sink: marks are kept and notifications sent.
    bool enabled() const { return !mSinks.empty(); }

    // After a write applied with status 0: remembers a copy of object (a nested request table
    // with "objid" and the write's members) for the next notification, deleted when the write
    // removed it. Does nothing while disabled. Past kMaxMarked objects, or out of memory, the
    // marks give way to one "overflow" notification.
    void mark(const cConfigTable& object, bool deleted);

    // When the receive loop must wake to flush: the time the pending notification may go, nowMs
    // when that has passed; kNoneDue when nothing is pending.
    uint64_t nextDueMs(uint64_t nowMs) const;

    // Sends the pending notification to every sink when one is due at nowMs, reading each marked
    // object that was not deleted through reader, and empties the marks. True when one went
    // (whatever the sends did).
    bool flush(uint64_t nowMs, const tReader& reader);

    // At start-up, once the scripts are loaded: a notification with @reason "restart" and no
    // objects to every sink. Counts as the last notification for the interval.
    void restart(uint64_t nowMs);

    const sCounters& counters() const { return mCounters; }
    uint32_t sinkCount() const { return static_cast<uint32_t>(mSinks.size()); }
    // Objects marked for the next notification (0 while an overflow is pending).
    uint32_t markedCount() const { return static_cast<uint32_t>(mMarks.size()); }

private:
    struct sSink {
        sockaddr_in addr;
        uint32_t transaction; // of this sink's next notification
        std::string text;     // as the setting gives it, for the log
    };
    struct sMark {
        std::unique_ptr<cConfigTable> request; // the object under key 0
        bool deleted;
    };

    bool pending() const { return !mMarks.empty() || mOverflow; }
    void add_sink(const char* begin, const char* end);
    void release();
    bool collect(const tReader& reader, cConfigTable* objects);
    bool send_all(const cConfigTable& objects, const char* reason);
    bool send_datagram(sSink& sink, uint16_t len);
    void drain_refusals();
    void count_failure(const sSink* sink, int err);

    int mSocket = -1;
    uint32_t mIntervalMs = 1000;
    std::vector<sSink> mSinks;
    std::vector<sMark> mMarks;
    bool mOverflow = false;
    bool mEverSent = false;
    uint64_t mLastMs = 0;
    sCounters mCounters;
    uint8_t mTx[qwire::kSegmentBytes];
};
