// The operator tools' shared code: request words into messages, showing replies, reply
// reassembly, the upstream stand-in's answers, latency figures, and one UDP round trip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "toolkit.h"
#include "zeldict.h"

namespace {

using toolkit::Bytes;
using toolkit::MsgPtr;
using toolkit::ReplyAssembler;

// Tags as "id:type" words, the way the wire carries them.
std::string shape(const QMsg& msg) {
    std::string s;
    for (const QTag* t : msg.getTagList()) {
        s += (s.empty() ? "" : " ") + std::to_string(t->getTagID()) + ":" +
             std::to_string(t->getTagType());
    }
    return s;
}

std::string value_at(const QMsg& msg, size_t i) {
    return toolkit::formatValue(*msg.getTagList().at(i));
}

MsgPtr build(const std::string& kind, const std::vector<std::string>& words) {
    uint8_t id = 0;
    EXPECT_TRUE(toolkit::parseMessageId(kind, &id)) << kind;
    std::string error;
    MsgPtr msg = toolkit::buildRequest(id, words, &error);
    EXPECT_NE(msg, nullptr) << error;
    return msg;
}

std::string build_error(const std::vector<std::string>& words) {
    std::string error;
    MsgPtr msg = toolkit::buildRequest(0, words, &error);
    EXPECT_EQ(msg, nullptr) << shape(*msg);
    return error;
}

// The objects of msg as the dictionary check sees them: "objid[tag,tag]" words.
std::string checked_objects(QMsg& msg) {
    std::unique_ptr<QuorrelMessage> q(QuorrelMessage::parseQMsg(ZEL::DictDef, &msg));
    if (!q) {
        return "refused";
    }
    std::unique_ptr<std::vector<QuorrelObject*>> objs(q->getObjects());
    std::string s;
    for (QuorrelObject* o : *objs) {
        std::unique_ptr<std::vector<QTag*>> tags(o->getTags());
        s += (s.empty() ? "" : " ") + std::to_string(o->getID()) + "[";
        for (size_t i = 0; i < tags->size(); ++i) {
            s += (i > 0 ? "," : "") + std::to_string((*tags)[i]->getTagID());
        }
        s += "]";
    }
    return s;
}

MsgPtr parse(const Bytes& d) {
    return MsgPtr(QMsg::parseMsg(d.data(), static_cast<uint16_t>(d.size())));
}

TEST(RequestWords, NamesTakeTheDictionaryIdsAndTypes) {
    MsgPtr set = build("set", {"interface.name=eth0", "interface.mtu=1400", "interface.enabled=1",
                               "interface.speed=0x3e8", "interface.mac=00:11:22:aa:bb:cc",
                               "system.load=0.25", "@client=me"});
    EXPECT_EQ(set->getMsgID(), 0);
    EXPECT_EQ(shape(*set), "33:0 72:1 74:3 73:4 76:2 77:5 32:0 68:6 1:1");
    EXPECT_EQ(value_at(*set, 1), "\"eth0\"");
    EXPECT_EQ(value_at(*set, 2), "1400");
    EXPECT_EQ(value_at(*set, 4), "1000");
    EXPECT_EQ(value_at(*set, 5), "00:11:22:aa:bb:cc");
    EXPECT_EQ(value_at(*set, 7), "0.25");
    EXPECT_TRUE(toolkit::checkRequest(*set).empty());

    MsgPtr get = build("get", {"system.hostname", "interface.mtu"});
    EXPECT_EQ(get->getMsgID(), 1);
    EXPECT_EQ(shape(*get), "32:0 64:0 33:0 74:0");
    EXPECT_EQ(checked_objects(*get), "32[64] 33[74]");

    EXPECT_EQ(build("delete", {"ntp"})->getMsgID(), 4);
    EXPECT_EQ(build("replace", {"logging.level=3"})->getMsgID(), 5);
    EXPECT_EQ(build("7", {})->getMsgID(), 7);
}

TEST(RequestWords, NumbersAndExplicitTypesReachTagsTheDictionaryLacks) {
    MsgPtr m =
        build("set", {"17.3=u16:1400", "@200=u32:7", "interface.74=9", "system.hostname=u8:5",
                      "system.contact=str:null", "system.location=null", "@4=str:u8:1", "@client"});
    EXPECT_EQ(shape(*m), "17:0 3:3 200:2 33:0 74:3 32:0 64:4 66:1 65:0 4:1 1:0");
    EXPECT_EQ(value_at(*m, 1), "1400");
    EXPECT_EQ(value_at(*m, 2), "7");
    EXPECT_EQ(value_at(*m, 7), "\"null\"");
    EXPECT_EQ(value_at(*m, 9), "\"u8:1\"");

    // The override of hostname's type and the unknown tags are what the dictionary refuses.
    std::vector<std::string> reasons = toolkit::checkRequest(*m);
    std::string all;
    for (const std::string& r : reasons) {
        all += r + "\n";
    }
    EXPECT_NE(all.find("tag 17 (null) is not an object and not a common tag"), std::string::npos)
        << all;
    EXPECT_NE(all.find("system.hostname (64) is string, given u8"), std::string::npos) << all;
    EXPECT_NE(all.find("@client (1) is string, given null"), std::string::npos) << all;
}

TEST(RequestWords, MembersInARowShareOneObject) {
    // A row, broken by another object, by a repeated member and by naming the object alone.
    MsgPtr m = build("set", {"interface.name=eth0", "interface.mtu=1400", "system.hostname=h",
                             "interface.name=eth1", "interface.name=eth2", "interface",
                             "interface.mtu=9000"});
    EXPECT_EQ(shape(*m), "33:0 72:1 74:3 32:0 64:1 33:0 72:1 33:0 72:1 33:0 74:3");
    EXPECT_EQ(checked_objects(*m), "33[72,74] 32[64] 33[72] 33[72] 33[74]");

    // A common tag between members leaves the object open, as the dictionary check does.
    MsgPtr c = build("set", {"interface.name=eth0", "@client=me", "interface.mtu=1400"});
    EXPECT_EQ(shape(*c), "33:0 72:1 1:1 74:3");
    EXPECT_EQ(checked_objects(*c), "33[72,74]");

    // A get naming only the object asks for all of it.
    MsgPtr whole = build("get", {"interface"});
    EXPECT_EQ(shape(*whole), "33:0");
    EXPECT_EQ(checked_objects(*whole), "33[]");
}

TEST(RequestWords, BadWordsAreRefusedWithTheReason) {
    struct Case {
        std::string word;
        std::string error;
    };
    const Case cases[] = {
        {"", "empty tag argument"},
        {"router.name=x", "unknown object 'router'"},
        {"interface.colour=red", "object 'interface' has no member 'colour'"},
        {"interface.", "has no member ''"},
        {"@nope=1", "unknown common tag '@nope'"},
        {"interface=eth0", "an object takes no value"},
        {"17.x=u8:1", "members of an unknown object are given by number"},
        {"17.3=1400", "17.3: no type known; give one, e.g. 17.3=u32:1400"},
        {"@200=7", "no type known"},
        {"256.1=u8:1", "unknown object '256'"},
        {"interface.mtu=65536", "'65536' is not a u16"},
        {"interface.enabled=256", "'256' is not a u8"},
        {"interface.speed=4294967296", "'4294967296' is not a u32"},
        {"interface.mtu=-1", "is not a u16"},
        {"interface.mtu=", "is not a u16"},
        {"system.load=fast", "is not a float"},
        {"system.load=1e99", "is not a float"},
        {"interface.mac=0:1", "is not hex bytes"},
        {"interface.mac=abc", "is not hex bytes"},
    };
    for (const Case& c : cases) {
        std::string error = build_error({"system.hostname", c.word});
        EXPECT_NE(error.find(c.error), std::string::npos) << c.word << " -> " << error;
    }
    uint8_t id = 0;
    EXPECT_FALSE(toolkit::parseMessageId("fetch", &id));
    EXPECT_FALSE(toolkit::parseMessageId("256", &id));
}

TEST(RequestCheck, SaysWhyTheDictionaryOrTheDatagramRefuses) {
    std::string error;
    MsgPtr unknownId = toolkit::buildRequest(9, {"system.hostname"}, &error);
    ASSERT_NE(unknownId, nullptr);
    std::vector<std::string> r = toolkit::checkRequest(*unknownId);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], "message id 9 is not in the dictionary");

    // A member sent without its object is no common tag either.
    QMsg stray(0);
    stray.addTag(QTagFactory::createQTag(74, uint16_t{1400}));
    r = toolkit::checkRequest(stray);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], "tag 74 (u16) is not an object and not a common tag");

    // The dictionary accepts it, but the daemon reads a request from one datagram only.
    MsgPtr big = build("set", {"system.location=" + std::string(1500, 'x')});
    r = toolkit::checkRequest(*big);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].find("takes 2 datagrams"), std::string::npos) << r[0];
}

MsgPtr sample_reply() {
    MsgPtr m(new QMsg(1));
    m->setMsgSeq(42);
    m->addTag(QTagFactory::createQTag(1, "zeld-sim"));
    m->addTag(QTagFactory::createQTag(50)); // an object the dictionary lacks
    m->addTag(QTagFactory::createQTag(5, 1.5f, false));
    m->addTag(QTagFactory::createQTag(33));
    m->addTag(QTagFactory::createQTag(72, "eth0"));
    m->addTag(QTagFactory::createQTag(74, uint16_t{1400}));
    m->addTag(QTagFactory::createQTag(3, uint8_t{0})); // common, inside the object
    m->addTag(QTagFactory::createQTag(99, uint32_t{7}));
    m->addTag(QTagFactory::createQTag(77));
    return m;
}

TEST(Show, ReadableLinesForCommonTagsAndBlocksForObjects) {
    MsgPtr m = sample_reply();
    EXPECT_EQ(toolkit::formatMessage(*m), "get (1), seq 42\n"
                                          "@client (1)               string  \"zeld-sim\"\n"
                                          "50  (unknown object)\n"
                                          "    5                     float   1.5\n"
                                          "interface (33)\n"
                                          "    name (72)             string  \"eth0\"\n"
                                          "    mtu (74)              u16     1400\n"
                                          "    99                    u32     7\n"
                                          "    mac (77)              null\n"
                                          "@status (3)               u8      0\n");

    QMsg unknown(200);
    EXPECT_EQ(toolkit::formatMessage(unknown), "message 200, seq 0\n");
}

TEST(Show, JsonKeepsTypesAndEscapesText) {
    MsgPtr m = sample_reply();
    EXPECT_EQ(toolkit::formatMessageJson(*m),
              "{\"id\":1,\"name\":\"get\",\"seq\":42,\"complete\":true,"
              "\"tags\":[{\"id\":1,\"name\":\"client\",\"type\":\"string\",\"value\":\"zeld-sim\"},"
              "{\"id\":3,\"name\":\"status\",\"type\":\"u8\",\"value\":0}],"
              "\"objects\":[{\"id\":50,\"tags\":[{\"id\":5,\"type\":\"float\",\"value\":1.5}]},"
              "{\"id\":33,\"name\":\"interface\",\"tags\":["
              "{\"id\":72,\"name\":\"name\",\"type\":\"string\",\"value\":\"eth0\"},"
              "{\"id\":74,\"name\":\"mtu\",\"type\":\"u16\",\"value\":1400},"
              "{\"id\":99,\"type\":\"u32\",\"value\":7},"
              "{\"id\":77,\"name\":\"mac\",\"type\":\"null\",\"value\":null}]}]}");

    EXPECT_EQ(toolkit::jsonString("a\"b\\c\n\x01 Z\xc3\xbcrich \xff\xc3"),
              "\"a\\\"b\\\\c\\n\\u0001 Z\xc3\xbcrich \\u00ff\\u00c3\"");
    EXPECT_EQ(toolkit::jsonString("\xe0\x80\x80\xf4\x90\x80\x80"),
              "\"\\u00e0\\u0080\\u0080\\u00f4\\u0090\\u0080\\u0080\"");
    EXPECT_EQ(toolkit::quoteText("tab\there \x7f\xed\xa0\x80"),
              "\"tab\\there \\x7f\\xed\\xa0\\x80\"");

    QMsg odd(1);
    odd.addTag(QTagFactory::createQTag(3, std::numeric_limits<float>::quiet_NaN(), false));
    odd.addTag(QTagFactory::createRawQTag(4, 9, reinterpret_cast<const uint8_t*>("\x01\xff"), 2));
    std::string json = toolkit::formatMessageJson(odd);
    EXPECT_NE(json.find("\"type\":\"float\",\"value\":\"nan\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"type\":\"type9\",\"value\":\"01:ff\""), std::string::npos) << json;
}

TEST(Show, APartOfASegmentedMessageIsMarkedIncomplete) {
    MsgPtr m = build("set", {"system.location=" + std::string(1500, 'x'), "system.contact=c"});
    std::vector<Bytes> d = toolkit::serialiseSegments(*m);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_NE(toolkit::formatMessage(*parse(d[0])).find(", incomplete: last segment missing\n"),
              std::string::npos);
    EXPECT_NE(toolkit::formatMessage(*parse(d[1])).find(", incomplete: starts at segment 1\n"),
              std::string::npos);
    EXPECT_NE(toolkit::formatMessageJson(*parse(d[1])).find("\"complete\":false"),
              std::string::npos);
}

TEST(Text, NumbersHexAndFloats) {
    uint32_t v = 0;
    EXPECT_TRUE(toolkit::parseUnsigned("4294967295", 0xFFFFFFFF, &v));
    EXPECT_EQ(v, 4294967295u);
    EXPECT_TRUE(toolkit::parseUnsigned("0xFf", 255, &v));
    EXPECT_EQ(v, 255u);
    for (const char* bad :
         {"", "0x", "4294967296", "99999999999999999999", "-1", "+1", "1 ", "12a", "0x1g"}) {
        EXPECT_FALSE(toolkit::parseUnsigned(bad, 0xFFFFFFFF, &v)) << bad;
    }
    EXPECT_FALSE(toolkit::parseUnsigned("256", 255, &v));

    Bytes b;
    EXPECT_TRUE(toolkit::parseHex("00:11-22 aA.ff", &b));
    EXPECT_EQ(toolkit::toHex(b.data(), b.size(), ':'), "00:11:22:aa:ff");
    EXPECT_EQ(toolkit::toHex(b.data(), b.size()), "001122aaff");
    EXPECT_TRUE(toolkit::parseHex("", &b));
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(toolkit::parseHex("abc", &b));
    EXPECT_FALSE(toolkit::parseHex("a:bc", &b));
    EXPECT_FALSE(toolkit::parseHex("zz", &b));

    EXPECT_EQ(toolkit::formatFloat(0.1f), "0.1");
    EXPECT_EQ(toolkit::formatFloat(1400.5f), "1400.5");
    EXPECT_EQ(toolkit::formatFloat(-0.0f), "-0");
    EXPECT_EQ(toolkit::formatFloat(16777216.0f), "16777216");
    // Every finite float reads back through tamoctl's words, subnormals included.
    for (float f : {1.17549435e-38f, 3.4028235e38f, 0.3f, 123456.79f, 1e-7f, 1e-45f, -1e-38f,
                    std::numeric_limits<float>::denorm_min(), -0.0f}) {
        std::string error;
        MsgPtr m =
            toolkit::buildRequest(0, {"system", "system.load=" + toolkit::formatFloat(f)}, &error);
        ASSERT_NE(m, nullptr) << f << " " << error;
        float back = static_cast<const QTagUInt32*>(m->getTagList()[1])->getFloatValue();
        EXPECT_EQ(std::memcmp(&back, &f, sizeof f), 0) << f;
    }
    EXPECT_EQ(toolkit::formatFloat(-std::numeric_limits<float>::infinity()), "-inf");
}

TEST(Options, GluedSeparateAndEndOfOptions) {
    const char* argv[] = {"prog",        "-p60010", "--host", "h",  "get",
                          "--timeout=2", "-j",      "--",     "-x", "--port="};
    toolkit::OptionReader r(static_cast<int>(std::size(argv)), const_cast<char**>(argv));
    std::string error;
    std::string v;
    uint32_t n = 0;
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.is("-p", "--port"));
    EXPECT_TRUE(r.number(65535, &n, &error));
    EXPECT_EQ(n, 60010u);
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.is("-H", "--host"));
    EXPECT_TRUE(r.value(&v, &error));
    EXPECT_EQ(v, "h");
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.isWord());
    EXPECT_EQ(r.arg(), "get");
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.is(nullptr, "--timeout"));
    EXPECT_FALSE(r.flag(&error));
    EXPECT_TRUE(r.value(&v, &error));
    EXPECT_EQ(v, "2");
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.is("-j", nullptr));
    EXPECT_TRUE(r.flag(&error));
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.isWord());
    EXPECT_EQ(r.arg(), "-x");
    ASSERT_TRUE(r.next());
    EXPECT_TRUE(r.isWord());
    EXPECT_FALSE(r.next());

    const char* missing[] = {"prog", "--count"};
    toolkit::OptionReader m(2, const_cast<char**>(missing));
    ASSERT_TRUE(m.next());
    EXPECT_FALSE(m.number(10, &n, &error));
    EXPECT_EQ(error, "option '--count' needs a value");
}

// A get answered by the stand-in with padding to three segments, serialised in order.
std::vector<Bytes> three_segment_reply(uint8_t seq, bool reverse) {
    MsgPtr req = build("get", {"system.hostname"});
    req->setMsgSeq(seq);
    toolkit::SimOptions o;
    o.segments = 3;
    o.reverse = reverse;
    MsgPtr reply = toolkit::simReply(*req, o);
    EXPECT_NE(reply, nullptr);
    return toolkit::simDatagrams(*reply, o);
}

TEST(Assembler, JoinsSegmentsOfItsSequenceInArrivalOrder) {
    std::vector<Bytes> d = three_segment_reply(5, false);
    ASSERT_EQ(d.size(), 3u);
    std::vector<Bytes> other = three_segment_reply(6, false);

    ReplyAssembler a(5);
    const uint8_t junk[] = {0x51, 0x01, 0x00};
    EXPECT_EQ(a.offer(junk, sizeof junk), ReplyAssembler::Result::Garbage);
    EXPECT_EQ(a.offer(other[0].data(), other[0].size()), ReplyAssembler::Result::Foreign);
    EXPECT_EQ(a.offer(d[0].data(), d[0].size()), ReplyAssembler::Result::Accepted);
    EXPECT_EQ(a.offer(d[0].data(), d[0].size()), ReplyAssembler::Result::Refused);
    EXPECT_FALSE(a.complete());
    EXPECT_EQ(a.offer(d[1].data(), d[1].size()), ReplyAssembler::Result::Accepted);
    EXPECT_EQ(a.offer(d[2].data(), d[2].size()), ReplyAssembler::Result::Complete);
    EXPECT_EQ(a.offer(d[2].data(), d[2].size()), ReplyAssembler::Result::Late);
    EXPECT_EQ(a.segments(), 3u);
    MsgPtr whole = a.take();
    ASSERT_NE(whole, nullptr);
    EXPECT_TRUE(whole->isComplete());
    EXPECT_EQ(shape(*whole), "1:1 3:4 32:0 64:1 4:1 4:1");
}

TEST(Assembler, ALastSegmentCompletesEvenWhenItCannotBeJoined) {
    std::vector<Bytes> d = three_segment_reply(9, false);
    ASSERT_EQ(d.size(), 3u);

    // The middle segment lost: the last one is refused, yet ends the wait.
    ReplyAssembler gap(9);
    EXPECT_EQ(gap.offer(d[0].data(), d[0].size()), ReplyAssembler::Result::Accepted);
    EXPECT_EQ(gap.offer(d[2].data(), d[2].size()), ReplyAssembler::Result::Complete);
    EXPECT_EQ(gap.refused(), 1u);
    MsgPtr part = gap.take();
    EXPECT_FALSE(part->isComplete());
    EXPECT_EQ(shape(*part), "1:1 3:4 32:0 64:1");

    // Any sequence: the first message that parses fixes it.
    ReplyAssembler any(ReplyAssembler::kAnySeq);
    std::vector<Bytes> other = three_segment_reply(100, false);
    EXPECT_EQ(any.offer(other[0].data(), other[0].size()), ReplyAssembler::Result::Accepted);
    EXPECT_EQ(any.offer(d[1].data(), d[1].size()), ReplyAssembler::Result::Foreign);
}

TEST(Sim, AGetIsAnsweredPerObjectWithCannedValues) {
    MsgPtr req =
        build("get", {"system.hostname", "system.load", "@transaction=77", "ntp", "interface.99"});
    req->setMsgSeq(33);
    MsgPtr reply = toolkit::simReply(*req, toolkit::SimOptions{});
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgID(), 1);
    EXPECT_EQ(reply->getMsgSeq(), 33);
    EXPECT_EQ(shape(*reply), "1:1 3:4 2:2 32:0 64:1 68:6 34:0 80:1 81:4 82:3 83:6 84:4 33:0 99:0");
    EXPECT_EQ(value_at(*reply, 0), "\"zeld-sim\"");
    EXPECT_EQ(value_at(*reply, 2), "77");
    EXPECT_EQ(value_at(*reply, 4), "\"sim system.hostname\"");
    EXPECT_EQ(value_at(*reply, 5), "68.5");
    EXPECT_EQ(value_at(*reply, 9), "82");

    MsgPtr set = build("set", {"interface.mtu=1400"});
    set->setMsgSeq(3);
    reply = toolkit::simReply(*set, toolkit::SimOptions{});
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgID(), 0);
    EXPECT_EQ(shape(*reply), "1:1 3:4");
}

TEST(Sim, SegmentsOrderSequenceAndIdFollowTheOptions) {
    MsgPtr req = build("get", {"interface"});
    req->setMsgSeq(0);
    toolkit::SimOptions o;
    o.segments = 4;
    o.seqOffset = -1;
    o.replyId = 7;
    MsgPtr reply = toolkit::simReply(*req, o);
    ASSERT_NE(reply, nullptr);
    std::vector<Bytes> d = toolkit::simDatagrams(*reply, o);
    ASSERT_EQ(d.size(), 4u);
    for (size_t i = 0; i < d.size(); ++i) {
        EXPECT_LE(d[i].size(), 1024u);
        MsgPtr seg = parse(d[i]);
        ASSERT_NE(seg, nullptr);
        EXPECT_EQ(seg->getMsgSeq(), 127);
        EXPECT_EQ(seg->getMsgID(), 7);
        EXPECT_EQ(seg->getSegmentIndex(), i);
        EXPECT_EQ(seg->isLastSegment(), i == 3);
    }

    o.reverse = true;
    o.seqOffset = 130;
    reply = toolkit::simReply(*req, o);
    d = toolkit::simDatagrams(*reply, o);
    ASSERT_EQ(d.size(), 4u);
    std::vector<int> order;
    for (const Bytes& b : d) {
        MsgPtr seg = parse(b);
        EXPECT_EQ(seg->getMsgSeq(), 2);
        order.push_back(seg->getSegmentIndex());
    }
    EXPECT_EQ(order, (std::vector<int>{3, 0, 1, 2}));
}

TEST(Sim, PaddingCountsWhatTheAnswerAlreadyTakes) {
    // An unknown member is echoed, so this answer needs two segments before any padding.
    MsgPtr req = build("get", {"interface.99=str:" + std::string(1500, 'y')});
    for (int wanted : {1, 2, 3}) {
        toolkit::SimOptions o;
        o.segments = wanted;
        MsgPtr reply = toolkit::simReply(*req, o);
        ASSERT_NE(reply, nullptr);
        std::vector<Bytes> d = toolkit::simDatagrams(*reply, o);
        EXPECT_EQ(d.size(), wanted == 1 ? 2u : static_cast<size_t>(wanted)) << wanted;
        for (const Bytes& b : d) {
            EXPECT_LE(b.size(), 1024u);
        }
    }
}

TEST(Sim, KeepalivesPiecesAndGarbage) {
    QMsg keepalive(1);
    keepalive.setMsgSeq(4);
    toolkit::SimOptions o;
    EXPECT_EQ(toolkit::simReply(keepalive, o), nullptr);
    o.answerKeepalives = true;
    MsgPtr answered = toolkit::simReply(keepalive, o);
    ASSERT_NE(answered, nullptr);
    EXPECT_EQ(answered->getMsgSeq(), 4);

    // Pieces of a request too large for one datagram are not answered one by one.
    MsgPtr big = build("set", {"system.location=" + std::string(1500, 'x'), "system.contact=c"});
    std::vector<Bytes> d = toolkit::serialiseSegments(*big);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(toolkit::simReply(*parse(d[0]), o), nullptr);
    EXPECT_EQ(toolkit::simReply(*parse(d[1]), o), nullptr);

    Bytes k = toolkit::serialiseSegments(keepalive).at(0);
    EXPECT_EQ(toolkit::simCountLine(k.data(), k.size()), "1 4 0");
    EXPECT_EQ(toolkit::simCountLine(d[0].data(), d[0].size()), "0 0 2");
    const uint8_t junk[] = {1, 2, 3};
    EXPECT_EQ(toolkit::simCountLine(junk, sizeof junk), "bad 3");
}

TEST(Latency, NearestRankPercentiles) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) {
        samples.push_back(i);
    }
    toolkit::LatencySummary s = toolkit::summariseLatency(samples);
    EXPECT_EQ(s.count, 100u);
    EXPECT_EQ(s.minUs, 1);
    EXPECT_EQ(s.medianUs, 50);
    EXPECT_EQ(s.p99Us, 99);
    EXPECT_EQ(s.maxUs, 100);

    s = toolkit::summariseLatency({7, 3});
    EXPECT_EQ(s.medianUs, 3);
    EXPECT_EQ(s.p99Us, 7);
    s = toolkit::summariseLatency({5});
    EXPECT_EQ(s.medianUs, 5);
    EXPECT_EQ(s.p99Us, 5);
    EXPECT_EQ(toolkit::summariseLatency({}).count, 0u);
    EXPECT_EQ(toolkit::formatLatency(toolkit::summariseLatency({10, 20, 30})),
              "min 10 median 20 p99 30 max 30 (µs, 3 samples)");
}

TEST(Net, EndpointsAndTheLoopbackGuard) {
    std::string error;
    sockaddr_in a{};
    ASSERT_TRUE(toolkit::parseEndpoint("127.0.0.2:60010", "127.0.0.1", &a, &error)) << error;
    EXPECT_EQ(toolkit::formatAddress(a), "127.0.0.2:60010");
    ASSERT_TRUE(toolkit::parseEndpoint("61000", "127.0.0.1", &a, &error)) << error;
    EXPECT_EQ(toolkit::formatAddress(a), "127.0.0.1:61000");
    EXPECT_TRUE(toolkit::isLoopback(a));
    for (const char* bad : {"127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:x", ""}) {
        EXPECT_FALSE(toolkit::parseEndpoint(bad, "127.0.0.1", &a, &error)) << bad;
    }
    for (const char* addr : {"10.0.0.1", "128.0.0.1", "126.255.255.255", "0.0.0.0"}) {
        ASSERT_TRUE(toolkit::resolveIPv4(addr, 1, &a, &error)) << error;
        EXPECT_FALSE(toolkit::isLoopback(a)) << addr;
    }
    ASSERT_TRUE(toolkit::resolveIPv4("127.255.0.1", 1, &a, &error));
    EXPECT_TRUE(toolkit::isLoopback(a));
}

TEST(Loopback, RequestAndSegmentedReplyRoundTrip) {
    std::string error;
    sockaddr_in lo{};
    ASSERT_TRUE(toolkit::resolveIPv4("127.0.0.1", 0, &lo, &error)) << error;
    toolkit::UdpSocket client;
    toolkit::UdpSocket server;
    ASSERT_TRUE(client.open(lo, &error)) << error;
    ASSERT_TRUE(server.open(lo, &error)) << error;
    sockaddr_in serverAddr = server.localAddress();
    EXPECT_TRUE(toolkit::isLoopback(serverAddr));

    MsgPtr req = build("get", {"ntp.server", "ntp.offset"});
    req->setMsgSeq(88);
    for (const Bytes& d : toolkit::serialiseSegments(*req)) {
        ASSERT_TRUE(client.sendTo(d.data(), d.size(), serverAddr));
    }

    std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
    sockaddr_in from{};
    int n = server.receive(buf.data(), buf.size(), 2000, &from);
    ASSERT_GT(n, 0);
    MsgPtr got(QMsg::parseMsg(buf.data(), static_cast<uint16_t>(n)));
    ASSERT_NE(got, nullptr);
    toolkit::SimOptions o;
    o.segments = 2;
    MsgPtr reply = toolkit::simReply(*got, o);
    ASSERT_NE(reply, nullptr);
    for (const Bytes& d : toolkit::simDatagrams(*reply, o)) {
        ASSERT_TRUE(server.sendTo(d.data(), d.size(), from));
    }

    ReplyAssembler a(88);
    for (int i = 0; i < 2 && !a.complete(); ++i) {
        n = client.receive(buf.data(), buf.size(), 2000, nullptr);
        ASSERT_GT(n, 0);
        a.offer(buf.data(), static_cast<size_t>(n));
    }
    ASSERT_TRUE(a.complete());
    MsgPtr whole = a.take();
    EXPECT_EQ(whole->getMsgSeq(), 88);
    EXPECT_EQ(shape(*whole), "1:1 3:4 34:0 80:1 83:6 4:1");
    EXPECT_EQ(client.receive(buf.data(), buf.size(), 0, nullptr), toolkit::UdpSocket::kTimeout);
}

} // namespace
