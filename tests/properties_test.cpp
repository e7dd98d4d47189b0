#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "confdef.h"
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

// The settings table against the README's table (key, default, meaning) and the sample file
// (set, or commented out with its default); then the daemon's reading of it: a value out of its
// range gives the default and a warning (ports are 1..65535).
TEST(Config, SettingsTableMatchesTheReadmeAndTheSampleAndDefaultsApply) {
    std::string readme = read_file(TAMO_SOURCE_DIR "/README.md");
    std::string sample = read_file(TAMO_SOURCE_DIR "/examples/tamo.conf");
    for (size_t i = 0; i < kSettingCount; ++i) {
        const sSetting& s = kSettings[i];
        std::string key = s.key;
        std::string def = s.def;
        bool number = def.find_first_not_of("0123456789") == std::string::npos;
        std::string row = "| `" + key + "` | " + (number ? def : "`" + def + "`") + " | ";
        EXPECT_NE(readme.find(row + s.meaning + " |\n"), std::string::npos) << row;
        EXPECT_TRUE(sample.find("\n" + key + " = ") != std::string::npos ||
                    sample.find("\n# " + key + " = " + def + "\n") != std::string::npos)
            << key;
    }
    struct Row {
        eSetting setting;
        const char* value;
        int want;
    };
    const Row rows[] = {
        {eSetting::ScriptBudget, "-5", 1000},
        {eSetting::ScriptMemory, "64", 64},
        {eSetting::NorthPort, "0", 60000},
        {eSetting::BrokerPort, "70000", 60010},
    };
    std::string file;
    for (const Row& r : rows) {
        file += std::string(cConfig::row(r.setting).key) + " = " + r.value + "\n";
    }
    TempFile f(file);
    cConfig::load(f.path());
    LogCapture log("cConfig", log4cpp::Priority::WARN);
    for (const Row& r : rows) {
        EXPECT_EQ(cConfig::getInt(r.setting), r.want) << r.value;
    }
    EXPECT_NE(log.text().find("tamo.broker.port = 70000 is outside 1..65535; using 60010"),
              std::string::npos)
        << log.text();
    EXPECT_STREQ(cConfig::getString(eSetting::NorthHost), "localhost");
}

} // namespace
