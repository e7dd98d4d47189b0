// End-to-end cases that wait out the daemon's 3-second reply and 10-second keep-alive clocks.
#include "e2e_fixture.h"

#include <atomic>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e_cases;

TEST_F(NorthPath, SilentUpstreamThenNextRequestStartsClean) {
    start({"--silent"});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(mSetup, e2e::request(1, 1, kNtp), 4500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("North message timed out...", 1000));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2900));

    // The same port answered by a talkative stand-in: the next forward gets its reply.
    mUpstream.reset();
    mUpstream.reset(new Upstream(mSetup.northPort, {}));
    auto reply = ask(mSetup, e2e::request(1, 2, kNtp));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgSeq(), 2);
    ASSERT_TRUE(mUpstream->waitReceived(1, 1000));
    EXPECT_EQ(mUpstream->received()[0].rfind("1 1 ", 0), 0u) << mUpstream->received()[0];
}

TEST_F(NorthPath, LateRepliesAreDropped) {
    start({"--delay", "3500"});
    EXPECT_EQ(ask(mSetup, e2e::request(1, 1, kNtp), 3200), nullptr);
    // A second request waits while the first one's late answer arrives.
    EXPECT_EQ(ask(mSetup, e2e::request(1, 2, kNtp), 4500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("Message not for us: Seq 0 is not 1", 1000));
    EXPECT_TRUE(mDaemon->logHas("Got data from zeld but we're not expecting it", 4000));
    // Owned requests are served all along.
    auto get = ask(mSetup, e2e::request(1, 3, kSystem));
    ASSERT_NE(get, nullptr);
}

TEST_F(NorthPath, KeepAliveAfterTenSecondsTakesASequenceNumber) {
    start({});
    ASSERT_TRUE(mUpstream->waitReceived(1, 13000));
    EXPECT_EQ(mUpstream->received()[0], "1 0 0");
    auto reply = ask(mSetup, e2e::request(1, 50, kNtp));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgSeq(), 50);
    ASSERT_TRUE(mUpstream->waitReceived(2, 1000));
    EXPECT_EQ(mUpstream->received()[1].rfind("1 1 ", 0), 0u) << mUpstream->received()[1];
}

TEST_F(EndToEnd, UnresolvableNorthHostLeavesOwnedRequestsServed) {
    DaemonSetup s = setup();
    s.northHost = "no-such-host.invalid";
    Daemon d(s);
    EXPECT_TRUE(d.logHas("Could lookup address for no-such-host.invalid", 30000));
    EXPECT_EQ(ask(s, e2e::request(1, 1, kNtp), 4000), nullptr);
    auto get = ask(s, e2e::request(1, 2, kSystem));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->getMsgSeq(), 2);
}

// An upstream inside the test: answers forwards and floods the daemon with stale and broken
// datagrams, or keeps silent, so both threads of the north link work at once.
class FakeUpstream {
public:
    explicit FakeUpstream(uint16_t port) {
        mFd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        timeval tv{0, 100000};
        setsockopt(mFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        mThread = std::thread([this] { serve(); });
    }
    ~FakeUpstream() {
        mStop = true;
        mThread.join();
        close(mFd);
    }

    std::atomic<bool> mSilent{false};
    std::atomic<int> mKeepAlives{0};
    std::atomic<int> mForwards{0};

private:
    void serve() {
        std::mt19937 rng(11);
        while (!mStop) {
            uint8_t buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(mFd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) {
                continue;
            }
            std::unique_ptr<QMsg> msg(QMsg::parseMsg(buf, static_cast<uint16_t>(n)));
            if (!msg) {
                continue;
            }
            if (msg->getMsgID() == 1 && msg->getTagList().empty()) {
                ++mKeepAlives;
                continue;
            }
            ++mForwards;
            if (mSilent) {
                continue;
            }
            auto answer = [&](uint8_t seq) {
                QMsg reply(1);
                reply.setMsgSeq(seq);
                reply.addTag(QTagFactory::createQTag(34));
                reply.addTag(QTagFactory::createQTag(80, "pool.example"));
                uint8_t out[1024];
                uint16_t m = reply.getMsg(out, sizeof out);
                sendto(mFd, out, m, 0, reinterpret_cast<sockaddr*>(&from), len);
            };
            uint8_t seq = msg->getMsgSeq();
            for (int stale = 0; stale < 5; ++stale) {
                answer(static_cast<uint8_t>(seq + 1 + rng() % 100));
            }
            uint8_t junk[37];
            for (auto& b : junk) {
                b = static_cast<uint8_t>(rng());
            }
            sendto(mFd, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&from), len);
            answer(seq);
            answer(seq); // a duplicate that arrives once the request is done
        }
    }

    int mFd = -1;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

TEST_F(EndToEnd, ForwardsWhileKeepAlivesFireAndLateRepliesArrive) {
    DaemonSetup s = setup();
    FakeUpstream upstream(s.northPort);
    Daemon d(s);
    ASSERT_TRUE(d.logHas("North link connected", 10000));

    int answered = 0;
    for (int i = 0; i < 200; ++i) {
        auto reply = ask(s, e2e::request(1, static_cast<uint8_t>(i & 0x7f), kNtp), 3500);
        if (reply) {
            ++answered;
            EXPECT_EQ(reply->getMsgSeq(), i & 0x7f);
        }
    }
    EXPECT_EQ(answered, 200);

    // Silence: forwards time out one after another while the poller sends keep-alives.
    upstream.mSilent = true;
    auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(11)) {
        EXPECT_EQ(ask(s, e2e::request(1, 1, kNtp), 3500), nullptr);
    }
    EXPECT_GE(upstream.mKeepAlives.load(), 1);
    upstream.mSilent = false;
    auto reply = ask(s, e2e::request(1, 7, kNtp), 3500);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgSeq(), 7);
}

} // namespace
