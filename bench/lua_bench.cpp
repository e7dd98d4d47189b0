// Costs of one script request: running the script file again before the call, from a fresh
// read and compile versus from the kept chunk, and converting a typical request table to Lua and
// the returned table back.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "configtable.h"
#include "luavm.h"
#include "qlog.h"

namespace {

// About sixty lines, shaped like a device script: defaults, helpers, four entry points.
const char* const kScript = R"(-- interface settings, kept in memory for the benchmark
local defaults = {
    [73] = 1,       -- enabled
    [74] = 1500,    -- mtu
    [75] = "",      -- address
    [76] = 0,       -- speed
}
local ids = {33}
interfaces = interfaces or {}

local function copy(t)
    local c = {}
    for k, v in pairs(t) do c[k] = v end
    return c
end

local function valid_mtu(v)
    return math.type(v) == "integer" and v >= 68 and v <= 9000
end

local function record(name)
    local r = interfaces[name]
    if not r then
        r = copy(defaults)
        interfaces[name] = r
    end
    return r
end

local function each_object(req, fn)
    local out = {}
    for pos, obj in pairs(req) do
        if type(obj) == "table" and obj.objid == 33 then
            out[#out + 1] = fn(obj)
        end
    end
    return out
end

function getObjects() return ids end

function setConfig(req)
    each_object(req, function(obj)
        local r = record(obj[72] or "eth0")
        for tag, v in pairs(obj) do
            if tag ~= "objid" and tag ~= 72 then
                if tag ~= 74 or valid_mtu(v) then r[tag] = v end
            end
        end
    end)
end

function getConfig(req)
    local reply = each_object(req, function(obj)
        local name = obj[72] or "eth0"
        local o = copy(record(name))
        o.objid, o[72] = 33, name
        return o
    end)
    reply[2] = req[2]
    reply[3] = 0
    return reply
end

function replaceConfig(req) interfaces = {}; setConfig(req); return getConfig(req) end
function deleteConfig(req) return {[3] = 0} end
function echo(t) return t end
function noop() end
function spin() while true do end end
)";

struct Files {
    Files() {
        char tmpl[] = "/tmp/tamo-bench-XXXXXX";
        dir = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
        a = dir + "/a.lua";
        b = dir + "/b.lua";
        std::ofstream(a) << kScript;
        std::ofstream(b) << kScript;
        for (const char* cat : {"cLuaVM", "cTableType", "cConfigTable", "cConfigScript"}) {
            cQlog::getLog(cat).setPriority(log4cpp::Priority::INFO);
        }
        cQlog::refresh();
    }
    ~Files() {
        ::unlink(a.c_str());
        ::unlink(b.c_str());
        ::rmdir(dir.c_str());
    }
    std::string dir;
    std::string a;
    std::string b;
};

Files& files() {
    static Files f;
    return f;
}

// The usual request: two common tags and three interface objects of four tags each.
void fill_request(cConfigTable& t) {
    t.insert(1, std::string("tamoctl"));
    t.insert(2, 4711);
    for (int o = 0; o < 3; ++o) {
        auto* obj = new cConfigTable();
        obj->insert(72, std::string("eth") + std::to_string(o));
        obj->insert(73, 1);
        obj->insert(74, 1500);
        obj->insert(75, std::string("192.0.2.10/24"));
        obj->insert(std::string("objid"), 33);
        t.insert(o, obj);
    }
}

void BM_StatScript(benchmark::State& state) {
    struct stat st {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(::stat(files().a.c_str(), &st));
    }
}
BENCHMARK(BM_StatScript);

// The path that reads and compiles the file every time: two files of the same content loaded
// in turn, so that neither is ever the kept chunk.
void BM_LoadRecompiled(benchmark::State& state) {
    cLuaVM vm;
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        benchmark::DoNotOptimize(vm.loadScript(flip ? files().a.c_str() : files().b.c_str()));
    }
}
BENCHMARK(BM_LoadRecompiled);

void BM_LoadCached(benchmark::State& state) {
    cLuaVM vm;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vm.loadScript(files().a.c_str()));
    }
}
BENCHMARK(BM_LoadCached);

// A whole get request as the registry runs it: reload, then getConfig with the request table,
// its reply converted back.
void request(benchmark::State& state, bool cached) {
    cLuaVM vm;
    cConfigTable req;
    fill_request(req);
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        vm.loadScript(cached || flip ? files().a.c_str() : files().b.c_str());
        cConfigTable ret;
        vm.call("getConfig", &req, &ret);
        benchmark::DoNotOptimize(ret.size());
    }
}
void BM_RequestRecompiled(benchmark::State& state) {
    request(state, false);
}
BENCHMARK(BM_RequestRecompiled);
// Argument: the script budget in ms; 0 runs without the budget's count hook.
void BM_RequestCached(benchmark::State& state) {
    cLuaVM::sLimits saved = cLuaVM::getLimits();
    cLuaVM::setLimits({static_cast<uint32_t>(state.range(0)), saved.memoryBytes});
    request(state, true);
    cLuaVM::setLimits(saved);
}
BENCHMARK(BM_RequestCached)->Arg(0)->Arg(1000);

// How long a script that never returns holds the caller: the budget (100 ms) and what it takes
// to notice.
void BM_RunawayScriptHeldFor(benchmark::State& state) {
    cLuaVM::sLimits saved = cLuaVM::getLimits();
    cLuaVM::setLimits({100, saved.memoryBytes});
    {
        cLuaVM vm;
        vm.loadScript(files().a.c_str());
        for (auto _ : state) {
            benchmark::DoNotOptimize(vm.call("spin", nullptr, nullptr));
        }
    }
    cLuaVM::setLimits(saved);
}
BENCHMARK(BM_RunawayScriptHeldFor)->Iterations(10)->Unit(benchmark::kMillisecond);

// Conversion costs: a call with neither argument nor result, one that only converts the
// request into Lua, and one that also converts the answer back.
void call(benchmark::State& state, bool withRequest, bool withResult) {
    cLuaVM vm;
    vm.loadScript(files().a.c_str());
    cConfigTable req;
    fill_request(req);
    for (auto _ : state) {
        if (withResult) {
            cConfigTable out;
            vm.call("echo", &req, &out);
            benchmark::DoNotOptimize(out.size());
        } else {
            benchmark::DoNotOptimize(vm.call("noop", withRequest ? &req : nullptr, nullptr));
        }
    }
}
void BM_CallBare(benchmark::State& state) {
    call(state, false, false);
}
BENCHMARK(BM_CallBare);
void BM_CallRequestToLua(benchmark::State& state) {
    call(state, true, false);
}
BENCHMARK(BM_CallRequestToLua);
void BM_CallRequestRoundTrip(benchmark::State& state) {
    call(state, true, true);
}
BENCHMARK(BM_CallRequestRoundTrip);

} // namespace
