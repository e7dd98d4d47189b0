// The write steps of the request road: the write gate, and the replay cache that answers a
// write sent again from memory.
#include <arpa/inet.h>
#include <cstring>

#include "clock.h"
#include "configtable.h"
#include "connection.h"
#include "qmsg.h"
#include "qstatus.h"
#include "replies.h"

namespace {

using qwire::kSegmentBytes;

cQlogLimit g_write_denied_limit;

} // namespace

bool cConnection::write_gate(const sRequest& r) {
    if (!is_write(r.msgId) || mWriteFilter.allows(mCurrClient.sin_addr.s_addr)) {
        return true;
    }
    ++mCounters.writeDenied;
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &mCurrClient.sin_addr, host, sizeof host);
    limited(g_write_denied_limit, INFO, "Write from %s:%d denied", host,
            ntohs(mCurrClient.sin_port));
    return false;
}

bool cConnection::replayed(sRequest& r, QMsg** reply) {
    if (!is_write(r.msgId) || !mReplay.enabled()) {
        return false;
    }
    r.key = cReplayCache::sKey{mCurrClient.sin_addr.s_addr, mCurrClient.sin_port, r.msgId, r.seq};
    r.hash = cReplayCache::hashDatagram(mCurrData, mCurrLen);
    cReplayCache::sAnswer answer{};
    switch (mReplay.lookup(r.key, r.hash, monotonicMs(), &answer)) {
    case cReplayCache::eLookup::Repeat:
        ++mCounters.replayed;
        ++mCounters.replies;
        r.outcome = "replayed";
        // The first answer again, byte for byte, from the address it left from.
        mCurrLocal = answer.local;
        mCurrLocalKnown = answer.localKnown;
        for (uint32_t i = 0; i < answer.count; ++i) {
            std::memcpy(tx_buffer(), answer.datagrams[i].data, answer.datagrams[i].len);
            queue_datagram(answer.datagrams[i].len);
        }
        return true;
    case cReplayCache::eLookup::RepeatNotKept:
        ++mCounters.replayed;
        r.status = qstatus::kNotKept;
        *reply = statusReply(r.replyId, qstatus::kNotKept, cConfigTable());
        return true;
    case cReplayCache::eLookup::SequenceReused:
        ++mCounters.seqReused;
        break;
    case cReplayCache::eLookup::Miss:
        break;
    }
    r.remember = true;
    return false;
}

void cConnection::remember(const sRequest& r, QMsg* reply) {
    cReplayCache::sAnswer answer{mAnswerDatagrams, 0, mCurrLocal, mCurrLocalKnown};
    size_t used = 0;
    auto add = [&](uint16_t n) {
        if (answer.count < cReplayCache::kAnswerDatagrams) {
            mAnswerDatagrams[answer.count] = cReplayCache::sDatagram{mAnswerBytes + used, n};
        }
        ++answer.count;
        used += n;
    };
    if (reply != nullptr) {
        // Serialised as send_reply sends it: whole when it fits one datagram, else by segments.
        // An answer past the cache's bound is only marked as not kept.
        reply->setMsgSeq(r.seq);
        uint16_t n = reply->getMsg(mAnswerBytes, kSegmentBytes);
        if (n != 0) {
            add(n);
        } else {
            reply->segmentMessage(kSegmentBytes);
            reply->resetSegment();
            for (QMsg* seg = reply->getNextSegment(); seg != nullptr;
                 seg = reply->getNextSegment()) {
                if (used + kSegmentBytes > sizeof mAnswerBytes) {
                    answer.count = cReplayCache::kAnswerDatagrams + 1;
                    answer.datagrams = nullptr;
                    break;
                }
                uint16_t m = seg->getMsg(mAnswerBytes + used, kSegmentBytes);
                if (m != 0) {
                    add(m);
                }
            }
        }
    }
    mReplay.remember(r.key, r.hash, monotonicMs(), answer);
}
