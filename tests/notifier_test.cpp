#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "notifier.h"
#include "qmsg.h"
#include "support.h"

namespace {

// A UDP socket on a free loopback port that plays a sink.
class Sink {
public:
    Sink() : mFd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &len);
        address = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    ~Sink() { close(mFd); }
    std::string address;

    // The messages waiting (loopback delivers during sendto), joined from their segments, each
    // as "id: tag tag ...": a tag as id=value, a u32 with "u" after it, a null tag as its id.
    std::string take() {
        std::string text;
        std::unique_ptr<QMsg> msg;
        uint8_t buf[2048];
        ssize_t n;
        while ((n = recv(mFd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
            EXPECT_LE(n, 1024) << "a datagram over 1024 bytes";
            std::unique_ptr<QMsg> seg(QMsg::parseMsg(buf, static_cast<uint16_t>(n)));
            if (seg == nullptr) {
                ADD_FAILURE() << "a datagram that does not parse";
                break;
            }
            if (msg == nullptr) {
                msg = std::move(seg);
            } else {
                EXPECT_TRUE(msg->addSegment(seg.get()));
            }
            if (msg->isLastSegment()) {
                text += std::to_string(msg->getMsgID()) + ":";
                for (const QTag* t : msg->getTagList()) {
                    text += " " + std::to_string(t->getTagID());
                    if (t->getTagType() == QT_STRING) {
                        text += "=" + std::string(reinterpret_cast<const char*>(t->getRawData()),
                                                  t->getDataLength());
                    } else if (t->getTagType() == QT_UINT32) {
                        text += "=" +
                                std::to_string(static_cast<const QTagUInt32*>(t)->getValue()) + "u";
                    }
                }
                text += "\n";
                msg.reset();
            }
        }
        return text;
    }

private:
    int mFd;
};

// An object with one member: an interface (object 33, by name 72) or the host name (32, 64).
std::unique_ptr<cConfigTable> object(int objid, int member, const std::string& value) {
    std::unique_ptr<cConfigTable> o(new cConfigTable());
    o->insert(member, value);
    o->insert(std::string("objid"), objid);
    return o;
}

// Two sinks get the same notifications and transactions; a refusing one is counted at the next
// send while the rest goes on. A step marks the host name written (host set), an interface
// deleted ("-") or kMaxMarked interfaces ("*"); flushes and says what each listening sink holds
// (""); or says the counters and reads ("="). The rest end to end in
// EndToEnd.SinksLearnWhatChangedAndTheDaemonDescribesItself.
TEST(Notifier, MarksBecomeNotificationsOfTheLatestState) {
    struct Step {
        uint64_t atMs;
        std::string host;
        std::string want;
    };
    struct Case {
        const char* what;
        bool refusing;
        std::vector<Step> steps;
    };
    const std::string big(1500, 'h');
    const Case cases[] = {
        {"objects of two writes in marking order, over 1024 bytes in segments; the latest state "
         "after the interval; an object that makes no message (a text over 65535 bytes) turns "
         "into an overflow",
         false,
         {{0, big, ""},
          {1, "-", ""},
          {2, "", "3: 1=tamo 2=1u 32 64=" + big + " 33\n"},
          {10, "gw2", ""},
          {20, "gw3", ""},
          {1001, "", ""},
          {1002, "", "3: 1=tamo 2=2u 32 64=gw3\n"},
          {1003, std::string(70000, 'h'), ""},
          {2002, "", "3: 1=tamo 2=3u 4=overflow\n"},
          {0, "=", "sent=6 coalesced=2 failed=0 reads=4"}}},
        {"past kMaxMarked objects an overflow, read from nothing; one object marked twice goes "
         "once; a refusing sink last, so its refusal cannot reach a send of the same notification",
         true,
         {{0, "gw", ""},
          {0, "*", ""},
          {7, "", "3: 1=tamo 2=1u 4=overflow\n"},
          {8, "-", ""},
          {9, "-", ""},
          {1006, "", ""},
          {1007, "", "3: 1=tamo 2=2u 33\n"},
          {0, "=",
           "sent=4 coalesced=" + std::to_string(cNotifier::kMaxMarked + 1) + " failed=1 reads=0"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sink a;
        Sink b;
        std::string hostname;
        int reads = 0;
        auto reader = [&](cConfigTable*, cConfigTable* out) {
            ++reads;
            out->insert(3, 0);
            out->insert(0, object(32, 64, hostname).release());
        };
        cNotifier n;
        std::string second = c.refusing ? Sink().address : b.address;
        ASSERT_EQ(n.configure((a.address + ", " + second).c_str(), 1000), 2u);
        for (const Step& s : c.steps) {
            if (s.host.empty()) {
                EXPECT_EQ(n.flush(s.atMs, reader), !s.want.empty()) << s.atMs;
                EXPECT_EQ(a.take(), s.want) << s.atMs;
                EXPECT_EQ(b.take(), c.refusing ? "" : s.want) << s.atMs;
            } else if (s.host == "=") {
                const cNotifier::sCounters& k = n.counters();
                EXPECT_EQ(
                    "sent=" + std::to_string(k.sent) + " coalesced=" + std::to_string(k.coalesced) +
                        " failed=" + std::to_string(k.failed) + " reads=" + std::to_string(reads),
                    s.want);
            } else {
                for (uint32_t i = 0; s.host == "*" && i < cNotifier::kMaxMarked; ++i) {
                    EXPECT_EQ(n.markedCount(), i + 1);
                    n.mark(*object(33, 72, "if" + std::to_string(i)), false);
                }
                if (s.host == "-") {
                    n.mark(*object(33, 72, "eth1"), true);
                } else if (s.host != "*") {
                    hostname = s.host;
                    n.mark(*object(32, 64, s.host), false);
                }
            }
        }
        EXPECT_EQ(n.nextDueMs(5000), cNotifier::kNoneDue);
        EXPECT_EQ(n.markedCount(), 0u);
    }
}

// What configure keeps of a list, and the line that says why an entry was skipped.
TEST(Notifier, SinkListsAreReadOnce) {
    const std::string ok = Sink().address;
    std::string many;
    for (int i = 0; i < 17; ++i) {
        many += "127.0.0." + std::to_string(i + 1) + ":9,";
    }
    struct Case {
        std::string list;
        uint32_t kept;
        std::string logged;
    };
    const Case cases[] = {
        {"", 0, ""},
        {" localhost:9 , " + ok + " ", 2, ""},
        {"no-such-sink.invalid:9, " + ok, 1, "'no-such-sink.invalid:9' cannot be looked up"},
        {"127.0.0.1, " + ok, 1, "'127.0.0.1' is not host:port"},
        {"127.0.0.1:0", 0, "'127.0.0.1:0' is not host:port"},
        {"127.0.0.1:65536", 0, "'127.0.0.1:65536' is not host:port"},
        {"127.0.0.1:9x", 0, "'127.0.0.1:9x' is not host:port"},
        {":9", 0, "':9' is not host:port"},
        {ok + ",,", 1, "'' is not host:port"},
        {ok + ",localhost:" + ok.substr(10), 1, "is '" + ok + "' again"},
        {many, 16, "'127.0.0.17:9' is past the 16 sinks"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        LogCapture log("cNotifier", log4cpp::Priority::WARN);
        cNotifier n;
        EXPECT_EQ(n.configure(c.list.c_str(), 1000), c.kept);
        EXPECT_EQ(n.enabled(), c.kept > 0);
        std::string text = log.text();
        EXPECT_EQ(text.find(c.logged) != std::string::npos, true) << text;
        EXPECT_EQ(count_of(text, "WARN"), c.logged.empty() ? 0u : 1u) << text;
        n.mark(*object(33, 72, "eth0"), true);
        EXPECT_EQ(n.markedCount(), c.kept > 0 ? 1u : 0u) << "marks only with a sink";
    }
}

} // namespace
