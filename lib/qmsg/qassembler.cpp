#include "qassembler.h"

void QReplyAssembler::arm(int seq) {
    mReply.reset();
    mSeq = seq < 0 ? kAnySeq : (seq & 0x7F);
    mArmed = true;
    mDone = false;
    mSegments = 0;
    mRefused = 0;
}

void QReplyAssembler::disarm() {
    mReply.reset();
    mArmed = false;
    mDone = false;
}

QReplyAssembler::Result QReplyAssembler::offer(const void* data, size_t len) {
    if (data == nullptr || len > 0xFFFF) {
        return {QA_GARBAGE, false};
    }
    std::unique_ptr<QMsg> seg(QMsg::parseMsg(data, static_cast<uint16_t>(len)));
    if (!seg) {
        return {QA_GARBAGE, false};
    }
    mLastSeq = seg->getMsgSeq();
    if (!mArmed) {
        return {QA_IDLE, false};
    }
    if (mSeq == kAnySeq) {
        mSeq = mLastSeq;
    } else if (mLastSeq != mSeq) {
        return {QA_FOREIGN, false};
    }
    if (mDone) {
        return {QA_IDLE, false};
    }
    mDone = seg->isLastSegment();
    if (!mReply) {
        mReply = std::move(seg);
    } else if (!mReply->addSegment(seg.get())) {
        ++mRefused;
        return {QA_REFUSED, mDone};
    }
    ++mSegments;
    return {QA_ACCEPTED, mDone};
}
