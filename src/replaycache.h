// cReplayCache: the answers of recent writes, so that a write sent again is answered from memory
// instead of running a second time.
//
// A request travels in one datagram and a client sends it again when no reply comes; when the
// reply was lost rather than the request, the write must not run twice. An entry is keyed by the
// request's source address and port, message id and 7-bit sequence number, and holds a hash of
// the whole request datagram, the datagrams of its answer and the local address the answer left
// from. A request with a known key and the same hash is a repeat; with another hash, the client's
// sequence number has wrapped round and the request is new.
//
// Bounds: at most the configured number of entries (kMinEntries..kMaxEntries), and kRingBytes for
// the kept answers of all of them (each datagram takes 2 bytes more for its length). An answer
// over kAnswerBytes, of more than kAnswerDatagrams datagrams or with a datagram over
// kDatagramBytes is not kept: its entry holds only the fact that it was given. When a bound is
// reached the oldest entries go first. An entry expires a lifetime after it was remembered and
// goes when a later call comes across it. configure() allocates all the storage (about 270 KiB
// with 256 entries, 430 KiB with 4096); lookup() and remember() never allocate, whatever arrives.
//
// Times are the caller's monotonic clock in milliseconds and must not go back. Main thread only;
// no locks. Never throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <netinet/in.h>

class cReplayCache {
public:
    static constexpr uint32_t kMinEntries = 16;
    static constexpr uint32_t kMaxEntries = 4096;
    static constexpr uint32_t kDefaultEntries = 256;
    static constexpr uint32_t kDatagramBytes = 1024;   // the most one kept datagram may hold
    static constexpr uint32_t kAnswerBytes = 8 * 1024; // the most datagram bytes of a kept answer
    static constexpr uint32_t kAnswerDatagrams = 64;   // the most datagrams of a kept answer
    static constexpr uint32_t kRingBytes = 256 * 1024; // all kept answers together

    // What identifies a request. addr and port are in network byte order, as in sockaddr_in.
    struct sKey {
        uint32_t addr;
        uint16_t port;
        uint8_t msgId;
        uint8_t seq; // 0..127
    };
    // One datagram of an answer: len bytes at data.
    struct sDatagram {
        const uint8_t* data;
        uint16_t len;
    };
    // An answer: count datagrams in sending order, and the local address the first answer left
    // from (localKnown false: the kernel did not say, the reply left by routing).
    struct sAnswer {
        const sDatagram* datagrams;
        uint32_t count;
        in_addr local;
        bool localKnown;
    };
    enum class eLookup : uint8_t {
        Miss,           // no entry for the key, or an expired one: run the request
        Repeat,         // same key and hash: send the kept answer, do not run
        RepeatNotKept,  // same key and hash, but the answer was over a limit: do not run
        SequenceReused, // same key, other bytes: the old entry went; run the request as new
    };

    // Off (lookup() misses, remember() keeps nothing) until configured.
    cReplayCache() = default;
    cReplayCache(const cReplayCache&) = delete;
    cReplayCache& operator=(const cReplayCache&) = delete;

    // Drops every entry and sets the lifetime in seconds (0 turns the cache off and frees its
    // storage) and the most entries kept (clamped into kMinEntries..kMaxEntries). False when the
    // storage could not be allocated; the cache is then off.
    bool configure(uint32_t seconds, uint32_t entries);

    // What to do with the request of key whose datagram hashes to hash, at nowMs. On Repeat,
    // *answer gets the kept answer; its datagrams point into the cache and stay valid until the
    // next call of any operation but the const ones. On RepeatNotKept, *answer gets the local
    // address and no datagrams; otherwise it is left empty. answer must not be null.
    eLookup lookup(const sKey& key, uint64_t hash, uint64_t nowMs, sAnswer* answer);

    // After the write of key (datagram hash hash) ran at nowMs: keeps its answer (zero datagrams
    // is an answer too: its repeat gets none either), replacing any entry of the key. The
    // answer's bytes are copied. True when the datagrams were kept, false when the answer was
    // over a limit (only the fact is kept) or the cache is off.
    bool remember(const sKey& key, uint64_t hash, uint64_t nowMs, const sAnswer& answer);

    // FNV-1a (64 bits) of len bytes at data: the hash of a request datagram.
    static uint64_t hashDatagram(const uint8_t* data, uint32_t len);

    bool enabled() const { return mLifeMs != 0; }
    // Entries kept; an expired one counts until a call comes across it.
    uint32_t entryCount() const { return mLive; }
    // Bytes of the answer storage in use, up to kRingBytes: kept datagrams with their lengths,
    // and space not yet reused (the end of the storage skipped by an answer that did not fit
    // there, and answers of entries that went before older ones).
    uint32_t bytesHeld() const;

private:
    static constexpr uint16_t kNone = 0xFFFF;
    static constexpr uint8_t kLive = 1;       // in its bucket's chain, found by lookups
    static constexpr uint8_t kKept = 2;       // the answer's datagrams are in the ring
    static constexpr uint8_t kLocalKnown = 4; // local holds the answer's local address

    struct sEntry {
        uint64_t hash;
        uint64_t atMs; // when it was remembered
        sKey key;
        uint32_t from; // mTail before the entry: where its share of the ring begins
        uint32_t data; // ring offset of its first datagram's length
        in_addr local;
        uint16_t next; // the next entry of its bucket's chain
        uint8_t count; // datagrams kept
        uint8_t flags;
    };

    bool expired(const sEntry& e, uint64_t nowMs) const;
    uint32_t bucket_of(const sKey& key) const;
    uint16_t find(const sKey& key) const;
    void link(uint16_t slot);
    void drop(uint16_t slot);
    void pop_oldest();
    void expire(uint64_t nowMs);
    void release();

    uint64_t mLifeMs = 0;
    // The entries, oldest first from mHead, in a circle of mSlots slots; those dropped before
    // they became the oldest stay (not live) until they are.
    std::unique_ptr<sEntry[]> mEntries;
    uint32_t mSlots = 0;
    uint32_t mHead = 0;
    uint32_t mUsed = 0;
    uint32_t mLive = 0;
    // Chains of live entries by key; kNone ends a chain. 1 << mBucketBits heads.
    std::unique_ptr<uint16_t[]> mBuckets;
    uint32_t mBucketBits = 0;
    // The kept answers, in the entries' order, in a circle of kRingBytes. Positions count on
    // without wrapping (mod 2^32, a multiple of kRingBytes); an answer is never split at the end.
    // Left unwritten when allocated, so its pages cost memory only as answers fill them.
    std::unique_ptr<uint8_t[]> mRing;
    uint32_t mTail = 0;
    std::array<sDatagram, kAnswerDatagrams> mViews{};
};
