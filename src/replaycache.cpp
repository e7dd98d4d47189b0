#include "replaycache.h"

#include <algorithm>
#include <cstring>
#include <new>

static_assert((cReplayCache::kRingBytes & (cReplayCache::kRingBytes - 1)) == 0,
              "ring positions wrap at 2^32, a multiple of the ring");
static_assert(cReplayCache::kMaxEntries < 0xFFFF, "slot numbers fit in 16 bits beside kNone");
static_assert(cReplayCache::kAnswerDatagrams <= 0xFF, "a datagram count fits in 8 bits");
static_assert(2 * (cReplayCache::kAnswerBytes + 2 * cReplayCache::kAnswerDatagrams) <=
                  cReplayCache::kRingBytes,
              "an answer and the skipped end of the ring fit in an empty ring");

namespace {

bool same_key(const cReplayCache::sKey& a, const cReplayCache::sKey& b) {
    return a.addr == b.addr && a.port == b.port && a.msgId == b.msgId && a.seq == b.seq;
}

} // namespace

bool cReplayCache::configure(uint32_t seconds, uint32_t entries) {
    release();
    if (seconds == 0) {
        return true;
    }
    uint32_t n = entries < kMinEntries   ? kMinEntries
                 : entries > kMaxEntries ? kMaxEntries
                                         : entries;
    uint32_t bits = 1;
    while ((1u << bits) < 2 * n) {
        ++bits;
    }
    size_t buckets = size_t{1} << bits;
    mEntries.reset(new (std::nothrow) sEntry[n]);
    mBuckets.reset(new (std::nothrow) uint16_t[buckets]);
    mRing.reset(new (std::nothrow) uint8_t[kRingBytes]);
    if (!mEntries || !mBuckets || !mRing) {
        release();
        return false;
    }
    std::fill_n(mBuckets.get(), buckets, kNone);
    mSlots = n;
    mBucketBits = bits;
    mLifeMs = uint64_t{seconds} * 1000;
    return true;
}

void cReplayCache::release() {
    mLifeMs = 0;
    mEntries.reset();
    mBuckets.reset();
    mRing.reset();
    mSlots = mHead = mUsed = mLive = mTail = 0;
    mBucketBits = 0;
}

uint64_t cReplayCache::hashDatagram(const uint8_t* data, uint32_t len) {
    uint64_t h = 0xcbf29ce484222325u;
    for (uint32_t i = 0; i < len; ++i) {
        h ^= data[i];
        h *= 0x100000001b3u;
    }
    return h;
}

uint32_t cReplayCache::bytesHeld() const {
    return mUsed == 0 ? 0 : mTail - mEntries[mHead].from;
}

bool cReplayCache::expired(const sEntry& e, uint64_t nowMs) const {
    return nowMs >= e.atMs && nowMs - e.atMs >= mLifeMs;
}

// Fibonacci hashing of the whole key: the top bits of its product with 2^64 / phi.
uint32_t cReplayCache::bucket_of(const sKey& key) const {
    uint64_t v = uint64_t{key.addr} << 32 | uint32_t{key.port} << 16 | uint32_t{key.msgId} << 8 |
                 uint32_t{key.seq};
    return static_cast<uint32_t>((v * 0x9e3779b97f4a7c15u) >> (64 - mBucketBits));
}

uint16_t cReplayCache::find(const sKey& key) const {
    uint16_t slot = mBuckets[bucket_of(key)];
    while (slot != kNone && !same_key(mEntries[slot].key, key)) {
        slot = mEntries[slot].next;
    }
    return slot;
}

void cReplayCache::link(uint16_t slot) {
    uint16_t& head = mBuckets[bucket_of(mEntries[slot].key)];
    mEntries[slot].next = head;
    head = slot;
    mEntries[slot].flags |= kLive;
    ++mLive;
}

// Takes a live entry out of its chain; its slot and ring bytes stay until it is the oldest.
void cReplayCache::drop(uint16_t slot) {
    sEntry& e = mEntries[slot];
    uint16_t* link = &mBuckets[bucket_of(e.key)];
    while (*link != slot) {
        link = &mEntries[*link].next;
    }
    *link = e.next;
    e.flags &= static_cast<uint8_t>(~kLive);
    --mLive;
}

void cReplayCache::pop_oldest() {
    uint16_t slot = static_cast<uint16_t>(mHead);
    if (mEntries[slot].flags & kLive) {
        drop(slot);
    }
    mHead = mHead + 1 == mSlots ? 0 : mHead + 1;
    --mUsed;
}

// Entries are remembered in time order, so the expired ones are the oldest.
void cReplayCache::expire(uint64_t nowMs) {
    while (mUsed > 0 && (!(mEntries[mHead].flags & kLive) || expired(mEntries[mHead], nowMs))) {
        pop_oldest();
    }
}

cReplayCache::eLookup cReplayCache::lookup(const sKey& key, uint64_t hash, uint64_t nowMs,
                                           sAnswer* answer) {
    *answer = sAnswer{nullptr, 0, in_addr{}, false};
    if (!enabled()) {
        return eLookup::Miss;
    }
    expire(nowMs);
    uint16_t slot = find(key);
    if (slot == kNone) {
        return eLookup::Miss;
    }
    const sEntry& e = mEntries[slot];
    if (expired(e, nowMs)) {
        drop(slot);
        return eLookup::Miss;
    }
    if (e.hash != hash) {
        drop(slot);
        return eLookup::SequenceReused;
    }
    answer->local = e.local;
    answer->localKnown = (e.flags & kLocalKnown) != 0;
    if (!(e.flags & kKept)) {
        return eLookup::RepeatNotKept;
    }
    uint32_t at = e.data;
    for (uint32_t i = 0; i < e.count; ++i) {
        uint16_t len = static_cast<uint16_t>(mRing[at] << 8 | mRing[at + 1]);
        mViews[i] = sDatagram{&mRing[at + 2], len};
        at += 2u + len;
    }
    answer->datagrams = mViews.data();
    answer->count = e.count;
    return eLookup::Repeat;
}

bool cReplayCache::remember(const sKey& key, uint64_t hash, uint64_t nowMs, const sAnswer& answer) {
    if (!enabled()) {
        return false;
    }
    expire(nowMs);
    uint16_t old = find(key);
    if (old != kNone) {
        drop(old);
    }

    bool kept = answer.count <= kAnswerDatagrams;
    uint32_t dataBytes = 0;
    for (uint32_t i = 0; kept && i < answer.count; ++i) {
        dataBytes += answer.datagrams[i].len;
        kept = answer.datagrams[i].len <= kDatagramBytes && dataBytes <= kAnswerBytes;
    }
    uint32_t bytes = kept ? dataBytes + 2 * answer.count : 0;

    // An answer that would run past the end of the ring starts at its beginning instead.
    uint32_t at = mTail & (kRingBytes - 1);
    uint32_t skipped = bytes > 0 && at + bytes > kRingBytes ? kRingBytes - at : 0;
    while (mUsed == mSlots || (mUsed > 0 && bytesHeld() + skipped + bytes > kRingBytes)) {
        pop_oldest();
    }

    uint32_t next = mHead + mUsed;
    uint16_t slot = static_cast<uint16_t>(next < mSlots ? next : next - mSlots);
    sEntry& e = mEntries[slot];
    e.hash = hash;
    e.atMs = nowMs;
    e.key = key;
    e.from = mTail;
    e.data = (at + skipped) & (kRingBytes - 1);
    e.local = answer.local;
    e.count = kept ? static_cast<uint8_t>(answer.count) : 0;
    e.flags = static_cast<uint8_t>((kept ? kKept : 0) | (answer.localKnown ? kLocalKnown : 0));
    uint32_t w = e.data;
    for (uint32_t i = 0; i < e.count; ++i) {
        const sDatagram& d = answer.datagrams[i];
        mRing[w] = static_cast<uint8_t>(d.len >> 8);
        mRing[w + 1] = static_cast<uint8_t>(d.len);
        if (d.len > 0) {
            std::memcpy(&mRing[w + 2], d.data, d.len);
        }
        w += 2u + d.len;
    }
    mTail += skipped + bytes;
    ++mUsed;
    link(slot);
    return kept;
}
