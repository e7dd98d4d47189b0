#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "properties.h"
#include "support.h"

namespace {

TEST(Properties, ReadsLinesSkipsBadOnesAndLaterKeysWin) {
    TempFile f("# comment\n! also a comment\n  tamo.north.host=upstream.local  \n"
               "motd = hello  wide world\nempty =\nurl = http://x/?a=b#frag\n"
               "no equals sign here\n= value without key\nport = 1\r\nport = 2\n"
               "bin\001ary = 5\nlast = ok");
    cProperties p;
    ASSERT_TRUE(p.load(f.path()));
    const char* keys[] = {
        "tamo.north.host",     "motd",       "empty", "url", "port", "last", "# comment",
        "no equals sign here", "bin\001ary", "absent"};
    std::string got;
    for (const char* key : keys) {
        got += std::string(p.getString(key, "d")) + "|";
    }
    EXPECT_EQ(got, "upstream.local|hello  wide world||http://x/?a=b#frag|2|ok|d|d|d|d|");
    cProperties missing;
    EXPECT_FALSE(missing.load("/nonexistent/dir/tamo.conf"));
    TempFile g(std::string(4096, '\x83') + std::string("\0=\x01\n", 4));
    EXPECT_TRUE(missing.load(g.path()));
    EXPECT_EQ(missing.getInt("tamo.broker.port", 60010), 60010);
}

TEST(Properties, GetIntAcceptsOnlyWholeDecimalIntegers) {
    const char* values[] = {"42",          "-7",    "+9",  "2147483647",
                            "-2147483648", "12abc", "abc", "2147483648",
                            "0x10",        "1.5",   "",    "99999999999999999999"};
    const int want[] = {42, -7, 9, INT32_MAX, INT32_MIN, 77, 77, 77, 77, 77, 77, 77};
    for (size_t i = 0; i < std::size(values); ++i) {
        TempFile f(std::string("k = ") + values[i] + "\n");
        cProperties p;
        ASSERT_TRUE(p.load(f.path()));
        EXPECT_EQ(p.getInt("k", 77), want[i]) << values[i];
    }
}

} // namespace
