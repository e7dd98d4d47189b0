// End-to-end cases that take a second or less each.
#include "e2e_fixture.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace e2e_cases;

// A tag the dictionary does not allow in the system object: the request is refused.
const char* const kRefused = "system.200=u32:1";

// Each kind of request, values crossing as sent both ways; a reply of too many tags is not sent,
// a large one comes in several datagrams to its own requester.
TEST_F(EndToEnd, OwnedRequestsAnsweredWithKindAndSequence) {
    // logging is served by a script with nothing but a get.
    mSetup.scripts.push_back(
        {"logging.lua", "function getObjects() return {35} end function getConfig() end"});
    mSetup.settings = "tamo.script.budget_ms = 100\n";
    Daemon& d = start();
    struct Case {
        const char* kind;
        uint8_t seq;
        const char* words;
        uint8_t id;
        const char* reply;
    };
    // Every way a request can fail is answered, with the request's kind and sequence number, a
    // status, a short reason and the request's transaction; then each kind succeeds.
    const Case cases[] = {
        {"set", 20, "system.hostname=refuse", 0, "3:4=1 4:1=\"hostname: \\\"refuse\\\" refused\" "},
        {"set", 21, "@transaction=9 system.hostname=boom", 0,
         "2:2=9 3:4=250 4:1=\"script failed\" "},
        {"set", 22, "system.hostname=loop", 0, "3:4=251 4:1=\"script ran past its budget\" "},
        {"set", 23, "logging.level=1", 0, "3:4=252 4:1=\"not served\" "},
        {"replace", 77, "interface", 0, "3:4=253 4:1=\"reply too large\" "}, // 5000 tags
        {"set", 11,
         "system.hostname=edge-7 system.uptime=4000000000 interface.mac=02:00:00:00:00:ff", 0, ""},
        {"get", 127, "system.hostname", 1,
         "32:0 64:1=\"edge-7\" 65:1=\"uptime 4000000000\" 67:2=4000000000 "},
        {"delete", 0, "system", 0, "32:0 "},
        {"replace", 64, "system", 0, "3:4=0 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.seq));
        MsgPtr reply = ask(c.kind, c.seq, c.words);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->getMsgID(), c.id);
        EXPECT_EQ(reply->getMsgSeq(), c.seq);
        EXPECT_EQ(dump(*reply), c.reply);
    }
    EXPECT_TRUE(d.logHas("device.lua to request seq 77 not sent: 5000 tags, 10000 bytes"));
    EXPECT_TRUE(
        d.logHas("outcome=\"refused\" status=1 reason=\"hostname: \\\"refuse\\\" refused\""));
    EXPECT_TRUE(d.logHas("outcome=\"script error\" status=250 reason=\"script failed\""));
    EXPECT_TRUE(d.logHas("outcome=\"not served\" status=252 reason=\"not served\""));
    std::vector<size_t> sizes;
    MsgPtr get = ask("get", 5, "interface", 3000, &sizes);
    ASSERT_NE(get, nullptr);
    EXPECT_GT(sizes.size(), 1u);
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), size_t{qwire::kSegmentBytes});
    std::string want;
    for (int i = 1; i <= 40; ++i) {
        want += "33:0 72:1=\"eth" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "-" +
                std::string(50, 'x') + "\" 74:2=" + std::to_string(1500 + i) +
                " 77:5=02:00:00:00:00:ff ";
    }
    EXPECT_EQ(dump(*get), want);

    // A burst from two clients: each reply reaches its own requester in request order.
    Client other;
    auto client = [&](int seq) -> Client& { return seq % 2 == 0 ? mClient : other; };
    auto large = [](int seq) { return seq % 3 == 0; };
    for (int seq = 20; seq < 40; ++seq) {
        client(seq).send(mSetup.brokerPort, *request("get", static_cast<uint8_t>(seq),
                                                     large(seq) ? "interface" : "system"));
    }
    for (int seq = 20; seq < 40; ++seq) {
        MsgPtr got = client(seq).receive(2000);
        ASSERT_NE(got, nullptr) << seq;
        EXPECT_EQ(got->getMsgSeq(), seq);
        EXPECT_EQ(got->getTagList().size(), large(seq) ? 160u : 4u) << seq;
    }
    EXPECT_EQ(mClient.receive(200), nullptr);
}

TEST_F(EndToEnd, UnbindableBrokerEndsTheProcessWithStatusZero) {
    const std::string port = std::to_string(mSetup.brokerPort);
    struct Case {
        const char* settings;
        bool taken; // the port is held by another socket
        std::string reason;
    };
    const Case cases[] = {
        {"", true, "Cannot bind 0.0.0.0:" + port + ": Address already in use"},
        {"tamo.broker.address = 127.0.0.300\n", false,
         "tamo.broker.address = '127.0.0.300' is not an IPv4 address"},
        {"tamo.broker.address = 203.0.113.254\n", false,
         "Cannot bind 203.0.113.254:" + port + ": Cannot assign requested address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        mSetup.settings = c.settings;
        std::unique_ptr<Client> blocker(c.taken ? new Client("0.0.0.0", mSetup.brokerPort)
                                                : nullptr);
        Daemon d(mSetup, false);
        int status = -1;
        ASSERT_TRUE(d.process().waitExit(20000, &status));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(d.logHas(c.reason));
        EXPECT_TRUE(d.logHas("Could not bind to port " + port));
    }
}

// Empty datagrams, random junk (a third of it with a real header's start), requests the
// dictionary refuses and requests from an unlisted source.
TEST_F(EndToEnd, TenThousandBadDatagramsLeaveAFewDozenLogLines) {
    mSetup.connectionLog = "INFO";
    mSetup.settings = "tamo.broker.allow = 127.0.0.1\n";
    Daemon& d = start();
    Client denied("127.0.0.2");
    const toolkit::Bytes bad = toolkit::serialiseSegments(*request("get", 3, kRefused))[0];
    const size_t before = d.log().size();
    std::mt19937 rng(7);
    for (int i = 0; i < 10000; ++i) {
        toolkit::Bytes junk(i % 4 == 1 ? rng() % 1400 : 0);
        for (auto& b : junk) {
            b = static_cast<uint8_t>(rng());
        }
        if (i % 3 == 0 && junk.size() > 8) {
            std::copy(bad.begin(), bad.begin() + 4, junk.begin());
        }
        const toolkit::Bytes& sent = i % 4 < 2 ? junk : bad;
        (i % 4 == 3 ? denied : mClient).sendRaw(mSetup.brokerPort, sent.data(), sent.size());
        if (i % 100 == 99) { // bursts the receive queue holds, over more than a second
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    }
    while (mClient.receive(300) != nullptr) {
    }
    ASSERT_NE(ask("get", 9, "system"), nullptr);
    std::string log = d.log().substr(before);
    auto lines = std::count(log.begin(), log.end(), '\n');
    EXPECT_TRUE(lines >= 3 && lines <= 40) << log;
    EXPECT_NE(log.find("similar lines suppressed"), std::string::npos) << log;
}

// The edge: who may ask, which address answers, what is audited and what is counted.
TEST_F(EndToEnd, WritesAreAuditedAndSigusr1WritesTheCounters) {
    mSetup.settings = "tamo.broker.allow = 127.0.0.1\n";
    Daemon& d = start(); // nothing listens on the north port: the forward is refused at once
    ASSERT_TRUE(d.logHas("North link connected", 10000));
    Client denied("127.0.0.2");
    denied.send(mSetup.brokerPort, *request("get", 4, "system"));
    EXPECT_EQ(denied.receive(300), nullptr);
    mClient.sendRaw(mSetup.brokerPort, "", 0);
    mClient.sendRaw(mSetup.brokerPort, "\xff\xfe junk", 7);
    ask("get", 3, kRefused, 100);
    auto t0 = Clock::now();
    mClient.send(mSetup.brokerPort, *request("set", 12, "ntp"));
    std::vector<size_t> sizes;
    ASSERT_NE(ask("set", 11, "system.hostname=edge-7", 2000, &sizes), nullptr);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    ASSERT_NE(ask("get", 5, "system", 2000, &sizes), nullptr);
    const size_t bytes = std::accumulate(sizes.begin(), sizes.end(), size_t{0});

    const std::vector<std::string> lines = {
        "Datagram from 127.0.0.2:",
        "Rx len = 0;",
        "Quorrel message could not be built",
        "North message timed out... (Connection refused)",
        "INFO audit: peer=127.0.0.1:",
        " seq=11 kind=set objects=system by=\"" + Daemon::dir() +
            "/scripts/device.lua\" outcome=\"done\" us=",
        " seq=12 kind=set objects=ntp by=\"forwarded\" outcome=\"no reply from upstream\" us=",
    };
    for (const std::string& line : lines) {
        EXPECT_TRUE(d.logHas(line)) << line;
    }
    EXPECT_FALSE(d.logHas("kind=get"));

    kill(d.process().pid(), SIGUSR1);
    EXPECT_TRUE(d.logHas("Counters: received=7 denied=1 malformed=2 refused=1 served=2 "
                         "script_errors=0 forwards=1 forwards_answered=0 forwards_timed_out=0 "
                         "forwards_refused=1 replies=2 reply_bytes=" +
                             std::to_string(bytes) +
                             " replayed=0 seq_reused=0 write_denied=0 notify_sent=0 "
                             "notify_coalesced=0 notify_failed=0 lines_suppressed=0",
                         2000))
        << d.log();

    // A reply leaves from the address asked; for a broadcast, from the one that owns it.
    const int on = 1;
    ASSERT_EQ(setsockopt(mClient.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    const std::pair<const char*, const char*> cases[] = {{"127.0.0.2", "127.0.0.2:"},
                                                         {"127.255.255.255", "127.0.0.1:"}};
    for (auto [to, owner] : cases) {
        mClient.send(mSetup.brokerPort, *request("get", 6, "system"), to);
        ASSERT_NE(mClient.receive(2000), nullptr) << to;
        EXPECT_EQ(mClient.from(), owner + std::to_string(mSetup.brokerPort));
    }
}

// Only what no script owns goes north, each with the next of 128 sequence numbers; the answer
// comes back with the requester's own. A reply in three segments is relayed whole; with its last
// segment first the requester gets nothing rather than a reply with tags missing.
TEST_F(NorthPath, UnownedRequestsGoNorthWithSequenceNumbersThatWrap) {
    start({"--segments", "3"});
    // Message id 2 for an owned object: the script owns it but no operation handles it; a
    // request the dictionary refuses is not forwarded either.
    EXPECT_EQ(ask("action", 1, "system", 500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("We only handle get and set"));
    EXPECT_EQ(ask("get", 2, "ntp.72=str:x", 500), nullptr);
    EXPECT_TRUE(mUpstream->received().empty());

    std::vector<size_t> sizes;
    for (int i = 0; i < 129; ++i) {
        MsgPtr reply = ask("get", static_cast<uint8_t>(i & 0x7f), "ntp", 2000, &sizes);
        ASSERT_NE(reply, nullptr) << i;
        ASSERT_EQ(reply->getMsgSeq(), i & 0x7f);
        ASSERT_GT(reply->getTagList().size(), 3u);
    }
    EXPECT_GE(sizes.size(), 3u * 129);
    // The same id 2 for an object nobody serves goes north and its answer comes back.
    MsgPtr fwd = ask("action", 99, "ntp");
    ASSERT_NE(fwd, nullptr);
    EXPECT_EQ(fwd->getMsgID(), 2);
    EXPECT_EQ(fwd->getMsgSeq(), 99);
    Lines lines = mUpstream->received(130, 2000);
    ASSERT_EQ(lines.size(), 130u);
    EXPECT_EQ(lines[127], "1 127 1");
    EXPECT_EQ(lines[128], "1 0 1");
    EXPECT_EQ(lines[129], "2 1 1");

    mUpstream.reset();
    mUpstream.reset(new Upstream(mSetup.northPort, {"--segments", "3", "--reverse"}));
    EXPECT_EQ(ask("get", 23, "ntp", 2500), nullptr);
    EXPECT_TRUE(mDaemon->logHas("North reply incomplete; dropped"));
    EXPECT_TRUE(mDaemon->logHas("Got data from zeld but we're not expecting it", 2000));
    EXPECT_FALSE(mDaemon->logHas("North message timed out..."));
}

// A write sent again within the replay lifetime runs once and gets the same answer; the same
// key with other bytes runs again; reads always run. Only writers write, locally or north.
TEST_F(NorthPath, RetriedWritesRunOnceAndOnlyWritersWrite) {
    mSetup.settings = "tamo.broker.write_allow = 127.0.0.1\n";
    start({});
    auto twice = [&](const char* kind, uint8_t seq, const char* words) {
        MsgPtr m = request(kind, seq, words);
        mClient.send(mSetup.brokerPort, *m);
        mClient.send(mSetup.brokerPort, *m);
        std::vector<size_t> a, b;
        MsgPtr first = mClient.receive(2000, &a), second = mClient.receive(2000, &b);
        EXPECT_TRUE(first && second) << kind << " " << seq;
        EXPECT_EQ(first ? dump(*first) : "", second ? dump(*second) : "");
        EXPECT_EQ(a, b);
        return first ? dump(*first) : std::string("none");
    };
    EXPECT_EQ(twice("set", 31, "system.hostname=refuse"),
              twice("set", 31, "system.hostname=refuse"));
    EXPECT_NE(twice("set", 31, "system.hostname=a"), "none"); // other bytes: runs
    EXPECT_NE(dump(*ask("get", 40, "system.hostname")).find("\"a\""), std::string::npos);
    EXPECT_NE(ask("set", 41, "system.hostname=b"), nullptr);
    EXPECT_NE(dump(*ask("get", 40, "system.hostname")).find("\"b\""), std::string::npos);
    twice("set", 42, "ntp"); // answered upstream: kept
    EXPECT_EQ(mUpstream->received(1, 500).size(), 1u);

    Client reader("127.0.0.3");
    for (const char* words : {"system.hostname=c", "ntp"}) {
        reader.send(mSetup.brokerPort, *request("set", 50, words));
        MsgPtr reply = reader.receive(2000);
        ASSERT_NE(reply, nullptr) << words;
        EXPECT_EQ(dump(*reply), "3:4=240 4:1=\"not allowed to write\" ");
    }
    reader.send(mSetup.brokerPort, *request("get", 51, "system.hostname"));
    EXPECT_NE(reader.receive(2000), nullptr);
    EXPECT_EQ(mUpstream->received(2, 300).size(), 1u);
    Daemon& d = *mDaemon;
    for (const char* line : {" seq=31 kind=set objects=system by=", "outcome=\"replayed\"",
                             "outcome=\"denied\" status=240 reason=\"not allowed to write\"",
                             "Write from 127.0.0.3:"}) {
        EXPECT_TRUE(d.logHas(line)) << line;
    }
    kill(d.process().pid(), SIGUSR1);
    EXPECT_TRUE(d.logHas("replayed=5 seq_reused=1 write_denied=2", 2000)) << d.log();
}

// Sinks hear of the restart, then of each change with its state as it is now, coalesced within
// the interval; a failed write tells them nothing. The daemon describes itself as object 36.
TEST_F(EndToEnd, SinksLearnWhatChangedAndTheDaemonDescribesItself) {
    uint16_t sinkPort = e2e::freePort();
    uint16_t listenPort = e2e::freePort();
    Client sink("127.0.0.1", sinkPort);
    // A second sink: tamoctl listen, as a person would run it.
    const std::string listened = Daemon::dir() + "/listen.out";
    std::remove(listened.c_str());
    e2e::Process listen({TAMOCTL_BIN, "listen", "-b", "127.0.0.1", "-p", std::to_string(listenPort),
                         "--json", "--count", "2"},
                        listened);
    auto listen_says = [&](const std::string& what) {
        for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::ostringstream text;
            text << std::ifstream(listened).rdbuf();
            if (text.str().find(what) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(listen_says("listening on"));
    mSetup.settings = "tamo.notify.sinks = 127.0.0.1:" + std::to_string(sinkPort) +
                      ", 127.0.0.1:" + std::to_string(listenPort) +
                      "\ntamo.notify.interval_ms = 100\ntamo.broker.write_allow = 127.0.0.1\n"
                      "tamo.state.dir = " +
                      Daemon::dir() + "\n";
    start();
    auto heard = [&](int ms) {
        MsgPtr m = sink.receive(ms);
        return m ? std::to_string(m->getMsgID()) + " " + dump(*m) : std::string("nothing");
    };
    EXPECT_EQ(heard(2000), "3 1:1=\"tamo\" 2:2=1 4:1=\"restart\" ");
    ASSERT_NE(ask("set", 1, "system.hostname=n1"), nullptr);
    EXPECT_EQ(heard(2000).substr(0, 33), "3 1:1=\"tamo\" 2:2=2 32:0 64:1=\"n1\"");
    EXPECT_TRUE(listen_says("\"restart\"") && listen_says("\"n1\""));
    for (char c = 'a'; c <= 'j'; ++c) {
        ask("set", static_cast<uint8_t>(c), ("system.hostname=" + std::string(1, c)).c_str());
    }
    std::string last;
    int notifications = 0;
    for (std::string h = heard(500); h != "nothing"; h = heard(500)) {
        last = h;
        ++notifications;
    }
    EXPECT_LE(notifications, 3) << "ten sets within a few intervals";
    EXPECT_NE(last.find("64:1=\"j\""), std::string::npos) << last;
    ASSERT_NE(ask("set", 20, "system.hostname=refuse"), nullptr);
    ASSERT_NE(ask("delete", 21, "system"), nullptr);
    EXPECT_EQ(heard(2000), "3 1:1=\"tamo\" 2:2=" + std::to_string(3 + notifications) + " 32:0 ");
    EXPECT_EQ(heard(300), "nothing");

    EXPECT_EQ(dump(*ask("set", 30, "@confirm=60 @transaction=77 system.hostname=p")),
              "2:2=77 3:4=0 ");
    Client reader("127.0.0.3");
    const std::pair<Client*, const char*> askers[] = {{&mClient, "99:5=20:21"}, {&reader, "99:5="}};
    for (auto [client, writable] : askers) {
        client->send(mSetup.brokerPort, *request("get", 40, "tamo"));
        MsgPtr self = client->receive(2000);
        ASSERT_NE(self, nullptr);
        std::string text = dump(*self);
        for (const std::string& part :
             {std::string("96:1=\"") + TAMO_VERSION + "\"", std::string("98:5=20:21 ") + writable,
              std::string("100:2=7 101:2="), std::string("102:2=77")}) {
            EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
        }
    }
    EXPECT_EQ(dump(*ask("set", 41, "tamo.version=x")), "3:4=252 4:1=\"not served\" ");
    EXPECT_EQ(dump(*ask("cancel", 42, "@transaction=77")), "2:2=77 3:4=0 ");
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
    mSetup.scripts.push_back({"slow.lua", "function getObjects() return {35} end\n"
                                          "function getConfig() os.execute('sleep 1') return {} "
                                          "end\n"});
    start();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

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
    ASSERT_GE(got.size(), 5u); // a ping every 100 ms
    EXPECT_EQ(got[0].second, "READY=1");
    size_t idle = got.size();
    mClient.send(mSetup.brokerPort, *request("get", 1, "logging"));
    listen(1500);
    Clock::duration longest{};
    for (size_t i = idle; i < got.size(); ++i) {
        EXPECT_EQ(got[i].second, "WATCHDOG=1");
        longest = std::max(longest, got[i].first - got[i - 1].first);
    }
    EXPECT_GT(longest, std::chrono::milliseconds(800)); // the script's sleep
    EXPECT_GT(got.size(), idle + 2);                    // and pings again after it
    close(fd);
    unlink(path.c_str());
}
#endif

} // namespace
