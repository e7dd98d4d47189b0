#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "luavm.h"
#include "luavm_fixture.h"
#include "qmsg.h"
#include "support.h"

namespace {

using namespace std::string_literals;
using T = cTableType;

// Each value crosses to Lua and back with its kind: a text reaches Lua up to its NUL, a byte
// string whole, a u32 as its unsigned value; a nil key is left out (Lua tables cannot hold it).
TEST_F(Bridge, TablesCrossBothWaysWithTheirKinds) {
    ASSERT_TRUE(load("function echo(t) return t end\n"
                     "function len(t) return {#t[5], #t[7], t[8] == 4294967295} end\n"));
    cConfigTable in;
    in.insert(T(1), T(2.5f));
    in.insert(T(std::string("flag")), T(true));
    auto* obj = new cConfigTable();
    obj->insert(std::string("objid"), 7);
    in.insert(3, obj);
    in.insert(4, 3.0f);
    in.insert(5, std::string("ab\0cd", 5));
    in.insert(6, -7);
    in.insert(T(7), T::bytes(std::string("ab\0cd", 5)));
    in.insert(T(8), T::u32(4294967295u));
    in.insert(T(), T(1));
    cConfigTable out;
    ASSERT_TRUE(vm.call("echo", &in, &out));
    EXPECT_EQ(in.size(), 9u);
    EXPECT_EQ(out.size(), 8u);
    const std::pair<T, std::string> rows[] = {{T(1), "2.5/5"},
                                              {T(std::string("flag")), "1/1"},
                                              {T(3), "{objid=7/2 }"},
                                              {T(4), "3/2"},
                                              {T(5), "ab/3"},
                                              {T(6), "-7/2"},
                                              {T(7), std::string("ab\0cd/3", 7)},
                                              {T(8), "4294967295/2u"}};
    for (const auto& r : rows) {
        EXPECT_EQ(value_text(out.get(r.first)), r.second);
    }
    cConfigTable n;
    ASSERT_TRUE(vm.call("len", &in, &n));
    EXPECT_EQ(table_text(&n), "1=2/2 2=5/2 3=1/1 ");
}

// Numbers come back as integers when integral (from 2^31 to 2^32 - 1 unsigned, the int holding
// its bit pattern; beyond, clamped), else as floats; functions and threads as nil.
TEST_F(Bridge, ReturnedValuesFollowTheIntegralTest) {
    ASSERT_TRUE(load(R"(
        function values()
            return {
                {10, 20}, 2^24 + 1.5, 2^23 + 0.5, 2^23 - 0.5, -0.5, 2^40, -2^40, 7.0, math.huge,
                -math.huge, math.maxinteger, math.mininteger, -0.0, 2147483647, 2147483648,
                4294967295, 4294967295.5, 2^32, "a\0b", print, coroutine.create(print),
                h = 0/0, [{}] = "table key",
            }
        end
    )"));
    cConfigTable out;
    ASSERT_TRUE(vm.call("values", nullptr, &out));
    // The sequence first, in order; then the keyed entries.
    std::string want =
        "1={1=10/2 2=20/2 } 2=16777217/2 3=8388608/2 4=8.38861e+06/5 5=-0.5/5 6=2147483647/2 "
        "7=-2147483648/2 8=7/2 9=2147483647/2 10=-2147483648/2 11=2147483647/2 "
        "12=-2147483648/2 13=0/2 14=2147483647/2 15=2147483648/2u 16=4294967295/2u "
        "17=4294967295/2u 18=2147483647/2 19=a\0b/3 20=nil/0 21=nil/0 "s;
    EXPECT_EQ(table_text(&out).substr(0, want.size()), want);
    EXPECT_EQ(static_cast<float>(out.get(T(4))), 8388607.5f);
    EXPECT_EQ(out.get(std::string("h")).getType(), T::TTE_FLOAT);
    EXPECT_TRUE(std::isnan(static_cast<float>(out.get(std::string("h")))));
    EXPECT_NE(table_text(&out).find("nil=table key/3 "), std::string::npos);
}

// Only a table result fills out; a missing or non-function entry fails; either way out keeps
// what it held.
TEST_F(Bridge, OnlyATableResultFillsOut) {
    ASSERT_TRUE(load("function nothing() end\nfunction number() return 5 end\nnotfn = 5\n"));
    cConfigTable out;
    out.insert(9, 9);
    const std::pair<const char*, bool> rows[] = {
        {"nothing", true}, {"number", true}, {"undefined", false}, {"notfn", false}};
    for (const auto& r : rows) {
        EXPECT_EQ(vm.call(r.first, nullptr, &out), r.second) << r.first;
        EXPECT_EQ(vm.call(r.first, &out), r.second) << r.first;
        EXPECT_EQ(vm.call(r.first), r.second) << r.first;
    }
    EXPECT_EQ(out.size(), 1u);
}

// Failures are logged with a traceback, also when the global look-up itself raises, and a failure
// a peer can cause at every request is logged a few times only.
TEST_F(Bridge, ScriptErrorsAreLoggedWithTracebackAndContained) {
    LogCapture log("cLuaVM");
    ASSERT_TRUE(load(R"(
        function boom(t) local x = nil; return x.field end
        function raise_table() error({}) end
        function raise_custom() error(setmetatable({}, {__tostring = function() return "custom" end})) end
    )"));
    cConfigTable out;
    out.insert(9, 9);
    EXPECT_FALSE(vm.call("boom", nullptr, &out));
    EXPECT_FALSE(vm.call("raise_table", nullptr, &out));
    EXPECT_FALSE(vm.call("raise_custom"));
    ASSERT_TRUE(load("setmetatable(_G, {__index = function(_, k) error('strict: ' .. k) end})",
                     "strict.lua"));
    EXPECT_FALSE(vm.call("missing", nullptr, &out));
    EXPECT_EQ(out.size(), 1u);
    std::string text = log.text();
    for (const char* s : {"ERROR Calling boom failed: ", "attempt to index", "stack traceback:",
                          "(error object is a table value)", "custom", "strict: missing"}) {
        EXPECT_NE(text.find(s), std::string::npos) << s << " in " << text;
    }
    for (int i = 0; i < 50; ++i) {
        EXPECT_FALSE(vm.call("missing"));
    }
    EXPECT_LT(count_of(log.text(), "ERROR Calling missing"), 10u);
}

TEST_F(Bridge, CyclesAreCutAndDepthIsBounded) {
    ASSERT_TRUE(load(R"(
        function cyclic()
            local t = {1}
            t[2] = t
            t[3] = {t, {2}}
            local shared = {3}
            return {t, shared, shared}
        end
        local function chain(n)
            local top = {}
            local cur = top
            for i = 2, n do cur.next = {}; cur = cur.next end
            return top
        end
        function deep() return chain(10000) end
        function doubling() local t = {objid = 1}; for i = 1, 40 do t = {t, t} end; return t end
        function exact() return chain(32) end
        function depth_of(t) local d = 0; while t do d = d + 1; t = t.next end return {depth = d} end
    )"));
    cConfigTable out;
    ASSERT_TRUE(vm.call("cyclic", nullptr, &out));
    // The references to t inside t are left out; a table met twice but not on its own path is
    // no cycle: both copies cross.
    EXPECT_EQ(table_text(&out), "1={1=1/2 3={2={1=2/2 } } } 2={1=3/2 } 3={1=3/2 } ");

    cConfigTable deep, exact, doubled, arg, res;
    ASSERT_TRUE(vm.call("deep", nullptr, &deep));
    EXPECT_EQ(count_of(table_text(&deep), "next="), size_t{cLuaVM::kMaxDepth - 1});
    ASSERT_TRUE(vm.call("exact", nullptr, &exact));
    EXPECT_EQ(count_of(table_text(&exact), "next="), size_t{cLuaVM::kMaxDepth - 1});
    // 2^40 paths to one table, no cycle: the copy stops at the entry bound (one "=" an entry).
    ASSERT_TRUE(vm.call("doubling", nullptr, &doubled));
    EXPECT_EQ(count_of(table_text(&doubled), "="), size_t{cLuaVM::kMaxEntries});

    // The other way: a 40-level table reaches Lua cut to the same bound.
    cConfigTable* cur = &arg;
    for (int i = 1; i < 40; ++i) {
        auto* next = new cConfigTable();
        cur->insert(T(std::string("next")), next);
        cur = next;
    }
    ASSERT_TRUE(vm.call("depth_of", &arg, &res));
    EXPECT_EQ(static_cast<int>(res.get(std::string("depth"))), cLuaVM::kMaxDepth);
}

// A Lua memory error at any allocation of a whole request (the chunk's run, the argument table,
// the call, the result) is contained: the run fails, the stack is clean, nothing leaks (the ASan
// build checks), and the state serves the next request.
TEST_F(Bridge, AMemoryErrorAtAnyStepOfARequestIsContained) {
    std::string p = dir.write("m.lua", R"(
        local prefix = string.rep("p", 40)
        function getConfig(req)
            local r = {[3] = 0, [4] = prefix .. req[1]}
            for i, obj in pairs(req) do
                if type(obj) == "table" then r[100 + i] = {objid = obj.objid, [64] = prefix} end
            end
            return r
        end
    )");
    cConfigTable req;
    req.insert(1, std::string(300, 'c'));
    for (int i = 0; i < 4; ++i) {
        auto* obj = new cConfigTable();
        obj->insert(64, std::string(100, static_cast<char>('a' + i)));
        obj->insert(std::string("objid"), 32 + i);
        req.insert(i + 10, obj);
    }
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    int failures = 0;
    for (long n = 0;; ++n) {
        vm.setMemoryLimit(cLuaVM::kDefaultMemoryBytes);
        vm.failAllocationsAfter(n);
        cConfigTable out;
        bool ok = vm.loadScript(p.c_str()) && vm.call("getConfig", &req, &out);
        ASSERT_EQ(vm.stackTop(), 0);
        if (ok) {
            EXPECT_EQ(out.size(), 6u);
            break;
        }
        EXPECT_EQ(out.size(), 0u);
        ++failures;
        ASSERT_LT(n, 100000);
    }
    EXPECT_GT(failures, 5);
}

// A result with more text than any reply can carry is not copied whole: it is cut short and
// marked, so that no part of it goes out as the answer.
TEST_F(Bridge, AResultTooLargeForAnyReplyIsMarkedIncomplete) {
    ASSERT_TRUE(load("function big() local s = string.rep('x', 100000) return {s, s, s} end\n"));
    cConfigTable out;
    EXPECT_TRUE(vm.call("big", nullptr, &out));
    EXPECT_EQ(out.toQMsg(1), nullptr);
}

TEST_F(Bridge, LoadFailuresAreReportedAndLeaveNothingOnTheStack) {
    LogCapture log("cLuaVM", log4cpp::Priority::DEBUG);
    EXPECT_FALSE(load("function broken(", "syntax.lua"));
    std::string text = log.text();
    size_t err = text.find("Load ERROR");
    ASSERT_NE(err, std::string::npos);
    EXPECT_NE(text.find("string: '" + dir.path("syntax.lua") + ":1:", err), std::string::npos)
        << text;

    EXPECT_FALSE(load("error('top level')", "raises.lua"));
    EXPECT_FALSE(vm.loadScript(dir.path("missing.lua").c_str()));

    for (int i = 0; i < 20; ++i) { // what stays on the stack TearDown sees
        EXPECT_TRUE(load("return 1, 'two', {}", "results.lua"));
    }
    EXPECT_NE(log.text().find("number: 1\n"), std::string::npos);
}

TEST_F(Bridge, ScriptsCanUseTheSystemJsonModule) {
    ASSERT_TRUE(load("local cjson = require 'cjson'\n"
                     "function enc() return {cjson.encode({list = {1, 2}})} end\n"));
    cConfigTable out;
    ASSERT_TRUE(vm.call("enc", nullptr, &out));
    EXPECT_EQ(table_text(&out), "1={\"list\":[1,2]}/3 ");
}

TEST_F(Reload, ABrokenEditKeepsTheLastGoodFunctions) {
    LogCapture log("cLuaVM");
    std::string p = dir.write("r.lua", version(1));
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    dir.write("r.lua", "runs = 100\nfunction state(");
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(vm.loadScript(p.c_str()));
    }
    // The old chunk is not run again either.
    EXPECT_EQ(state(), std::make_pair(1, 1));
    // Logged at error priority once, not at every request.
    EXPECT_EQ(count_of(log.text(), "ERROR Loading " + p + " failed"), 1u);

    dir.write("r.lua", version(2));
    set_mtime(p, {file_mtime(p).tv_sec + 1, 0});
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    EXPECT_EQ(state(), std::make_pair(2, 2));
}

TEST_F(Reload, ARerunStartsFromTheGlobalsLikeAFreshLoad) {
    // Top-level code that rebinds _ENV: the next run must start from the globals again, and a
    // closure made by the first run must keep the environment it was made in.
    std::string p = dir.write("env.lua", R"(
        local G = _G
        runs = (runs or 0) + 1
        if not first then first = function() return x end end
        function state() return {v = G.first(), runs = G.runs} end
        _ENV = {x = runs}
    )");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(vm.loadScript(p.c_str()));
    }
    EXPECT_EQ(state(), std::make_pair(1, 3));
}

} // namespace
