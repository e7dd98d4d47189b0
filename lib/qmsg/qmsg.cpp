#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include "qmsg.h"
#include "qwire.h"

using namespace qwire;

namespace {

// The smallest segment that still carries any tag whole or one byte of a cut one.
constexpr int kMinSegment = static_cast<int>(kHeaderSize + kTagHeaderSize + 4);
// Tag slots a message reserves when its first tag arrives.
constexpr size_t kFirstTagRoom = 16;

} // namespace

QMsg::QMsg(uint8_t id) : mID(id) {}

QMsg::~QMsg() {
    clear_segments();
    for (QTag* tag : mTags) {
        delete tag;
    }
}

void QMsg::setMsgSeq(uint8_t seq) {
    mSeq = seq & kSeqMask;
}

bool QMsg::addTag(QTag* tag) {
    if (tag == nullptr) {
        return false;
    }
    if (mTags.size() >= kMaxTags || mDataBytes + tag->getDataLength() > kMaxDataBytes) {
        delete tag;
        return false;
    }
    try {
        // Room for a typical message at once, rather than growing one tag at a time.
        if (mTags.capacity() == 0) {
            mTags.reserve(kFirstTagRoom);
        }
        mTags.push_back(tag);
    } catch (const std::exception&) {
        delete tag;
        return false;
    }
    mDataBytes += tag->getDataLength();
    return true;
}

bool QMsg::isComplete() const {
    return mSegIndex == 0 && !mMore && (mTags.empty() || mTags.front()->mFragment == 0);
}

namespace {

// Records the first fault only; false, for the caller to return.
bool refuse(QWireFault* why, QWireFault::Rule rule, size_t offset = 0, uint8_t id = 0,
            uint8_t type = 0) {
    if (why != nullptr && why->rule == QWireFault::kAccepted) {
        why->rule = rule;
        why->offset = static_cast<uint16_t>(offset);
        why->tagId = id;
        why->tagType = type;
    }
    return false;
}

} // namespace

QMsg* QMsg::parseMsg(const void* buf, uint16_t len, QWireFault* why) {
    if (why != nullptr) {
        *why = QWireFault{};
    }
    if (buf == nullptr) {
        // No bytes at all read as a header cut short; a length without bytes is a caller's fault.
        refuse(why, len == 0 ? QWireFault::kShortHeader : QWireFault::kNoInput);
        return nullptr;
    }
    Reader r(static_cast<const uint8_t*>(buf), len);
    uint8_t magic = r.u8();
    uint8_t version = r.u8();
    uint8_t id = r.u8();
    uint8_t seq = r.u8();
    uint16_t index = r.u16();
    uint16_t payload = r.u16();
    if (!r.ok() || magic != kMagic || version != kVersion || payload != r.left()) {
        refuse(why, !r.ok()               ? QWireFault::kShortHeader
                    : magic != kMagic     ? QWireFault::kBadMagic
                    : version != kVersion ? QWireFault::kBadVersion
                                          : QWireFault::kLengthField);
        return nullptr;
    }
    QMsg* msg = new (std::nothrow) QMsg(id);
    if (msg == nullptr) {
        refuse(why, QWireFault::kNoMemory);
        return nullptr;
    }
    msg->mSeq = seq & kSeqMask;
    msg->mMore = (seq & kMoreSegments) != 0;
    msg->mSegIndex = index;
    if (!msg->read_tags(r, why)) {
        delete msg;
        return nullptr;
    }
    return msg;
}

// A piece of a cut tag may only stand at the edge of its segment: a continued piece first (and
// never in segment 0), a piece to be continued last and only when more segments follow.
bool QMsg::read_tags(Reader& r, QWireFault* why) {
    size_t total = r.left() + kHeaderSize;
    while (r.left() > 0) {
        size_t at = total - r.left();
        uint8_t id = r.u8();
        uint8_t typeByte = r.u8();
        uint16_t len = r.u16();
        const uint8_t* data = r.bytes(len);
        if (!r.ok()) {
            return refuse(why, QWireFault::kTagCut, at, id, typeByte);
        }
        uint8_t type = typeByte & kTypeMask;
        uint8_t fragment = typeByte & static_cast<uint8_t>(~kTypeMask);
        if ((fragment & kFragCont) != 0 && (!mTags.empty() || mSegIndex == 0)) {
            return refuse(why, QWireFault::kPieceMisplaced, at, id, typeByte);
        }
        if ((fragment & kFragMore) != 0 && (r.left() > 0 || !mMore)) {
            return refuse(why, QWireFault::kPieceMisplaced, at, id, typeByte);
        }
        if (fragment != 0 && fixedSize(type) >= 0) {
            return refuse(why, QWireFault::kFixedSizeCut, at, id, typeByte);
        }
        QTag* tag = QTagFactory::createRawQTag(id, type, data, len);
        if (tag == nullptr) {
            return refuse(why,
                          type > QT_MAX_TYPE || fixedSize(type) >= 0 ? QWireFault::kBadTag
                                                                     : QWireFault::kNoMemory,
                          at, id, typeByte);
        }
        tag->mFragment = fragment;
        if (!addTag(tag)) {
            return refuse(why, QWireFault::kTooLarge, at, id, typeByte);
        }
    }
    return true;
}

const char* describeWireFault(const QWireFault& why, char* buf, size_t size) {
    static const char* const kRules[] = {
        "",
        "no input",
        "shorter than a segment header",
        "bad magic byte",
        "unknown version",
        "payload length does not match the datagram",
        "runs past the end of the datagram",
        "piece of a cut tag not at the edge of its segment",
        "a fixed-size type cannot be cut",
        "unknown type or wrong length for its type",
        "more tags or data than a message may hold",
        "out of memory",
    };
    if (buf == nullptr || size == 0) {
        return buf;
    }
    const char* rule = why.rule < sizeof kRules / sizeof kRules[0] ? kRules[why.rule] : "?";
    if (why.rule >= QWireFault::kTagCut && why.rule <= QWireFault::kTooLarge) {
        std::snprintf(buf, size, "tag %u (type byte 0x%02x) at byte %u: %s",
                      static_cast<unsigned>(why.tagId), static_cast<unsigned>(why.tagType),
                      static_cast<unsigned>(why.offset), rule);
    } else {
        std::snprintf(buf, size, "%s", rule);
    }
    return buf;
}

size_t QMsg::wire_size() const {
    size_t n = kHeaderSize;
    for (const QTag* tag : mTags) {
        n += kTagHeaderSize + tag->mData.size();
    }
    return n;
}

uint16_t QMsg::getMsg(void* buf, uint16_t size) const {
    size_t total = wire_size();
    if (buf == nullptr || total > size) {
        return 0;
    }
    Writer w(static_cast<uint8_t*>(buf), size);
    w.u8(kMagic);
    w.u8(kVersion);
    w.u8(mID);
    w.u8(static_cast<uint8_t>(mSeq | (mMore ? kMoreSegments : 0)));
    w.u16(mSegIndex);
    w.u16(static_cast<uint16_t>(total - kHeaderSize));
    for (const QTag* tag : mTags) {
        w.u8(tag->mID);
        w.u8(static_cast<uint8_t>(tag->mType | tag->mFragment));
        w.u16(tag->getDataLength());
        w.bytes(tag->getRawData(), tag->mData.size());
    }
    return w.ok() ? static_cast<uint16_t>(total) : 0;
}

void QMsg::clear_segments() {
    for (QMsg* seg : mSegments) {
        delete seg;
    }
    mSegments.clear();
    mNextSegment = 0;
}

int QMsg::segmentMessage(int maxBytes) {
    clear_segments();
    if (maxBytes < kMinSegment) {
        return 0;
    }
    size_t limit = std::min(static_cast<size_t>(maxBytes), kMaxSegmentBytes);
    if (!build_segments(limit - kHeaderSize) || mSegIndex + (mSegments.size() - 1) > kMaxSegIndex) {
        clear_segments();
        return 0;
    }
    for (size_t i = 0; i < mSegments.size(); ++i) {
        mSegments[i]->mSeq = mSeq;
        mSegments[i]->mMore = i + 1 < mSegments.size() || mMore;
        mSegments[i]->mSegIndex = static_cast<uint16_t>(mSegIndex + i);
    }
    return static_cast<int>(mSegments.size());
}

// Fills segments in tag order. A tag that does not fit in the space left goes whole into a
// fresh segment when it fits in one; only a tag larger than a segment is cut, its pieces
// filling the rest of the current segment and as many more as it needs. A piece keeps the
// fragment marks its tag already had at its outer ends, so a segment re-cut stays joinable.
bool QMsg::build_segments(size_t cap) {
    QMsg* seg = new (std::nothrow) QMsg(mID);
    if (seg == nullptr) {
        return false;
    }
    try {
        mSegments.push_back(seg);
        size_t used = 0;
        for (const QTag* tag : mTags) {
            size_t len = tag->mData.size();
            size_t need = kTagHeaderSize + len;
            if (need > cap - used && (need <= cap || cap - used <= kTagHeaderSize)) {
                seg = new QMsg(mID);
                mSegments.push_back(seg);
                used = 0;
            }
            if (need <= cap - used) {
                if (!seg->add_piece(tag, 0, len, tag->mFragment)) {
                    return false;
                }
                used += need;
                continue;
            }
            for (size_t off = 0;;) {
                size_t n = std::min(cap - used - kTagHeaderSize, len - off);
                uint8_t fragment = tag->mFragment;
                if (off > 0) {
                    fragment |= kFragCont;
                }
                if (off + n < len) {
                    fragment |= kFragMore;
                }
                if (!seg->add_piece(tag, off, n, fragment)) {
                    return false;
                }
                off += n;
                if (off == len) {
                    used += kTagHeaderSize + n;
                    break;
                }
                seg = new QMsg(mID);
                mSegments.push_back(seg);
                used = 0;
            }
        }
    } catch (const std::exception&) {
        if (mSegments.empty() || mSegments.back() != seg) {
            delete seg;
        }
        return false;
    }
    return true;
}

bool QMsg::add_piece(const QTag* tag, size_t off, size_t len, uint8_t fragment) {
    QTag* piece = QTagFactory::createRawQTag(tag->mID, tag->mType, tag->getRawData() + off,
                                             static_cast<uint16_t>(len));
    if (piece == nullptr) {
        return false;
    }
    piece->mFragment = fragment;
    return addTag(piece);
}

void QMsg::resetSegment() {
    mNextSegment = 0;
}

QMsg* QMsg::getNextSegment() {
    if (mNextSegment >= mSegments.size()) {
        return nullptr;
    }
    return mSegments[mNextSegment++];
}

// Everything is checked and every allocation made before the first change, so a refusal leaves
// both messages as they were.
bool QMsg::addSegment(QMsg* seg) {
    if (seg == nullptr || seg == this || !mMore || seg->mID != mID || seg->mSeq != mSeq ||
        seg->mSegIndex != mSegIndex + mSegCount) {
        return false;
    }
    QTag* tail = mTags.empty() ? nullptr : mTags.back();
    QTag* head = seg->mTags.empty() ? nullptr : seg->mTags.front();
    bool open = tail != nullptr && (tail->mFragment & kFragMore) != 0;
    bool joins = head != nullptr && (head->mFragment & kFragCont) != 0;
    if (open != joins) {
        return false;
    }
    if (joins && (head->mID != tail->mID || head->mType != tail->mType ||
                  tail->mData.size() + head->mData.size() > kMaxTagData)) {
        return false;
    }
    size_t first = joins ? 1 : 0;
    size_t added = seg->mTags.size() - first;
    if (mTags.size() + added > kMaxTags || mDataBytes + seg->mDataBytes > kMaxDataBytes) {
        return false;
    }
    std::string joined;
    try {
        if (joins) {
            joined.reserve(tail->mData.size() + head->mData.size());
            joined.append(tail->mData).append(head->mData);
        }
        mTags.reserve(mTags.size() + added);
    } catch (const std::exception&) {
        return false;
    }

    if (joins) {
        tail->mData.swap(joined);
        tail->mFragment =
            static_cast<uint8_t>((tail->mFragment & kFragCont) | (head->mFragment & kFragMore));
        delete head;
    }
    for (size_t i = first; i < seg->mTags.size(); ++i) {
        mTags.push_back(seg->mTags[i]);
    }
    seg->mTags.clear();
    mDataBytes += seg->mDataBytes;
    seg->mDataBytes = 0;
    mMore = seg->mMore;
    ++mSegCount;
    return true;
}
