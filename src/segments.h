// Cutting a message into datagrams: the replies and the forwards go out the same way.
#pragma once

#include <cstdint>

#include "qlog.h"
#include "qmsg.h"
#include "qwire.h"

// Serialises m in segments of at most qwire::kSegmentBytes, each into the buffer buffer()
// gives, and hands each one's length to send. A segment that serialises to nothing is skipped
// with an error line naming path: an empty datagram would only confuse the receiver.
template <typename Buffer, typename Send>
void sendSegments(cQlog& log, const char* path, QMsg* m, Buffer buffer, Send send) {
    m->segmentMessage(qwire::kSegmentBytes);
    m->resetSegment();
    for (QMsg* seg = m->getNextSegment(); seg != nullptr; seg = m->getNextSegment()) {
        uint16_t n = seg->getMsg(buffer(), qwire::kSegmentBytes);
        if (n == 0) {
            log.error("%s segment does not serialise; not sent", path);
            continue;
        }
        send(n);
    }
}
