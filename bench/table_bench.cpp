// Costs on the request path of the data model: building values and tables, looking up "objid",
// and a debug line that the logging configuration filters out.
#include <benchmark/benchmark.h>

#include <string>

#include "configtable.h"
#include "qlog.h"

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
