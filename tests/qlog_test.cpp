#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/StringQueueAppender.hh>

#include "qlog.h"
#include "support.h"

namespace {

// Each init case runs in a child process: init configures the process once.
void init_and_log(const char* path) {
    cQlog::init(path);
    cQlog("probe").info("after init");
    std::exit(0);
}

TEST(QlogInit, BadOrMissingSettingsFallBackToConsole) {
    EXPECT_EXIT(init_and_log("/nonexistent/tamo.conf"), testing::ExitedWithCode(0),
                "console at INFO: cannot read /nonexistent/tamo.conf(.|\n)*after init");

    TempFile no_keys("tamo.broker.port = 1\n");
    EXPECT_EXIT(init_and_log(no_keys.path()), testing::ExitedWithCode(0),
                "console at INFO: no log4cpp keys");

    TempFile rejected("log4cpp.rootCategory = DEBUG, A\n"
                      "log4cpp.appender.A = NoSuchAppender\n");
    EXPECT_EXIT(init_and_log(rejected.path()), testing::ExitedWithCode(0),
                "console at INFO: (log4cpp rejected|no appender)");

    std::string garbage(2048, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<char>(i * 131);
    }
    TempFile binary(garbage);
    EXPECT_EXIT(init_and_log(binary.path()), testing::ExitedWithCode(0), "after init");
}

TEST(QlogInit, ConfiguresFromLog4cppKeys) {
    TempFile out("");
    TempFile conf(std::string("tamo.broker.port = 1\n"
                              "log4cpp.rootCategory = DEBUG, A\n"
                              "log4cpp.appender.A = FileAppender\n"
                              "log4cpp.appender.A.fileName = ") +
                  out.path() +
                  "\n"
                  "log4cpp.appender.A.layout = PatternLayout\n"
                  "log4cpp.appender.A.layout.ConversionPattern = CONFIGURED %c %m%n\n");
    EXPECT_EXIT(
        {
            cQlog::init(conf.path());
            cQlog("probe").debug("debug %d", 7);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    std::ifstream in(out.path());
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "CONFIGURED probe debug 7");
}

TEST(QlogInit, ConsoleRecordsLeaveAtOnceWhenStdoutIsAPipe) {
    TempFile conf("log4cpp.rootCategory = INFO, A\n"
                  "log4cpp.appender.A = ConsoleAppender\n"
                  "log4cpp.appender.A.layout = PatternLayout\n"
                  "log4cpp.appender.A.layout.ConversionPattern = %m%n\n");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        cQlog::init(conf.path());
        cQlog("probe").info("started");
        // Ends without flushing anything, as a killed daemon would.
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(out, "started\n");
}

class QlogCapture : public testing::Test {
protected:
    void SetUp() override {
        mCat = &cQlog::getLog("capture");
        mCat->setAdditivity(false);
        mQueue = new log4cpp::StringQueueAppender("queue");
        mCat->addAppender(mQueue);
    }
    void TearDown() override { mCat->removeAllAppenders(); }

    log4cpp::Category* mCat = nullptr;
    log4cpp::StringQueueAppender* mQueue = nullptr;
};

TEST_F(QlogCapture, LongMessagesAreCutToTheBuffer) {
    mCat->setPriority(log4cpp::Priority::DEBUG);
    cQlog::refresh();
    cQlog log("capture");
    std::string huge(5000, 'x');
    log.error("%s|%s", huge.c_str(), huge.c_str());
    ASSERT_EQ(mQueue->queueSize(), 1u);
    std::string line = mQueue->popMessage();
    EXPECT_NE(line.find(std::string(1000, 'x')), std::string::npos);
    EXPECT_EQ(line.find('|'), std::string::npos);
    EXPECT_LT(line.size(), 1024u + 64u);
}

TEST_F(QlogCapture, PriorityFiltersBeforeWriting) {
    mCat->setPriority(log4cpp::Priority::WARN);
    cQlog::refresh();
    cQlog log("capture");
    log.debug("hidden %d", 1);
    log.info("hidden %d", 2);
    EXPECT_EQ(mQueue->queueSize(), 0u);
    EXPECT_FALSE(log.enabled(DEBUG));
    log.warn("shown %d", 3);
    log.fatal("shown %d", 4);
    EXPECT_EQ(mQueue->queueSize(), 2u);
    EXPECT_NE(mQueue->popMessage().find("shown 3"), std::string::npos);

    cQlog copy = log;
    copy.error("from the copy");
    EXPECT_NE(mQueue->popMessage().find("shown 4"), std::string::npos);
    EXPECT_NE(mQueue->popMessage().find("from the copy"), std::string::npos);
}

TEST_F(QlogCapture, ThreadsLoggingThroughOneObjectKeepTheirLinesWhole) {
    mCat->setPriority(log4cpp::Priority::DEBUG);
    cQlog::refresh();
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
    ASSERT_EQ(mQueue->queueSize(), 4000u);
    while (mQueue->queueSize() > 0) {
        std::string line = mQueue->popMessage();
        bool whole = line.find(a) != std::string::npos || line.find(b) != std::string::npos;
        ASSERT_TRUE(whole) << line;
    }
}

TEST(QlogLimit, BurstThenOneASecondCountingWhatWasHeld) {
    cQlogLimit limit;
    uint32_t held = 99;
    int went = 0;
    for (int i = 0; i < 20; ++i) {
        went += limit.admit(5000, &held) ? 1 : 0;
    }
    EXPECT_EQ(went, cQlogLimit::kBurst);
    EXPECT_EQ(held, 0u);
    EXPECT_FALSE(limit.admit(5999, &held));
    ASSERT_TRUE(limit.admit(6000, &held));
    EXPECT_EQ(held, 16u);
    EXPECT_FALSE(limit.admit(6500, &held));
    // A quiet spell refills the burst, not more.
    went = 0;
    for (int i = 0; i < 20; ++i) {
        went += limit.admit(60000, &held) ? 1 : 0;
    }
    EXPECT_EQ(went, cQlogLimit::kBurst);
}

TEST_F(QlogCapture, LimitedLinesKeepPriorityAndTextEachKindApart) {
    mCat->setPriority(log4cpp::Priority::INFO);
    cQlog log("capture");
    static cQlogLimit kind_a;
    static cQlogLimit kind_b;
    uint64_t before = cQlog::suppressedLines();
    // Filtered out by priority: written nowhere and not counted against the limit.
    for (int i = 0; i < 50; ++i) {
        log.limited(kind_a, DEBUG, "hidden %d", i);
    }
    for (int i = 0; i < 12; ++i) {
        log.limited(kind_a, WARN, "bad datagram %d", i);
    }
    log.limited(kind_b, INFO, "other kind");
    EXPECT_EQ(cQlog::suppressedLines() - before, 12u - cQlogLimit::kBurst);
    ASSERT_EQ(mQueue->queueSize(), cQlogLimit::kBurst + 1u);
    for (int i = 0; i < cQlogLimit::kBurst; ++i) {
        std::string line = mQueue->popMessage();
        EXPECT_NE(line.find("WARN"), std::string::npos) << line;
        EXPECT_NE(line.find("bad datagram " + std::to_string(i)), std::string::npos) << line;
    }
    EXPECT_NE(mQueue->popMessage().find("other kind"), std::string::npos);
}

} // namespace
