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
    struct Row {
        T v;
        int i;
        float f;
        bool b;
        std::string s;
    } rows[] = {
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
        {T::u32(5), 5, 5.0f, true, "5"},
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
    for (const Row& r : rows) {
        SCOPED_TRACE(r.s);
        const float f = static_cast<float>(r.v);
        EXPECT_EQ(static_cast<int>(r.v), r.i);
        EXPECT_TRUE(std::isnan(r.f) ? std::isnan(f) : f == r.f);
        EXPECT_EQ(static_cast<bool>(r.v), r.b);
        EXPECT_EQ(text(r.v), r.s);
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
    const std::pair<T, const char*> rows[] = {{T(1), "A/3"},
                                              {T(std::string("5")), "50/2"},
                                              {T(5), "55/2"},
                                              {T(-1), "50/2"},
                                              {T(), "A/3"}};
    for (const auto& r : rows) {
        EXPECT_EQ(value_text(t.get(r.first)), r.second) << text(r.first);
    }
}

class CountedTable : public cConfigTable {
public:
    explicit CountedTable(int* deaths) : mDeaths(deaths) {}
    ~CountedTable() override { ++*mDeaths; }

private:
    int* mDeaths;
};

TEST(ConfigTable, OwnsNestedValueTablesButNotKeyTables) {
    int deaths = 0;
    CountedTable* key_table = new CountedTable(&deaths);
    {
        auto* outer = new CountedTable(&deaths);
        auto* middle = new CountedTable(&deaths);
        middle->insert(0, new CountedTable(&deaths));
        outer->insert(T(std::string("m")), middle);
        outer->insert(T(key_table), T(1));
        outer->insert(7, T(static_cast<cConfigTable*>(nullptr)));
        outer->dump_table();
        delete static_cast<cConfigTable*>(outer);
    }
    EXPECT_EQ(deaths, 3);
    delete key_table;
    EXPECT_EQ(deaths, 4);
}

} // namespace

namespace {

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
                                  : type == QT_UINT32 ? "u32=" + std::to_string(n)
                                                      : "type" + std::to_string(type);
        s += std::to_string(t->getTagID()) + ":" + value + " ";
    }
    return s;
}

TEST(Codec, RequestTableFromAMessage) {
    QMsg msg(1);
    msg.addTag(QTagFactory::createQTag(0, uint32_t{0xffffffffu}));
    msg.addTag(QTagFactory::createQTag(2, uint8_t{5}));
    msg.addTag(QTagFactory::createQTag(9, "ab"));
    const uint8_t blob[] = {'x', 0, 'y'};
    msg.addTag(QTagFactory::createQTag(12, blob, 3));
    msg.addTag(QTagFactory::createQTag(7));
    msg.addTag(QTagFactory::createQTag(3, uint16_t{40000}));
    msg.addTag(QTagFactory::createQTag(5, 2.5f, false));
    msg.addTag(QTagFactory::createQTag(6));
    msg.addTag(QTagFactory::createQTag(7));
    const char with_nul[] = {'a', 'b', '\0', 'c', 0};
    msg.addTag(
        QTagFactory::createRawQTag(6, QT_STRING, reinterpret_cast<const uint8_t*>(with_nul), 4));
    QuorrelMessage* q = QuorrelMessage::parseQMsg(&kDict, &msg);
    ASSERT_NE(q, nullptr);
    cConfigTable t(q);
    delete q;
    // A tag of a type unknown to the table adds nothing.
    const uint8_t nines[] = {9, 9};
    std::unique_ptr<QTag> odd(QTagFactory::createRawQTag(4, 9, nines, 2));
    ASSERT_NE(odd, nullptr);
    t.insert(odd.get());
    // A common tag 0 and the first object both sit under key 0, the tag first. A u32 keeps its
    // unsigned value, a byte string every byte; a text ends at its NUL.
    EXPECT_EQ(table_text(&t),
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
        QuorrelMessage* bq = QuorrelMessage::parseQMsg(&kDict, &big);
        ASSERT_NE(bq, nullptr);
        cConfigTable bt(bq);
        delete bq;
        EXPECT_EQ(text(bt.get(T(9))), std::string(len, 'x')) << len;
        EXPECT_EQ(text(bt.get(T(12))), data) << len;
    }
}

TEST(Codec, ReplyTagsFromKeysAndValues) {
    cConfigTable t;
    t.insert(256, 1);
    t.insert(300, std::string("x"));
    t.insert(T(2.7f), T(true));
    t.insert(T(-0.5f), T(false));
    t.insert(T(-1.5f), T(1));
    t.insert(T(true), T(1.5f));
    t.insert(-1, 3);
    t.insert(std::string("objid"), 7);
    t.insert(T(), T(1));
    t.insert(5, T());
    t.insert(6, -1);
    t.insert(T(7), T::u32(4000000000u));
    t.insert(8, std::string("a\0b", 3));
    auto* skipped = new cConfigTable();
    skipped->insert(1, 1);
    t.insert(T(std::string("name")), skipped);
    std::unique_ptr<QMsg> msg(t.toQMsg(0));
    EXPECT_EQ(msg->getMsgID(), 0);
    EXPECT_EQ(tags_of(*msg), "0:u32=1 44:s=x 2:u8=1 0:u8=0 1:f=1.5 5:null 6:u32=4294967295 "
                             "7:u32=4000000000 8:s=a ");
}

TEST(Codec, NestedTablesFlattenDepthFirstBehindTheirObjectIds) {
    cConfigTable t;
    auto* outer = new cConfigTable();
    outer->insert(1, 10);
    auto* inner = new cConfigTable();
    inner->insert(2, 20);
    inner->insert(std::string("objid"), 263);
    outer->insert(3, inner);
    outer->insert(4, 40);
    outer->insert(std::string("objid"), 9);
    t.insert(0, outer);
    auto* anonymous = new cConfigTable();
    anonymous->insert(5, 50);
    t.insert(1, anonymous);
    auto* odd_id = new cConfigTable();
    odd_id->insert(std::string("objid"), std::string("seven"));
    t.insert(2, odd_id);
    t.insert(3, T(static_cast<cConfigTable*>(nullptr)));
    // The dictionary's interface object: its mac (77) is a byte string, its name (72) text.
    auto* iface = new cConfigTable();
    iface->insert(std::string("objid"), 33);
    iface->insert(77, std::string("\x02\0\0\0\0\x01", 6));
    iface->insert(72, std::string("eth0\0junk", 9));
    iface->insert(T(73), T::bytes(std::string("\x01\0", 2)));
    t.insert(4, iface);
    std::unique_ptr<QMsg> msg(t.toQMsg(1));
    EXPECT_EQ(tags_of(*msg), "9:null 1:u32=10 7:null 2:u32=20 4:u32=40 255:null 5:u32=50 "
                             "255:null 33:null 77:b=6 72:s=eth0 73:s=\x01 ");
    std::string mac(reinterpret_cast<const char*>(msg->getTagList()[9]->getRawData()), 6);
    EXPECT_EQ(mac, std::string("\x02\0\0\0\0\x01", 6));
}

TEST(Codec, RepliesBeyondTheMessageLimitsAreRefusedWhole) {
    struct Case {
        const char* what;
        int texts;     // top-level texts, keys 1, 2, ...
        size_t length; // bytes of each
        int macs;      // interface objects with a byte string of that length
        bool whole;
        uint32_t tags;
        uint64_t bytes;
    };
    const Case cases[] = {
        {"longest text", 1, 65535, 0, true, 1, 65535},
        {"text over 65535 bytes", 2, 65536, 0, false, 2, 131072},
        {"byte string over 65535 bytes", 0, 65536, 1, false, 2, 65536},
        {"4096 tags", 4096, 0, 0, true, 4096, 0},
        {"4097 tags", 4097, 0, 0, false, 4097, 0},
        {"256 KiB of data", 4, 65535, 0, true, 4, 262140},
        {"over 256 KiB of data", 5, 65535, 0, false, 5, 327675},
    };
    for (const Case& c : cases) {
        cConfigTable t;
        for (int i = 0; i < c.texts; ++i) {
            t.insert(i + 1, std::string(c.length, 'x'));
        }
        for (int i = 0; i < c.macs; ++i) {
            auto* iface = new cConfigTable();
            iface->insert(77, std::string(c.length, '\0'));
            iface->insert(std::string("objid"), 33);
            t.insert(100 + i, iface);
        }
        cConfigTable::sReplySize size;
        std::unique_ptr<QMsg> msg(t.toQMsg(1, &size));
        EXPECT_EQ(msg != nullptr, c.whole) << c.what;
        EXPECT_EQ(size.tags, c.tags) << c.what;
        EXPECT_EQ(size.bytes, c.bytes) << c.what;
        if (msg) {
            EXPECT_EQ(msg->getTagList().size(), c.tags) << c.what;
        }
    }
}

} // namespace
