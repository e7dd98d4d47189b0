// The Wireshark dissector (the built tools/wireshark/quorrel.lua) read by tshark: on a capture
// recorded from a real exchange with the daemon and the upstream stand-in, and on a capture of
// the fuzz seed corpus and mutations of it. Skipped when tshark is not installed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <thread>

#include "daemon_harness.h"
#include "toolkit.h"

namespace {

using toolkit::Bytes;

// Datagrams with their endpoints, written as a pcap file of raw IPv4 packets.
class Capture {
public:
    void add(const sockaddr_in& src, const sockaddr_in& dst, const uint8_t* data, size_t len) {
        timeval now{};
        gettimeofday(&now, nullptr);
        Bytes p;
        auto put = [&p](uint32_t v, int bytes) {
            for (int i = bytes - 1; i >= 0; --i) {
                p.push_back(static_cast<uint8_t>(v >> (8 * i)));
            }
        };
        put(0x45000000u | static_cast<uint32_t>(28 + len), 4); // IPv4, no options, total length
        put(0, 4);                                             // id 0, no fragments
        put(0x4011u, 2);                                       // TTL 64, UDP
        put(0, 2);                                             // checksums not computed
        put(ntohl(src.sin_addr.s_addr), 4);
        put(ntohl(dst.sin_addr.s_addr), 4);
        put(ntohs(src.sin_port), 2);
        put(ntohs(dst.sin_port), 2);
        put(static_cast<uint32_t>(8 + len), 2);
        put(0, 2);
        p.insert(p.end(), data, data + len);
        std::lock_guard<std::mutex> lock(mMutex);
        mPackets.push_back(
            {static_cast<uint32_t>(now.tv_sec), static_cast<uint32_t>(now.tv_usec), std::move(p)});
    }

    void write(const std::string& path) {
        std::lock_guard<std::mutex> lock(mMutex);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        // Host byte order header: magic, version 2.4, zone 0, sigfigs 0, snaplen, raw IP.
        const uint32_t head[] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 65535, 101};
        out.write(reinterpret_cast<const char*>(head), sizeof head);
        for (const Packet& p : mPackets) {
            const uint32_t rec[] = {p.sec, p.usec, static_cast<uint32_t>(p.bytes.size()),
                                    static_cast<uint32_t>(p.bytes.size())};
            out.write(reinterpret_cast<const char*>(rec), sizeof rec);
            out.write(reinterpret_cast<const char*>(p.bytes.data()),
                      static_cast<std::streamsize>(p.bytes.size()));
        }
    }

private:
    struct Packet {
        uint32_t sec, usec;
        Bytes bytes;
    };
    std::mutex mMutex;
    std::vector<Packet> mPackets;
};

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// Stands between the daemon's north link (listening on port) and the stand-in on target,
// recording each datagram as if it had gone straight between the two.
class Relay {
public:
    Relay(Capture* cap, uint16_t port, uint16_t target) : mCap(cap), mTarget(loopback(target)) {
        std::string error;
        EXPECT_TRUE(mListen.open(loopback(port), &error)) << error;
        EXPECT_TRUE(mOut.open(loopback(0), &error)) << error;
        mThread = std::thread([this] { run(); });
    }
    ~Relay() {
        mStop = true;
        mThread.join();
    }

private:
    void run() {
        std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
        sockaddr_in daemon{}, from{};
        while (!mStop) {
            pollfd fds[] = {{mListen.fd(), POLLIN, 0}, {mOut.fd(), POLLIN, 0}};
            if (poll(fds, 2, 50) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                int n = (fds[i].revents & POLLIN)
                            ? (i == 0 ? mListen : mOut).receive(buf.data(), buf.size(), 0, &from)
                            : -1;
                if (n < 0) {
                    continue;
                }
                auto len = static_cast<size_t>(n);
                if (i == 0) {
                    daemon = from;
                    mCap->add(daemon, mTarget, buf.data(), len);
                    mOut.sendTo(buf.data(), len, mTarget);
                } else {
                    mCap->add(mTarget, daemon, buf.data(), len);
                    mListen.sendTo(buf.data(), len, daemon);
                }
            }
        }
    }

    Capture* mCap;
    sockaddr_in mTarget;
    toolkit::UdpSocket mListen, mOut;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

bool have_tshark() {
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

// tshark's detailed output of the capture, split into frames (index 0 is frame 1).
std::vector<std::string> tshark_frames(const std::string& pcap, const std::string& options) {
    std::string cmd =
        "tshark -2 -n -r '" + pcap + "' -X lua_script:'" TAMO_DISSECTOR "' " + options + " -V 2>&1";
    std::vector<std::string> frames;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        ADD_FAILURE() << "cannot run " << cmd;
        return frames;
    }
    std::string all;
    char buf[65536];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) {
        all.append(buf, n);
    }
    EXPECT_EQ(pclose(p), 0) << cmd;
    EXPECT_EQ(all.find("Lua Error"), std::string::npos) << all.substr(0, 4000);
    EXPECT_EQ(all.find("Quorrel dissector fault"), std::string::npos) << all.substr(0, 4000);
    size_t at = 0;
    while ((at = all.find("Frame ", at)) != std::string::npos) {
        size_t next = all.find("\nFrame ", at + 1);
        frames.push_back(all.substr(at, next == std::string::npos ? next : next + 1 - at));
        at = next == std::string::npos ? next : next + 1;
    }
    return frames;
}

// Serves system (a location long enough to be cut across three segments) and interface.
const char kScript[] = R"lua(
function getObjects() return {32, 33} end
function getConfig(req)
  return {{objid = 32, [64] = "tamo-ws", [65] = string.rep("Rack 4, row B; ", 170), [67] = 12345}}
end
function setConfig(req) end
function replaceConfig(req) end
function deleteConfig(req) end
)lua";

TEST(Wireshark, ShowsARecordedExchange) {
    if (!have_tshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    uint16_t broker = e2e::freePort(), north = e2e::freePort(), sim = e2e::freePort();
    Capture cap;
    Relay relay(&cap, north, sim);
    e2e::DaemonSetup setup;
    setup.brokerPort = broker;
    setup.northPort = north;
    setup.scripts = {{"ws.lua", kScript}};
    e2e::Daemon daemon(setup);
    e2e::Upstream upstream(sim, {});

    toolkit::UdpSocket client;
    std::string error;
    ASSERT_TRUE(client.open(loopback(0), &error)) << error;
    sockaddr_in me = client.localAddress(), to = loopback(broker);
    // Each request and, but for the last, the number of reply datagrams it must get.
    const std::vector<std::pair<std::string, size_t>> requests = {
        {"get @client=ws-test @transaction=7 system.hostname system.location", 3},
        {"set @client=ws-test @transaction=8 interface.name=eth0 interface.enabled=1 "
         "interface.mtu=1400 interface.speed=1000 interface.mac=bytes:02:00:00:00:00:01 "
         "interface.address=null system.load=0.5",
         1},
        {"get ntp.server", 1},
        {"malformed", 0},
    };
    uint8_t seq = 20;
    for (const auto& [words, replies] : requests) {
        Bytes d = {0x51, 0x01, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09, 0x01, 0x01, 0x00, 0x03};
        if (replies > 0) {
            std::vector<std::string> w;
            for (size_t a = 0, b = 0; a < words.size(); a = b + 1) {
                b = std::min(words.find(' ', a), words.size());
                w.push_back(words.substr(a, b - a));
            }
            uint8_t id = 0;
            ASSERT_TRUE(toolkit::parseMessageId(w.front(), &id));
            toolkit::MsgPtr msg = toolkit::buildRequest(id, {w.begin() + 1, w.end()}, &error);
            ASSERT_TRUE(msg) << error;
            msg->setMsgSeq(++seq);
            d = toolkit::serialiseSegments(*msg).at(0);
        }
        cap.add(me, to, d.data(), d.size());
        ASSERT_TRUE(client.sendTo(d.data(), d.size(), to));
        std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
        for (size_t i = 0; i < replies; ++i) {
            sockaddr_in from{};
            int n = client.receive(buf.data(), buf.size(), 5000, &from);
            ASSERT_GT(n, 0) << words << ": reply datagram " << i;
            cap.add(from, me, buf.data(), static_cast<size_t>(n));
        }
    }
    std::string pcap = TAMO_WIRESHARK_DIR "/exchange.pcap";
    cap.write(pcap);

    std::vector<std::string> frames = tshark_frames(
        pcap, "-o quorrel.ports:" + std::to_string(broker) + "," + std::to_string(sim));
    const std::vector<std::pair<size_t, std::vector<std::string>>> expected = {
        {1,
         {"Message: get (1)", "@client (1), string: \"ws-test\"", "@transaction (2), u32: 7",
          "Object: system (32)", "hostname (64), null", "location (65), null"}},
        {2,
         {"Segment index: 0", "1... .... = More segments follow: True",
          "location (65), string: \"Rack 4", "[cut: goes on in the next segment]",
          "[Reassembled in frame: 4]"}},
        {3,
         {"Segment index: 1",
          "[cut: goes on from the previous segment] [cut: goes on in the "
          "next segment]",
          "Piece of a tag cut across segments", "[Reassembled in frame: 4]"}},
        {4,
         {"Segment index: 2", "0... .... = More segments follow: False",
          "Reassembled message: get (1), seq 21, 3 segments", "[Segment in frame: 2]",
          "location (65), string: \"Rack 4, row B; Rack 4, row B; Rack 4, ro\"... (2550 bytes) "
          "[joined from 3 pieces]",
          "uptime (67), u32: 12345"}},
        {5,
         {"Message: set (0)", "@transaction (2), u32: 8",
          "Object: interface (33), one network interface", "name (72), string: \"eth0\"",
          "enabled (73), u8: 1", "mtu (74), u16: 1400", "speed (76), u32: 1000",
          "mac (77), bytes: 02:00:00:00:00:01", "address (75), null", "Object: system (32)",
          "load (68), float: 0.5"}},
        {6, {"Message: set (0)", "Sequence number: 22"}},
        {7, {"Message: get (1)", "Sequence number: 23", "Object: ntp (34)", "server (80), null"}},
        {8, {"Message: get (1)", "Object: ntp (34)", "server (80), null"}},
        {9, {"@client (1), string: \"zeld-sim\"", "server (80), string: \"sim ntp.server\""}},
        {10,
         {"Sequence number: 23", "@client (1), string: \"zeld-sim\"", "@status (3), u8: 0",
          "server (80), string: \"sim ntp.server\""}},
        {11,
         {"Expert Info (Error/Malformed): Malformed: payload length 9 but 4 bytes follow",
          "Quorrel [Malformed: payload length 9"}},
    };
    ASSERT_EQ(frames.size(), expected.size());
    for (const auto& [frame, texts] : expected) {
        for (const std::string& t : texts) {
            EXPECT_NE(frames[frame - 1].find(t), std::string::npos)
                << "frame " << frame << " lacks: " << t << "\n"
                << frames[frame - 1];
        }
    }
}

// Every seed of the message fuzzer, its prefixes and seeded byte mutations, on the default
// ports: each datagram shows as Quorrel and none raises a Lua error.
TEST(Wireshark, SurvivesTheFuzzCorpus) {
    if (!have_tshark()) {
        GTEST_SKIP() << "tshark is not installed";
    }
    Capture cap;
    size_t count = 0;
    uint32_t rng = 12345;
    auto add = [&](const Bytes& d, uint16_t port) {
        if (!d.empty()) {
            cap.add(loopback(40000), loopback(port), d.data(), d.size());
            ++count;
        }
    };
    DIR* dir = opendir(TAMO_SOURCE_DIR "/fuzz/corpus/qmsg");
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(std::string(TAMO_SOURCE_DIR "/fuzz/corpus/qmsg/") + e->d_name,
                         std::ios::binary);
        Bytes seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        add(seed, 60010);
        for (size_t n = 1; n < seed.size() && n < 40; ++n) {
            add(Bytes(seed.begin(), seed.begin() + static_cast<long>(n)), 60000);
        }
        for (int m = 0; m < 60 && !seed.empty(); ++m) {
            Bytes d = seed;
            for (int k = 0; k <= m % 3; ++k) {
                rng = rng * 1103515245u + 12345u;
                d[(rng >> 8) % d.size()] = static_cast<uint8_t>(rng >> 24);
            }
            add(d, 60010);
        }
    }
    closedir(dir);
    std::string pcap = TAMO_WIRESHARK_DIR "/corpus.pcap";
    cap.write(pcap);
    std::vector<std::string> frames = tshark_frames(pcap, "");
    ASSERT_EQ(frames.size(), count);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_NE(frames[i].find("\nQuorrel"), std::string::npos) << frames[i];
    }
}

} // namespace
