// The message work of one request: parsing and checking a get, and cutting and serialising
// replies of one and of three segments.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "qmsg.h"
#include "qwire.h"
#include "zeldict.h"

namespace {

std::vector<uint8_t> get_request() {
    QMsg m(1);
    m.setMsgSeq(5);
    m.addTag(QTagFactory::createQTag(1, "console"));
    m.addTag(QTagFactory::createQTag(2, uint32_t{7}));
    m.addTag(QTagFactory::createQTag(33));
    m.addTag(QTagFactory::createQTag(72, "eth0"));
    m.addTag(QTagFactory::createQTag(74));
    m.addTag(QTagFactory::createQTag(76));
    m.addTag(QTagFactory::createQTag(34));
    std::vector<uint8_t> buf(qwire::kSegmentBytes);
    buf.resize(m.getMsg(buf.data(), qwire::kSegmentBytes));
    return buf;
}

// A get reply of about ten tags over two objects.
std::unique_ptr<QMsg> typical_reply() {
    std::unique_ptr<QMsg> m(new QMsg(1));
    const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};
    m->addTag(QTagFactory::createQTag(2, uint32_t{7}));
    m->addTag(QTagFactory::createQTag(33));
    m->addTag(QTagFactory::createQTag(72, "eth0"));
    m->addTag(QTagFactory::createQTag(73, uint8_t{1}));
    m->addTag(QTagFactory::createQTag(74, uint16_t{1500}));
    m->addTag(QTagFactory::createQTag(75, "192.0.2.10/24"));
    m->addTag(QTagFactory::createQTag(76, uint32_t{1000}));
    m->addTag(QTagFactory::createQTag(77, mac, 6));
    m->addTag(QTagFactory::createQTag(34));
    m->addTag(QTagFactory::createQTag(80, "pool.example.org"));
    m->addTag(QTagFactory::createQTag(83, 0.25f, false));
    return m;
}

// A reply of about 2.5 KiB: three segments, one string cut across two of them.
std::unique_ptr<QMsg> three_segment_reply() {
    std::unique_ptr<QMsg> m = typical_reply();
    m->addTag(QTagFactory::createQTag(32));
    m->addTag(QTagFactory::createQTag(65, std::string(1800, 'l').c_str()));
    for (uint32_t i = 0; i < 40; ++i) {
        m->addTag(QTagFactory::createQTag(67, i));
    }
    return m;
}

void send_all(benchmark::State& state, QMsg& reply) {
    uint8_t buf[qwire::kSegmentBytes];
    int segments = 0;
    for (auto _ : state) {
        segments = reply.segmentMessage(qwire::kSegmentBytes);
        reply.resetSegment();
        while (QMsg* seg = reply.getNextSegment()) {
            benchmark::DoNotOptimize(seg->getMsg(buf, sizeof buf));
        }
    }
    state.counters["segments"] = segments;
}

void BM_ParseAndCheckGet(benchmark::State& state) {
    const std::vector<uint8_t> req = get_request();
    for (auto _ : state) {
        std::unique_ptr<QMsg> m(QMsg::parseMsg(req.data(), static_cast<uint16_t>(req.size())));
        std::unique_ptr<QuorrelMessage> q(QuorrelMessage::parseQMsg(ZEL::DictDef, m.get()));
        benchmark::DoNotOptimize(q.get());
    }
}
BENCHMARK(BM_ParseAndCheckGet);

void BM_SegmentAndSerialiseReply(benchmark::State& state) {
    std::unique_ptr<QMsg> reply = typical_reply();
    send_all(state, *reply);
}
BENCHMARK(BM_SegmentAndSerialiseReply);

void BM_SegmentAndSerialiseThreeSegments(benchmark::State& state) {
    std::unique_ptr<QMsg> reply = three_segment_reply();
    send_all(state, *reply);
}
BENCHMARK(BM_SegmentAndSerialiseThreeSegments);

} // namespace
