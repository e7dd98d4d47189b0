// End-to-end cases that wait out the daemon's 3-second reply and 10-second keep-alive clocks.
#include "e2e_fixture.h"

namespace {

using namespace e2e_cases;

TEST_F(NorthPath, SilentUpstreamThenNextRequestStartsClean) {
    start({"--silent"});
    auto t0 = Clock::now();
    EXPECT_EQ(ask("get", 1, "ntp", 4500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("North message timed out...", 1000));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(2900));
    // Ten seconds without a datagram from upstream: a keep-alive, with the next sequence number.
    EXPECT_EQ(mUpstream->received(2, 13000), (Lines{"1 0 1", "1 1 0"}));

    // The same port answered by a talkative stand-in: the next forward gets its reply.
    mUpstream.reset();
    mUpstream.reset(new Upstream(mSetup.northPort, {}));
    EXPECT_NE(ask("get", 2, "ntp"), nullptr);
    EXPECT_EQ(mUpstream->received(1, 1000), Lines{"1 2 1"});
}

TEST_F(EndToEnd, UnresolvableNorthHostLeavesOwnedRequestsServed) {
    mSetup.northHost = "no-such-host.invalid";
    Daemon& d = start();
    EXPECT_TRUE(d.logHas("Could lookup address for no-such-host.invalid", 30000));
    EXPECT_EQ(ask("get", 1, "ntp", 4000), nullptr);
    EXPECT_NE(ask("get", 2, "system"), nullptr);
}

// zeld-sim sends stale replies, junk and a duplicate around each answer, then keeps silent, so
// both threads of the north link work at once: the daemon's ~Daemon check fails the test on a
// sanitizer's report.
TEST_F(NorthPath, ForwardsWhileKeepAlivesFireAndLateRepliesArrive) {
    start({"--noise"});
    for (int i = 0; i < 200; ++i) {
        MsgPtr reply = ask("get", static_cast<uint8_t>(i & 0x7f), "ntp", 3500);
        ASSERT_NE(reply, nullptr) << i;
        EXPECT_EQ(reply->getMsgSeq(), i & 0x7f);
    }
    // The stale answers and the duplicates reached the daemon, and were dropped.
    EXPECT_TRUE(mDaemon->logHas("Message not for us") && mDaemon->logHas("not expecting it", 1000));

    // Silence: forwards time out one after another while the poller sends keep-alives.
    mUpstream.reset();
    mUpstream.reset(new Upstream(mSetup.northPort, {"--silent"}));
    for (auto t0 = Clock::now(); Clock::now() - t0 < std::chrono::seconds(11);) {
        EXPECT_EQ(ask("get", 1, "ntp", 3500), nullptr);
    }
    Lines lines = mUpstream->received();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.rfind(" 0") == l.size() - 2; }),
              lines.end());
    mUpstream.reset();
    mUpstream.reset(new Upstream(mSetup.northPort, {"--noise"}));
    MsgPtr reply = ask("get", 7, "ntp", 3500);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgSeq(), 7);
}

} // namespace
