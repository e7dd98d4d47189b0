#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "replaycache.h"

namespace {

using eLookup = cReplayCache::eLookup;
using Bytes = std::vector<uint8_t>;
using Lens = std::vector<uint16_t>;

cReplayCache::sKey key_of(uint32_t n) {
    return {htonl(0x0a000000u + (n >> 7)), htons(static_cast<uint16_t>(40000 + n % 7)),
            static_cast<uint8_t>(n % 6), static_cast<uint8_t>(n & 0x7f)};
}

// Datagrams of the given lengths, each filled from its own seed, and the views the cache takes.
struct Answer {
    Answer(const std::vector<uint16_t>& lens, uint32_t seed, bool known = true) {
        datagrams.reserve(lens.size()); // the views point into them
        for (uint16_t len : lens) {
            datagrams.emplace_back(len);
            for (uint8_t& b : datagrams.back()) {
                b = static_cast<uint8_t>(seed = seed * 1103515245u + 12345u);
            }
            views.push_back({datagrams.back().data(), len});
        }
        answer = {
            views.data(), static_cast<uint32_t>(views.size()), {inet_addr("10.1.2.3")}, known};
    }
    std::vector<Bytes> datagrams;
    std::vector<cReplayCache::sDatagram> views;
    cReplayCache::sAnswer answer;
};

// The answer handed out is the one remembered, byte for byte (no datagrams when it was not
// kept), with its local address.
void expect_same(const cReplayCache::sAnswer& got, const Answer& want, bool kept = true) {
    ASSERT_EQ(got.count, kept ? want.datagrams.size() : 0u);
    for (uint32_t i = 0; i < got.count; ++i) {
        const cReplayCache::sDatagram& d = got.datagrams[i];
        EXPECT_EQ(Bytes(d.data, d.data + d.len), want.datagrams[i]) << "datagram " << i;
    }
    EXPECT_EQ(got.localKnown, want.answer.localKnown);
    EXPECT_EQ(got.local.s_addr, want.answer.local.s_addr);
}

// Which answers are kept (8 KiB at most, in at most 64 datagrams of at most 1024 bytes) and
// what a later request finds: a repeat, the same until the lifetime's end, with the answer or,
// when it was not kept, its local address; other bytes under the same key are a reused sequence
// number that leaves nothing behind; another key field is another request. Repeats and reused
// sequence numbers end to end: NorthPath.RetriedWritesRunOnceAndOnlyWritersWrite.
TEST(ReplayCache, LaterRequestsAgainstARememberedWrite) {
    Lens over(8, 1024); // 8 KiB and one byte more
    over.push_back(1);
    const std::pair<Lens, bool> shapes[] = {
        {{}, true}, {Lens(8, 1024), true}, {over, false}, {{1025}, false}, {Lens(65, 8), false}};
    const cReplayCache::sKey k = key_of(300);
    for (const auto& [l, kept] : shapes) {
        SCOPED_TRACE(l.size());
        cReplayCache cache;
        ASSERT_TRUE(cache.configure(30, 256));
        Answer a(l, 7, l.size() % 2 == 0);
        EXPECT_EQ(cache.remember(k, 1, 5000, a.answer), kept);
        for (int again = 0; again < 2; ++again) {
            cReplayCache::sAnswer got{};
            ASSERT_EQ(cache.lookup(k, 1, 5000 + 29999, &got),
                      kept ? eLookup::Repeat : eLookup::RepeatNotKept);
            expect_same(got, a, kept);
        }
        cReplayCache::sAnswer got{};
        EXPECT_EQ(cache.lookup(k, 1, 5000 + 30000, &got), eLookup::Miss);
    }
    const cReplayCache::sKey others[] = {
        {k.addr ^ htonl(1), k.port, k.msgId, k.seq},
        {k.addr, static_cast<uint16_t>(k.port ^ htons(1)), k.msgId, k.seq},
        {k.addr, k.port, static_cast<uint8_t>(k.msgId ^ 4), k.seq},
        {k.addr, k.port, k.msgId, static_cast<uint8_t>(k.seq ^ 0x40)}};
    cReplayCache cache;
    ASSERT_TRUE(cache.configure(30, 256));
    Answer a({300}, 7);
    ASSERT_TRUE(cache.remember(k, 1, 0, a.answer));
    cReplayCache::sAnswer got{};
    for (const cReplayCache::sKey& q : others) {
        EXPECT_EQ(cache.lookup(q, 1, 5, &got), eLookup::Miss) << &q - others;
        EXPECT_EQ(cache.lookup(k, 1, 5, &got), eLookup::Repeat) << &q - others;
    }
    // Other bytes under the key: once reused, then nothing is left.
    EXPECT_EQ(cache.lookup(k, 2, 5, &got), eLookup::SequenceReused);
    EXPECT_EQ(cache.lookup(k, 2, 5, &got), eLookup::Miss);
    EXPECT_EQ(cache.lookup(k, 1, 5, &got), eLookup::Miss);
}

TEST(ReplayCache, OffExpiryAndReconfiguring) {
    cReplayCache cache;
    Answer a({500}, 1);
    cReplayCache::sAnswer got{};
    EXPECT_FALSE(cache.remember(key_of(1), 1, 0, a.answer)) << "off until configured";
    EXPECT_TRUE(cache.configure(0, 256));
    EXPECT_FALSE(cache.enabled());
    EXPECT_FALSE(cache.remember(key_of(1), 1, 0, a.answer));
    EXPECT_EQ(cache.lookup(key_of(1), 1, 0, &got), eLookup::Miss);
    EXPECT_EQ(cache.entryCount() + cache.bytesHeld(), 0u);

    // Expired entries go at the next call, with their bytes.
    ASSERT_TRUE(cache.configure(2, 256));
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_TRUE(cache.remember(key_of(i), i, 1000 + i, a.answer));
    }
    EXPECT_EQ(cache.entryCount(), 5u);
    EXPECT_EQ(cache.bytesHeld(), 5 * 502u);
    // A key remembered again keeps one entry, the later one.
    EXPECT_TRUE(cache.remember(key_of(4), 44, 1004, a.answer));
    EXPECT_EQ(cache.entryCount(), 5u);
    EXPECT_EQ(cache.lookup(key_of(4), 4, 1004, &got), eLookup::SequenceReused);
    EXPECT_EQ(cache.lookup(key_of(4), 44, 1004, &got), eLookup::Miss);
    EXPECT_TRUE(cache.remember(key_of(4), 4, 1004, a.answer));
    EXPECT_EQ(cache.bytesHeld(), 7 * 502u)
        << "the dropped answers' bytes stay until they are the oldest";
    EXPECT_TRUE(cache.remember(key_of(9), 9, 3002, a.answer));
    EXPECT_EQ(cache.entryCount(), 3u);
    EXPECT_EQ(cache.bytesHeld(), 5 * 502u);
    EXPECT_EQ(cache.lookup(key_of(2), 2, 3002, &got), eLookup::Miss);
    EXPECT_EQ(cache.lookup(key_of(3), 3, 3002, &got), eLookup::Repeat);

    // Configuring again drops every entry; turning the cache off frees its storage.
    ASSERT_TRUE(cache.configure(30, 16));
    EXPECT_EQ(cache.lookup(key_of(3), 3, 3002, &got), eLookup::Miss);
    EXPECT_TRUE(cache.remember(key_of(3), 3, 3002, a.answer));
    EXPECT_TRUE(cache.configure(0, 16));
    EXPECT_EQ(cache.entryCount() + cache.bytesHeld(), 0u);
    EXPECT_EQ(cache.lookup(key_of(3), 3, 3002, &got), eLookup::Miss);
}

// The oldest entries go first when the count or the bytes run out; the entries asked for are
// clamped into 16..4096.
TEST(ReplayCache, EvictionOldestFirst) {
    // what, entries asked for, lengths of each answer's datagrams, writes, entries left (range)
    const std::tuple<const char*, uint32_t, std::vector<uint16_t>, uint32_t, uint32_t, uint32_t>
        cases[] = {
            {"by count", 16, {}, 40, 16, 16},
            {"by count, 1 asked for", 1, {8}, 40, 16, 16},
            {"by count, 10000 asked for", 10000, {}, 5000, 4096, 4096},
            // An 8 KiB answer takes 8208 bytes: 31 fit, 30 when the ring's end was skipped.
            {"by bytes", 4096, Lens(8, 1024), 100, 30, 31},
            {"by bytes, odd sizes", 4096, {1000, 999, 17}, 400, 128, 129},
        };
    for (const auto& [what, entries, l, writes, minLive, maxLive] : cases) {
        SCOPED_TRACE(what);
        cReplayCache cache;
        ASSERT_TRUE(cache.configure(600, entries));
        std::vector<Answer> answers;
        for (uint32_t i = 0; i < writes; ++i) {
            answers.emplace_back(l, i);
            cache.remember(key_of(i), i, 1000 + i, answers.back().answer);
            ASSERT_LE(cache.bytesHeld(), cReplayCache::kRingBytes);
        }
        EXPECT_GE(cache.entryCount(), minLive);
        EXPECT_LE(cache.entryCount(), maxLive);
        const uint32_t firstKept = writes - cache.entryCount();
        for (uint32_t i = 0; i < writes; ++i) {
            cReplayCache::sAnswer got{};
            eLookup r = cache.lookup(key_of(i), i, 1000 + writes, &got);
            ASSERT_EQ(r, i < firstKept ? eLookup::Miss : eLookup::Repeat) << i;
            if (r == eLookup::Repeat) {
                expect_same(got, answers[i]);
            }
        }
    }
}

// 10,000 writes of every size from distinct sources, with reused sequence numbers among them:
// the bounds hold after each.
TEST(ReplayCache, FloodStaysWithinBounds) {
    for (uint32_t entries : {256u, 4096u}) {
        cReplayCache cache;
        ASSERT_TRUE(cache.configure(600, entries));
        std::mt19937 rnd(entries);
        for (uint32_t i = 0; i < 10000; ++i) {
            std::vector<uint16_t> l(rnd() % 4 == 0 ? 0 : rnd() % 10);
            for (uint16_t& len : l) {
                len = static_cast<uint16_t>(rnd() % 1100);
            }
            cache.remember(key_of(i), i, i, Answer(l, i).answer);
            if (i % 3 == 0) {
                // An earlier write comes again with other bytes: never answered from memory,
                // and its entry is gone.
                cReplayCache::sAnswer got{};
                EXPECT_NE(cache.lookup(key_of(i / 2), ~0ull, i, &got), eLookup::Repeat);
                EXPECT_EQ(cache.lookup(key_of(i / 2), i / 2, i, &got), eLookup::Miss);
            }
            ASSERT_LE(cache.entryCount(), entries);
            ASSERT_LE(cache.bytesHeld(), cReplayCache::kRingBytes);
        }
    }
}

TEST(ReplayCache, HashIsFnv1a64) {
    auto hash = [](const std::string& s) {
        return cReplayCache::hashDatagram(reinterpret_cast<const uint8_t*>(s.data()),
                                          static_cast<uint32_t>(s.size()));
    };
    EXPECT_EQ(hash(""), 0xcbf29ce484222325u);
    EXPECT_EQ(hash("a"), 0xaf63dc4c8601ec8cu);
    EXPECT_EQ(hash("foobar"), 0x85944171f73967e8u);
}

} // namespace
