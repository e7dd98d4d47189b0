#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "confdef.h"
#include "properties.h"
#include "support.h"

namespace {

TEST(Properties, ReadsKeysValuesAndComments) {
    TempFile f("# comment\n"
               "! also a comment\n"
               "  tamo.broker.port =  7001  \n"
               "tamo.north.host=upstream.local\n"
               "motd = hello  wide world\n"
               "empty =\n"
               "url = http://x/?a=b#frag\n");
    cProperties p;
    ASSERT_TRUE(p.load(f.path()));
    EXPECT_EQ(p.getInt("tamo.broker.port", 1), 7001);
    EXPECT_STREQ(p.getString("tamo.north.host", "d"), "upstream.local");
    EXPECT_STREQ(p.getString("motd", "d"), "hello  wide world");
    EXPECT_STREQ(p.getString("empty", "d"), "");
    EXPECT_STREQ(p.getString("url", "d"), "http://x/?a=b#frag");
    EXPECT_STREQ(p.getString("# comment", "d"), "d");
    EXPECT_STREQ(p.getString("absent", "def"), "def");
}

TEST(Properties, BadLinesAreSkippedAndLaterKeysWin) {
    TempFile f("no equals sign here\n"
               "= value without key\n"
               "port = 1\r\n"
               "port = 2\n"
               "bin\x01ary = 5\n"
               "last = ok");
    cProperties p;
    ASSERT_TRUE(p.load(f.path()));
    EXPECT_EQ(p.getInt("port", 0), 2);
    EXPECT_STREQ(p.getString("last", "d"), "ok");
    EXPECT_STREQ(p.getString("no equals sign here", "d"), "d");
    EXPECT_STREQ(p.getString("bin\x01"
                             "ary",
                             "d"),
                 "d");
}

TEST(Properties, MissingAndGarbageFilesLeaveDefaults) {
    cProperties missing;
    EXPECT_FALSE(missing.load("/nonexistent/dir/tamo.conf"));
    EXPECT_EQ(missing.getInt("tamo.broker.port", 60010), 60010);

    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage.push_back(static_cast<char>((i * 7919) & 0xff));
    }
    TempFile g(garbage);
    cProperties p;
    EXPECT_TRUE(p.load(g.path()));
    EXPECT_EQ(p.getInt("tamo.broker.port", 60010), 60010);

    TempFile empty("");
    cProperties e;
    EXPECT_TRUE(e.load(empty.path()));
    EXPECT_STREQ(e.getString("tamo.north.host", "localhost"), "localhost");
}

TEST(Properties, GetIntAcceptsOnlyWholeDecimalIntegers) {
    TempFile f(
        "a = 42\nb = -7\nc = +9\nd = 12abc\ne = abc\nf = 2147483647\n"
        "g = 2147483648\nh = -2147483648\ni = 0x10\nj = 1.5\nk =\nl = 99999999999999999999\n");
    cProperties p;
    ASSERT_TRUE(p.load(f.path()));
    EXPECT_EQ(p.getInt("a", 0), 42);
    EXPECT_EQ(p.getInt("b", 0), -7);
    EXPECT_EQ(p.getInt("c", 0), 9);
    EXPECT_EQ(p.getInt("f", 0), 2147483647);
    EXPECT_EQ(p.getInt("h", 0), -2147483647 - 1);
    for (const char* key : {"d", "e", "g", "i", "j", "k", "l"}) {
        EXPECT_EQ(p.getInt(key, 77), 77) << key;
    }
}

// The daemon's ranged settings: a value that is negative, absurd or no number gives the default.
TEST(Config, RangedSettingsFallBackToTheirDefaults) {
    TempFile f("neg = -5\nhuge = 2000000\nword = abc\nzero = 0\nfine = 500\n");
    cConfig::load(f.path());
    struct Row {
        const char* key;
        int expected;
    } rows[] = {{"neg", 1000}, {"huge", 1000}, {"word", 1000},
                {"zero", 0},   {"fine", 500},  {"absent", 1000}};
    for (const Row& r : rows) {
        EXPECT_EQ(cConfig::getInt(r.key, 1000, 0, 3600000 / 2), r.expected) << r.key;
    }
}

} // namespace
