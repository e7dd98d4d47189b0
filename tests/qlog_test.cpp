#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "qlog.h"
#include "support.h"

namespace {

// What a child process writes to its standard output (a file, so no terminal) after init from
// conf, logging one line at each of DEBUG and INFO and ending without flushing anything, as a
// killed daemon.
std::string child_output(const char* conf) {
    TempFile out("");
    pid_t child = fork();
    if (child == 0) {
        dup2(open(out.path(), O_WRONLY), 1);
        cQlog::init(conf);
        cQlog("probe").debug("debug %d", 7);
        cQlog("probe").info("started");
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return read_file(out.path());
}

TEST(QlogInit, BadOrMissingSettingsFallBackToConsole) {
    const std::pair<std::string, const char*> rows[] = {
        {"", "console at INFO: cannot read (.|\n)*after init"},
        {"tamo.broker.port = 1\n", "console at INFO: no log4cpp keys"},
        {"log4cpp.rootCategory = DEBUG, A\nlog4cpp.appender.A = NoSuchAppender\n",
         "console at INFO: (log4cpp rejected|no appender)"},
        {std::string(2048, '\x83'), "after init"}};
    for (const auto& r : rows) {
        TempFile conf(r.first);
        std::string path = r.first.empty() ? "/nonexistent/tamo.conf" : conf.path();
        EXPECT_EXIT(
            {
                cQlog::init(path.c_str());
                cQlog("probe").info("after init");
                std::exit(0);
            },
            testing::ExitedWithCode(0), r.second);
    }
}

// The log4cpp keys configure categories, priorities and layouts; a console record leaves at once
// also when standard output is no terminal.
TEST(QlogInit, ConfiguresFromLog4cppKeysAndConsoleRecordsLeaveAtOnce) {
    TempFile conf("tamo.broker.port = 1\nlog4cpp.rootCategory = INFO, A\n"
                  "log4cpp.category.probe = DEBUG\nlog4cpp.appender.A = ConsoleAppender\n"
                  "log4cpp.appender.A.layout = PatternLayout\n"
                  "log4cpp.appender.A.layout.ConversionPattern = CONFIGURED %c %m%n\n");
    EXPECT_EQ(child_output(conf.path()), "CONFIGURED probe debug 7\nCONFIGURED probe started\n");
}

// Records below the category's priority are not written; long ones are cut to the buffer; copies
// log like the original.
TEST(QlogCapture, PriorityFiltersAndLongMessagesAreCut) {
    LogCapture cap("capture", log4cpp::Priority::WARN);
    cQlog log("capture");
    log.debug("hidden %d", 1);
    log.info("hidden %d", 2);
    log.warn("shown %d", 3);
    cQlog copy = log;
    copy.fatal("from the copy");
    std::string huge(5000, 'x');
    log.error("%s|%s", huge.c_str(), huge.c_str());
    std::string text = cap.text();
    EXPECT_EQ(text.rfind("WARN shown 3\nFATAL from the copy\nERROR xx", 0), 0u) << text;
    EXPECT_EQ(text.find('|'), std::string::npos);
    EXPECT_LT(text.size(), 1024u + 64u);
}

TEST(QlogCapture, ThreadsLoggingThroughOneObjectKeepTheirLinesWhole) {
    LogCapture cap("capture", log4cpp::Priority::DEBUG);
    cQlog log("capture");
    const std::string a(900, 'a');
    const std::string b(900, 'b');
    auto writer = [&log](const std::string* text) {
        for (int i = 0; i < 2000; ++i) {
            log.info("%s", text->c_str());
        }
    };
    std::thread ta(writer, &a);
    std::thread tb(writer, &b);
    ta.join();
    tb.join();
    // A line torn by the other thread would match neither.
    std::string all = cap.text();
    EXPECT_EQ(count_of(all, "INFO " + a + "\n") + count_of(all, "INFO " + b + "\n"), 4000u);
}

TEST(QlogLimit, BurstThenOneASecondCountingWhatWasHeld) {
    cQlogLimit limit;
    uint32_t held = 99;
    auto burst = [&](int64_t now) {
        int went = 0;
        for (int i = 0; i < 20; ++i) {
            went += limit.admit(now, &held) ? 1 : 0;
        }
        return went;
    };
    EXPECT_EQ(burst(5000), cQlogLimit::kBurst);
    EXPECT_EQ(held, 0u);
    EXPECT_FALSE(limit.admit(5999, &held));
    ASSERT_TRUE(limit.admit(6000, &held));
    EXPECT_EQ(held, 16u);
    EXPECT_FALSE(limit.admit(6500, &held));
    EXPECT_EQ(burst(60000), cQlogLimit::kBurst); // a quiet spell refills the burst, not more
}

// Filtered out by priority: written nowhere and not counted against the limit. Each kind has its
// own limit; what is held is counted.
TEST(QlogCapture, LimitedLinesKeepPriorityAndTextEachKindApart) {
    LogCapture cap("capture", log4cpp::Priority::INFO);
    cQlog log("capture");
    static cQlogLimit kind_a;
    static cQlogLimit kind_b;
    uint64_t before = cQlog::suppressedLines();
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        log.limited(kind_a, DEBUG, "hidden %d", i);
    }
    for (int i = 0; i < 12; ++i) {
        log.limited(kind_a, WARN, "bad datagram %d", i);
        expected += i < cQlogLimit::kBurst ? "WARN bad datagram " + std::to_string(i) + "\n" : "";
    }
    log.limited(kind_b, INFO, "other kind");
    EXPECT_EQ(cQlog::suppressedLines() - before, 12u - cQlogLimit::kBurst);
    EXPECT_EQ(cap.text(), expected + "INFO other kind\n");
}

} // namespace
