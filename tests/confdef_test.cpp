#include <gtest/gtest.h>

#include <string>

#include "confdef.h"
#include "support.h"

namespace {

// The settings table against the README's table (key, default, meaning) and the sample file
// (set, or commented out with its default; an empty default or an "as" default commented out
// with an example); then the daemon's reading of it: a value out of its
// range or no number gives the default, an unset setting with sameAs the other one's value.
TEST(Config, SettingsTableMatchesTheReadmeAndTheSampleAndDefaultsApply) {
    std::string readme = read_file(TAMO_SOURCE_DIR "/README.md");
    std::string sample = read_file(TAMO_SOURCE_DIR "/examples/tamo.conf");
    std::string keys;
    for (size_t i = 0; i < kSettingCount; ++i) {
        keys += std::string("|") + kSettings[i].key + "|";
    }
    for (size_t i = 0; i < kSettingCount; ++i) {
        const sSetting& s = kSettings[i];
        std::string key = s.key;
        std::string def = s.sameAs != nullptr ? "" : s.def;
        bool example = s.sameAs != nullptr || def.empty();
        bool number = def.find_first_not_of("0123456789") == std::string::npos;
        std::string shown = s.sameAs != nullptr ? std::string("as `") + s.sameAs + "`"
                            : def.empty()       ? "empty"
                            : number            ? def
                                                : "`" + def + "`";
        std::string row = "| `" + key + "` | " + shown + " | ";
        EXPECT_NE(readme.find(row + s.meaning + " |\n"), std::string::npos) << row;
        EXPECT_TRUE(sample.find("\n" + key + " = ") != std::string::npos ||
                    sample.find("\n# " + key + " = " + (example ? "" : def + "\n")) !=
                        std::string::npos)
            << key;
        EXPECT_TRUE(
            s.sameAs == nullptr ||
            (s.def == nullptr && keys.find(std::string("|") + s.sameAs + "|") != std::string::npos))
            << key;
    }
    TempFile f("tamo.script.budget_ms = -5\ntamo.script.memory_kb = 2000000\n"
               "tamo.north.port = abc\ntamo.broker.port = 7001\ntamo.broker.allow = 10.0.0.0/8\n"
               "tamo.replay.seconds = 601\ntamo.replay.entries = 4096\n"
               "tamo.notify.interval_ms = 99\n");
    cConfig::load(f.path());
    EXPECT_STREQ(cConfig::getString(eSetting::BrokerWriteAllow), "10.0.0.0/8");
    EXPECT_EQ(cConfig::getInt(eSetting::ReplaySeconds), 30);
    EXPECT_EQ(cConfig::getInt(eSetting::ReplayEntries), 4096);
    EXPECT_EQ(cConfig::getInt(eSetting::NotifyInterval), 1000);
    EXPECT_STREQ(cConfig::getString(eSetting::NotifySinks), "");
    EXPECT_EQ(cConfig::getInt(eSetting::ScriptBudget), 1000);
    EXPECT_EQ(cConfig::getInt(eSetting::ScriptMemory), 8192);
    EXPECT_EQ(cConfig::getInt(eSetting::NorthPort), 60000);
    EXPECT_EQ(cConfig::getInt(eSetting::BrokerPort), 7001);
    EXPECT_STREQ(cConfig::getString(eSetting::NorthHost), "localhost");
}

} // namespace
