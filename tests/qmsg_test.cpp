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

#include "qmsg.h"
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
    Bytes buf(0xFFFF);
    uint16_t n = m.getMsg(buf.data(), static_cast<uint16_t>(buf.size()));
    buf.resize(n);
    return buf;
}

MsgPtr parse(const Bytes& b) {
    return MsgPtr(QMsg::parseMsg(b.data(), static_cast<uint16_t>(b.size())));
}

// Segments m at 1024 bytes and returns the datagrams, checking the size limit on each.
std::vector<Bytes> segment(QMsg& m) {
    std::vector<Bytes> out;
    int count = m.segmentMessage(1024);
    m.resetSegment();
    while (QMsg* seg = m.getNextSegment()) {
        Bytes buf(1024);
        uint16_t n = seg->getMsg(buf.data(), 1024);
        EXPECT_GT(n, 0);
        EXPECT_LE(n, 1024);
        buf.resize(n);
        out.push_back(buf);
    }
    EXPECT_EQ(count, static_cast<int>(out.size()));
    return out;
}

// Parses each datagram and joins them in order, as a receiver does.
MsgPtr reassemble(const std::vector<Bytes>& segs) {
    MsgPtr whole;
    for (const Bytes& s : segs) {
        MsgPtr part = parse(s);
        EXPECT_TRUE(part) << "segment does not parse";
        if (!part) {
            return nullptr;
        }
        if (!whole) {
            whole = std::move(part);
        } else {
            EXPECT_TRUE(whole->addSegment(part.get()));
        }
    }
    return whole;
}

// A hand-made datagram: header fields as given, payload length computed.
Bytes datagram(uint8_t id, uint8_t seqByte, uint16_t index, const Bytes& payload) {
    const size_t n = payload.size();
    Bytes b = {0x51,
               0x01,
               id,
               seqByte,
               static_cast<uint8_t>(index >> 8),
               static_cast<uint8_t>(index),
               static_cast<uint8_t>(n >> 8),
               static_cast<uint8_t>(n)};
    for (uint8_t x : payload) {
        b.push_back(x);
    }
    return b;
}

Bytes tag(uint8_t id, uint8_t typeByte, const Bytes& data) {
    const size_t n = data.size();
    Bytes b = {id, typeByte, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    for (uint8_t x : data) {
        b.push_back(x);
    }
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes repeat(const Bytes& b, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) {
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    }
    return s;
}

QMsg* msg_with(uint8_t id, std::initializer_list<QTag*> tags) {
    QMsg* m = new QMsg(id);
    for (QTag* t : tags) {
        EXPECT_TRUE(m->addTag(t));
    }
    return m;
}

} // namespace

// Values and wire sizes are covered by the round trips below; here the edges of the factory.
TEST(QTagFactory, EdgesOfTheFactory) {
    std::unique_ptr<QTag> s(QTagFactory::createQTag(9, "hello"));
    char buf[8];
    EXPECT_EQ(static_cast<QTagString*>(s.get())->getValue(buf, 3), 2);
    EXPECT_STREQ(buf, "he") << "cut to the buffer and terminated";
    EXPECT_EQ(static_cast<QTagString*>(s.get())->getValue(buf, 0), 0);

    std::string max(65535, 'x');
    std::unique_ptr<QTag> big(QTagFactory::createQTag(1, max.c_str()));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->getDataLength(), 65535);
    // The longest text with its terminator needs a size of 65536.
    std::vector<char> whole(65537, '-');
    EXPECT_EQ(static_cast<QTagString*>(big.get())->getValue(whole.data(), 65536), 65535);
    EXPECT_EQ(std::string(whole.data()), max);
    std::string over(65536, 'x');
    EXPECT_EQ(QTagFactory::createQTag(1, over.c_str()), nullptr);
    EXPECT_EQ(QTagFactory::createQTag(1, static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(QTagFactory::createQTag(1, static_cast<const uint8_t*>(nullptr), 3), nullptr);
    EXPECT_EQ(QTagFactory::createRawQTag(1, QT_MAX_TYPE + 1, nullptr, 0), nullptr);

    std::unique_ptr<QTag> nan(QTagFactory::createQTag(4, NAN, false));
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(static_cast<QTagUInt32*>(nan.get())->getFloatValue()));
    EXPECT_EQ(QTagFactory::createQTag(4, NAN, true), nullptr);
    EXPECT_EQ(QTagFactory::createQTag(4, INFINITY, true), nullptr);
}

TEST(QMsgWire, LayoutIsFixedBigEndian) {
    MsgPtr m(msg_with(1, {QTagFactory::createQTag(1, "ab"), QTagFactory::createQTag(33),
                          QTagFactory::createQTag(74, uint16_t{1500})}));
    m->setMsgSeq(0x85); // only the low 7 bits are kept
    EXPECT_EQ(m->getMsgSeq(), 5);
    Bytes expect = {0x51, 0x01, 0x01, 0x05, 0x00, 0x00, 0x00, 0x10, // header
                    0x01, 0x01, 0x00, 0x02, 'a',  'b',              // client "ab"
                    0x21, 0x00, 0x00, 0x00,                         // object 33
                    0x4A, 0x03, 0x00, 0x02, 0x05, 0xDC};            // mtu 1500
    EXPECT_EQ(serialise(*m), expect);
    Bytes small(expect.size() - 1);
    EXPECT_EQ(m->getMsg(small.data(), static_cast<uint16_t>(small.size())), 0);
}

TEST(QMsgWire, EveryTypeAndUnknownTypesRoundTrip) {
    const uint8_t raw[3] = {0xDE, 0xAD, 0x00};
    MsgPtr m(msg_with(
        200,
        {QTagFactory::createQTag(1), QTagFactory::createQTag(2, "text"),
         QTagFactory::createQTag(3, uint32_t{0x80000001}),
         QTagFactory::createQTag(4, uint16_t{65535}), QTagFactory::createQTag(5, uint8_t{7}),
         QTagFactory::createQTag(6, raw, 3), QTagFactory::createQTag(7, 3.25f, false),
         QTagFactory::createRawQTag(8, 7, raw, 3),
         QTagFactory::createRawQTag(9, QT_MAX_TYPE, nullptr, 0), QTagFactory::createQTag(10, "")}));
    m->setMsgSeq(127);
    Bytes wire = serialise(*m);
    MsgPtr back = parse(wire);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->getMsgID(), 200);
    EXPECT_EQ(back->getMsgSeq(), 127);
    EXPECT_TRUE(back->isLastSegment());
    EXPECT_TRUE(back->isComplete());
    EXPECT_EQ(tags_of(*back), tags_of(*m));
    EXPECT_EQ(serialise(*back), wire);
    EXPECT_EQ(static_cast<QTagUInt32*>(back->getTagList()[2])->getValue(), 0x80000001u);
    EXPECT_EQ(static_cast<QTagUInt16*>(back->getTagList()[3])->getValue(), 65535);
    EXPECT_EQ(static_cast<QTagUInt8*>(back->getTagList()[4])->getValue(), 7);
    EXPECT_EQ(static_cast<QTagUInt32*>(back->getTagList()[6])->getFloatValue(), 3.25f);
    EXPECT_NE(dynamic_cast<QTagBytes*>(back->getTagList()[7]), nullptr);
}

TEST(QMsgSegments, ManySmallTagsAreCutBetweenTags) {
    MsgPtr m(new QMsg(1));
    for (uint32_t i = 0; i < 600; ++i) {
        m->addTag(QTagFactory::createQTag(static_cast<uint8_t>(i), i * 2654435761u));
        if (i % 50 == 0) {
            m->addTag(QTagFactory::createQTag(250, pattern(i, i).c_str()));
        }
    }
    m->setMsgSeq(42);
    std::vector<Bytes> segs = segment(*m);
    ASSERT_GT(segs.size(), 5u);
    size_t tags = 0;
    for (size_t i = 0; i < segs.size(); ++i) {
        MsgPtr part = parse(segs[i]);
        ASSERT_TRUE(part);
        EXPECT_EQ(part->getMsgSeq(), 42);
        EXPECT_EQ(part->getSegmentIndex(), i);
        EXPECT_EQ(part->isLastSegment(), i + 1 == segs.size());
        tags += part->getTagList().size();
    }
    EXPECT_EQ(tags, m->getTagList().size()) << "no tag was cut";
    MsgPtr whole = reassemble(segs);
    ASSERT_TRUE(whole);
    EXPECT_EQ(tags_of(*whole), tags_of(*m));
    EXPECT_TRUE(whole->isComplete());
}

TEST(QMsgSegments, LargeTagsTravelInPiecesAndJoinAgain) {
    MsgPtr m(msg_with(1, {QTagFactory::createQTag(1, uint8_t{1}),
                          QTagFactory::createQTag(2, pattern(65535, 3).c_str()),
                          QTagFactory::createQTag(3, uint16_t{9})}));
    std::vector<Bytes> segs = segment(*m);
    EXPECT_GE(segs.size(), 65u);
    MsgPtr whole = reassemble(segs);
    ASSERT_TRUE(whole);
    EXPECT_EQ(tags_of(*whole), tags_of(*m));

    // Random mixes of sizes around the segment size: whatever the cut, nothing is lost.
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        MsgPtr mix(new QMsg(5));
        size_t count = rng() % 30;
        for (size_t i = 0; i < count; ++i) {
            size_t len = rng() % 3 == 0 ? rng() % 4000 : rng() % 40;
            uint8_t id = static_cast<uint8_t>(i);
            if (rng() % 2 == 0) {
                std::string d = pattern(len, static_cast<unsigned>(i));
                mix->addTag(QTagFactory::createQTag(id, reinterpret_cast<const uint8_t*>(d.data()),
                                                    static_cast<uint16_t>(len)));
            } else {
                mix->addTag(QTagFactory::createQTag(id, static_cast<uint32_t>(len)));
            }
        }
        std::vector<Bytes> parts = segment(*mix);
        MsgPtr joined = reassemble(parts);
        ASSERT_TRUE(joined);
        EXPECT_EQ(tags_of(*joined), tags_of(*mix)) << "round " << round;
    }
}

TEST(QMsgSegments, WalkingTheSegments) {
    QMsg empty(3);
    EXPECT_EQ(empty.getNextSegment(), nullptr) << "no segments before segmentMessage";
    EXPECT_EQ(empty.segmentMessage(1024), 1);
    QMsg* only = empty.getNextSegment();
    ASSERT_NE(only, nullptr);
    EXPECT_TRUE(only->isLastSegment());
    EXPECT_EQ(empty.getNextSegment(), nullptr);
    empty.resetSegment();
    EXPECT_EQ(empty.getNextSegment(), only);
    EXPECT_EQ(empty.segmentMessage(15), 0) << "too small to carry a tag";
    EXPECT_EQ(empty.getNextSegment(), nullptr);
}

TEST(QMsgParse, RejectsMalformedDatagrams) {
    const Bytes u32 = tag(1, QT_UINT32, {0, 0, 0, 1});
    const Bytes str = tag(2, QT_STRING, {'a', 'b'});
    ASSERT_TRUE(parse(datagram(1, 0, 0, u32 + str))) << "the baseline is valid";
    ASSERT_TRUE(parse(datagram(1, 0x80, 0, u32 + tag(2, QT_STRING | 0x80, {'a'}))));
    ASSERT_TRUE(parse(datagram(1, 0x80, 1, tag(2, QT_STRING | 0xC0, {'a'}))));

    const Bytes manyNulls = repeat(tag(1, QT_NULL, {}), QMsg::kMaxTags + 1);
    Bytes badMagic = datagram(1, 0, 0, u32);
    badMagic[0] = 0x52;
    Bytes badVersion = datagram(1, 0, 0, u32);
    badVersion[1] = 2;
    Bytes longer = datagram(1, 0, 0, u32);
    longer[7] += 1;
    Bytes shorter = datagram(1, 0, 0, u32);
    shorter[7] -= 1;
    Bytes pastEnd = datagram(1, 0, 0, tag(2, QT_STRING, {'a', 'b'}));
    pastEnd[11] = 3; // claims 3 bytes of text, 2 follow

    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"empty", {}},
        {"short header", Bytes{0x51, 0x01, 1, 0, 0, 0, 0}},
        {"bad magic", badMagic},
        {"bad version", badVersion},
        {"payload length past the end", longer},
        {"payload length short of the end", shorter},
        {"truncated tag header", datagram(1, 0, 0, Bytes{1, QT_UINT8, 0})},
        {"tag data past the end", pastEnd},
        {"u32 of 3 bytes", datagram(1, 0, 0, tag(1, QT_UINT32, {0, 0, 1}))},
        {"float of 2 bytes", datagram(1, 0, 0, tag(1, QT_FLOAT, {0, 1}))},
        {"u16 of 4 bytes", datagram(1, 0, 0, tag(1, QT_UINT16, {0, 0, 0, 1}))},
        {"u8 of 0 bytes", datagram(1, 0, 0, tag(1, QT_UINT8, {}))},
        {"null with data", datagram(1, 0, 0, tag(1, QT_NULL, {0}))},
        {"cut tag in a last segment", datagram(1, 0, 0, u32 + tag(2, QT_STRING | 0x80, {'a'}))},
        {"cut tag not last", datagram(1, 0x80, 0, tag(2, QT_STRING | 0x80, {'a'}) + u32)},
        {"continued tag not first", datagram(1, 0x80, 1, u32 + tag(2, QT_STRING | 0x40, {'a'}))},
        {"continued tag in segment 0", datagram(1, 0x80, 0, tag(2, QT_STRING | 0x40, {'a'}))},
        {"fixed-size tag cut", datagram(1, 0x80, 0, tag(1, QT_UINT32 | 0x80, {0, 0, 0, 1}))},
        {"more tags than allowed", datagram(1, 0, 0, manyNulls)},
    };
    for (const auto& [name, bytes] : bad) {
        EXPECT_FALSE(parse(bytes)) << name;
    }
    EXPECT_EQ(QMsg::parseMsg(nullptr, 10), nullptr);
}

TEST(QMsgParse, GarbageNeverCrashesAndWhatParsesIsCanonical) {
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        Bytes junk(1 + rng() % 1024);
        for (uint8_t& b : junk) {
            b = static_cast<uint8_t>(rng());
        }
        if (round % 2 == 0) { // give half a plausible header so the tag parser is reached
            junk = datagram(1, static_cast<uint8_t>(rng()), static_cast<uint16_t>(rng() % 3), junk);
        }
        MsgPtr m = parse(junk);
        if (m) {
            EXPECT_EQ(serialise(*m), junk);
        }
    }
}

TEST(QMsgReassembly, RefusesSegmentsThatDoNotFollow) {
    MsgPtr m(msg_with(4, {QTagFactory::createQTag(1, pattern(2500, 1).c_str())}));
    m->setMsgSeq(9);
    std::vector<Bytes> segs = segment(*m);
    ASSERT_EQ(segs.size(), 3u);
    MsgPtr s0 = parse(segs[0]), s1 = parse(segs[1]), s2 = parse(segs[2]);

    Bytes otherId = segs[1];
    otherId[2] = 5;
    Bytes otherSeq = segs[1];
    otherSeq[3] ^= 1;
    const std::vector<TagView> before = tags_of(*s0);
    EXPECT_FALSE(s0->addSegment(parse(otherId).get()));
    EXPECT_FALSE(s0->addSegment(parse(otherSeq).get()));
    EXPECT_FALSE(s0->addSegment(s2.get())) << "a gap";
    EXPECT_FALSE(s0->addSegment(parse(segs[0]).get())) << "a duplicate";
    EXPECT_FALSE(s0->addSegment(s0.get()));
    EXPECT_FALSE(s0->addSegment(nullptr));
    EXPECT_EQ(tags_of(*s0), before) << "a refusal changes nothing";
    EXPECT_FALSE(s0->isLastSegment());

    EXPECT_TRUE(s0->addSegment(s1.get()));
    EXPECT_TRUE(s0->addSegment(s2.get()));
    EXPECT_EQ(tags_of(*s0), tags_of(*m));
    EXPECT_FALSE(s0->addSegment(parse(segs[2]).get())) << "a complete message takes no more";

    // Pieces of a cut tag must meet: same id and type, and nothing between them.
    Bytes open = datagram(1, 0x80, 0, tag(7, QT_STRING | 0x80, {'a'}));
    const std::vector<std::pair<const char*, Bytes>> broken = {
        {"whole tag after an open piece", datagram(1, 0, 1, tag(7, QT_STRING, {'b'}))},
        {"piece of another tag id", datagram(1, 0, 1, tag(8, QT_STRING | 0x40, {'b'}))},
        {"piece of another type", datagram(1, 0, 1, tag(7, QT_BYTES | 0x40, {'b'}))},
        {"no tags after an open piece", datagram(1, 0x80, 1, {})},
    };
    for (const auto& [name, bytes] : broken) {
        MsgPtr head = parse(open);
        MsgPtr next = parse(bytes);
        ASSERT_TRUE(next) << name;
        EXPECT_FALSE(head->addSegment(next.get())) << name;
    }
    MsgPtr closed = parse(datagram(1, 0x80, 0, tag(7, QT_STRING, {'a'})));
    MsgPtr piece = parse(datagram(1, 0, 1, tag(7, QT_STRING | 0x40, {'b'})));
    EXPECT_FALSE(closed->addSegment(piece.get())) << "a piece with nothing to continue";
}

TEST(QMsgReassembly, StopsAtTheLimits) {
    // Tag data: 60000-byte segments, the fifth passes 256 KiB.
    Bytes chunk(60000, 0xAB);
    MsgPtr data = parse(datagram(1, 0x80, 0, tag(1, QT_BYTES, chunk)));
    ASSERT_TRUE(data);
    for (uint16_t i = 1; i < 5; ++i) {
        MsgPtr next = parse(datagram(1, 0x80, i, tag(1, QT_BYTES, chunk)));
        EXPECT_EQ(data->addSegment(next.get()), i < 4) << "segment " << i;
    }

    // Tag count: 1000 tags a segment, the fifth passes 4096.
    const Bytes nulls = repeat(tag(1, QT_NULL, {}), 1000);
    MsgPtr many = parse(datagram(1, 0x80, 0, nulls));
    for (uint16_t i = 1; i < 5; ++i) {
        MsgPtr next = parse(datagram(1, 0x80, i, nulls));
        EXPECT_EQ(many->addSegment(next.get()), i < 4) << "segment " << i;
    }
    EXPECT_EQ(many->getTagList().size(), 4000u);

    // One joined tag may not pass 65535 bytes.
    MsgPtr head = parse(datagram(1, 0x80, 0, tag(1, QT_STRING | 0x80, Bytes(40000, 'x'))));
    MsgPtr tail = parse(datagram(1, 0, 1, tag(1, QT_STRING | 0x40, Bytes(30000, 'y'))));
    EXPECT_FALSE(head->addSegment(tail.get()));

    QMsg built(1);
    std::string text(60000, 'z');
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(built.addTag(QTagFactory::createQTag(1, text.c_str())));
    }
    EXPECT_FALSE(built.addTag(QTagFactory::createQTag(1, text.c_str())));
    EXPECT_FALSE(built.addTag(nullptr));
}

TEST(Dictionary, IdsAndNamesAreUnambiguous) {
    const QuorrelDictDef* d = ZEL::DictDef;
    ASSERT_NE(d, nullptr);
    std::set<int> tagIds;
    for (uint16_t i = 0; i < d->tagCount; ++i) {
        const QuorrelTagDef& t = d->tags[i];
        EXPECT_TRUE(tagIds.insert(t.id).second) << t.name;
        EXPECT_EQ(findCommonTag(d, t.name), &t);
        EXPECT_LE(t.type, QT_FLOAT);
    }
    for (uint16_t i = 0; i < d->objectCount; ++i) {
        const QuorrelObjectDef& o = d->objects[i];
        EXPECT_TRUE(tagIds.insert(o.id).second) << "object " << o.name;
        EXPECT_EQ(findObject(d, o.name), &o);
        EXPECT_EQ(findObjectById(d, o.id), &o);
        for (uint16_t j = 0; j < o.tagCount; ++j) {
            const QuorrelTagDef& t = o.tags[j];
            EXPECT_TRUE(tagIds.insert(t.id).second) << o.name << "." << t.name;
            EXPECT_EQ(findMemberTag(&o, t.name), &t) << o.name << "." << t.name;
            EXPECT_NE(t.type, QT_NULL);
            EXPECT_LE(t.type, QT_FLOAT);
        }
    }
    for (uint8_t id = 0; id <= 5; ++id) {
        EXPECT_NE(findMessageById(d, id), nullptr);
    }
    EXPECT_EQ(findMessageById(d, 6), nullptr);
    EXPECT_EQ(findMemberTag(findObject(d, "interface"), "mtu")->type, QT_UINT16);
    EXPECT_EQ(findObject(d, "nonesuch"), nullptr);
}

namespace {

uint8_t obj_id(const char* name) {
    return findObject(ZEL::DictDef, name)->id;
}

uint8_t member_id(const char* obj, const char* name) {
    return findMemberTag(findObject(ZEL::DictDef, obj), name)->id;
}

std::unique_ptr<QuorrelMessage> check(QMsg* m) {
    return std::unique_ptr<QuorrelMessage>(QuorrelMessage::parseQMsg(ZEL::DictDef, m));
}

} // namespace

TEST(QuorrelMessage, SortsTagsIntoObjectsInMessageOrder) {
    MsgPtr get(msg_with(1, {QTagFactory::createQTag(1, "cli"),
                            QTagFactory::createQTag(obj_id("interface")),
                            QTagFactory::createQTag(member_id("interface", "name"), "eth0"),
                            QTagFactory::createQTag(member_id("interface", "mtu")),
                            QTagFactory::createQTag(2, uint32_t{77}),
                            QTagFactory::createQTag(member_id("interface", "speed")),
                            QTagFactory::createQTag(obj_id("ntp"))}));
    std::unique_ptr<QuorrelMessage> q = check(get.get());
    ASSERT_TRUE(q);
    const std::vector<QTag*>& all = get->getTagList();
    std::unique_ptr<std::vector<QTag*>> top(q->getTags());
    EXPECT_EQ(*top, (std::vector<QTag*>{all[0], all[4]})) << "common tags stay top-level";
    std::unique_ptr<std::vector<QuorrelObject*>> objs(q->getObjects());
    ASSERT_EQ(objs->size(), 2u);
    EXPECT_EQ((*objs)[0]->getID(), obj_id("interface"));
    std::unique_ptr<std::vector<QTag*>> members((*objs)[0]->getTags());
    EXPECT_EQ(*members, (std::vector<QTag*>{all[2], all[3], all[5]}));
    std::unique_ptr<std::vector<QTag*>> none((*objs)[1]->getTags());
    EXPECT_TRUE(none->empty());

    for (uint8_t id = 0; id <= 5; ++id) {
        QMsg typed(id);
        typed.addTag(QTagFactory::createQTag(obj_id("ntp")));
        typed.addTag(QTagFactory::createQTag(member_id("ntp", "offset"), 0.5f, false));
        typed.addTag(QTagFactory::createQTag(member_id("ntp", "poll"), uint16_t{64}));
        EXPECT_TRUE(check(&typed)) << "message id " << int(id);
    }
}

TEST(QuorrelMessage, RejectsWhatTheDictionaryDoesNotAllow) {
    const uint8_t iface = obj_id("interface");
    const uint8_t mtu = member_id("interface", "mtu");
    const uint8_t mac[6] = {};
    auto in_iface = [&](QTag* t) { return msg_with(1, {QTagFactory::createQTag(iface), t}); };
    const std::vector<std::pair<const char*, QMsg*>> bad = {
        {"unknown message id", msg_with(6, {})},
        {"unknown tag", msg_with(1, {QTagFactory::createQTag(200, uint8_t{1})})},
        {"member with the wrong type", in_iface(QTagFactory::createQTag(mtu, "1500"))},
        {"bytes for a string",
         in_iface(QTagFactory::createQTag(member_id("interface", "name"), mac, 6))},
        {"member of another object",
         in_iface(QTagFactory::createQTag(member_id("ntp", "server"), "x"))},
        {"member outside any object", msg_with(1, {QTagFactory::createQTag(mtu, uint16_t{1})})},
        {"common tag with the wrong type", msg_with(1, {QTagFactory::createQTag(2, uint16_t{1})})},
        {"common tag as null", msg_with(1, {QTagFactory::createQTag(2)})},
        {"unknown type", in_iface(QTagFactory::createRawQTag(mtu, 7, nullptr, 0))},
    };
    for (const auto& [name, m] : bad) {
        MsgPtr owned(m);
        EXPECT_FALSE(check(m)) << name;
    }

    // Only a whole message is a request: not a segment awaiting more, nor a later one.
    MsgPtr first = parse(datagram(1, 0x80, 0, {}));
    MsgPtr later = parse(datagram(1, 0x00, 1, {}));
    MsgPtr whole = parse(datagram(1, 0x00, 0, {}));
    EXPECT_FALSE(check(first.get()));
    EXPECT_FALSE(check(later.get()));
    EXPECT_TRUE(check(whole.get()));
    EXPECT_EQ(QuorrelMessage::parseQMsg(nullptr, whole.get()), nullptr);
}
