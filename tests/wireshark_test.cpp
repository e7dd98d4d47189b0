// The built dissector (tools/wireshark/quorrel.lua) read by tshark, on a recorded exchange with
// the daemon and on the fuzz seed corpus with mutations. Skipped when tshark is not installed.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include "daemon_harness.h"
#include "toolkit.h"

namespace {

using toolkit::Bytes;
using toolkit::loopbackAddress;

// Datagrams with their endpoints, as the records of a pcap file of raw IPv4 packets.
struct Capture {
    void add(const sockaddr_in& src, const sockaddr_in& dst, const Bytes& data) {
        const auto len = static_cast<uint32_t>(28 + data.size());
        const uint32_t rec[] = {0, 0, len, len}; // host byte order, as the file header
        records.append(reinterpret_cast<const char*>(rec), sizeof rec);
        // IPv4 without options or fragments, TTL 64, UDP, checksums not computed; then UDP.
        for (uint32_t v : {0x45000000u | len, 0u, 0x40110000u, ntohl(src.sin_addr.s_addr),
                           ntohl(dst.sin_addr.s_addr),
                           static_cast<uint32_t>(ntohs(src.sin_port)) << 16 | ntohs(dst.sin_port),
                           static_cast<uint32_t>(8 + data.size()) << 16}) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                records.push_back(static_cast<char>(v >> shift));
            }
        }
        records.append(reinterpret_cast<const char*>(data.data()), data.size());
        ++count;
    }
    std::string records;
    size_t count = 0;
};

class Wireshark : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "tshark is not installed";
        }
    }
};

// tshark's detailed output of the capture, split into frames (index 0 is frame 1).
std::vector<std::string> tshark_frames(const Capture& cap, const std::string& options) {
    const std::string pcap = TAMO_WIRESHARK_DIR "/capture.pcap";
    // Header in host byte order: magic, version 2.4, zone 0, sigfigs 0, snaplen, raw IP.
    const uint32_t head[] = {0xa1b2c3d4u, 0x00040002u, 0, 0, 65535, 101};
    std::ofstream(pcap, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(head), sizeof head)
        .write(cap.records.data(), static_cast<std::streamsize>(cap.records.size()));
    std::string cmd =
        "tshark -2 -n -r '" + pcap + "' -X lua_script:'" TAMO_DISSECTOR "' " + options + " -V 2>&1";
    std::vector<std::string> frames;
    FILE* p = popen(cmd.c_str(), "r");
    std::string all;
    char buf[65536];
    for (size_t n = 0; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) {
        all.append(buf, n);
    }
    EXPECT_TRUE(p != nullptr && pclose(p) == 0) << cmd;
    EXPECT_EQ(all.find("Lua Error"), std::string::npos) << all.substr(0, 4000);
    EXPECT_EQ(all.find("Quorrel dissector fault"), std::string::npos) << all.substr(0, 4000);
    for (size_t at = all.find("Frame "); at != std::string::npos;) {
        size_t next = all.find("\nFrame ", at + 1);
        frames.push_back(all.substr(at, next == std::string::npos ? next : next + 1 - at));
        at = next == std::string::npos ? next : next + 1;
    }
    return frames;
}

// Serves system (a location long enough to be cut across three segments) and interface;
// only get and set are sent.
const char kScript[] = R"lua(
function getObjects() return {32, 33} end
function getConfig(req)
  return {{objid = 32, [64] = "tamo-ws", [65] = string.rep("Rack 4, row B; ", 170), [67] = 12345}}
end
function setConfig(req) end
)lua";

// Each request (none: a malformed datagram), the number of reply datagrams it must get and
// whether it goes north first, where the test answers as the stand-in would.
const std::tuple<std::string, size_t, bool> kRequests[] = {
    {"get @client=ws-test @transaction=7 system.hostname system.location", 3, false},
    {"set @client=ws-test @transaction=8 @confirm=30 interface.name=eth0 interface.enabled=1 "
     "interface.mtu=1400 interface.speed=1000 interface.mac=bytes:02:00:00:00:00:01 "
     "interface.address=null system.load=0.5",
     1, false},
    {"get ntp.server", 1, true},
    {"", 0, false},
};

// What each frame of the exchange shows, texts separated by '|'.
const std::pair<size_t, std::string> kFrames[] = {
    {1, "Message: get (1)|@client (1), string: \"ws-test\"|@transaction (2), u32: 7|"
        "Object: system (32)|hostname (64), null"},
    {2, "Segment index: 0|1... .... = More segments follow: True|"
        "[cut: goes on in the next segment]|[Reassembled in frame: 4]"},
    {3, "[cut: goes on from the previous segment] [cut: goes on in the next segment]|"
        "Piece of a tag cut across segments"},
    {4, "0... .... = More segments follow: False|[Segment in frame: 2]|"
        "Reassembled message: get (1), seq 21, 3 segments|uptime (67), u32: 12345|"
        "location (65), string: \"Rack 4, row B; Rack 4, row B; Rack 4, ro\"... (2550 bytes) "
        "[joined from 3 pieces]"},
    {5, "Message: set (0)|@confirm (5), u32: 30|Object: interface (33), one network "
        "interface|enabled (73), u8: 1|"
        "mtu (74), u32: 1400|mac (77), bytes: 02:00:00:00:00:01|load (68), float: 0.5"},
    {7, "Sequence number: 23|Object: ntp (34)|server (80), null"},
    {10, "Sequence number: 23|@status (3), u8: 0|server (80), string: \"sim ntp.server\""},
    {11, "Expert Info (Error/Malformed): Malformed: payload length 9 but 4 bytes follow"},
};

// Each request goes to the daemon and is recorded with every datagram it causes; the one that
// goes north is answered by the test on the north port, as the stand-in would answer it.
TEST_F(Wireshark, ShowsARecordedExchange) {
    e2e::DaemonSetup setup;
    setup.brokerPort = e2e::freePort();
    setup.northPort = e2e::freePort();
    setup.scripts = {{"ws.lua", kScript}};
    Capture cap;
    toolkit::UdpSocket client, north;
    std::string error;
    ASSERT_TRUE(client.open(loopbackAddress(0), &error)) << error;
    ASSERT_TRUE(north.open(loopbackAddress(setup.northPort), &error)) << error;
    e2e::Daemon daemon(setup);
    std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
    auto send = [&cap](const toolkit::UdpSocket& s, const sockaddr_in& to, const Bytes& d) {
        cap.add(s.localAddress(), to, d);
        EXPECT_TRUE(s.sendTo(d.data(), d.size(), to));
    };
    auto receive = [&cap, &buf](const toolkit::UdpSocket& s, sockaddr_in* from) {
        int n = s.receive(buf.data(), buf.size(), 5000, from);
        Bytes d(buf.data(), buf.data() + std::max(n, 0));
        cap.add(*from, s.localAddress(), d);
        return d;
    };
    uint8_t seq = 20;
    for (const auto& [words, replies, forwarded] : kRequests) {
        Bytes d = {0x51, 0x01, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09, 0x01, 0x01, 0x00, 0x03};
        std::istringstream in(words);
        std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
        uint8_t id = 0;
        if (!w.empty() && toolkit::parseMessageId(w.front(), &id)) {
            toolkit::MsgPtr msg = toolkit::buildRequest(id, {w.begin() + 1, w.end()}, &error);
            ASSERT_TRUE(msg) << error;
            msg->setMsgSeq(++seq);
            d = toolkit::serialiseSegments(*msg).at(0);
        }
        send(client, loopbackAddress(setup.brokerPort), d);
        sockaddr_in from{};
        if (forwarded) {
            Bytes fwd = receive(north, &from);
            toolkit::MsgPtr req(QMsg::parseMsg(fwd.data(), static_cast<uint16_t>(fwd.size())));
            ASSERT_TRUE(req) << words;
            for (const Bytes& r : toolkit::simDatagrams(*toolkit::simReply(*req, {}), {})) {
                send(north, from, r);
            }
        }
        for (size_t i = 0; i < replies; ++i) {
            ASSERT_FALSE(receive(client, &from).empty()) << words << ": reply datagram " << i;
        }
    }
    std::vector<std::string> frames =
        tshark_frames(cap, "-o quorrel.ports:" + std::to_string(setup.brokerPort) + "," +
                               std::to_string(setup.northPort));
    ASSERT_EQ(frames.size(), 11u);
    for (const auto& [frame, texts] : kFrames) {
        for (size_t a = 0, b = 0; b != std::string::npos; a = b + 1) {
            b = texts.find('|', a);
            EXPECT_NE(frames[frame - 1].find(texts.substr(a, b - a)), std::string::npos)
                << "frame " << frame << " lacks: " << texts.substr(a, b - a) << "\n"
                << frames[frame - 1];
        }
    }
}

// Every seed of the message fuzzer, its prefixes and seeded byte mutations, on the default
// ports: each datagram shows as Quorrel and none raises a Lua error.
TEST_F(Wireshark, SurvivesTheFuzzCorpus) {
    Capture cap;
    uint32_t rng = 12345;
    for (const auto& e : std::filesystem::directory_iterator(TAMO_SOURCE_DIR "/fuzz/corpus/qmsg")) {
        std::ifstream in(e.path(), std::ios::binary);
        const Bytes seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t n = 1; n < seed.size() && n < 40; ++n) {
            cap.add(loopbackAddress(40000), loopbackAddress(60000),
                    Bytes(seed.begin(), seed.begin() + static_cast<long>(n)));
        }
        for (int m = 0; m <= 60 && !seed.empty(); ++m) {
            Bytes d = seed;
            for (int k = 0; k < m % 3 + (m > 0); ++k) {
                rng = rng * 1103515245u + 12345u;
                d[(rng >> 8) % d.size()] = static_cast<uint8_t>(rng >> 24);
            }
            cap.add(loopbackAddress(40000), loopbackAddress(60010), d);
        }
    }
    std::vector<std::string> frames = tshark_frames(cap, "");
    ASSERT_EQ(frames.size(), cap.count);
    for (const std::string& f : frames) {
        EXPECT_NE(f.find("\nQuorrel"), std::string::npos) << f;
    }
}

} // namespace
