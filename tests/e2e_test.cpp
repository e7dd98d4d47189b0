// End-to-end cases that take a second or less each.
#include "e2e_fixture.h"

#include <chrono>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e_cases;

TEST_F(EndToEnd, OwnedRequestsAnsweredWithKindAndSequence) {
    DaemonSetup s = setup();
    Daemon d(s);

    auto set = ask(s, e2e::request(0, 11, kSystem, {QTagFactory::createQTag(kHostname, "edge-7")}));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->getMsgID(), 0);
    EXPECT_EQ(set->getMsgSeq(), 11);
    EXPECT_EQ(shape(*set), "");

    auto get = ask(s, e2e::request(1, 127, kSystem, {QTagFactory::createQTag(kHostname)}));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->getMsgID(), 1);
    EXPECT_EQ(get->getMsgSeq(), 127);
    // The object's tag first; its fields in the order Lua walks them.
    const std::string tags = shape(*get);
    ASSERT_TRUE(tags == "32:0 64:1 67:2 " || tags == "32:0 67:2 64:1 ") << tags;
    size_t host = get->getTagList()[1]->getTagID() == kHostname ? 1 : 2;
    EXPECT_EQ(text_of(get->getTagList()[host]), "edge-7");
    EXPECT_EQ(static_cast<const QTagUInt32*>(get->getTagList()[3 - host])->getValue(), 12345u);

    auto del = ask(s, e2e::request(4, 0, kSystem));
    ASSERT_NE(del, nullptr);
    EXPECT_EQ(del->getMsgID(), 0);
    EXPECT_EQ(shape(*del), "32:0 ");

    auto rep = ask(s, e2e::request(5, 64, kSystem));
    ASSERT_NE(rep, nullptr);
    EXPECT_EQ(rep->getMsgID(), 0);
    EXPECT_EQ(rep->getMsgSeq(), 64);
    EXPECT_EQ(shape(*rep), "3:2 ");
}

TEST_F(EndToEnd, LargeReplyComesInSeveralDatagramsToTheRequester) {
    DaemonSetup s = setup();
    Daemon d(s);
    std::vector<size_t> sizes;
    auto get = ask(s, e2e::request(1, 5, kInterface), 3000, &sizes);
    ASSERT_NE(get, nullptr);
    EXPECT_GT(sizes.size(), 1u);
    for (size_t n : sizes) {
        EXPECT_LE(n, 1024u);
    }
    EXPECT_EQ(get->getMsgSeq(), 5);
    ASSERT_EQ(get->getTagList().size(), 120u);
    // Lua walks an object's fields in its own order; the last object's name is one of the two.
    const QTag* name = get->getTagList()[118];
    if (name->getTagID() != kIfName) {
        name = get->getTagList()[119];
    }
    EXPECT_EQ(get->getTagList()[117]->getTagID(), kInterface);
    EXPECT_EQ(text_of(name), "eth40-" + std::string(50, 'x'));

    // A second client gets its own answer at its own address.
    Client other;
    std::unique_ptr<QMsg> req(e2e::request(1, 9, kSystem));
    other.send(s.brokerPort, *req);
    std::unique_ptr<QMsg> mine(other.receive(2000));
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->getMsgSeq(), 9);
    EXPECT_EQ(mClient.receive(200), nullptr);

    // A burst from both, taken in batches: each reply, segments and all, reaches its own
    // requester in request order.
    auto client = [&](int seq) -> Client& { return seq % 2 == 0 ? mClient : other; };
    auto large = [](int seq) { return seq % 3 == 0; };
    for (int seq = 20; seq < 40; ++seq) {
        std::unique_ptr<QMsg> r(
            e2e::request(1, static_cast<uint8_t>(seq), large(seq) ? kInterface : kSystem));
        client(seq).send(s.brokerPort, *r);
    }
    for (int seq = 20; seq < 40; ++seq) {
        std::unique_ptr<QMsg> got(client(seq).receive(2000));
        ASSERT_NE(got, nullptr) << seq;
        EXPECT_EQ(got->getMsgSeq(), seq);
        EXPECT_EQ(got->getTagList().size(), large(seq) ? 120u : 3u) << seq;
    }
}

TEST_F(EndToEnd, HostileDatagramsNeverStopTheDaemon) {
    DaemonSetup s = setup();
    Daemon d(s);
    // An empty datagram and a request the dictionary refuses (an unknown tag in an object).
    mClient.sendRaw(s.brokerPort, "", 0);
    ask(s, e2e::request(1, 3, kSystem, {QTagFactory::createQTag(200, uint32_t{1})}), 300);

    std::mt19937 rng(7);
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> junk(rng() % 1400);
        for (auto& b : junk) {
            b = static_cast<uint8_t>(rng());
        }
        if (i % 3 == 0 && junk.size() > 8) {
            // Start like a real header so the parser goes deeper.
            std::unique_ptr<QMsg> real(e2e::request(1, 1, kSystem));
            uint8_t buf[64];
            uint16_t n = real->getMsg(buf, sizeof buf);
            std::copy(buf, buf + std::min<size_t>(n, 4), junk.begin());
        }
        mClient.sendRaw(s.brokerPort, junk.data(), junk.size());
        if (i % 20 == 19) {
            // Bursts small enough for the socket's receive queue: every datagram is read.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    while (mClient.receive(300) != nullptr) {
    }
    auto get = ask(s, e2e::request(1, 42, kSystem));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->getMsgSeq(), 42);
    EXPECT_TRUE(d.logHas("Rx len = 0;"));
    EXPECT_TRUE(d.logHas("Quorrel message could not be built"));
}

TEST_F(EndToEnd, TakenBrokerPortEndsTheProcessWithStatusZero) {
    DaemonSetup s = setup();
    int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(s.brokerPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    Daemon d(s, false);
    int status = -1;
    ASSERT_TRUE(d.process().waitExit(20000, &status));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(d.logHas("Could not bind to port " + std::to_string(s.brokerPort)));
    EXPECT_FALSE(d.logHas("North link connected"));
    close(blocker);
}

TEST_F(NorthPath, UnownedRequestsGoNorthOwnedOnesDoNot) {
    start({});
    // Message id 2 for an owned object: the script owns it but no operation handles it.
    EXPECT_EQ(ask(mSetup, e2e::request(2, 1, kSystem), 500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("We only handle get and set"));
    // A dictionary failure is not forwarded either.
    EXPECT_EQ(ask(mSetup, e2e::request(1, 2, kNtp, {QTagFactory::createQTag(kIfName, "x")}), 500),
              nullptr);
    EXPECT_TRUE(mUpstream->received().empty());

    // The same id 2 for an object nobody serves goes north and its answer comes back.
    auto fwd = ask(mSetup, e2e::request(2, 99, kNtp));
    ASSERT_NE(fwd, nullptr);
    EXPECT_EQ(fwd->getMsgSeq(), 99);
    EXPECT_EQ(fwd->getMsgID(), 2);
    ASSERT_TRUE(mUpstream->waitReceived(1, 1000));
    EXPECT_EQ(mUpstream->received()[0].rfind("2 0 ", 0), 0u) << mUpstream->received()[0];
}

TEST_F(NorthPath, ThreeSegmentReplyIsRelayedWhole) {
    start({"--segments", "3"});
    std::vector<size_t> sizes;
    auto reply = ask(mSetup, e2e::request(1, 17, kNtp), 2000, &sizes);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgSeq(), 17);
    EXPECT_GE(sizes.size(), 3u);
    EXPECT_GT(reply->getTagList().size(), 3u);
}

TEST_F(NorthPath, ReplyWithSegmentsOutOfOrderIsNotRelayed) {
    // The last segment first: the reply ends there, without its first two thirds, so the
    // requester gets nothing rather than a reply with tags missing; the stragglers are dropped.
    start({"--segments", "3", "--reverse"});
    EXPECT_EQ(ask(mSetup, e2e::request(1, 23, kNtp), 2500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("North reply incomplete; dropped"));
    EXPECT_TRUE(mDaemon->logHas("Got data from zeld but we're not expecting it", 2000));
    EXPECT_FALSE(mDaemon->logHas("North message timed out..."));
}

TEST_F(NorthPath, SequenceNumbersWrapAfter128Messages) {
    start({});
    for (int i = 0; i < 129; ++i) {
        auto reply = ask(mSetup, e2e::request(1, static_cast<uint8_t>(i & 0x7f), kNtp));
        ASSERT_NE(reply, nullptr) << i;
        ASSERT_EQ(reply->getMsgSeq(), i & 0x7f);
    }
    ASSERT_TRUE(mUpstream->waitReceived(129, 2000));
    auto lines = mUpstream->received();
    EXPECT_EQ(lines[127].rfind("1 127 ", 0), 0u) << lines[127];
    EXPECT_EQ(lines[128].rfind("1 0 ", 0), 0u) << lines[128];
}

} // namespace
