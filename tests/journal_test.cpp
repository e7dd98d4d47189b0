#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "configtable.h"
#include "journal.h"
#include "qmsg.h"
#include "support.h"

namespace {

using namespace std::string_literals;
using T = cTableType;

// An object table: objid, then the members in order.
std::unique_ptr<cConfigTable> object(int objid, const std::vector<std::pair<T, T>>& members) {
    auto t = std::make_unique<cConfigTable>();
    for (const auto& m : members) {
        t->insert(m.first, m.second);
    }
    t->insert("objid"s, objid);
    return t;
}

std::string bytes_of(cConfigTable* obj) {
    std::string bytes, why;
    EXPECT_TRUE(journal::objectBytes(obj, &bytes, &why)) << why;
    return bytes;
}

// A write to an interface that existed, to a system that existed, and to an ntp that did not.
sJournal sample() {
    sJournal j;
    j.transaction = 0xA1B2C3D4;
    j.peerAddress = htonl(0xC0000207);
    j.peerPort = htons(60123);
    j.seconds = 90;
    auto name = object(33, {{T(72), T("eth0"s)}, {T(74), T(1400)}});
    auto iface = object(33, {{T(72), T("eth0"s)}, {T(74), T(1500)}});
    auto sys = object(32, {{T(65), T("Rack 4"s)}, {T(68), T(1)}});
    auto ntp = object(34, {{T(80), T("pool"s)}, {T(81), T()}});
    j.objects = {{33, true, bytes_of(name.get()), bytes_of(iface.get())},
                 {32, true, bytes_of(sys.get()), bytes_of(sys.get())},
                 {34, false, bytes_of(ntp.get()), ""}};
    return j;
}

std::string encoded(const sJournal& j) {
    std::string out, why;
    EXPECT_TRUE(journal::encode(j, &out, &why)) << why;
    return out;
}

bool decode(const std::string& b, sJournal* j, std::string* why) {
    return journal::decode(reinterpret_cast<const uint8_t*>(b.data()), b.size(), j, why);
}

// Writes v big-endian (width bytes) at off and seals the journal again with its checksum.
std::string patched(std::string b, size_t off, uint32_t v, size_t width) {
    auto put = [&b](size_t at, uint32_t value, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            b[at + i] = static_cast<char>(value >> (8 * (n - 1 - i)));
        }
    };
    put(off, v, width);
    put(b.size() - 4, journal::checksum(reinterpret_cast<const uint8_t*>(b.data()), b.size() - 4),
        4);
    return b;
}

// Decoding and encoding again gives the same bytes, so every field came back.
TEST(Journal, RoundTripsAndEncodesCanonically) {
    std::string b = encoded(sample()), why;
    sJournal back;
    ASSERT_TRUE(decode(b, &back, &why)) << why;
    EXPECT_EQ(back.objects.size(), 3u);
    EXPECT_EQ(encoded(back), b);
    // The peer goes to the file in network order on any host: 192.0.2.7 port 60123.
    EXPECT_EQ(b.substr(14, 6), "\xC0\x00\x02\x07\xEA\xDB"s);
    EXPECT_EQ(journal::checksum(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST(Journal, DamageIsRefusedWhole) {
    const std::string good = encoded(sample());
    const size_t n = good.size();
    sJournal untouched;
    untouched.transaction = 7;
    auto refused = [&](const std::string& b, const std::string& expect) {
        sJournal j = untouched;
        std::string why;
        EXPECT_FALSE(decode(b, &j, &why));
        EXPECT_NE(why.find(expect), std::string::npos) << why;
        EXPECT_EQ(j.transaction, 7u);
        EXPECT_TRUE(j.objects.empty());
    };
    for (size_t len = 0; len < n; ++len) {
        SCOPED_TRACE(len);
        refused(good.substr(0, len), "");
    }
    for (size_t at = 0; at < n; ++at) {
        for (int mask : {0x01, 0x80, 0xFF}) {
            SCOPED_TRACE(std::to_string(at) + " ^ " + std::to_string(mask));
            std::string b = good;
            b[at] = static_cast<char>(b[at] ^ mask);
            refused(b, "");
        }
    }
    // Resealed with a good checksum: the fields themselves must add up. The first object starts
    // at 26 with its id, flags and the write's length.
    const uint16_t write_len = static_cast<uint16_t>(sample().objects[0].write.size());
    const size_t before_len_at = 26 + 4 + write_len;
    struct Row {
        size_t off;
        uint32_t value;
        size_t width;
        const char* reason;
    } rows[] = {
        {0, 0x544A4E4D, 4, "magic"},
        {4, 2, 2, "version 2"},
        {6, static_cast<uint32_t>(n + 1), 4, "says"},
        {24, 4, 2, "runs past"},
        {24, 2, 2, "after the last object"},
        {27, 0x03, 1, "flags"},
        {27, 0x00, 1, "did not exist but"},
        {28, write_len + 1u, 2, "object 0"},
        {28, 0xFFFF, 2, "runs past"},
        {28, write_len - 1u, 2, "object 0"},
        {before_len_at, 0, 2, "object 0"},
        {26, 32, 1, "that one object alone"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.off) + " = " + std::to_string(r.value));
        refused(patched(good, r.off, r.value, r.width), r.reason);
    }
    refused(good + "x", "says");
    refused(std::string(journal::kMaxBytes + 1, '\0'), "more than");
}

// A journal may reach 64 KiB and no further; encode refuses the objects decode would refuse.
TEST(Journal, EncodeRefusesWhatCouldNotBeReadBack) {
    auto sized = [](size_t before) {
        sJournal j;
        auto write = object(32, {{T(65), T("x"s)}});
        auto sys = object(32, {{T(65), T(std::string(before, 'r'))}});
        j.objects = {{32, true, bytes_of(write.get()), bytes_of(sys.get())}};
        return j;
    };
    const size_t base = encoded(sized(0)).size();
    std::string out, why;
    for (size_t extra : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE(extra);
        EXPECT_EQ(journal::encode(sized(journal::kMaxBytes - base + extra), &out, &why),
                  extra == 0);
        EXPECT_EQ(out.size(), journal::kMaxBytes);
    }
    EXPECT_NE(why.find("passes 65536 bytes"), std::string::npos) << why;

    const sJournalObject good = sample().objects[0];
    struct Row {
        std::function<void(sJournalObject&)> change;
        const char* reason;
    } rows[] = {
        {[](sJournalObject& o) { o.before.clear(); }, "existed but has no state before"},
        {[](sJournalObject& o) { o.existed = false; }, "did not exist but has a state before"},
        {[](sJournalObject& o) { o.write.clear(); }, "write message of object 0 (id 33) has 0"},
        {[](sJournalObject& o) { o.before = "xyz"; }, "before message of object 0"},
        {[](sJournalObject& o) { o.objectId = 34; }, "does not hold that one object alone"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.reason);
        sJournal j;
        j.objects = {good};
        r.change(j.objects[0]);
        out = "kept";
        EXPECT_FALSE(journal::encode(j, &out, &why));
        EXPECT_NE(why.find(r.reason), std::string::npos) << why;
        EXPECT_EQ(out, "kept");
    }
}

// Object table -> message bytes -> request table: members keep their values, each in the
// dictionary's type (every type both ways: Codec.RequestTableFromAMessage and
// Codec.RepliesTakeTheDictionarysTypes); what a message cannot carry is refused.
TEST(JournalObject, TableBytesTableKeepsTheMembers) {
    struct Row {
        int objid;
        std::vector<std::pair<T, T>> members;
        std::string expect; // the table read back, or the reason of the refusal
    } rows[] = {
        // getConfig's answers: an integer under a float member, booleans, text keys left out.
        {32,
         {{T(64), T("dev-7"s)}, {T(67), T(86400)}, {T(68), T(1)}, {T("note"s), T("x"s)}},
         "0={64=dev-7/3 67=86400/2u 68=1/5 objid=32/2 } "},
        // The codec's refusals (Codec.RepliesTakeTheDictionarysTypes has them all) come with its
        // reason; a member that is a table and a message over 65535 bytes are refused here.
        {35, {{T(88), T(-1)}}, "logging.level (88) is u8, given -1"},
        {33, {{T(72), T("eth0"s)}}, "member 74 holds a table"}, // 74 a table, added below
        {32, {{T(65), T(std::string(65530, 'l'))}}, "passes 65535 bytes"},
    };
    for (const Row& r : rows) {
        auto obj = object(r.objid, r.members);
        if (r.expect == "member 74 holds a table") {
            obj->insert(74, new cConfigTable());
        }
        std::string bytes = "kept", why;
        bool ok = journal::objectBytes(obj.get(), &bytes, &why);
        SCOPED_TRACE(r.expect);
        if (!ok) {
            EXPECT_NE(why.find(r.expect), std::string::npos) << why;
            EXPECT_EQ(bytes, "kept");
            continue;
        }
        std::unique_ptr<cConfigTable> back(journal::tableFromBytes(bytes, &why));
        ASSERT_NE(back, nullptr) << why;
        EXPECT_EQ(table_text(back.get()), r.expect);
    }

    // Bytes that are no message, or a member under another type, are refused on the way back.
    QMsg msg(journal::kMessageId);
    msg.addTag(QTagFactory::createQTag(35));
    msg.addTag(QTagFactory::createQTag(88, uint32_t{3}));
    std::string wrong(1024, '\0'), why;
    wrong.resize(msg.getMsg(&wrong[0], 1024));
    for (const std::string& b : {"xyz"s, wrong}) {
        EXPECT_EQ(journal::tableFromBytes(b, &why), nullptr);
        EXPECT_TRUE(why.find(b == wrong ? "logging.level (88) is u8, given u32" : "header") !=
                    std::string::npos)
            << why;
    }
}

TEST(JournalFile, SaveLoadRemoveAndKeepAside) {
    TempDir dir;
    const std::string file = dir.path(journal::kFileName);
    const std::string bad = dir.path(journal::kBadFileName);
    sJournal j;
    std::string why;
    auto expect_none = [&] {
        EXPECT_FALSE(journal::load(dir.path(), &j, &why));
        EXPECT_EQ(why, "none");
    };
    expect_none();
    EXPECT_FALSE(journal::keepAside(dir.path(), &why));
    EXPECT_EQ(why, "none");
    EXPECT_TRUE(journal::remove(dir.path(), &why)) << why;

    ASSERT_TRUE(journal::save(dir.path(), sample(), &why)) << why;
    ASSERT_TRUE(journal::load(dir.path(), &j, &why)) << why;
    EXPECT_EQ(encoded(j), encoded(sample()));
    EXPECT_TRUE(journal::remove(dir.path(), &why)) << why;
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    expect_none();

    // What cannot be read is refused with the reason, and goes aside replacing an older one.
    const std::string over(journal::kMaxBytes + 1, 'x');
    for (const std::string& content : {"damaged"s, encoded(sample()).substr(1), ""s, over}) {
        dir.write(journal::kFileName, content);
        EXPECT_FALSE(journal::load(dir.path(), &j, &why));
        EXPECT_EQ(why.find(file + (content == over ? " holds more than 65536 bytes" : ": ")), 0u)
            << why;
        EXPECT_TRUE(journal::keepAside(dir.path(), &why)) << why;
        EXPECT_EQ(read_file(bad), content);
        expect_none();
    }
    ::unlink(file.c_str());
    ::mkdir(file.c_str(), 0755);
    EXPECT_FALSE(journal::load(dir.path(), &j, &why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    ::rmdir(file.c_str());

    // A journal too large, or a folder that is not there: refused, nothing written.
    sJournal huge = sample();
    auto big = object(32, {{T(65), T(std::string(33000, 'r'))}});
    huge.objects[1].before = huge.objects[1].write = bytes_of(big.get());
    EXPECT_FALSE(journal::save(dir.path(), huge, &why));
    EXPECT_NE(why.find("passes 65536 bytes"), std::string::npos) << why;
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    const std::string missing = dir.path("missing");
    EXPECT_FALSE(journal::save(missing.c_str(), sample(), &why));
    EXPECT_NE(why.find("missing"), std::string::npos) << why;
    EXPECT_FALSE(journal::remove(missing.c_str(), &why));
    EXPECT_FALSE(journal::load(nullptr, &j, &why));
    EXPECT_EQ(why, "no state folder");
}

} // namespace
