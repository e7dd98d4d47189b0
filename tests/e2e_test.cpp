// End-to-end cases that take a second or less each.
#include "e2e_fixture.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/un.h>
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

TEST_F(EndToEnd, ValuesCrossAsSentAndNoReplyIsSentInPart) {
    DaemonSetup s = setup();
    Daemon d(s);
    const uint8_t mac[] = {0x02, 0x00, 0x00, 0x00, 0x00, 0xff};
    ASSERT_NE(ask(s, e2e::request(0, 1, kSystem,
                                  {QTagFactory::createQTag(kUptime, uint32_t{4000000000u})})),
              nullptr);
    ASSERT_NE(ask(s, e2e::request(0, 2, kInterface, {QTagFactory::createQTag(kMac, mac, 6)})),
              nullptr);

    // What the script saw (its location text) and what it sent back.
    std::string seen;
    auto sys = ask(s, e2e::request(1, 3, kSystem));
    ASSERT_NE(sys, nullptr);
    for (const QTag* t : sys->getTagList()) {
        if (t->getTagID() == kUptime) {
            seen += std::to_string(static_cast<const QTagUInt32*>(t)->getValue()) + " ";
        } else if (t->getTagID() == kLocation) {
            seen += text_of(t) + " ";
        }
    }
    EXPECT_TRUE(seen == "4000000000 uptime 4000000000 " || seen == "uptime 4000000000 4000000000 ")
        << seen;

    auto ifs = ask(s, e2e::request(1, 4, kInterface), 3000);
    ASSERT_NE(ifs, nullptr);
    int macs = 0;
    for (const QTag* t : ifs->getTagList()) {
        macs += t->getTagID() == kMac && t->getTagType() == QT_BYTES && t->getDataLength() == 6 &&
                std::equal(mac, mac + 6, t->getRawData());
    }
    EXPECT_EQ(macs, 40);

    // 5000 values: more tags than a message carries, so nothing is sent, and one line says why.
    EXPECT_EQ(ask(s, e2e::request(5, 77, kInterface), 1000), nullptr);
    EXPECT_TRUE(d.logHas("device.lua to request seq 77 not sent: 5000 tags, 20000 bytes", 1000))
        << d.log();
    auto after = ask(s, e2e::request(1, 78, kSystem));
    ASSERT_NE(after, nullptr);
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

TEST_F(EndToEnd, UnbindableBrokerEndsTheProcessWithStatusZero) {
    struct Case {
        const char* settings;
        bool taken; // the port is held by another socket
        const char* reason;
    };
    const Case cases[] = {
        {"", true, "Cannot bind 0.0.0.0:PORT: Address already in use"},
        {"tamo.broker.address = 127.0.0.300\n", false,
         "tamo.broker.address = '127.0.0.300' is not an IPv4 address"},
        {"tamo.broker.address = 203.0.113.254\n", false,
         "Cannot bind 203.0.113.254:PORT: Cannot assign requested address"},
    };
    for (const Case& c : cases) {
        DaemonSetup s = setup();
        s.settings = c.settings;
        int blocker = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(s.brokerPort);
        ASSERT_TRUE(!c.taken || bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        Daemon d(s, false);
        int status = -1;
        ASSERT_TRUE(d.process().waitExit(20000, &status)) << c.settings;
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        std::string reason = c.reason;
        size_t at = reason.find("PORT");
        if (at != std::string::npos) {
            reason.replace(at, 4, std::to_string(s.brokerPort));
        }
        EXPECT_TRUE(d.logHas(reason)) << reason;
        EXPECT_TRUE(d.logHas("Could not bind to port " + std::to_string(s.brokerPort)));
        EXPECT_FALSE(d.logHas("North link connected"));
        close(blocker);
    }
}

// The edge: who may ask, which address answers, and what a flood of junk leaves in the log.
TEST_F(EndToEnd, UnlistedSourceGetsNothingAndRepliesLeaveFromTheAddressAsked) {
    DaemonSetup s = setup();
    s.settings = "tamo.broker.allow = 127.0.0.1\n";
    Daemon d(s);
    Client denied("127.0.0.2");
    std::unique_ptr<QMsg> get(e2e::request(1, 4, kSystem));
    denied.send(s.brokerPort, *get);
    EXPECT_EQ(denied.receive(500), nullptr);
    EXPECT_TRUE(d.logHas("Datagram from 127.0.0.2:"));
    EXPECT_FALSE(d.logHas("Got good Quorrel message"));

    // A connected socket takes only datagrams from the address it sent to.
    Client asker;
    asker.connectTo("127.0.0.2", s.brokerPort);
    asker.send(s.brokerPort, *get);
    std::unique_ptr<QMsg> reply(asker.receive(2000));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getMsgSeq(), 4);
}

TEST_F(EndToEnd, RefusedForwardEndsTheWaitAtOnce) {
    DaemonSetup s = setup(); // nothing listens on the north port
    Daemon d(s);
    ASSERT_TRUE(d.logHas("North link connected", 10000));
    auto t0 = std::chrono::steady_clock::now();
    std::unique_ptr<QMsg> fwd(e2e::request(1, 1, kNtp));
    mClient.send(s.brokerPort, *fwd);
    auto get = ask(s, e2e::request(1, 2, kSystem));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get->getMsgSeq(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_TRUE(d.logHas("North message timed out... (Connection refused)"));
}

TEST_F(EndToEnd, TenThousandBadDatagramsLeaveAFewDozenLogLines) {
    DaemonSetup s = setup();
    s.connectionLog = "INFO";
    s.settings = "tamo.broker.allow = 127.0.0.1\n";
    Daemon d(s);
    Client denied("127.0.0.2");
    std::unique_ptr<QMsg> refused(
        e2e::request(1, 3, kSystem, {QTagFactory::createQTag(200, uint32_t{1})}));
    uint8_t bad[64];
    uint16_t bad_len = refused->getMsg(bad, sizeof bad);
    auto lines_in = [](const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    };
    const size_t lines_before = lines_in(d.log());
    for (int i = 0; i < 10000; ++i) {
        switch (i % 4) {
        case 0:
            mClient.sendRaw(s.brokerPort, "", 0);
            break;
        case 1:
            mClient.sendRaw(s.brokerPort, "\xff\xfe junk", 7);
            break;
        case 2:
            mClient.sendRaw(s.brokerPort, bad, bad_len);
            break;
        default:
            denied.sendRaw(s.brokerPort, bad, bad_len);
        }
        if (i % 100 == 99) {
            // Bursts the socket's receive queue holds, so every datagram is read, spread over
            // more than a second, so that some lines after the first burst get through.
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    }
    ASSERT_NE(ask(s, e2e::request(1, 9, kSystem)), nullptr);
    std::string log = d.log();
    size_t lines = lines_in(log) - lines_before;
    EXPECT_LE(lines, 40u) << log;
    EXPECT_GE(lines, 3u);
    EXPECT_NE(log.find("similar lines suppressed"), std::string::npos) << log;
}

TEST_F(EndToEnd, WritesAreAuditedAndSigusr1WritesTheCounters) {
    DaemonSetup s = setup(); // nothing listens on the north port: the forward is refused
    s.settings = "tamo.broker.allow = 127.0.0.1\n";
    Daemon d(s);
    ASSERT_TRUE(d.logHas("North link connected", 10000));
    Client denied("127.0.0.2");
    std::unique_ptr<QMsg> get(e2e::request(1, 4, kSystem));
    denied.send(s.brokerPort, *get);
    mClient.sendRaw(s.brokerPort, "", 0);
    mClient.sendRaw(s.brokerPort, "\xff\xfe junk", 7);
    ask(s, e2e::request(1, 3, kSystem, {QTagFactory::createQTag(200, uint32_t{1})}), 100);
    ask(s, e2e::request(0, 12, kNtp), 100);
    std::vector<size_t> sizes;
    ASSERT_NE(ask(s, e2e::request(0, 11, kSystem, {QTagFactory::createQTag(kHostname, "edge-7")}),
                  2000, &sizes),
              nullptr);
    ASSERT_NE(ask(s, e2e::request(1, 5, kSystem), 2000, &sizes), nullptr);
    size_t bytes = 0;
    for (size_t n : sizes) {
        bytes += n;
    }

    EXPECT_TRUE(d.logHas("INFO audit: peer=127.0.0.1:"));
    EXPECT_TRUE(d.logHas(" seq=11 kind=set objects=system by=\"" + Daemon::dir() +
                         "/scripts/device.lua\" outcome=\"done\" us="));
    EXPECT_TRUE(d.logHas(" seq=12 kind=set objects=ntp by=\"forwarded\" "
                         "outcome=\"no reply from upstream\" us="));
    EXPECT_FALSE(d.logHas("kind=get"));

    kill(d.process().pid(), SIGUSR1);
    EXPECT_TRUE(d.logHas("Counters: received=7 denied=1 malformed=2 refused=1 served=2 "
                         "script_errors=0 forwards=1 forwards_answered=0 forwards_timed_out=0 "
                         "forwards_refused=1 replies=2 reply_bytes=" +
                             std::to_string(bytes) + " lines_suppressed=0",
                         2000))
        << d.log();
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

#ifdef TAMO_HAVE_SYSTEMD
// A fake service manager: the daemon says READY=1, then WATCHDOG=1 from its receive loop every
// quarter interval while idle, and none while a script holds the loop.
TEST_F(EndToEnd, WatchdogPingsComeFromTheReceiveLoopOnly) {
    std::string path = "/tmp/tamo-notify-" + std::to_string(getpid()) + ".sock";
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "400000", 1);
    DaemonSetup s = setup();
    s.scripts.push_back({"slow.lua", "function getObjects() return {35} end\n"
                                     "function getConfig() os.execute('sleep 1') return {} end\n"});
    Daemon d(s);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    using Clock = std::chrono::steady_clock;
    std::vector<std::pair<Clock::time_point, std::string>> got;
    auto listen = [&](int ms) {
        for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) == 1) {
                char buf[256];
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                got.emplace_back(Clock::now(),
                                 std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
            }
        }
    };
    listen(700);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].second, "READY=1");
    size_t idle = got.size();
    EXPECT_GE(idle, 5u); // a ping every 100 ms
    mClient.send(s.brokerPort, *std::unique_ptr<QMsg>(e2e::request(1, 1, 35)));
    listen(1500);
    double longest = 0;
    for (size_t i = idle; i < got.size(); ++i) {
        EXPECT_EQ(got[i].second, "WATCHDOG=1");
        longest = std::max(longest,
                           std::chrono::duration<double>(got[i].first - got[i - 1].first).count());
    }
    EXPECT_GT(longest, 0.8);         // the script's sleep
    EXPECT_GT(got.size(), idle + 2); // and pings again after it
    close(fd);
    unlink(path.c_str());
}
#endif

} // namespace
