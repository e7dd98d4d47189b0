#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "qassembler.h"
#include "qmsg.h"
#include "qwire.h"
#include "zeldict.h"

namespace {

using Bytes = std::vector<uint8_t>;
using MsgPtr = std::unique_ptr<QMsg>;
using TagView = std::tuple<int, int, std::string>; // id, type, data

std::vector<TagView> tags_of(const QMsg& m) {
    std::vector<TagView> out;
    for (const QTag* t : m.getTagList()) {
        out.emplace_back(
            t->getTagID(), t->getTagType(),
            std::string(reinterpret_cast<const char*>(t->getRawData()), t->getDataLength()));
    }
    return out;
}

Bytes serialise(const QMsg& m) {
    Bytes buf(qwire::kMaxSegmentBytes);
    buf.resize(m.getMsg(buf.data(), static_cast<uint16_t>(buf.size())));
    return buf;
}

MsgPtr parse(const Bytes& b) {
    return MsgPtr(QMsg::parseMsg(b.data(), static_cast<uint16_t>(b.size())));
}

// The datagrams of m cut at 1024 bytes, or none (with a failure) when a segment breaks the size.
std::vector<Bytes> segment(QMsg& m) {
    std::vector<Bytes> out;
    int count = m.segmentMessage(qwire::kSegmentBytes);
    m.resetSegment();
    while (QMsg* seg = m.getNextSegment()) {
        Bytes buf(qwire::kSegmentBytes);
        buf.resize(seg->getMsg(buf.data(), static_cast<uint16_t>(buf.size())));
        if (buf.empty()) {
            ADD_FAILURE() << "segment " << out.size() << " does not fit in 1024 bytes";
            return {};
        }
        out.push_back(buf);
    }
    EXPECT_EQ(count, static_cast<int>(out.size()));
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes be16(size_t n) {
    return {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

// A hand-made datagram: header fields as given, payload length computed.
Bytes datagram(uint8_t id, uint8_t seqByte, uint16_t index, const Bytes& payload) {
    return Bytes{qwire::kMagic, qwire::kVersion, id, seqByte} + be16(index) + be16(payload.size()) +
           payload;
}

Bytes tag(uint8_t id, uint8_t typeByte, const Bytes& data) {
    return Bytes{id, typeByte} + be16(data.size()) + data;
}

Bytes repeat(const Bytes& b, size_t n) {
    return n == 0 ? Bytes{} : b + repeat(b, n - 1);
}

// b with the byte at i set to v.
Bytes with(Bytes b, size_t i, uint8_t v) {
    b[i] = v;
    return b;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    }
    return s;
}

template <typename... A>
QTag* T(uint8_t id, A... a) {
    return QTagFactory::createQTag(id, a...);
}

QMsg* msg_with(uint8_t id, std::initializer_list<QTag*> tags) {
    QMsg* m = new QMsg(id);
    for (QTag* t : tags) {
        EXPECT_TRUE(m->addTag(t));
    }
    return m;
}

} // namespace

TEST(QMsgWire, FactoryEdgesAndFixedBigEndianLayout) {
    // The longest text, read whole with its terminator (a size of 65536) or cut short.
    std::string max(qwire::kMaxTagData, 'x');
    std::unique_ptr<QTag> big(T(1, max.c_str()));
    ASSERT_TRUE(big);
    std::vector<char> buf(65537, '-');
    EXPECT_EQ(static_cast<QTagString*>(big.get())->getValue(buf.data(), 65536), 65535);
    EXPECT_EQ(std::string(buf.data()), max);
    EXPECT_EQ(static_cast<QTagString*>(big.get())->getValue(buf.data(), 3), 2);
    EXPECT_STREQ(buf.data(), "xx");
    EXPECT_EQ(T(1, (max + "x").c_str()), nullptr);
    EXPECT_EQ(QTagFactory::createRawQTag(1, QT_MAX_TYPE + 1, nullptr, 0), nullptr);
    std::unique_ptr<QTag> nan(T(4, NAN, false));
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(static_cast<QTagUInt32*>(nan.get())->getFloatValue()));
    EXPECT_EQ(T(4, INFINITY, true), nullptr);

    MsgPtr m(msg_with(1, {T(1, "ab"), T(33), T(74, uint16_t{1500})}));
    m->setMsgSeq(0x85);                                             // only the low 7 bits are kept
    Bytes expect = {0x51, 0x01, 0x01, 0x05, 0x00, 0x00, 0x00, 0x10, // header
                    0x01, 0x01, 0x00, 0x02, 'a',  'b',              // client "ab"
                    0x21, 0x00, 0x00, 0x00,                         // object 33
                    0x4A, 0x03, 0x00, 0x02, 0x05, 0xDC};            // mtu 1500
    EXPECT_EQ(serialise(*m), expect);
    EXPECT_EQ(m->getMsg(expect.data(), static_cast<uint16_t>(expect.size() - 1)), 0);
}

// Each message is cut at 1024 bytes; the segments carry the sequence, count up and join back
// into the same tags. Tags that fit a segment are never cut.
TEST(QMsgSegments, EveryCutJoinsBackWhole) {
    std::vector<MsgPtr> cases;
    cases.emplace_back(new QMsg(3)); // one 8-byte segment
    cases.emplace_back(
        msg_with(1, {T(1, uint8_t{1}), T(2, pattern(65535, 3).c_str()), T(3, uint16_t{9})}));
    std::mt19937 rng(7); // 600 small tags, then random mixes of sizes around the segment size
    for (size_t round = 0; round < 40; ++round) {
        cases.emplace_back(new QMsg(5));
        for (size_t i = 0, count = round == 0 ? 600 : rng() % 30; i < count; ++i) {
            auto len =
                static_cast<uint32_t>(rng() % 3 == 0 && round > 0 ? rng() % 4000 : rng() % 40);
            auto id = static_cast<uint8_t>(i);
            cases.back()->addTag(rng() % 2 == 0 ? T(id, pattern(len, id).c_str()) : T(id, len));
        }
    }
    const std::vector<size_t> atLeast = {1, 65, 10};
    for (size_t c = 0; c < cases.size(); ++c) {
        SCOPED_TRACE("case " + std::to_string(c));
        QMsg& m = *cases[c];
        m.setMsgSeq(static_cast<uint8_t>(c + 40));
        std::vector<Bytes> segs = segment(m);
        ASSERT_GE(segs.size(), c < atLeast.size() ? atLeast[c] : 1u);
        size_t pieces = 0;
        bool allFit = std::all_of(m.getTagList().begin(), m.getTagList().end(),
                                  [](const QTag* t) { return t->getDataLength() <= 1024 - 12; });
        MsgPtr whole; // joined in order, as a receiver does
        for (size_t i = 0; i < segs.size(); ++i) {
            MsgPtr part = parse(segs[i]);
            ASSERT_TRUE(part) << "segment " << i;
            EXPECT_EQ(part->getMsgSeq(), c + 40);
            EXPECT_EQ(part->getSegmentIndex(), i);
            EXPECT_EQ(part->isLastSegment(), i + 1 == segs.size());
            pieces += part->getTagList().size();
            ASSERT_TRUE(whole ? whole->addSegment(part.get())
                              : (whole = std::move(part)) != nullptr);
        }
        EXPECT_TRUE(!allFit || pieces == m.getTagList().size()) << "a tag that fits was cut";
        EXPECT_EQ(tags_of(*whole), tags_of(m));
        EXPECT_TRUE(whole->isComplete());
    }
    cases[0]->resetSegment();
    EXPECT_NE(cases[0]->getNextSegment(), nullptr) << "walked again from the first";
    EXPECT_EQ(cases[0]->segmentMessage(15), 0) << "too small to carry a tag";
    EXPECT_EQ(cases[0]->getNextSegment(), nullptr);
}

TEST(QMsgParse, RejectsMalformedDatagrams) {
    const Bytes u32 = tag(1, QT_UINT32, {0, 0, 0, 1}), base = datagram(1, 0, 0, u32);
    ASSERT_TRUE(parse(base)) << "the baseline is valid";
    // A piece of a cut string ending its segment and one continuing from the segment before.
    const Bytes cutA = tag(2, QT_STRING | 0x80, {'a'}), contA = tag(2, QT_STRING | 0x40, {'a'});
    auto one = [](const Bytes& payload) { return datagram(1, 0, 0, payload); };
    using F = QWireFault;
    const std::vector<std::tuple<const char*, Bytes, F::Rule>> bad = {
        {"empty", {}, F::kShortHeader},
        {"short header", Bytes{0x51, 0x01, 1, 0, 0, 0, 0}, F::kShortHeader},
        {"bad magic", with(base, 0, 0x52), F::kBadMagic},
        {"bad version", with(base, 1, 2), F::kBadVersion},
        {"payload length past the end", with(base, 7, base[7] + 1u), F::kLengthField},
        {"payload length short of the end", with(base, 7, base[7] - 1), F::kLengthField},
        {"truncated tag header", one({1, QT_UINT8, 0}), F::kTagCut},
        {"tag data past the end", with(one(tag(2, QT_STRING, {'a', 'b'})), 11, 3), F::kTagCut},
        {"u32 of 3 bytes", one(tag(1, QT_UINT32, {0, 0, 1})), F::kBadTag},
        {"u16 of 4 bytes", one(tag(1, QT_UINT16, {0, 0, 0, 1})), F::kBadTag},
        {"null with data", one(tag(1, QT_NULL, {0})), F::kBadTag},
        {"cut tag in a last segment", one(u32 + cutA), F::kPieceMisplaced},
        {"cut tag not last", datagram(1, 0x80, 0, cutA + u32), F::kPieceMisplaced},
        {"continued tag not first", datagram(1, 0x80, 1, u32 + contA), F::kPieceMisplaced},
        {"continued tag in segment 0", datagram(1, 0x80, 0, contA), F::kPieceMisplaced},
        {"fixed-size tag cut", datagram(1, 0x80, 0, tag(1, QT_UINT32 | 0x80, {0, 0, 0, 1})),
         F::kFixedSizeCut},
        {"more tags than allowed", one(repeat(tag(1, QT_NULL, {}), QMsg::kMaxTags + 1)),
         F::kTooLarge},
    };
    for (const auto& [name, bytes, rule] : bad) {
        QWireFault why;
        EXPECT_EQ(QMsg::parseMsg(bytes.data(), static_cast<uint16_t>(bytes.size()), &why), nullptr)
            << name;
        EXPECT_EQ(why.rule, rule) << name;
    }
    // The reason names the tag and where it starts.
    QWireFault why;
    const Bytes cut = one(u32 + cutA);
    QMsg::parseMsg(cut.data(), static_cast<uint16_t>(cut.size()), &why);
    char line[120];
    EXPECT_STREQ(describeWireFault(why, line, sizeof line),
                 "tag 2 (type byte 0x81) at byte 16: piece of a cut tag not at the edge of its "
                 "segment");
    EXPECT_EQ(QMsg::parseMsg(nullptr, 10), nullptr);

    // The reader under the parser: a read past the end yields 0 and fails every later read.
    const uint8_t five[5] = {1, 2, 3, 4, 5};
    qwire::Reader r(five, 3);
    EXPECT_EQ(r.u16(), 0x0102);
    EXPECT_EQ(r.u16(), 0);
    EXPECT_EQ(r.u8(), 0);
    EXPECT_FALSE(r.ok());
}

// A segment joins the message its first segment began only when it follows it; pieces of a cut
// tag must meet: same id and type, and nothing between them. A refusal changes nothing.
TEST(QMsgReassembly, RefusesSegmentsThatDoNotFollow) {
    MsgPtr m(msg_with(4, {T(1, pattern(2500, 1).c_str())}));
    m->setMsgSeq(9);
    std::vector<Bytes> s = segment(*m);
    ASSERT_EQ(s.size(), 3u);
    const Bytes open = datagram(1, 0x80, 0, tag(7, QT_STRING | 0x80, {'a'})), big(40000, 'x');
    const std::vector<std::tuple<const char*, Bytes, Bytes>> broken = {
        {"another id", s[0], with(s[1], 2, 5)},
        {"another seq", s[0], with(s[1], 3, s[1][3] ^ 1)},
        {"a gap", s[0], s[2]},
        {"whole tag after an open piece", open, datagram(1, 0, 1, tag(7, QT_STRING, {'b'}))},
        {"piece of another tag id", open, datagram(1, 0, 1, tag(8, QT_STRING | 0x40, {'b'}))},
        {"piece of another type", open, datagram(1, 0, 1, tag(7, QT_BYTES | 0x40, {'b'}))},
        {"no tags after an open piece", open, datagram(1, 0x80, 1, {})},
        {"a piece with nothing to continue", datagram(1, 0x80, 0, tag(7, QT_STRING, {'a'})),
         datagram(1, 0, 1, tag(7, QT_STRING | 0x40, {'b'}))},
        {"a joined tag over 65535 bytes", datagram(1, 0x80, 0, tag(7, QT_STRING | 0x80, big)),
         datagram(1, 0, 1, tag(7, QT_STRING | 0x40, Bytes(30000, 'y')))},
    };
    for (const auto& [name, first, second] : broken) {
        MsgPtr head = parse(first), next = parse(second);
        ASSERT_TRUE(head && next) << name;
        EXPECT_FALSE(head->addSegment(next.get())) << name;
        EXPECT_EQ(serialise(*head), first) << name;
    }
    MsgPtr s0 = parse(s[0]), s1 = parse(s[1]), s2 = parse(s[2]);
    EXPECT_FALSE(s0->addSegment(s0.get()));
    EXPECT_TRUE(s0->addSegment(s1.get()) && s0->addSegment(s2.get()));
    EXPECT_FALSE(s0->addSegment(parse(s[2]).get())) << "a complete message takes no more";
}

TEST(Assembler, JoinsSegmentsOfItsSequenceInArrivalOrder) {
    // Two replies of three segments each, with sequence numbers 5 and 6.
    std::vector<Bytes> d[2];
    for (uint8_t i = 0; i < 2; ++i) {
        MsgPtr m(msg_with(1, {T(7, pattern(2500, i).c_str())}));
        m->setMsgSeq(static_cast<uint8_t>(5 + i));
        d[i] = segment(*m);
        ASSERT_EQ(d[i].size(), 3u);
    }
    const Bytes junk = {qwire::kMagic, qwire::kVersion, 0};
    struct Case {
        int seq;
        // 0-2 the segments of seq 5, a-c those of seq 6, j junk, > re-arm for 6, - disarm
        const char* offers;
        // per offer G F I A R as in QReplyAssembler::Verdict, * after one that completes
        const char* results;
        uint32_t segments, refused;
        const char* reply; // what take() gives: "5 whole", "6 part" or "none"
    };
    const Case cases[] = {
        {5, "ja00122", "GFARAA*I", 3, 1, "5 whole"},
        // The middle segment lost: the last one is refused, yet ends the wait.
        {5, "02", "AR*", 1, 1, "5 part"},
        // Any sequence: the first message that parses fixes it.
        {QReplyAssembler::kAnySeq, "b1", "AF", 1, 0, "6 part"},
        // Re-armed: the reply so far and the counts go; disarmed: nothing is taken in.
        {5, "01>a0bc", "AAAFAA*", 3, 0, "6 whole"},
        {5, "0-12", "AII", 1, 0, "none"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offers);
        QReplyAssembler a(c.seq);
        std::string results;
        for (const char* p = c.offers; *p != '\0'; ++p) {
            if (*p == '>' || *p == '-') {
                *p == '>' ? a.arm(6) : a.disarm();
                continue;
            }
            const Bytes& b = *p == 'j'   ? junk
                             : *p >= 'a' ? d[1].at(static_cast<size_t>(*p - 'a'))
                                         : d[0].at(static_cast<size_t>(*p - '0'));
            QReplyAssembler::Result r = a.offer(b.data(), b.size());
            results += "GFIAR"[r.verdict];
            results += r.completes ? "*" : "";
        }
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(a.segments(), c.segments);
        EXPECT_EQ(a.refused(), c.refused);
        const bool done = std::strchr(c.results, '*') != nullptr;
        EXPECT_EQ(a.isDone(), done);
        EXPECT_EQ(a.isWaiting(), !done && std::strchr(c.offers, '-') == nullptr);
        MsgPtr whole = a.take();
        EXPECT_EQ(!whole ? "none"
                         : std::to_string(whole->getMsgSeq()) +
                               (whole->isComplete() ? " whole" : " part"),
                  c.reply);
        EXPECT_EQ(a.take(), nullptr);
    }
}

TEST(QMsgReassembly, StopsAtTheLimits) {
    // 60000 bytes of data or 1000 tags a segment: the fifth passes 256 KiB or 4096 tags.
    for (const Bytes& payload :
         {tag(1, QT_BYTES, Bytes(60000, 0xAB)), repeat(tag(1, 0, {}), 1000)}) {
        MsgPtr whole = parse(datagram(1, 0x80, 0, payload));
        ASSERT_TRUE(whole);
        for (uint16_t i = 1; i < 5; ++i) {
            MsgPtr next = parse(datagram(1, 0x80, i, payload));
            EXPECT_EQ(whole->addSegment(next.get()), i < 4) << "segment " << i;
        }
    }
    QMsg built(1);
    std::string text(60000, 'z');
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(built.addTag(T(1, text.c_str())));
    }
    EXPECT_FALSE(built.addTag(T(1, text.c_str())));
}

// Every id is unique across common tags, objects and members, and each name finds its row.
TEST(Dictionary, IdsAndNamesAreUnambiguous) {
    const QuorrelDictDef* d = ZEL::DictDef;
    std::set<int> ids;
    auto unique = [&](const QuorrelTagDef& t, const QuorrelTagDef* byName, const std::string& n) {
        EXPECT_TRUE(ids.insert(t.id).second) << n;
        EXPECT_EQ(byName, &t) << n;
        EXPECT_LE(t.type, QT_FLOAT) << n;
    };
    for (uint16_t i = 0; i < d->tagCount; ++i) {
        unique(d->tags[i], findCommonTag(d, d->tags[i].name), d->tags[i].name);
    }
    for (uint16_t i = 0; i < d->objectCount; ++i) {
        const QuorrelObjectDef& o = d->objects[i];
        EXPECT_TRUE(ids.insert(o.id).second) << "object " << o.name;
        EXPECT_TRUE(findObject(d, o.name) == &o && findObjectById(d, o.id) == &o) << o.name;
        for (uint16_t j = 0; j < o.tagCount; ++j) {
            unique(o.tags[j], findMemberTag(&o, o.tags[j].name),
                   o.name + std::string(".") + o.tags[j].name);
            EXPECT_NE(o.tags[j].type, QT_NULL);
        }
    }
}

// The hash pinned for the current dictionary (docs/dictionary.md gives the byte layout); a
// widened member changes it, a reworded help text does not.
TEST(Dictionary, HashCoversIdsTypesAndNames) {
    const QuorrelDictDef& d = *ZEL::DictDef;
    EXPECT_EQ(dictionaryHash(d), 0x69b58e84u);
    const QuorrelObjectDef& last = d.objects[d.objectCount - 1];
    std::vector<QuorrelTagDef> tags(last.tags, last.tags + last.tagCount);
    std::vector<QuorrelObjectDef> objects(d.objects, d.objects + d.objectCount);
    QuorrelDictDef changed = d;
    changed.objects = objects.data();
    objects.back().tags = tags.data();
    tags.front().help = "reworded";
    EXPECT_EQ(dictionaryHash(changed), 0x69b58e84u);
    tags.back().type = tags.back().type == QT_UINT32 ? QT_UINT16 : QT_UINT32;
    EXPECT_NE(dictionaryHash(changed), 0x69b58e84u);
}

namespace {

std::unique_ptr<QuorrelMessage> check(QMsg* m, QDictRefusal* why = nullptr) {
    return std::unique_ptr<QuorrelMessage>(QuorrelMessage::parseQMsg(ZEL::DictDef, m, why));
}

// Ids of the dictionary (docs/dictionary.md).
enum : uint8_t { kInterface = 33, kNtp = 34, kName = 72, kEnabled = 73, kMtu = 74, kSpeed = 76 };
enum : uint8_t { kServer = 80, kPoll = 82, kOffset = 83 };

} // namespace

TEST(QuorrelMessage, SortsTagsIntoObjectsInMessageOrder) {
    MsgPtr get(msg_with(1, {T(1, "cli"), T(kInterface), T(kName, "eth0"), T(kMtu),
                            T(2, uint32_t{77}), T(kSpeed), T(kNtp)}));
    std::unique_ptr<QuorrelMessage> q = check(get.get());
    ASSERT_TRUE(q);
    const std::vector<QTag*>& all = get->getTagList();
    std::unique_ptr<std::vector<QTag*>> top(q->getTags());
    EXPECT_EQ(*top, (std::vector<QTag*>{all[0], all[4]})) << "common tags stay top-level";
    std::unique_ptr<std::vector<QuorrelObject*>> objs(q->getObjects());
    ASSERT_EQ(objs->size(), 2u);
    EXPECT_EQ((*objs)[0]->getID(), kInterface);
    std::unique_ptr<std::vector<QTag*>> members((*objs)[0]->getTags());
    EXPECT_EQ(*members, (std::vector<QTag*>{all[2], all[3], all[5]}));
    std::unique_ptr<std::vector<QTag*>> none((*objs)[1]->getTags());
    EXPECT_TRUE(none->empty());
}

// Each refusal names the tag and the rule it breaks; an empty reason is a message accepted.
TEST(QuorrelMessage, RejectsWhatTheDictionaryDoesNotAllowAndSaysWhy) {
    auto in_iface = [&](QTag* t) { return msg_with(1, {T(kInterface), t}); };
    const std::vector<std::tuple<QMsg*, const char*>> cases = {
        {msg_with(5, {T(kNtp), T(kOffset, 0.5f, false), T(kPoll, uint16_t{64})}), ""},
        {parse(datagram(1, 0x00, 0, {})).release(), ""},
        {msg_with(8, {}), "message id 8 is not in the dictionary"},
        {msg_with(1, {T(200, uint8_t{1})}), "tag 200 (u8) is not an object and not a common tag"},
        {in_iface(T(kMtu, "1500")), "interface.mtu (74) is u32, given string"},
        {in_iface(T(kMtu, uint16_t{1500})), ""},
        {in_iface(T(kSpeed, uint8_t{10})), ""},
        {in_iface(T(kMtu, 1500.0f, false)), "interface.mtu (74) is u32, given float"},
        {in_iface(T(kName, uint8_t{1})), "interface.name (72) is string, given u8"},
        {in_iface(T(kEnabled, uint16_t{1})), "interface.enabled (73) is u8, given u16"},
        {msg_with(1, {T(kNtp), T(kPoll, uint32_t{64})}), "ntp.poll (82) is u16, given u32"},
        {in_iface(T(kServer, "x")),
         "tag 80 (string) is not a member of interface, not an object and not a common tag"},
        {msg_with(1, {T(kMtu, uint16_t{1})}), "tag 74 (u16) is not an object and not a common tag"},
        {msg_with(1, {T(2, uint16_t{1})}), "@transaction (2) is u32, given u16"},
        {in_iface(QTagFactory::createRawQTag(kMtu, 7, nullptr, 0)),
         "interface.mtu (74) has unknown type 7"},
        {parse(datagram(1, 0x80, 0, {})).release(),
         "the message is not whole: a segment of a longer one"},
        {parse(datagram(1, 0x00, 1, {})).release(),
         "the message is not whole: a segment of a longer one"},
    };
    char text[160];
    for (const auto& [m, reason] : cases) {
        MsgPtr owned(m);
        QDictRefusal why;
        EXPECT_EQ(check(m, &why) == nullptr, *reason != '\0') << reason;
        EXPECT_STREQ(describeRefusal(why, text, sizeof text), reason);
    }
}
