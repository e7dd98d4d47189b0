// The joining of a reply's segments in arrival order, as both ends of a request do it: the
// daemon's north link for the upstream daemon's replies, and the tools for the daemon's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "qmsg.h"

// Collects the reply with one sequence number from datagrams as they come: the first segment
// of that number that parses is the base, later ones are joined with QMsg::addSegment, and the
// wait is over when a last segment arrives, whether or not it could be joined (a reply with a
// segment missing is then held but not isComplete()). Not thread safe: the caller's lock
// guards it. Arming and offering allocate nothing but the messages parsed.
class QReplyAssembler {
public:
    // Takes the sequence number of the first datagram that parses.
    static constexpr int kAnySeq = -1;

    // What offer() made of one datagram.
    enum Verdict : uint8_t {
        QA_GARBAGE,  // not a message
        QA_FOREIGN,  // another sequence number
        QA_IDLE,     // no reply awaited: not armed, or a last segment already came
        QA_ACCEPTED, // the first segment of the reply, or joined to it
        QA_REFUSED,  // addSegment refused it (out of order, a gap, a duplicate); dropped
    };
    struct Result {
        Verdict verdict;
        bool completes; // a last segment of the awaited number: the wait is over
    };

    // Not armed: every datagram is QA_IDLE (or QA_GARBAGE).
    QReplyAssembler() = default;
    // Armed for seq (see arm).
    explicit QReplyAssembler(int seq) { arm(seq); }
    QReplyAssembler(const QReplyAssembler&) = delete;
    QReplyAssembler& operator=(const QReplyAssembler&) = delete;

    // Drops what was held and awaits the reply with sequence number seq & 0x7F, or with the
    // first one that parses for kAnySeq (any negative seq).
    void arm(int seq);
    // Drops what was held; later datagrams are QA_IDLE until the next arm.
    void disarm();

    // One datagram of len bytes as it came; the bytes are only read.
    Result offer(const void* data, size_t len);

    // Armed, and no last segment came yet.
    bool isWaiting() const { return mArmed && !mDone; }
    // A last segment came since arm.
    bool isDone() const { return mArmed && mDone; }
    // The awaited sequence number; kAnySeq until one is known.
    int seq() const { return mSeq; }
    // The sequence number of the last datagram that parsed, for a log line on QA_FOREIGN.
    uint8_t lastSeq() const { return mLastSeq; }
    // Segments joined so far (the base included), and segments refused, since arm.
    uint32_t segments() const { return mSegments; }
    uint32_t refused() const { return mRefused; }
    // The reply so far, owned by the caller (delete), or null when no segment was accepted;
    // see QMsg::isComplete for whether it is whole. The assembler holds nothing afterwards.
    std::unique_ptr<QMsg> take() { return std::move(mReply); }

private:
    std::unique_ptr<QMsg> mReply;
    int mSeq = kAnySeq;
    bool mArmed = false;
    bool mDone = false;
    uint8_t mLastSeq = 0;
    uint32_t mSegments = 0;
    uint32_t mRefused = 0;
};
