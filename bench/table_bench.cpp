// Costs on the request path of the data model: building values and tables, looking up "objid",
// a debug line that the logging configuration filters out, the limit on lines a peer can
// cause, the allow-list check of each datagram, the replay cache of writes, and the notification
// of a change.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "configtable.h"
#include "notifier.h"
#include "peerfilter.h"
#include "qlog.h"
#include "replaycache.h"

namespace {

void BM_FilteredDebugLine(benchmark::State& state) {
    cQlog::getLog("bench").setPriority(log4cpp::Priority::INFO);
    cQlog::refresh();
    cQlog log("bench");
    int i = 0;
    for (auto _ : state) {
        log.debug("request %d from %s:%d", ++i, "127.0.0.1", 60010);
    }
}
BENCHMARK(BM_FilteredDebugLine);

// A rate-limited line in category cat: filtered out by the configuration's priority (WARN), or
// written by it (INFO) but held back by a limit already used up, as in a flood.
void limited_line(benchmark::State& state, const char* cat, bool held, cQlogLimit& limit) {
    cQlog::getLog(cat).setPriority(held ? log4cpp::Priority::INFO : log4cpp::Priority::WARN);
    cQlog log(cat);
    uint32_t heldCount = 0;
    while (held && limit.admit(0, &heldCount)) {
    }
    int i = 0;
    for (auto _ : state) {
        log.limited(limit, INFO, "Rx len = %d;", ++i);
    }
}
void BM_FilteredLimitedLine(benchmark::State& state) {
    static cQlogLimit limit;
    limited_line(state, "bench", false, limit);
}
BENCHMARK(BM_FilteredLimitedLine);
void BM_HeldLimitedLine(benchmark::State& state) {
    static cQlogLimit limit;
    limited_line(state, "bench-held", true, limit);
}
BENCHMARK(BM_HeldLimitedLine);

// The allow-list check of one datagram: everyone, and a list of three where the third matches.
void BM_PeerFilterAllows(benchmark::State& state) {
    cPeerFilter filter;
    filter.configure(state.range(0) == 0 ? "0.0.0.0/0" : "10.0.0.0/8, 192.168.1.20, 127.0.0.0/8");
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    for (auto _ : state) {
        benchmark::DoNotOptimize(filter.allows(a.s_addr));
    }
}
BENCHMARK(BM_PeerFilterAllows)->Arg(0)->Arg(3);

// The replay cache with the default 256 entries, each holding a one-datagram answer.
cReplayCache::sKey replay_key(uint32_t n) {
    return {htonl(0x0a000000u + n), htons(40000), 0, static_cast<uint8_t>(n & 0x7f)};
}
void fill_replay(cReplayCache& cache, const cReplayCache::sAnswer& answer) {
    cache.configure(30, cReplayCache::kDefaultEntries);
    for (uint32_t n = 0; n < cReplayCache::kDefaultEntries; ++n) {
        cache.remember(replay_key(n), n, 0, answer);
    }
}

// A resent write found: its kept answer of one datagram of state.range(0) bytes handed out.
void BM_ReplayLookupRepeat(benchmark::State& state) {
    static uint8_t bytes[1024];
    cReplayCache::sDatagram d{bytes, static_cast<uint16_t>(state.range(0))};
    cReplayCache cache;
    fill_replay(cache, {&d, 1, in_addr{}, true});
    uint32_t n = 0;
    for (auto _ : state) {
        cReplayCache::sAnswer got{};
        n = (n + 97) % cReplayCache::kDefaultEntries;
        benchmark::DoNotOptimize(cache.lookup(replay_key(n), n, 1000, &got));
        benchmark::DoNotOptimize(got.datagrams);
    }
}
BENCHMARK(BM_ReplayLookupRepeat)->Arg(8)->Arg(1024);

// A write's answer of one datagram of state.range(0) bytes remembered in a full cache: the
// oldest entry goes each time.
void BM_ReplayRemember(benchmark::State& state) {
    static uint8_t bytes[1024];
    cReplayCache::sDatagram d{bytes, static_cast<uint16_t>(state.range(0))};
    cReplayCache::sAnswer answer{&d, 1, in_addr{}, true};
    cReplayCache cache;
    fill_replay(cache, answer);
    uint32_t n = cReplayCache::kDefaultEntries;
    for (auto _ : state) {
        ++n;
        benchmark::DoNotOptimize(cache.remember(replay_key(n), n, 1000, answer));
    }
}
BENCHMARK(BM_ReplayRemember)->Arg(8)->Arg(1024);

// The hash of a whole request datagram of 1024 bytes, the largest a request may be.
void BM_ReplayHash(benchmark::State& state) {
    uint8_t bytes[1024];
    for (uint32_t i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(cReplayCache::hashDatagram(bytes, sizeof bytes));
    }
    state.SetBytesProcessed(int64_t{1024} * state.iterations());
}
BENCHMARK(BM_ReplayHash);

// One interface changed, marked and flushed to one sink on loopback: the copy of the object, the
// reader's answer copied in, the message built and sent with one sendto. The sink never reads:
// once its buffer is full the kernel drops the datagrams, as it would for a slow sink.
void BM_NotifyMarkFlush(benchmark::State& state) {
    int sink = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
    cNotifier notifier;
    notifier.configure(("127.0.0.1:" + std::to_string(ntohs(a.sin_port))).c_str(),
                       cNotifier::kMinIntervalMs);
    auto fill = [](cConfigTable* t) {
        t->insert(72, std::string("eth0"));
        t->insert(74, 1400);
        t->insert(std::string("objid"), 33);
    };
    cConfigTable object;
    fill(&object);
    cNotifier::tReader reader = [&fill](cConfigTable*, cConfigTable* out) {
        auto* o = new cConfigTable();
        fill(o);
        out->insert(0, o);
    };
    uint64_t now = 0;
    for (auto _ : state) {
        notifier.mark(object, false);
        now += cNotifier::kMinIntervalMs;
        benchmark::DoNotOptimize(notifier.flush(now, reader));
    }
    close(sink);
}
BENCHMARK(BM_NotifyMarkFlush);

void BM_IntValue(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        cTableType v(++i);
        benchmark::DoNotOptimize(v);
    }
}
BENCHMARK(BM_IntValue);

// A request table of the usual shape: two common tags and three objects of four tags each.
void BM_BuildRequestTable(benchmark::State& state) {
    for (auto _ : state) {
        cConfigTable t;
        t.insert(1, 42);
        t.insert(2, std::string("tamoctl"));
        for (int o = 0; o < 3; ++o) {
            auto* obj = new cConfigTable();
            obj->insert(1, std::string("eth0"));
            obj->insert(2, 1500);
            obj->insert(3, 1);
            obj->insert(4, 2.5f);
            obj->insert(std::string("objid"), 20 + o);
            t.insert(o, obj);
        }
        benchmark::DoNotOptimize(t.get(std::string("objid")));
    }
}
BENCHMARK(BM_BuildRequestTable);

void BM_ObjidLookup(benchmark::State& state) {
    cConfigTable obj;
    for (int k = 1; k <= 6; ++k) {
        obj.insert(k, k * 10);
    }
    obj.insert(std::string("objid"), 21);
    for (auto _ : state) {
        benchmark::DoNotOptimize(static_cast<int>(obj.get(std::string("objid"))));
    }
}
BENCHMARK(BM_ObjidLookup);

} // namespace
