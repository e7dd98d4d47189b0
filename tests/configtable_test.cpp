#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>

#include "configtable.h"
#include "qmsg.h"
#include "support.h"
#include "zeldict.h"

namespace {

using namespace std::string_literals;
using T = cTableType;

std::string text(const T& v) {
    return static_cast<std::string>(v);
}

// Each value read as int, float, bool and text. An unsigned value keeps its bit pattern as an
// int; text and float give the value itself. Floats convert to ints saturating, NaN to 0.
TEST(TableValue, ConversionsByKind) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::nanf("");
    const std::tuple<T, int, float, bool, std::string> rows[] = {
        {T(), -1, -1.0f, false, "nil"},
        {T(""s), -1, -1.0f, false, ""},
        {T("42"s), -1, -1.0f, false, "42"},
        {T(true), 1, 1.0f, true, "1"},
        {T(false), 0, 0.0f, false, "0"},
        {T(-5), -5, -5.0f, true, "-5"},
        {T(0), 0, 0.0f, false, "0"},
        {T(std::numeric_limits<int>::min()), INT32_MIN, -2147483648.0f, true, "-2147483648"},
        {T((1 << 24) + 1), (1 << 24) + 1, 16777216.0f, true, "16777217"},
        {T::u32(4000000000u), -294967296, 4.0e9f, true, "4000000000"},
        {T::bytes("a\0b"s), -1, -1.0f, false, "a\0b"s},
        {T(2.9f), 2, 2.9f, true, "2.9"},
        {T(-2.9f), -2, -2.9f, true, "-2.9"},
        {T(123456.7f), 123456, 123456.7f, true, "123457"},
        {T(-0.0f), 0, -0.0f, false, "-0"},
        {T(3.0e9f), INT32_MAX, 3.0e9f, true, "3e+09"},
        {T(-3.0e9f), INT32_MIN, -3.0e9f, true, "-3e+09"},
        {T(2147483648.0f), INT32_MAX, 2147483648.0f, true, "2.14748e+09"},
        {T(inf), INT32_MAX, inf, true, "inf"},
        {T(-inf), INT32_MIN, -inf, true, "-inf"},
        {T(nan), 0, nan, true, "nan"},
    };
    for (const auto& [v, i, want_f, b, s] : rows) {
        SCOPED_TRACE(s);
        const float f = static_cast<float>(v);
        EXPECT_EQ(static_cast<int>(v), i);
        EXPECT_TRUE(std::isnan(want_f) ? std::isnan(f) : f == want_f);
        EXPECT_EQ(static_cast<bool>(v), b);
        EXPECT_EQ(text(v), s);
    }
    EXPECT_EQ(static_cast<cConfigTable*>(T()), nullptr);
    EXPECT_TRUE(T::u32(4000000000u) == T(-294967296));
}

// Nil equals false, -1, "nil", -1.0 and a null reference, both ways.
TEST(TableValue, EqualityFollowsTheLeftOperand) {
    cConfigTable a, b;
    const T null_ref(static_cast<cConfigTable*>(nullptr));
    const T nan(std::nanf(""));
    const std::tuple<T, T, bool> rows[] = {
        {T(7), T("7"s), false},     {T("7"s), T(7), true},      {T(1), T(1.5f), true},
        {T(1.5f), T(1), false},     {T(true), T(5), true},      {T(5), T(true), false},
        {T("1"s), T(true), true},   {T("1.5"s), T(1.5f), true}, {nan, nan, false},
        {T(0.0f), T(-0.0f), true},  {T(3), T(), false},         {T(-1), T("x"s), true},
        {T(-1.0f), T(), true},      {T(-1), null_ref, true},    {null_ref, T(3), true},
        {null_ref, null_ref, true}, {null_ref, T(&a), false},   {T(&a), T(&a), true},
        {T(&a), T(&b), false},      {T(&a), T(1), false}};
    for (const auto& [l, r, equal] : rows) {
        EXPECT_EQ(l == r, equal) << text(l) << " == " << text(r);
    }
    for (const T& v : {T(false), T(-1), T("nil"s), T(-1.0f), null_ref}) {
        EXPECT_TRUE(T() == v && v == T()) << text(v);
    }
}

// Entries keep their insertion order, duplicates included; a missing key reads as the number -1.
// A text probe compares keys as text; a number probe turns text keys into -1.
TEST(ConfigTable, InsertionOrderDuplicatesAndIteration) {
    cConfigTable t;
    EXPECT_EQ(value_text(t.get(T(3))) + value_text(t.get(T())), "-1/2-1/2");
    t.dump_table();
    t.insert(std::string("k"), std::string("v"));
    t.clear();
    t.insert(1, std::string("A"));
    t.insert(1, std::string("B"));
    t.insert(std::string("5"), 50);
    t.insert(5, 55);
    EXPECT_EQ(table_text(&t), "1=A/3 1=B/3 5=50/2 5=55/2 ");
    std::string got; // probes 1, "5", 5, -1 and nil
    for (const T& k : {T(1), T("5"s), T(5), T(-1), T()}) {
        got += value_text(t.get(k)) + " ";
    }
    EXPECT_EQ(got, "A/3 50/2 55/2 50/2 A/3 ");
}

struct CountedTable : cConfigTable {
    explicit CountedTable(int* deaths) : mDeaths(deaths) {}
    ~CountedTable() override { ++*mDeaths; }
    int* mDeaths;
};

TEST(ConfigTable, OwnsNestedValueTablesButNotKeyTables) {
    int deaths = 0;
    CountedTable* key_table = new CountedTable(&deaths);
    auto* outer = new CountedTable(&deaths);
    auto* middle = new CountedTable(&deaths);
    middle->insert(0, new CountedTable(&deaths));
    outer->insert(T("m"s), middle);
    outer->insert(T(key_table), T(1));
    outer->insert(7, T(static_cast<cConfigTable*>(nullptr)));
    outer->dump_table();
    delete static_cast<cConfigTable*>(outer);
    EXPECT_EQ(deaths, 3);
    delete key_table;
    EXPECT_EQ(deaths, 4);
}

// A small dictionary for the codec cases: common tags 0, 2, 9 and 12, object 7 with members.
const QuorrelTagDef kCommon[] = {{0, QT_UINT32, "zero", ""},
                                 {2, QT_UINT8, "two", ""},
                                 {9, QT_STRING, "nine", ""},
                                 {12, QT_BYTES, "blob", ""}};
const QuorrelTagDef kMembers[] = {{3, QT_UINT16, "three", ""},
                                  {4, QT_UINT32, "four", ""},
                                  {5, QT_FLOAT, "five", ""},
                                  {6, QT_STRING, "six", ""}};
const QuorrelObjectDef kObjects[] = {{7, "seven", kMembers, 4, ""}};
const QuorrelMsgDef kMsgs[] = {{1, "get", ""}};
const QuorrelDictDef kDict = {"test", kMsgs, 1, kCommon, 4, kObjects, 1};

// Tags of a message as "id:type=value" words, read from the wire data: numbers big-endian, a
// text up to its NUL, a byte string as its length.
std::string tags_of(const QMsg& msg) {
    std::string s;
    for (const QTag* t : msg.getTagList()) {
        const std::string raw(reinterpret_cast<const char*>(t->getRawData()), t->getDataLength());
        uint32_t n = 0;
        for (char c : raw) {
            n = n << 8 | static_cast<uint8_t>(c);
        }
        float f;
        std::memcpy(&f, &n, sizeof f);
        const unsigned type = t->getTagType();
        const std::string value = type == QT_NULL     ? "null"
                                  : type == QT_STRING ? "s=" + std::string(raw.c_str())
                                  : type == QT_BYTES  ? "b=" + std::to_string(raw.size())
                                  : type == QT_FLOAT  ? "f=" + text(T(f))
                                  : type == QT_UINT8  ? "u8=" + std::to_string(n)
                                  : type == QT_UINT16 ? "u16=" + std::to_string(n)
                                  : type == QT_UINT32 ? "u32=" + std::to_string(n)
                                                      : "type" + std::to_string(type);
        s += std::to_string(t->getTagID()) + ":" + value + " ";
    }
    return s;
}

// The request table of a message in the test dictionary (empty, and a failure, if it fails).
std::unique_ptr<cConfigTable> table_of(QMsg* msg) {
    std::unique_ptr<QuorrelMessage> q(QuorrelMessage::parseQMsg(&kDict, msg));
    EXPECT_NE(q, nullptr);
    return q ? std::make_unique<cConfigTable>(q.get()) : std::make_unique<cConfigTable>();
}

TEST(Codec, RequestTableFromAMessage) {
    using F = QTagFactory;
    const uint8_t blob[] = {'x', 0, 'y'};
    const char with_nul[] = {'a', 'b', '\0', 'c', 0};
    QMsg msg(1);
    for (QTag* tag :
         {F::createQTag(0, uint32_t{0xffffffffu}), F::createQTag(2, uint8_t{5}),
          F::createQTag(9, "ab"), F::createQTag(12, blob, 3), F::createQTag(7),
          F::createQTag(3, uint16_t{40000}), F::createQTag(5, 2.5f, false), F::createQTag(6),
          F::createQTag(7),
          F::createRawQTag(6, QT_STRING, reinterpret_cast<const uint8_t*>(with_nul), 4)}) {
        msg.addTag(tag);
    }
    std::unique_ptr<cConfigTable> t = table_of(&msg);
    // A tag of a type unknown to the table adds nothing.
    const uint8_t nines[] = {9, 9};
    std::unique_ptr<QTag> odd(QTagFactory::createRawQTag(4, 9, nines, 2));
    ASSERT_NE(odd, nullptr);
    t->insert(odd.get());
    // A common tag 0 and the first object both sit under key 0, the tag first. A u32 keeps its
    // unsigned value, a byte string every byte; a text ends at its NUL.
    EXPECT_EQ(table_text(t.get()),
              "0=4294967295/2u 2=5/2 9=ab/3 12=x\0y/3b 0={3=40000/2 5=2.5/5 6=nil/0 "
              "objid=7/2 } 1={6=ab/3 objid=7/2 } "s);

    // The longest text and byte string keep every byte.
    for (size_t len : {65534u, 65535u}) {
        QMsg big(1);
        std::string data(len, 'x');
        big.addTag(QTagFactory::createQTag(9, data.c_str()));
        data[7] = '\0';
        big.addTag(QTagFactory::createQTag(12, reinterpret_cast<const uint8_t*>(data.data()),
                                           static_cast<uint16_t>(len)));
        std::unique_ptr<cConfigTable> bt = table_of(&big);
        EXPECT_EQ(text(bt->get(T(9))), std::string(len, 'x')) << len;
        EXPECT_EQ(text(bt->get(T(12))), data) << len;
    }
}

// The reply of one entry, key = value, at message level (object 0) or in an object with that
// objid: its tags after the object's id tag, or the fault in describeFault's words. A reply
// given must pass the dictionary check.
std::string reply_of(int object, const T& key, const T& value) {
    cConfigTable t;
    cConfigTable* at = &t;
    if (object != 0) {
        at = new cConfigTable();
        at->insert(std::string("objid"), object);
        t.insert(100, at);
    }
    at->insert(key, value);
    cConfigTable::sReplyInfo info;
    std::unique_ptr<QMsg> msg(t.toQMsg(1, &info));
    char why[160];
    if (msg == nullptr) {
        EXPECT_EQ(info.fault, cConfigTable::sReplyInfo::FAULT_DICTIONARY);
        return cConfigTable::describeFault(info, why, sizeof why);
    }
    std::unique_ptr<QuorrelMessage> checked(QuorrelMessage::parseQMsg(ZEL::DictDef, msg.get()));
    EXPECT_NE(checked, nullptr);
    std::string tags = tags_of(*msg);
    return object != 0 ? tags.substr(tags.find(' ') + 1) : tags;
}

TEST(Codec, RepliesTakeTheDictionarysTypes) {
    const std::string junk = "\n\"\\" + std::string(40, 'x');
    const std::tuple<int, T, T, const char*> cases[] = {
        {0, T(3), T(255), "3:u8=255 "},
        {0, T(3), T(256), "@status (3) is u8, given 256"},
        {0, T(3), T(-1), "@status (3) is u8, given -1"},
        {0, T(3), T(true), "3:u8=1 "},
        {0, T(3), T(1.5f), "@status (3) is u8, given 1.5"},
        {0, T(3), T("0"s), "@status (3) is u8, given \"0\""},
        {0, T(3), T(), "@status (3) is u8, given nil"},
        {0, T(2), T(-294967296), "@transaction (2) is u32, given -294967296"},
        {0, T(2), T(false), "2:u32=0 "},
        {0, T(4), T("a\0b"s), "4:s=a "},
        {0, T(4), T(7), "@reason (4) is string, given 7"},
        {0, T(9), T(1), "tag 9 is not a common tag, given 1"},
        {0, T(259), T(1), "tag 259 is not a common tag, given 1"},
        {0, T(74), T(1), "tag 74 is not a common tag, given 1"},
        {0, T(-1), T(1), ""},
        {0, T("objid"s), T(1), ""},
        {35, T(90), T(65535), "90:u16=65535 "},
        {35, T(90), T(65536), "logging.remote_port (90) is u16, given 65536"},
        {33, T(74), T(), "74:null "},
        {33, T(77), T::bytes("\x02\0\0\0\0\x01"s), "77:b=6 "},
        {33, T(77), T("\x02\0"s), "77:b=2 "},
        {33, T(72), T(true), "interface.name (72) is string, given true"},
        {33, T(80), T("x"s), "tag 80 is not a member of interface, given \"x\""},
        {33, T(3), T(0), "tag 3 is not a member of interface, given 0"},
        {32, T(68), T(0.25f), "68:f=0.25 "},
        {32, T(68), T::u32(4000000000u), "68:f=4e+09 "},
        {32, T(68), T(true), "system.load (68) is float, given true"},
        {32, T(67), T(2.5f), "system.uptime (67) is u32, given 2.5"},
        {35, T(90), T(junk),
         "logging.remote_port (90) is u16, given "
         "\"\\x0a\\x22\\x5cxxxxxxxxxxxxxxxxxxxxxx\"..."},
    };
    for (const auto& [object, key, value, want] : cases) {
        EXPECT_EQ(reply_of(object, key, value), want)
            << object << "." << text(key) << " = " << text(value);
    }
}

// Objects follow their id tags depth-first, at message level only; a null table is left out.
TEST(Codec, NestedTablesFlattenBehindTheirObjectIds) {
    auto object = [](const T& objid) {
        auto* o = new cConfigTable();
        o->insert(T("objid"s), objid);
        return o;
    };
    cConfigTable t;
    t.insert(3, 0);
    cConfigTable* iface = object(T(33));
    iface->insert(72, "eth0\0junk"s);
    iface->insert(T(77), T::bytes("\x02\0\0\0\0\x01"s));
    t.insert(100, iface);
    t.insert(101, T(static_cast<cConfigTable*>(nullptr)));
    t.insert(102, object(T(34)));
    t.insert(2, 7);
    std::unique_ptr<QMsg> msg(t.toQMsg(1));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(tags_of(*msg), "3:u8=0 33:null 72:s=eth0 77:b=6 34:null 2:u32=7 ");
    std::string mac(reinterpret_cast<const char*>(msg->getTagList()[3]->getRawData()), 6);
    EXPECT_EQ(mac, "\x02\0\0\0\0\x01"s);

    // An object id not in the dictionary, a text one and none at all: the id in the fault.
    const std::pair<T, int> faults[] = {{T(40), 40}, {T(263), 263}, {T("seven"s), -1}, {T(), -1}};
    for (const auto& [objid, id] : faults) {
        cConfigTable bad;
        bad.insert(100, objid.getType() == T::TTE_NIL ? new cConfigTable() : object(objid));
        cConfigTable::sReplyInfo info;
        EXPECT_EQ(bad.toQMsg(1, &info), nullptr);
        char why[96];
        EXPECT_EQ(cConfigTable::describeFault(info, why, sizeof why),
                  "object id " + std::to_string(id) + " is not in the dictionary");
    }
    cConfigTable inner;
    cConfigTable* outer = object(T(33));
    outer->insert(101, object(T(34)));
    inner.insert(100, outer);
    cConfigTable::sReplyInfo info;
    EXPECT_EQ(inner.toQMsg(1, &info), nullptr);
    EXPECT_EQ(info.objectId, 33);
    EXPECT_EQ(info.tagId, 34);
}

TEST(Codec, RepliesBeyondTheMessageLimitsAreRefusedWhole) {
    // what, top-level reason texts, bytes of each, interface objects with a byte string of that
    // length; whether the reply is given, its tags and bytes.
    const std::tuple<const char*, int, size_t, int, bool, uint32_t, uint64_t> cases[] = {
        {"longest text", 1, 65535, 0, true, 1, 65535},
        {"text over 65535 bytes", 2, 65536, 0, false, 2, 131072},
        {"byte string over 65535 bytes", 0, 65536, 1, false, 2, 65536},
        {"4096 tags", 4096, 0, 0, true, 4096, 0},
        {"4097 tags", 4097, 0, 0, false, 4097, 0},
        {"256 KiB of data", 4, 65535, 0, true, 4, 262140},
        {"over 256 KiB of data", 5, 65535, 0, false, 5, 327675},
    };
    for (const auto& [what, texts, length, macs, whole, tags, bytes] : cases) {
        SCOPED_TRACE(what);
        cConfigTable t;
        for (int i = 0; i < texts; ++i) {
            t.insert(4, std::string(length, 'x'));
        }
        for (int i = 0; i < macs; ++i) {
            auto* iface = new cConfigTable();
            iface->insert(77, std::string(length, '\0'));
            iface->insert(std::string("objid"), 33);
            t.insert(100 + i, iface);
        }
        cConfigTable::sReplyInfo size;
        std::unique_ptr<QMsg> msg(t.toQMsg(1, &size));
        EXPECT_EQ(msg != nullptr, whole);
        EXPECT_EQ(size.fault, whole ? size.FAULT_NONE : size.FAULT_TOO_LARGE);
        EXPECT_EQ(size.tags, tags);
        EXPECT_EQ(size.bytes, bytes);
        EXPECT_EQ(msg ? msg->getTagList().size() : tags, tags);
    }
}

} // namespace
