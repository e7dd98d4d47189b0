// The operator tools' shared code: request words into messages, showing replies, reply
// the upstream stand-in's answers, latency figures, options, and one UDP round trip.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "toolkit.h"
#include "zeldict.h"

namespace {

using toolkit::Bytes;
using toolkit::MsgPtr;

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    for (size_t a = 0, b = 0; b != std::string::npos; a = b + 1) {
        b = line.find(' ', a);
        words.push_back(line.substr(a, b - a));
    }
    return words;
}

// "msgid: id:type id:type ...", the way the wire carries the tags.
std::string shape(const QMsg& msg) {
    std::string s = std::to_string(msg.getMsgID()) + ":";
    for (const QTag* t : msg.getTagList()) {
        s += " " + std::to_string(t->getTagID()) + ":" + std::to_string(t->getTagType());
    }
    return s;
}

// Every tag's value as shown, joined by '|'.
std::string values(const QMsg& msg) {
    std::string s;
    for (const QTag* t : msg.getTagList()) {
        s += "|" + toolkit::formatValue(*t);
    }
    return s.substr(std::min<size_t>(s.size(), 1));
}

// KIND and TAG words, as tamoctl takes them; null with *error set on a bad word.
MsgPtr build(const std::string& line, std::string* error = nullptr) {
    std::vector<std::string> words = split(line);
    uint8_t id = 0;
    std::string e;
    EXPECT_TRUE(toolkit::parseMessageId(words[0], &id)) << line;
    MsgPtr msg = toolkit::buildRequest(
        id, toolkit::transactionWords(id, {words.begin() + 1, words.end()}), error ? error : &e);
    EXPECT_TRUE(msg != nullptr || error != nullptr) << e;
    return msg;
}

MsgPtr parse(const Bytes& d) {
    return MsgPtr(QMsg::parseMsg(d.data(), static_cast<uint16_t>(d.size())));
}

const std::string kLong = "system.location=" + std::string(1500, 'x');

TEST(RequestWords, TagsTypesValuesAndTheCheck) {
    // Words, shape, values and the start of checkRequest's first reason.
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"set interface.name=eth0 interface.mtu=1400 interface.enabled=1 interface.speed=0x3e8 "
         "interface.mac=00:11:22:aa:bb:cc system.load=0.25 @client=me",
         "0: 33:0 72:1 74:2 73:4 76:2 77:5 32:0 68:6 1:1",
         "|\"eth0\"|1400|1|1000|00:11:22:aa:bb:cc||0.25|\"me\"", ""},
        {"get system.hostname interface.mtu", "1: 32:0 64:0 33:0 74:0", "|||", ""},
        {"delete ntp", "4: 34:0", "", ""},
        {"replace logging.level=3", "5: 35:0 88:4", "|3", ""},
        {"confirm 1234", "6: 2:2", "1234", ""},
        {"cancel @transaction=9", "7: 2:2", "9", ""},
        {"get 36", "1: 36:0", "", ""},
        {"8 system.hostname", "8: 32:0 64:0", "", "message id 8 is not in the dictionary"},
        // Numbers and explicit types reach tags the dictionary lacks, which it refuses.
        {"set 17.3=u16:1400 @200=u32:7 interface.74=9 system.hostname=u8:5 "
         "system.contact=str:null system.location=null @4=str:u8:1 @client",
         "0: 17:0 3:3 200:2 33:0 74:2 32:0 64:4 66:1 65:0 4:1 1:0",
         "|1400|7||9||5|\"null\"||\"u8:1\"|", "tag 17 (null) is not an object"},
        // A member after another object or repeated reopens its object; a common tag does not.
        {"set interface.name=eth0 interface.mtu=1400 system.hostname=h interface.name=eth1 "
         "interface.name=eth2 @client=me interface.mtu=1 interface interface.mtu=9000",
         "0: 33:0 72:1 74:2 32:0 64:1 33:0 72:1 33:0 72:1 1:1 74:2 33:0 74:2", "", ""},
        // The dictionary accepts it, but the daemon reads a request from one datagram only.
        {"set " + kLong, "", "",
         "the request takes 2 datagrams; the daemon reads one of at most 1024 bytes"},
    };
    for (const auto& [words, shaped, shown, refusal] : cases) {
        SCOPED_TRACE(words);
        MsgPtr m = build(words);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(shaped.empty() || shape(*m) == shaped) << shape(*m);
        EXPECT_TRUE(shown.empty() || values(*m) == shown) << values(*m);
        std::vector<std::string> r = toolkit::checkRequest(*m);
        EXPECT_EQ(r.empty(), refusal.empty());
        EXPECT_EQ(r.empty() ? "" : r[0].substr(0, refusal.size()), refusal);
    }
    // Bad words, with a part of the error.
    const std::pair<std::string, std::string> bad[] = {
        {"set system.hostname ", "empty tag argument"},
        {"set router.name=x", "unknown object 'router'"},
        {"set interface.colour=red", "object 'interface' has no member 'colour'"},
        {"set @nope=1", "unknown common tag '@nope'"},
        {"set interface=eth0", "an object takes no value"},
        {"set 17.x=u8:1", "members of an unknown object are given by number"},
        {"set 17.3=1400", "17.3: no type known; give one, e.g. 17.3=u32:1400"},
        {"set 256.1=u8:1", "unknown object '256'"},
        {"set logging.remote_port=65536", "'65536' is not a u16"},
        {"set interface.speed=4294967296", "'4294967296' is not a u32"},
        {"set system.load=fast", "is not a float"},
        {"set system.load=1e99", "is not a float"},
        {"set interface.mac=0:1", "is not hex bytes"},
    };
    for (const auto& [words, part] : bad) {
        std::string error;
        EXPECT_EQ(build(words, &error), nullptr) << words;
        EXPECT_NE(error.find(part), std::string::npos) << words << " -> " << error;
    }
    uint8_t id = 0;
    EXPECT_FALSE(toolkit::parseMessageId("fetch", &id) || toolkit::parseMessageId("256", &id));
}

TEST(Show, ReadableAndJson) {
    // An object the dictionary lacks, a member it lacks and a common tag inside an object.
    MsgPtr m = build("get @client=zeld-sim 50.6=float:1.5 interface.name=eth0 interface.mtu=1400 "
                     "@status=0 interface.99=u32:7 interface.mac");
    m->setMsgSeq(42);
    EXPECT_EQ(toolkit::formatMessage(*m),
              "get (1), seq 42\n@client (1)               string  \"zeld-sim\"\n"
              "50  (unknown object)\n    6                     float   1.5\ninterface (33)\n"
              "    name (72)             string  \"eth0\"\n    mtu (74)              u32     1400\n"
              "    99                    u32     7\n    mac (77)              null\n"
              "@status (3)               u8      0\n");
    EXPECT_EQ(toolkit::formatMessageJson(*m),
              "{\"id\":1,\"name\":\"get\",\"seq\":42,\"complete\":true,\"status\":0,"
              "\"tags\":[{\"id\":1,\"name\":\"client\",\"type\":\"string\",\"value\":\"zeld-sim\"},"
              "{\"id\":3,\"name\":\"status\",\"type\":\"u8\",\"value\":0}],"
              "\"objects\":[{\"id\":50,\"tags\":[{\"id\":6,\"type\":\"float\",\"value\":1.5}]},"
              "{\"id\":33,\"name\":\"interface\",\"tags\":["
              "{\"id\":72,\"name\":\"name\",\"type\":\"string\",\"value\":\"eth0\"},"
              "{\"id\":74,\"name\":\"mtu\",\"type\":\"u32\",\"value\":1400},"
              "{\"id\":99,\"type\":\"u32\",\"value\":7},"
              "{\"id\":77,\"name\":\"mac\",\"type\":\"null\",\"value\":null}]}]}");
    QMsg odd(200);
    odd.addTag(QTagFactory::createQTag(3, std::numeric_limits<float>::quiet_NaN(), false));
    odd.addTag(QTagFactory::createRawQTag(4, 9, reinterpret_cast<const uint8_t*>("\x01\xff"), 2));
    EXPECT_EQ(toolkit::formatMessage(odd).substr(0, 19), "message 200, seq 0\n");
    std::string json = toolkit::formatMessageJson(odd);
    EXPECT_NE(json.find("\"type\":\"float\",\"value\":\"nan\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"type\":\"type9\",\"value\":\"01:ff\""), std::string::npos) << json;

    // A part of a segmented message is marked incomplete.
    std::vector<Bytes> d = toolkit::serialiseSegments(*build("set " + kLong + " system.contact=c"));
    ASSERT_EQ(d.size(), 2u);
    const std::string shown = toolkit::formatMessage(*parse(d[0])) +
                              toolkit::formatMessage(*parse(d[1])) +
                              toolkit::formatMessageJson(*parse(d[1]));
    for (const char* mark : {", incomplete: last segment missing\n",
                             ", incomplete: starts at segment 1\n", "\"complete\":false"}) {
        EXPECT_NE(shown.find(mark), std::string::npos) << mark;
    }
}

TEST(Show, StatusAndReasonOfAReply) {
    // The words of a reply; what --json adds for its outcome (tamoctl exits 3 when status != 0).
    const std::pair<const char*, const char*> cases[] = {
        {"get system.hostname @reason=why", ""},
        {"get @status=0", "\"status\":0"},
        {"get @status=u32:0 @reason=fine", "\"status\":0,\"reason\":\"fine\""},
        {"set @reason=str:no\\such @status=1", "\"status\":1,\"reason\":\"no\\\\such\""},
        {"set @status=u16:7 @status=0 @reason=u8:1", "\"status\":7,\"reason\":\"refused\""},
        {"set @status=250", "\"status\":250,\"reason\":\"script failed\""},
        {"set @status=251", "\"status\":251,\"reason\":\"script ran past its budget\""},
        {"set @status=252", "\"status\":252,\"reason\":\"not served\""},
        {"set @status=253", "\"status\":253,\"reason\":\"reply too large\""},
        {"set @status=245", "\"status\":245,\"reason\":\"failed\""},
        {"set @status=220", "\"status\":220,\"reason\":\"error\""},
        {"set @status=u32:256", "\"status\":256,\"reason\":\"error\""},
        {"set @status=str:1", ""},
        // A common tag inside an object is still the message's.
        {"set interface interface.mtu=1 @status=2", "\"status\":2,\"reason\":\"refused\""},
    };
    for (const auto& [words, fields] : cases) {
        MsgPtr m = build(words);
        ASSERT_NE(m, nullptr) << words;
        const std::string json = toolkit::formatMessageJson(*m);
        const size_t from = json.find("\"complete\":true") + 15, to = json.find(",\"tags\":");
        EXPECT_EQ(json.substr(from, to - from), fields[0] ? std::string(",") + fields : "")
            << words;
        EXPECT_EQ(toolkit::replyStatus(*m).failed(),
                  std::strstr(fields, "\"status\":0") == nullptr && fields[0] != '\0')
            << words;
    }
}

TEST(Text, QuotingNumbersHexAndFloats) {
    EXPECT_EQ(toolkit::jsonString("a\"b\\c\n\x01 Z\xc3\xbcrich \xff\xc3"),
              "\"a\\\"b\\\\c\\n\\u0001 Z\xc3\xbcrich \\u00ff\\u00c3\"");
    EXPECT_EQ(toolkit::jsonString("\xe0\x80\x80\xf4\x90\x80\x80"),
              "\"\\u00e0\\u0080\\u0080\\u00f4\\u0090\\u0080\\u0080\"");
    EXPECT_EQ(toolkit::quoteText("tab\there \x7f\xed\xa0\x80"),
              "\"tab\\there \\x7f\\xed\\xa0\\x80\"");

    uint32_t v = 0;
    EXPECT_TRUE(toolkit::parseUnsigned("4294967295", 0xFFFFFFFF, &v) && v == 4294967295u);
    EXPECT_TRUE(toolkit::parseUnsigned("0xFf", 255, &v) && v == 255);
    // 2^64 and 2^64+1 must not wrap to a small number.
    for (const char* bad : {"4294967296", "18446744073709551616", "0x10000000000000001",
                            "99999999999999999999", "", "0x", "-1", "+1", "1 ", "12a", "0x1g"}) {
        EXPECT_FALSE(toolkit::parseUnsigned(bad, 0xFFFFFFFF, &v)) << bad;
    }

    Bytes b;
    EXPECT_FALSE(toolkit::parseHex("abc", &b) || toolkit::parseHex("a:bc", &b) ||
                 toolkit::parseHex("zz", &b));
    EXPECT_TRUE(toolkit::parseHex("", &b) && b.empty() && toolkit::parseHex("00:11-22 aA.ff", &b));
    EXPECT_EQ(toolkit::toHex(b.data(), b.size(), ':') + toolkit::toHex(b.data(), b.size()),
              "00:11:22:aa:ff001122aaff");

    EXPECT_EQ(toolkit::formatFloat(0.1f) + " " + toolkit::formatFloat(16777216.0f) + " " +
                  toolkit::formatFloat(-std::numeric_limits<float>::infinity()),
              "0.1 16777216 -inf");
    // Every finite float reads back through tamoctl's words, subnormals and -0 included.
    for (float f : {1.17549435e-38f, 3.4028235e38f, 0.3f, 123456.79f, 1e-7f, 1e-45f, -1e-38f,
                    std::numeric_limits<float>::denorm_min(), -0.0f}) {
        MsgPtr m = build("set system system.load=" + toolkit::formatFloat(f));
        ASSERT_NE(m, nullptr) << f;
        float back = static_cast<const QTagUInt32*>(m->getTagList()[1])->getFloatValue();
        EXPECT_EQ(std::memcmp(&back, &f, sizeof f), 0) << f;
    }
}

// What readOptions leaves: the words and the calls of --seq in argument order, then every
// destination ("[WORD] --seq=V | p=PORT j=JSON c=COUNT H=HOST"), or its error.
std::string read_options(const std::string& line) {
    std::vector<std::string> args = split("prog " + line);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    uint32_t port = 0, count = 0;
    bool json = false;
    std::string host, trace, error;
    auto seq = [&trace](const std::string& name, const char* v, std::string* e) {
        trace += " " + name + "=" + v;
        *e = "no seq '" + std::string(v) + "'";
        return std::string(v) != "x";
    };
    const std::vector<toolkit::OptionSpec> specs = {
        toolkit::numberOption("port", 'p', &port, 0, 65535),
        toolkit::flagOption("json", 'j', &json),
        toolkit::flagOption("no-json", 0, &json, false),
        toolkit::numberOption("count", 'c', &count, 1, 10000),
        toolkit::callOption("seq", 0, seq),
        toolkit::textOption("host", 'H', &host)};
    bool ok = toolkit::readOptions(
        static_cast<int>(args.size()), argv.data(), specs,
        [&trace](const char* word, std::string*) {
            trace += " [" + std::string(word) + "]";
            return true;
        },
        &error);
    return ok ? trace.substr(std::min<size_t>(trace.size(), 1)) + " | p=" + std::to_string(port) +
                    " j=" + std::to_string(json) + " c=" + std::to_string(count) + " H=" + host
              : error;
}

TEST(Options, GetoptOrderWordsAndErrors) {
    const std::pair<const char*, const char*> cases[] = {
        {"-p60010 --port 1 get --seq=2 -j -- -x --port=",
         "[get] --seq=2 [-x] [--port=] | p=1 j=1 c=0 H="},
        {"-jp 7 - --co 3 -Hh --host=", "[-] | p=7 j=1 c=3 H="},
        {"-j --no-json --count 0x10 --host h", " | p=0 j=0 c=16 H=h"},
        {"get --count", "option '--count' needs a value"},
        {"--json=1", "option '--json' takes no value"},
        {"--bogus=1", "unknown option '--bogus=1'"},
        {"-x", "unknown option '-x'"},
        {"-p 65536", "bad value '65536' for -p (a number 0-65535)"},
        {"--count 0", "bad value '0' for --count (a number 1-10000)"},
        {"--seq 1 --seq x", "no seq 'x'"},
    };
    for (const auto& [line, expected] : cases) {
        EXPECT_EQ(read_options(line), expected) << line;
    }
}

// Each datagram of the stand-in's answer to request as "SEQ/ID/INDEX", with "L" on a last one.
std::string sim_datagrams(const QMsg& request, const toolkit::SimOptions& o) {
    MsgPtr reply = toolkit::simReply(request, o);
    if (!reply) {
        return "none";
    }
    std::string s;
    for (const Bytes& b : toolkit::simDatagrams(*reply, o)) {
        MsgPtr seg = parse(b);
        EXPECT_LE(b.size(), 1024u);
        s += s.empty() ? "" : " ";
        s += !seg ? "junk"
                  : std::to_string(seg->getMsgSeq()) + "/" + std::to_string(seg->getMsgID()) + "/" +
                        std::to_string(seg->getSegmentIndex()) + (seg->isLastSegment() ? "L" : "");
    }
    return s;
}

TEST(Sim, CannedAnswersAndWhatTheOptionsChange) {
    MsgPtr req = build("get system.hostname system.load @transaction=77 ntp interface.99");
    MsgPtr reply = toolkit::simReply(*req, toolkit::SimOptions{});
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(shape(*reply),
              "1: 1:1 3:4 2:2 32:0 64:1 68:6 34:0 80:1 81:4 82:3 83:6 84:4 33:0 99:0");
    EXPECT_EQ(
        values(*reply),
        "\"zeld-sim\"|0|77||\"sim system.hostname\"|68.5||\"sim ntp.server\"|81|82|83.5|84||");
    EXPECT_EQ(shape(*toolkit::simReply(*build("set interface.mtu=1400"), {})), "0: 1:1 3:4");

    QMsg keepalive(1);
    keepalive.setMsgSeq(4);
    // An unknown member is echoed, so this answer needs two segments before any padding.
    MsgPtr big = build("get interface.99=str:" + std::string(1500, 'y'));
    std::vector<Bytes> pieces =
        toolkit::serialiseSegments(*build("set " + kLong + " system.contact=c"));
    ASSERT_EQ(pieces.size(), 2u);
    MsgPtr piece = parse(pieces[0]);
    ASSERT_NE(piece, nullptr);
    // Options: segments, reverse, seqOffset, replyId, answerKeepalives, noise.
    const std::tuple<const QMsg&, toolkit::SimOptions, const char*> cases[] = {
        {*req, {4, false, -1, 7, false}, "127/7/0 127/7/1 127/7/2 127/7/3L"},
        {*req, {3, true, 130, -1, false}, "2/1/2L 2/1/0 2/1/1"},
        {*big, {1, false, 0, -1, false}, "0/1/0 0/1/1L"},
        {*big, {3, false, 0, -1, false}, "0/1/0 0/1/1 0/1/2L"},
        {keepalive, {}, "none"},
        {keepalive, {1, false, 0, -1, true}, "4/1/0L"},
        {keepalive,
         {1, false, 0, -1, true, true},
         "127/1/0L 0/1/0L 1/1/0L 2/1/0L 3/1/0L junk 4/1/0L 4/1/0L"},
        // Pieces of a request too large for one datagram are not answered one by one.
        {*piece, {}, "none"},
    };
    for (const auto& [request, options, datagrams] : cases) {
        EXPECT_EQ(sim_datagrams(request, options), datagrams);
    }

    Bytes k = toolkit::serialiseSegments(keepalive).at(0);
    EXPECT_EQ(toolkit::simCountLine(k.data(), k.size()), "1 4 0");
    EXPECT_EQ(toolkit::simCountLine(pieces[0].data(), pieces[0].size()), "0 0 2");
    EXPECT_EQ(toolkit::simCountLine(k.data(), 3), "bad 3");
}

// --confirm's tags, describe's rendering of a reply and listen's joining of unasked messages.
TEST(Control, ConfirmDescribeAndListen) {
    const std::tuple<std::string, uint32_t, std::string, uint32_t> confirms[] = {
        {"set interface.mtu=1400", 30, "0: 33:0 74:2 5:2 2:2", 99},
        {"delete ntp @transaction=7", 0, "4: 34:0 2:2 5:2", 7},
        {"replace logging.level=3 @transaction=u8:4", 5, "5: 35:0 88:4 2:4 5:2", 4},
        {"set system.contact=c @transaction=0", 5, "0: 32:0 66:1 2:2", 0},
    };
    for (const auto& [words, seconds, tags, transaction] : confirms) {
        MsgPtr m = build(words);
        EXPECT_EQ(toolkit::addConfirm(m.get(), seconds, 99), transaction) << words;
        EXPECT_EQ(shape(*m), tags);
        EXPECT_EQ(toolkit::requestTransaction(*m), transaction);
    }
    EXPECT_EQ(toolkit::withTransactionJson(toolkit::formatMessageJson(*build("delete ntp")), 7)
                  .substr(0, 33),
              "{\"transaction\":7,\"id\":4,\"name\":\"d");
    std::string kinds;
    for (const char* k : {"set", "get", "delete", "replace", "notify", "confirm", "cancel"}) {
        uint8_t id = 0;
        ASSERT_TRUE(toolkit::parseMessageId(k, &id));
        kinds += std::to_string(toolkit::takesConfirm(id)) +
                 std::to_string(toolkit::namesTransaction(id)) + " ";
    }
    EXPECT_EQ(kinds, "10 00 10 10 00 01 01 ");

    const std::string hash = std::to_string(dictionaryHash(*ZEL::DictDef));
    const std::string reply = "get @status=0 tamo tamo.version=1.2 tamo.served=20:21:22:32 "
                              "tamo.writable=21 tamo.features=0x25 tamo.uptime=12";
    const std::tuple<std::string, std::string> describes[] = {
        {reply + " tamo.dictionary=" + hash + " tamo.pending=77",
         "version     1.2\ndictionary  0x69b58e84 (as tamoctl's)\n"
         "served      system (32), interface (33), ntp (34), 50\nwritable    interface (33)\n"
         "features    replay-cache, notification-sinks, bit 5\nuptime      12 s\n"
         "pending     transaction 77\n"},
        {"get tamo tamo.dictionary=1",
         "version     unknown\ndictionary  0x00000001 (tamoctl has 0x69b58e84)\n"
         "served      none\nwritable    none\nfeatures    none\nuptime      0 s\n"
         "pending     none\n"},
    };
    for (const auto& [words, shown] : describes) {
        EXPECT_EQ(toolkit::formatDaemonInfo(toolkit::readDaemonInfo(*build(words))), shown);
    }
    EXPECT_EQ(toolkit::formatDaemonInfoJson(toolkit::readDaemonInfo(*build(reply))),
              "{\"version\":\"1.2\",\"dictionary\":0,\"dictionary_matches\":false,"
              "\"served\":[\"system\",\"interface\",\"ntp\",\"50\"],\"writable\":[\"interface\"],"
              "\"features\":[\"replay-cache\",\"notification-sinks\",\"bit 5\"],\"uptime\":12,"
              "\"pending\":0}");
    EXPECT_FALSE(toolkit::readDaemonInfo(*build("get system")).found);

    // Two senders use one sequence number; A's notification comes in two segments around B's,
    // a garbage datagram and a second segment from C that has no first (shown, marked incomplete).
    MsgPtr note = build("notify system.contact=c " + kLong);
    note->setMsgSeq(9);
    std::vector<Bytes> a = toolkit::serialiseSegments(*note);
    ASSERT_EQ(a.size(), 2u);
    MsgPtr small = build("notify @client=b");
    small->setMsgSeq(9);
    const Bytes b = toolkit::serialiseSegments(*small).at(0);
    const sockaddr_in from[] = {toolkit::loopbackAddress(1), toolkit::loopbackAddress(2),
                                toolkit::loopbackAddress(3)};
    const std::tuple<int, Bytes, std::string> arrivals[] = {
        {0, a[0], ""},
        {1, b, "notify (3), seq 9\n@client (1)               string  \"b\"\n"},
        {1, {0x51, 0x01}, ""},
        {2, a[1], toolkit::formatMessage(*parse(a[1]))},
        {0, a[1], toolkit::formatMessage(*note)},
    };
    toolkit::MessageJoiner joiner;
    for (const auto& [sender, datagram, shown] : arrivals) {
        MsgPtr m = joiner.offer(from[sender], datagram.data(), datagram.size());
        EXPECT_EQ(m ? toolkit::formatMessage(*m) : "", shown) << sender;
    }
    EXPECT_EQ(joiner.pending(), 0u);
}

TEST(Net, EndpointsTheLoopbackGuardAndLatency) {
    std::vector<double> hundred(100);
    std::iota(hundred.rbegin(), hundred.rend(), 1.0);
    EXPECT_EQ(toolkit::formatLatency(toolkit::summariseLatency(hundred)),
              "min 1 median 50 p99 99 max 100 (µs, 100 samples)");
    EXPECT_EQ(toolkit::formatLatency(toolkit::summariseLatency({7, 3})),
              "min 3 median 3 p99 7 max 7 (µs, 2 samples)");
    EXPECT_EQ(toolkit::summariseLatency({}).count, 0u);

    std::string error;
    sockaddr_in a{};
    for (const auto& [text, shown] :
         std::vector<std::pair<std::string, std::string>>{{"127.0.0.2:60010", "127.0.0.2:60010"},
                                                          {"61000", "127.0.0.1:61000"},
                                                          {"127.0.0.1:65536", ""},
                                                          {"127.0.0.1:x", ""}}) {
        bool ok = toolkit::parseEndpoint(text, "127.0.0.1", &a, &error);
        EXPECT_EQ(ok ? toolkit::formatAddress(a) : "", shown) << text;
    }
    for (const char* addr : {"127.255.0.1", "10.0.0.1", "128.0.0.1", "126.255.255.255"}) {
        ASSERT_TRUE(toolkit::resolveIPv4(addr, 1, &a, &error)) << error;
        EXPECT_EQ(toolkit::isLoopback(a), addr[2] == '7') << addr;
    }
}

} // namespace
