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
    struct Row {
        eSetting setting;
        const char* value;
        int want;
    };
    const Row rows[] = {
        {eSetting::ScriptBudget, "-5", 1000},   {eSetting::ScriptMemory, "2000000", 8192},
        {eSetting::NorthPort, "0", 60000},      {eSetting::BrokerPort, "70000", 60010},
        {eSetting::ReplaySeconds, "601", 30},   {eSetting::ReplayEntries, "4096", 4096},
        {eSetting::NotifyInterval, "99", 1000},
    };
    std::string file = "tamo.broker.allow = 10.0.0.0/8\n";
    for (const Row& r : rows) {
        file += std::string(cConfig::row(r.setting).key) + " = " + r.value + "\n";
    }
    TempFile f(file);
    LogCapture log("cConfig", log4cpp::Priority::WARN);
    cConfig::load(f.path());
    for (const Row& r : rows) {
        EXPECT_EQ(cConfig::getInt(r.setting), r.want) << r.value;
    }
    EXPECT_NE(log.text().find("tamo.broker.port = 70000 is outside 1..65535; using 60010"),
              std::string::npos)
        << log.text();
    EXPECT_STREQ(cConfig::getString(eSetting::BrokerWriteAllow), "10.0.0.0/8");
    EXPECT_STREQ(cConfig::getString(eSetting::NorthHost), "localhost");
}

} // namespace
