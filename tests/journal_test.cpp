#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <tuple>
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

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The reason a call gave for refusing, or "done" when it did not refuse.
std::string refusal(bool ok, const std::string& why) {
    return ok ? "done" : why;
}

// The message bytes of that object table.
std::string bytes_of(int objid, const std::vector<std::pair<T, T>>& members) {
    std::string bytes, why;
    EXPECT_TRUE(journal::objectBytes(object(objid, members).get(), &bytes, &why)) << why;
    return bytes;
}

// A write to an interface that existed, to a system that existed, and to an ntp that did not.
sJournal sample() {
    const std::string sys = bytes_of(32, {{T(65), T("Rack 4"s)}, {T(68), T(1)}});
    sJournal j{0xA1B2C3D4, htonl(0xC0000207), htons(60123), 90, {}};
    j.objects = {{33, true, bytes_of(33, {{T(72), T("eth0"s)}, {T(74), T(1400)}}),
                  bytes_of(33, {{T(72), T("eth0"s)}, {T(74), T(1500)}})},
                 {32, true, sys, sys},
                 {34, false, bytes_of(34, {{T(80), T("pool"s)}, {T(81), T()}}), ""}};
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
    for (size_t i = 0; i < width; ++i) {
        b[off + i] = static_cast<char>(v >> (8 * (width - 1 - i)));
    }
    const uint32_t sum =
        journal::checksum(reinterpret_cast<const uint8_t*>(b.data()), b.size() - 4);
    b.resize(b.size() - 4);
    return b + std::string{char(sum >> 24), char(sum >> 16), char(sum >> 8), char(sum)};
}

// Decoding and encoding again gives the same bytes, so every field came back.
TEST(Journal, RoundTripsAndEncodesCanonically) {
    std::string b = encoded(sample()), why;
    sJournal back;
    ASSERT_TRUE(decode(b, &back, &why)) << why;
    EXPECT_EQ(encoded(back), b);
    // The peer goes to the file in network order on any host: 192.0.2.7 port 60123.
    EXPECT_EQ(b.substr(14, 6), "\xC0\x00\x02\x07\xEA\xDB"s);
    EXPECT_EQ(journal::checksum(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST(Journal, DamageIsRefusedWhole) {
    const std::string good = encoded(sample());
    const size_t n = good.size();
    auto refused = [&](const std::string& b, const std::string& expect) {
        sJournal j{7, 0, 0, 0, {}};
        std::string why;
        EXPECT_PRED2(has, refusal(decode(b, &j, &why), why), expect);
        EXPECT_TRUE(j.transaction == 7 && j.objects.empty()) << "left as it was";
    };
    for (size_t at = 0; at < n; ++at) {
        refused(good.substr(0, at), "");
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
    const std::tuple<size_t, uint32_t, size_t, const char*> rows[] = {
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
        {26 + 4 + write_len, 0, 2, "object 0"}, // the before's length
        {26, 32, 1, "that one object alone"}};
    for (const auto& [off, value, width, reason] : rows) {
        SCOPED_TRACE(std::to_string(off) + " = " + std::to_string(value));
        refused(patched(good, off, value, width), reason);
    }
    refused(good + "x", "says");
    refused(std::string(journal::kMaxBytes + 1, '\0'), "more than");
}

// A journal may reach 64 KiB and no further; encode refuses the objects decode would refuse.
TEST(Journal, EncodeRefusesWhatCouldNotBeReadBack) {
    auto sized = [](size_t before) {
        sJournal j{0, 0, 0, 0, {{32, true, bytes_of(32, {{T(65), T("x"s)}}), ""}}};
        j.objects[0].before = bytes_of(32, {{T(65), T(std::string(before, 'r'))}});
        return j;
    };
    const size_t base = encoded(sized(0)).size();
    std::string out, why;
    EXPECT_TRUE(journal::encode(sized(journal::kMaxBytes - base), &out, &why)) << why;
    EXPECT_PRED2(has,
                 refusal(journal::encode(sized(journal::kMaxBytes - base + 1), &out, &why), why),
                 "passes 65536 bytes");
    EXPECT_EQ(out.size(), journal::kMaxBytes); // as the encoding before left it

    const sJournalObject good = sample().objects[0];
    const std::pair<std::function<void(sJournalObject&)>, const char*> rows[] = {
        {[](sJournalObject& o) { o.before.clear(); }, "existed but has no state before"},
        {[](sJournalObject& o) { o.existed = false; }, "did not exist but has a state before"},
        {[](sJournalObject& o) { o.write.clear(); }, "write message of object 0 (id 33) has 0"},
        {[](sJournalObject& o) { o.before = "xyz"; }, "before message of object 0"},
        {[](sJournalObject& o) { o.objectId = 34; }, "does not hold that one object alone"}};
    for (const auto& [change, reason] : rows) {
        sJournal j{0, 0, 0, 0, {good}};
        change(j.objects[0]);
        out = "kept";
        EXPECT_PRED2(has, refusal(journal::encode(j, &out, &why), why), reason);
        EXPECT_EQ(out, "kept") << reason;
    }
}

// Object table -> message bytes -> request table: members keep their values, each in the
// dictionary's type (every type both ways: Codec.RequestTableFromAMessage and
// Codec.RepliesTakeTheDictionarysTypes); what a message cannot carry is refused.
TEST(JournalObject, TableBytesTableKeepsTheMembers) {
    // The table read back, or the reason of the refusal (which must leave the bytes alone).
    auto trip = [](std::unique_ptr<cConfigTable> obj) {
        std::string bytes = "kept", why;
        if (!journal::objectBytes(obj.get(), &bytes, &why)) {
            return bytes == "kept" ? why : "bytes written";
        }
        std::unique_ptr<cConfigTable> back(journal::tableFromBytes(bytes, &why));
        return back != nullptr ? table_text(back.get()) : why;
    };
    // getConfig's answers: an integer under a float member, booleans, text keys left out.
    EXPECT_EQ(
        trip(object(
            32, {{T(64), T("dev-7"s)}, {T(67), T(86400)}, {T(68), T(1)}, {T("note"s), T("x"s)}})),
        "0={64=dev-7/3 67=86400/2u 68=1/5 objid=32/2 } ");
    // The codec's refusals (Codec.RepliesTakeTheDictionarysTypes has them all) come with its
    // reason; a member that is a table and a message over 65535 bytes are refused here.
    auto with_table = object(33, {{T(72), T("eth0"s)}});
    with_table->insert(74, new cConfigTable());
    EXPECT_PRED2(has, trip(object(35, {{T(88), T(-1)}})), "logging.level (88) is u8, given -1");
    EXPECT_PRED2(has, trip(std::move(with_table)), "member 74 holds a table");
    EXPECT_PRED2(has, trip(object(32, {{T(65), T(std::string(65530, 'l'))}})),
                 "passes 65535 bytes");

    // Bytes that are no message, or a member under another type, are refused on the way back.
    QMsg msg(journal::kMessageId);
    msg.addTag(QTagFactory::createQTag(35));
    msg.addTag(QTagFactory::createQTag(88, uint32_t{3}));
    std::string wrong(1024, '\0'), why;
    wrong.resize(msg.getMsg(&wrong[0], 1024));
    for (const std::string& b : {"xyz"s, wrong}) {
        EXPECT_EQ(journal::tableFromBytes(b, &why), nullptr);
        EXPECT_PRED2(has, why, b == wrong ? "logging.level (88) is u8, given u32" : "header");
    }
}

TEST(JournalFile, SaveLoadRemoveAndKeepAside) {
    TempDir dir;
    const std::string file = dir.path(journal::kFileName), bad = dir.path(journal::kBadFileName);
    sJournal j;
    std::string why;
    auto expect_none = [&] {
        EXPECT_EQ(refusal(journal::load(dir.path(), &j, &why), why), "none");
    };
    expect_none();
    EXPECT_EQ(refusal(journal::keepAside(dir.path(), &why), why), "none");
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
        const std::string reason = content == over ? " holds more than 65536 bytes" : ": ";
        EXPECT_EQ(refusal(journal::load(dir.path(), &j, &why), why).find(file + reason), 0u) << why;
        EXPECT_TRUE(journal::keepAside(dir.path(), &why)) << why;
        EXPECT_EQ(read_file(bad), content);
        expect_none();
    }
    ::unlink(file.c_str());
    ::mkdir(file.c_str(), 0755);
    EXPECT_PRED2(has, refusal(journal::load(dir.path(), &j, &why), why), "not a regular file");
    ::rmdir(file.c_str());

    // A journal too large, or a folder that is not there: refused, nothing written.
    sJournal huge = sample();
    huge.objects[1].before = huge.objects[1].write =
        bytes_of(32, {{T(65), T(std::string(33000, 'r'))}});
    EXPECT_PRED2(has, refusal(journal::save(dir.path(), huge, &why), why), "passes 65536 bytes");
    EXPECT_NE(access(file.c_str(), F_OK), 0);
    const std::string missing = dir.path("missing");
    EXPECT_PRED2(has, refusal(journal::save(missing.c_str(), sample(), &why), why), "missing");
    EXPECT_FALSE(journal::remove(missing.c_str(), &why));
    EXPECT_EQ(refusal(journal::load(nullptr, &j, &why), why), "no state folder");
}

} // namespace
