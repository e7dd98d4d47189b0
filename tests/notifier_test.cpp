#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
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
        mPort = ntohs(a.sin_port);
    }
    ~Sink() { close(); }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    void close() {
        if (mFd >= 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(mPort); }

    // The messages waiting, joined from their segments, each as "id: tag tag ...": a tag as
    // id=value, a u32 with "u" after it, a null tag as its id. Loopback delivers during sendto,
    // so everything sent is waiting; the poll only keeps a fault from hanging the test.
    std::string take() {
        std::string text;
        std::unique_ptr<QMsg> msg;
        uint8_t buf[2048];
        pollfd p{mFd, POLLIN, 0};
        while (poll(&p, 1, msg != nullptr ? 1000 : 0) == 1) {
            ssize_t n = recv(mFd, buf, sizeof buf, 0);
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
                text += describe(*msg);
                msg.reset();
            }
        }
        return text;
    }

private:
    static std::string describe(const QMsg& m) {
        std::string s = std::to_string(m.getMsgID()) + ":";
        for (const QTag* t : m.getTagList()) {
            s += " " + std::to_string(t->getTagID());
            const char* data = reinterpret_cast<const char*>(t->getRawData());
            switch (t->getTagType()) {
            case QT_STRING:
                s += "=" + std::string(data, t->getDataLength());
                break;
            case QT_UINT32:
                s += "=" + std::to_string(static_cast<const QTagUInt32*>(t)->getValue()) + "u";
                break;
            case QT_NULL:
                break;
            default:
                s += "=?";
            }
        }
        return s + "\n";
    }

    int mFd;
    uint16_t mPort = 0;
};

// A device with interfaces (object 33, by name 72, mtu 74) and a host name (object 32, member
// 64), read as a script's getConfig would answer: the object and a status; an interface it
// does not have gets a refusal and no object.
struct Device {
    std::map<std::string, int> mtu;
    std::string hostname = "dev";
    int reads = 0;

    cNotifier::tReader reader() {
        return [this](cConfigTable* request, cConfigTable* out) {
            ++reads;
            auto* asked = static_cast<cConfigTable*>(request->get(cTableType(0)));
            int objid = static_cast<int>(asked->get(std::string("objid")));
            auto* obj = new cConfigTable();
            if (objid == 32) {
                obj->insert(64, hostname);
            } else {
                std::string name = static_cast<std::string>(asked->get(cTableType(72)));
                if (mtu.count(name) == 0) {
                    delete obj;
                    out->insert(3, 1);
                    return;
                }
                obj->insert(72, name);
                obj->insert(74, mtu[name]);
            }
            obj->insert(std::string("objid"), objid);
            out->insert(3, 0);
            out->insert(0, obj);
        };
    }
};

// One step of a case: a write applied at atMs and marked, or a flush (or the start-up notice)
// at atMs and what each sink then holds.
struct Step {
    enum Kind { Set, Delete, SetHost, Flush, Restart } kind;
    uint64_t atMs;
    std::string name; // interface name, or the host name
    int mtu;          // Set: the mtu written, 0 for none in the write
    std::string want; // Flush, Restart: what each sink receives
};

cConfigTable* interface_object(const std::string& name, int mtu) {
    auto* o = new cConfigTable();
    o->insert(72, name);
    if (mtu != 0) {
        o->insert(74, mtu);
    }
    o->insert(std::string("objid"), 33);
    return o;
}

// Each case against two sinks: both receive the same notifications with the same transactions.
TEST(Notifier, MarksBecomeNotificationsOfTheLatestState) {
    struct Case {
        const char* what;
        std::vector<Step> steps;
        uint64_t coalesced;
    };
    const Case cases[] = {
        {"one mark, one notification",
         {{Step::Set, 5000, "eth0", 1400, ""},
          {Step::Flush, 5000, "", 0, "3: 1=tamo 2=1u 33 72=eth0 74=1400u\n"},
          {Step::Flush, 9000, "", 0, ""}},
         0},
        {"a burst within the interval goes once, as the device is at the flush",
         {{Step::Set, 0, "eth0", 1400, ""},
          {Step::Flush, 0, "", 0, "3: 1=tamo 2=1u 33 72=eth0 74=1400u\n"},
          {Step::Set, 10, "eth0", 1500, ""},
          {Step::Set, 20, "eth0", 9000, ""},
          {Step::Set, 30, "eth0", 9000, ""},
          {Step::Flush, 999, "", 0, ""},
          {Step::Flush, 1000, "", 0, "3: 1=tamo 2=2u 33 72=eth0 74=9000u\n"}},
         2},
        {"objects of two writes in marking order; the transaction counts on",
         {{Step::SetHost, 0, "gw", 0, ""},
          {Step::Set, 1, "eth1", 576, ""},
          {Step::Flush, 2, "", 0, "3: 1=tamo 2=1u 32 64=gw 33 72=eth1 74=576u\n"},
          {Step::SetHost, 3000, "gw2", 0, ""},
          {Step::Flush, 3000, "", 0, "3: 1=tamo 2=2u 32 64=gw2\n"},
          {Step::SetHost, 3500, "gw3", 0, ""},
          {Step::Flush, 4000, "", 0, "3: 1=tamo 2=3u 32 64=gw3\n"}},
         1},
        {"a deleted object goes without members, also when the set before it is read",
         {{Step::Set, 0, "eth1", 1400, ""},
          {Step::Flush, 0, "", 0, "3: 1=tamo 2=1u 33 72=eth1 74=1400u\n"},
          {Step::Set, 100, "eth1", 1300, ""},
          {Step::Delete, 200, "eth1", 0, ""},
          {Step::Flush, 1000, "", 0, "3: 1=tamo 2=2u 33\n"}},
         1},
        {"the later flag wins: deleted, then created again",
         {{Step::Delete, 0, "eth2", 0, ""},
          {Step::Set, 1, "eth2", 0, ""},
          {Step::Flush, 1, "", 0, "3: 1=tamo 2=1u 33 72=eth2 74=1500u\n"}},
         1},
        {"a notification over 1024 bytes goes in segments",
         {{Step::SetHost, 0, std::string(1500, 'h'), 0, ""},
          {Step::Flush, 0, "", 0, "3: 1=tamo 2=1u 32 64=" + std::string(1500, 'h') + "\n"}},
         0},
        {"an object that makes no message (a text over 65535 bytes) turns into an overflow",
         {{Step::SetHost, 0, std::string(70000, 'h'), 0, ""},
          {Step::Flush, 0, "", 0, "3: 1=tamo 2=1u 4=overflow\n"}},
         0},
        {"restart, then a mark waits out the interval",
         {{Step::Restart, 0, "", 0, "3: 1=tamo 2=1u 4=restart\n"},
          {Step::Set, 10, "eth0", 1400, ""},
          {Step::Flush, 10, "", 0, ""},
          {Step::Flush, 1000, "", 0, "3: 1=tamo 2=2u 33 72=eth0 74=1400u\n"}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sink a;
        Sink b;
        Device device;
        cNotifier n;
        ASSERT_EQ(n.configure((a.address() + ", " + b.address()).c_str(), 1000), 2u);
        uint64_t flushes = 0;
        for (const Step& s : c.steps) {
            std::unique_ptr<cConfigTable> object;
            switch (s.kind) {
            case Step::Set:
                device.mtu[s.name] = s.mtu != 0 ? s.mtu : 1500;
                object.reset(interface_object(s.name, s.mtu));
                break;
            case Step::Delete:
                device.mtu.erase(s.name);
                object.reset(interface_object(s.name, 0));
                break;
            case Step::SetHost:
                device.hostname = s.name;
                object.reset(new cConfigTable());
                object->insert(64, s.name);
                object->insert(std::string("objid"), 32);
                break;
            case Step::Flush:
                EXPECT_EQ(n.flush(s.atMs, device.reader()), !s.want.empty()) << s.atMs;
                break;
            case Step::Restart:
                n.restart(s.atMs);
                break;
            }
            if (object != nullptr) {
                n.mark(*object, s.kind == Step::Delete);
                EXPECT_GE(n.nextDueMs(s.atMs), s.atMs);
                EXPECT_NE(n.nextDueMs(s.atMs), cNotifier::kNoneDue);
            } else {
                flushes += s.want.empty() ? 0u : 1u;
                EXPECT_EQ(a.take(), s.want) << s.atMs;
                EXPECT_EQ(b.take(), s.want) << s.atMs;
                if (!s.want.empty()) {
                    EXPECT_EQ(n.nextDueMs(s.atMs), cNotifier::kNoneDue) << s.atMs;
                }
            }
        }
        EXPECT_EQ(n.counters().sent, 2 * flushes);
        EXPECT_EQ(n.counters().coalesced, c.coalesced);
        EXPECT_EQ(n.counters().failed, 0u);
    }
}

// What configure keeps of a list, and the line that says why an entry was skipped.
TEST(Notifier, SinkListsAreReadOnce) {
    Sink s;
    std::string ok = s.address();
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
        {ok, 1, ""},
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
        std::unique_ptr<cConfigTable> o(interface_object("eth0", 0));
        n.mark(*o, true);
        EXPECT_EQ(n.markedCount(), c.kept > 0 ? 1u : 0u) << "marks only with a sink";
    }
}

// A sink with nothing listening: its refusal is counted at the next send, and the other sink,
// the transactions and the marks go on as before.
TEST(Notifier, RefusingSinkCountsAsFailed) {
    Sink gone;
    std::string refusing = gone.address();
    gone.close();
    Sink live;
    Device device;
    cNotifier n;
    // The refusing sink last: its refusal cannot reach a send of the same notification.
    ASSERT_EQ(n.configure((live.address() + "," + refusing).c_str(), 100), 2u);
    std::unique_ptr<cConfigTable> o(interface_object("eth0", 0));
    n.mark(*o, true);
    EXPECT_TRUE(n.flush(0, device.reader()));
    EXPECT_EQ(n.counters().failed, 0u);
    n.mark(*o, true);
    EXPECT_TRUE(n.flush(100, device.reader()));
    EXPECT_EQ(n.counters().failed, 1u);
    EXPECT_EQ(n.counters().sent, 4u);
    EXPECT_EQ(live.take(), "3: 1=tamo 2=1u 33\n3: 1=tamo 2=2u 33\n");
    EXPECT_EQ(n.markedCount(), 0u);
    EXPECT_EQ(n.nextDueMs(100), cNotifier::kNoneDue);
}

// Past kMaxMarked objects in one interval the marks give way to one notification that tells the
// sinks to read everything; afterwards marks are kept again.
TEST(Notifier, TooManyObjectsBecomeOneOverflow) {
    Sink s;
    Device device;
    cNotifier n;
    ASSERT_EQ(n.configure(s.address().c_str(), 1000), 1u);
    for (uint32_t i = 0; i <= cNotifier::kMaxMarked; ++i) {
        EXPECT_EQ(n.markedCount(), i);
        std::unique_ptr<cConfigTable> o(interface_object("if" + std::to_string(i), 0));
        n.mark(*o, false);
    }
    EXPECT_EQ(n.markedCount(), 0u);
    EXPECT_EQ(n.nextDueMs(7), 7u);
    EXPECT_TRUE(n.flush(7, device.reader()));
    EXPECT_EQ(device.reads, 0);
    EXPECT_EQ(s.take(), "3: 1=tamo 2=1u 4=overflow\n");
    EXPECT_EQ(n.counters().coalesced, uint64_t{cNotifier::kMaxMarked});
    std::unique_ptr<cConfigTable> o(interface_object("eth0", 0));
    n.mark(*o, true);
    n.mark(*o, false);
    EXPECT_EQ(n.markedCount(), 1u) << "the same object twice is kept once";
    EXPECT_EQ(n.nextDueMs(8), 1007u);
}

} // namespace
