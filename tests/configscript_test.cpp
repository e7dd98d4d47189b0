#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "configscript.h"
#include "qmsg.h"
#include "support.h"
#include "zeldict.h"

namespace {

using namespace std::string_literals;
using T = cTableType;

std::string serving(const std::string& ids) {
    return "function getObjects() return {" + ids + "} end\n";
}

// A request addressing the given object ids, each as a nested table at positions 0, 1, ...,
// after one plain common tag.
std::unique_ptr<cConfigTable> request(const std::vector<int>& ids) {
    auto t = std::make_unique<cConfigTable>();
    t->insert(2, 77);
    int pos = 0;
    for (int id : ids) {
        auto* obj = new cConfigTable();
        obj->insert(std::string("objid"), id);
        t->insert(pos++, obj);
    }
    return t;
}

std::string chosen(const std::vector<int>& ids) {
    cConfigScript* s = cConfigScript::getScript(request(ids).get());
    std::string name = s != nullptr ? s->getName() : "/none";
    return name.substr(name.rfind('/') + 1);
}

class Registry : public testing::Test {
protected:
    void SetUp() override { cConfigScript::clearScripts(); }
    void TearDown() override {
        cConfigScript::clearScripts();
        cLuaVM::setLimits({cLuaVM::kDefaultBudgetMs, cLuaVM::kDefaultMemoryBytes});
    }

    TempDir dir;
};

TEST_F(Registry, TheFirstScriptServingEveryObjectIsChosen) {
    TempDir early;
    early.write("b.lua", serving("3"));
    dir.write("a.lua", serving("3, 9"));
    dir.write("c.lua", serving("12"));
    dir.write("d.lua", serving("-1"));
    dir.write("e.lua", serving("5, 5, 7"));
    dir.write("f.lua", "function getObjects() return {[5] = true} end\n");
    dir.write("g.lua", "function getObjects() return 42 end\n");
    cConfigScript::loadScripts(early.path());
    cConfigScript::loadScripts(dir.path());

    std::string seen;
    for (const auto& ids :
         std::vector<std::vector<int>>{{3}, {3, 9}, {9, 3}, {3, 12}, {12}, {}, {7}, {1}, {42}}) {
        seen += chosen(ids) + " ";
    }
    EXPECT_EQ(seen, "b.lua a.lua a.lua none c.lua none e.lua f.lua none ");
    EXPECT_EQ(cConfigScript::getScript(nullptr), nullptr);

    // An object without "objid" counts as -1.
    cConfigTable no_id;
    no_id.insert(0, new cConfigTable());
    cConfigScript* s = cConfigScript::getScript(&no_id);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s->getName()), dir.path("d.lua"));
}

// A file that fails to load is not registered, nor is a module kept for require.
TEST_F(Registry, TheWalkTakesLuaFilesAtAnyDepthAndCase) {
    dir.write("sub/deep/Upper.LUA", serving("1"));
    dir.write("x.lua.bak", serving("2"));
    dir.write("notes.txt", serving("2"));
    dir.write("syntax.lua", serving("2") + "function setConfig(");
    dir.write("raises.lua", serving("2") + "error('top level')\n");
    dir.write("folder.lua/inner.lua", serving("4"));
    dir.write("helper.lua", "return {greeting = 'hello'}\n");
    dir.write("user.lua", serving("5") + "local helper = require 'helper'\n"
                                         "function getConfig(t) return {helper.greeting, "
                                         "package.path} end\n");
    cConfigScript::loadScripts(dir.path());

    EXPECT_EQ(chosen({1}), "Upper.LUA");
    EXPECT_EQ(chosen({2}), "none");
    EXPECT_EQ(chosen({4}), "inner.lua");
    cConfigScript* user = cConfigScript::getScript(request({5}).get());
    ASSERT_NE(user, nullptr);
    cConfigTable ret;
    EXPECT_TRUE(user->getCfg(request({5}).get(), &ret));
    EXPECT_EQ(static_cast<std::string>(ret.get(T(1))), "hello");
    std::string path = ret.get(T(2));
    std::string tail = std::string(";") + dir.path() + "/?.lua";
    EXPECT_EQ(path.substr(path.size() - std::min(path.size(), tail.size())), tail);

    // A missing folder registers nothing and is no failure.
    EXPECT_TRUE(cConfigScript::loadScripts(dir.path("nowhere").c_str()));
}

// Each fault strikes on the first request only; the request after it must be served. The budget
// is short so that the runaway cases end quickly.
TEST_F(Registry, NoScriptFaultStopsTheNextRequest) {
    struct Case {
        const char* name;
        const char* fault; // Lua statements run by the first getConfig
        cLuaVM::eOutcome outcome;
        const char* logged;
        // Without a budget: under a sanitizer the recursion can run past 50 ms of CPU before the
        // stack is full, and this case is about the stack.
        bool unbudgeted = false;
    };
    const Case cases[] = {
        {"a loop of seconds", "for i = 1, 1 << 30 do end", cLuaVM::OUTCOME_OVER_BUDGET,
         "past its budget of 50 ms"},
        {"loop that catches the error", "while true do pcall(function() while true do end end) end",
         cLuaVM::OUTCOME_OVER_BUDGET, "past its budget"},
        {"loop in coroutines",
         "while true do coroutine.resume(coroutine.create(function() while true do end end)) end",
         cLuaVM::OUTCOME_OVER_BUDGET, "past its budget"},
        {"a wait for a child process is no CPU time", "os.execute('sleep 0.2')",
         cLuaVM::OUTCOME_DONE, ""},
        {"debug.sethook", "debug.sethook() while true do end", cLuaVM::OUTCOME_ERROR,
         "debug.sethook is not available"},
        {"a finalizer", "setmetatable({}, {__gc = function() while true do end end})",
         cLuaVM::OUTCOME_ERROR, "finalizers (__gc) are not available"},
        {"os.exit", "os.exit(3)", cLuaVM::OUTCOME_ERROR,
         "os.exit is not available to configuration scripts"},
        {"allocation bomb",
         "local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 100000) .. i end",
         cLuaVM::OUTCOME_ERROR, "not enough memory"},
        {"one huge string", "local s = string.rep('x', 1 << 30)", cLuaVM::OUTCOME_ERROR,
         "not enough memory"},
        {"deep recursion", "local function f(n) return 1 + f(n + 1) end f(1)",
         cLuaVM::OUTCOME_ERROR, "Calling getConfig failed", true},
        {"loop in the chunk's top level", nullptr, cLuaVM::OUTCOME_OVER_BUDGET, "past its budget"},
    };
    int id = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cLuaVM::setLimits({c.unbudgeted ? 0u : 50u, cLuaVM::kDefaultMemoryBytes});
        cConfigScript::clearScripts();
        LogCapture log("cLuaVM");
        std::string file = "fault" + std::to_string(id) + ".lua";
        std::string fault = c.fault != nullptr ? c.fault : "";
        // The chunk-level fault strikes on the second run: the first one is at start-up.
        std::string top = c.fault != nullptr
                              ? ""
                              : "runs = (runs or 0) + 1 if runs == 2 then while true do end end\n";
        dir.write(file, top + serving(std::to_string(id)) +
                            "function getConfig(t) calls = (calls or 0) + 1\n"
                            "  if calls == 1 then " +
                            fault + " end return {[3] = calls} end\n");
        cConfigScript::loadScripts(dir.path());
        cConfigScript* s = cConfigScript::getScript(request({id}).get());
        ASSERT_NE(s, nullptr);
        cConfigTable first;
        s->getCfg(request({id}).get(), &first);
        // A budget that never trips fails the first case, which ends on its own, before the next.
        ASSERT_EQ(s->lastOutcome(), c.outcome);
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();

        cConfigTable next;
        s->getCfg(request({id}).get(), &next);
        EXPECT_EQ(s->lastOutcome(), cLuaVM::OUTCOME_DONE);
        EXPECT_EQ(static_cast<int>(next.get(T(3))), 2);
        EXPECT_EQ(s->getLuaVM()->stackTop(), 0);
        std::remove(dir.path(file).c_str());
        ++id;
    }

    // getObjects that never returns: that script is skipped, the others are registered.
    cConfigScript::clearScripts();
    dir.write("stuck.lua", "function getObjects() while true do end end\n");
    dir.write("z.lua", serving("1"));
    cConfigScript::loadScripts(dir.path());
    EXPECT_EQ(chosen({1}), "z.lua");
}

// The example scripts of examples/scripts, run from the source tree with their settings files in
// a temporary folder.
const std::string& example_dir() {
    static const std::string dir = [] {
        std::string here = __FILE__;
        return here.substr(0, here.rfind("/tests/")) + "/examples/scripts";
    }();
    return dir;
}

class Examples : public Registry {
protected:
    using Members = std::vector<std::pair<int, T>>;

    void SetUp() override {
        Registry::SetUp();
        setenv("TAMO_DATA_DIR", data.path(), 1);
        restart();
    }
    void TearDown() override {
        unsetenv("TAMO_DATA_DIR");
        Registry::TearDown();
    }
    void restart() {
        cConfigScript::clearScripts();
        cConfigScript::loadScripts(example_dir().c_str());
        states.clear();
    }

    // Runs a request for one object (transaction 4711) through the entry point of the script that
    // serves it, in a state of the test's own, as the daemon does, and keeps the table the entry
    // point returns (a set's too); returns the reply's object objid, or null when it holds none.
    cConfigTable* run(const char* entry, int objid, const Members& members = {}) {
        cConfigTable req;
        req.insert(2, 4711);
        auto* obj = new cConfigTable();
        for (auto& m : members) {
            obj->insert(T(m.first), m.second);
        }
        obj->insert(std::string("objid"), objid);
        req.insert(0, obj);
        reply = std::make_unique<cConfigTable>();
        cConfigScript* s = cConfigScript::getScript(&req);
        if (s == nullptr) {
            ADD_FAILURE() << "no script for " << objid;
            return nullptr;
        }
        std::unique_ptr<cLuaVM>& vm = states[s->getName()];
        if (vm == nullptr) {
            vm = std::make_unique<cLuaVM>();
            vm->setPath(example_dir().c_str());
        }
        vm->loadScript(s->getName());
        vm->call(entry, &req, reply.get());
        EXPECT_EQ(vm->stackTop(), 0);
        cConfigTable::cConfigTableIter it(reply.get());
        for (it.first(); it.isPair(); it.next()) {
            auto* o = static_cast<cConfigTable*>(it.value());
            if (o != nullptr && static_cast<int>(o->get(std::string("objid"))) == objid) {
                return o;
            }
        }
        return nullptr;
    }
    // A get's object; its reply echoes the transaction and says "done".
    cConfigTable* get(int objid, const Members& members = {}) {
        cConfigTable* o = run("getConfig", objid, members);
        EXPECT_EQ(static_cast<int>(reply->get(T(2))), 4711);
        EXPECT_EQ(static_cast<int>(reply->get(T(3))), 0);
        EXPECT_NE(o, nullptr);
        return o != nullptr ? o : reply.get();
    }
    // A set's reason for refusing: "" when it stored every member and returned nothing.
    std::string set(int objid, const Members& members) {
        run("setConfig", objid, members);
        if (reply->size() == 0) {
            return "";
        }
        EXPECT_EQ(num(reply.get(), 3), 1);
        return text(reply.get(), 4);
    }
    static std::string text(cConfigTable* o, int tag) { return o->get(T(tag)); }
    static int num(cConfigTable* o, int tag) { return o->get(T(tag)); }

    TempDir data;
    std::map<std::string, std::unique_ptr<cLuaVM>> states;
    std::unique_ptr<cConfigTable> reply;
};

TEST_F(Examples, SettingsAreKeptAcrossARestart) {
    const std::string odd = "rack 4\nrow=2 \"x\" \\";
    const T eth9(std::string("eth9")), eth7(std::string("eth7"));
    // A u32 from 2^31 up and a 6-byte MAC with NULs are kept as sent; 5 bytes are refused.
    const std::string mac("\x02\0\0\xff\n\0", 6);
    auto fill_to_the_limit = [&] {
        for (int i = 0; i < 30; ++i) { // eth9 and eth7 are kept already
            ASSERT_EQ(set(33, {{72, T("full" + std::to_string(i))}, {74, T(1400)}}), "");
        }
    };
    // The file becomes a folder, so that saving over it fails, after the script has read it.
    auto break_the_file = [&] {
        get(35);
        std::remove(data.path("logging.conf").c_str());
        mkdir(data.path("logging.conf").c_str(), 0755);
    };
    const struct {
        int objid;
        Members members;
        const char* refused; // the set's reason; "" for none
        std::function<void()> before;
    } sets[] = {
        {34, {{80, T(std::string("time.example.org"))}, {81, T(1)}, {82, T(128)}}, "", {}},
        {34, {{81, T(0)}, {82, T(5)}}, "poll: value refused", {}}, // 81 is stored, 82 not
        {34, {{83, T(3)}}, "offset: read-only", {}},
        {34, {{99, T(1)}}, "tag 99: unknown member", {}},
        {32, {{65, T(odd)}}, "", {}},
        {33, {{72, eth9}, {74, T(9000)}, {75, T(std::string("10.1.2.3/32"))}}, "", {}},
        {33,
         {{72, eth9}, {74, T(9000)}, {75, T(std::string("10.1.2.3/33"))}},
         "address: value refused",
         {}},
        {33, {{74, T(1280)}}, "name: missing or not a valid interface name", {}},
        {33, {{72, eth7}, {76, T::u32(4000000000u)}, {77, T::bytes(mac)}}, "", {}},
        {33, {{72, eth7}, {77, T::bytes(mac.substr(1))}}, "mac: value refused", {}},
        {33,
         {{72, T(std::string("full30"))}, {74, T(1400)}},
         "name: settings are kept for 32 interfaces at most",
         fill_to_the_limit},
        {35,
         {{88, T(3)}, {90, T(0)}},
         "remote_port: value refused; level: not saved",
         break_the_file},
    };
    for (const auto& row : sets) {
        if (row.before) {
            row.before();
        }
        EXPECT_EQ(set(row.objid, row.members), row.refused) << table_text(reply.get());
    }
    EXPECT_EQ(num(get(35), 88), 6);
    std::remove(data.path("logging.conf").c_str());

    restart();
    cConfigTable* ntp = get(34);
    EXPECT_EQ(text(ntp, 80), "time.example.org");
    EXPECT_EQ(value_text(ntp->get(T(81))), "0/1"); // a flag, stored beside a refused member
    EXPECT_EQ(num(ntp, 82), 128);
    EXPECT_EQ(text(get(32), 65), odd);
    EXPECT_EQ(get(32)->get(T(67)).getType(), T::TTE_NUM);
    EXPECT_EQ(num(get(33, {{72, T(std::string("eth9"))}}), 74), 9000);
    EXPECT_EQ(text(get(33, {{72, T(std::string("eth9"))}}), 75), "10.1.2.3/32");
    EXPECT_EQ(run("getConfig", 33, {{72, T(std::string("eth8"))}}), nullptr); // not there
    cConfigTable* kept = get(33, {{72, eth7}});
    EXPECT_TRUE(kept->get(T(76)).isUnsigned());
    EXPECT_EQ(text(kept, 76), "4000000000");
    EXPECT_EQ(text(kept, 77), mac);

    // Replace: members not given go back to their defaults. Delete: all of them do.
    cConfigTable* replaced = run("replaceConfig", 34, {{80, T(std::string("other"))}});
    ASSERT_NE(replaced, nullptr);
    EXPECT_EQ(text(replaced, 80), "other");
    EXPECT_EQ(num(replaced, 82), 64);
    run("replaceConfig", 34, {{82, T(5)}});
    EXPECT_EQ(text(reply.get(), 4), "poll = 5 refused");
    EXPECT_EQ(run("deleteConfig", 34), nullptr);
    EXPECT_EQ(num(reply.get(), 3), 0);
    EXPECT_EQ(text(get(34), 80), "");
    run("deleteConfig", 33, {{72, eth9}});
    EXPECT_EQ(run("getConfig", 33, {{72, T(std::string("eth9"))}}), nullptr);
}

// A write can be undone from a snapshot: a get of the write's object gives its whole state, and
// a replace with exactly that state restores it. The host name with its live values, and an
// interface the write created, are undone end to end in Confirmed.UndoneUnlessConfirmed.
TEST_F(Examples, AReplaceWithAGetsAnswerUndoesASet) {
    const struct {
        int objid;
        Members key;    // the members that name the object
        Members before; // a state other than the defaults
        Members change;
    } rows[] = {
        {33,
         {{72, T(std::string("eth5"))}},
         {{73, T(0)},
          {74, T(9000)},
          {75, T(std::string("10.0.0.5/8"))},
          {77, T::bytes(std::string("\x02\0\0\0\0\x05", 6))}},
         {{73, T(1)}, {74, T(1280)}, {76, T::u32(4000000000u)}}},
        {34, {}, {{80, T(std::string("a.example"))}, {81, T(1)}}, {{81, T(0)}, {82, T(1024)}}},
        {35, {}, {{88, T(2)}, {90, T(1514)}}, {{89, T(std::string("loghost"))}, {91, T(4096)}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.objid);
        Members before = row.key, change = row.key, snapshot;
        before.insert(before.end(), row.before.begin(), row.before.end());
        change.insert(change.end(), row.change.begin(), row.change.end());
        ASSERT_EQ(set(row.objid, before), "");
        cConfigTable* got = get(row.objid, row.key);
        const std::string saved = table_text(got);
        cConfigTable::cConfigTableIter it(got);
        for (it.first(); it.isPair(); it.next()) {
            // A text comes back whole, as a bytes member goes out and comes in again.
            T v = it.value();
            if (it.key().getType() == T::TTE_NUM) {
                snapshot.emplace_back(static_cast<int>(it.key()),
                                      v.getType() == T::TTE_STRING ? T::bytes(v.text()) : v);
            }
        }
        ASSERT_EQ(set(row.objid, change), "");
        ASSERT_NE(table_text(get(row.objid, row.key)), saved);
        run("replaceConfig", row.objid, snapshot);
        EXPECT_EQ(num(reply.get(), 3), 0) << table_text(reply.get());
        EXPECT_EQ(table_text(get(row.objid, row.key)), saved);
    }
}

// store.serve builds a script's entry points once per version of the file: later runs reuse
// them, and an edit is built afresh at the next request.
TEST_F(Examples, ServeBuildsOncePerVersionOfTheFile) {
    auto script = [](int v) {
        return "package.path = package.path .. ';" + example_dir() +
               "/?.lua'\n"
               "local store = require 'tamo_store'\n"
               "getObjects, getConfig = store.serve(function()\n"
               "  builds = (builds or 0) + 1\n"
               "  return {getObjects = function() return {9} end,\n"
               "          getConfig = function() return {v = " +
               std::to_string(v) +
               ", builds = builds} end}\n"
               "end)\n";
    };
    dir.write("s.lua", script(1));
    cConfigScript::clearScripts();
    cConfigScript::loadScripts(dir.path());
    cConfigScript* s = cConfigScript::getScript(request({9}).get());
    ASSERT_NE(s, nullptr);
    auto served = [&] {
        cConfigTable out;
        s->getCfg(request({9}).get(), &out);
        return std::make_pair(static_cast<int>(out.get(std::string("v"))),
                              static_cast<int>(out.get(std::string("builds"))));
    };
    EXPECT_EQ(served(), std::make_pair(1, 1));
    EXPECT_EQ(served(), std::make_pair(1, 1));
    dir.write("s.lua", script(2));
    EXPECT_EQ(served(), std::make_pair(2, 2));
    EXPECT_EQ(served(), std::make_pair(2, 2));
}

// The example scripts with /proc and /sys moved into a folder of the test's: an idle device
// (load 0.00) whose loopback has the MTU Linux gives it, 65536.
class Conformance : public Examples {
protected:
    void SetUp() override {
        Examples::SetUp();
        const std::pair<const char*, const char*> files[] = {
            {"proc/loadavg", "0.00 0.00 0.00 1/90 321\n"},
            {"proc/uptime", "3600.25 7000.00\n"},
            {"proc/sys/kernel/hostname", "dut\n"},
            {"proc/net/dev", "Inter-|\n face |\n    lo: 1 2 3\n  eth0: 4 5 6\n"},
            {"sys/class/net/lo/mtu", "65536\n"},
            {"sys/class/net/lo/operstate", "unknown\n"},
            {"sys/class/net/lo/address", "00:00:00:00:00:00\n"},
            {"sys/class/net/eth0/mtu", "1500\n"},
            {"sys/class/net/eth0/operstate", "down\n"},
            {"sys/class/net/eth0/address", "02:00:00:00:00:01\n"},
            {"sys/class/net/eth0/speed", "1000\n"},
        };
        for (const auto& [rel, content] : files) {
            host.write(rel, content);
        }
        for (const auto& entry : std::filesystem::directory_iterator(example_dir())) {
            std::string text = read_file(entry.path().string());
            for (const char* root : {"\"/proc/", "\"/sys/"}) {
                std::string moved = std::string("\"") + host.path() + (root + 1);
                for (size_t at = 0; (at = text.find(root, at)) != std::string::npos;) {
                    text.replace(at, std::strlen(root), moved);
                    at += moved.size();
                }
            }
            scripts.write(entry.path().filename().string(), text);
        }
        cConfigScript::clearScripts();
        cConfigScript::loadScripts(scripts.path());
    }

    TempDir host;
    TempDir scripts;
};

// Every kind of request to every example script, accepted or refused: each reply passes the
// dictionary check a peer would run on it, and holds the tag the row names ("id:type:hex data").
TEST_F(Conformance, EveryReplyOfTheExamplesPassesTheDictionary) {
    const std::string mac("\x02\0\0\xff\n\0", 6);
    struct Kind {
        const char* entry;
        uint8_t replyId;
    };
    const Kind get{"getConfig", 1}, set{"setConfig", 0}, del{"deleteConfig", 0},
        rep{"replaceConfig", 0};
    struct Case {
        Kind kind;
        int objid;
        std::vector<std::pair<int, T>> members;
        const char* has;
    };
    const Case cases[] = {
        {get, 32, {}, "68:6:00000000"},
        {set, 32, {{64, T("edge"s)}, {67, T(5)}}, ""},
        {rep, 32, {{65, T("rack 4"s)}}, "3:4:00"},
        {del, 32, {}, ""},
        {get, 33, {{72, T("lo"s)}}, "74:2:00010000"},
        {get, 33, {}, "76:2:000003e8"},
        {set, 33, {{72, T("eth0"s)}, {74, T(9000)}, {73, T(0)}, {77, T::bytes(mac)}}, ""},
        {get, 33, {{72, T("eth0"s)}}, "73:4:00"},
        {rep, 33, {{72, T("eth0"s)}, {76, T::u32(4000000000u)}}, "3:4:00"},
        {rep, 33, {{72, T("eth0"s)}, {74, T(10)}}, ""},
        {del, 33, {{72, T("eth0"s)}}, ""},
        {get, 34, {}, "82:3:0040"},
        {set, 34, {{80, T("time.example.org"s)}, {81, T(1)}, {82, T(5)}}, ""},
        {rep, 34, {{80, T("other"s)}, {83, T(1.5f)}}, ""},
        {del, 34, {}, ""},
        {get, 35, {}, "90:3:0202"},
        {set, 35, {{88, T(3)}, {91, T(4096)}}, ""},
        {del, 35, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.objid) + " " + std::to_string(&c - cases));
        run(c.kind.entry, c.objid, c.members);
        cConfigTable::sReplyInfo info;
        std::unique_ptr<QMsg> msg(reply->toQMsg(c.kind.replyId, &info));
        char why[160];
        ASSERT_NE(msg, nullptr) << cConfigTable::describeFault(info, why, sizeof why);
        QDictRefusal refusal;
        std::unique_ptr<QuorrelMessage> checked(
            QuorrelMessage::parseQMsg(ZEL::DictDef, msg.get(), &refusal));
        EXPECT_NE(checked, nullptr) << describeRefusal(refusal, why, sizeof why);
        std::string tags;
        for (const QTag* t : msg->getTagList()) {
            tags += std::to_string(t->getTagID()) + ":" + std::to_string(t->getTagType()) + ":";
            for (uint16_t i = 0; i < t->getDataLength(); ++i) {
                snprintf(why, sizeof why, "%02x", t->getRawData()[i]);
                tags += why;
            }
            tags += " ";
        }
        EXPECT_NE((" " + tags).find(std::string(" ") + c.has), std::string::npos) << tags;
    }
}

TEST_F(Examples, DataFolderIsCreatedOrReplaced) {
    setenv("TAMO_DATA_DIR", data.path("new/deeper").c_str(), 1);
    restart();
    set(35, {{88, T(2)}});
    EXPECT_NE(read_file(data.path("new/deeper/logging.conf")), "");

    TempDir tmp;
    const std::string saved = TempFile::tmp_dir();
    setenv("TMPDIR", tmp.path(), 1);
    setenv("TAMO_DATA_DIR", "/proc/tamo-cannot-be-made", 1);
    restart();
    set(35, {{88, T(1)}});
    EXPECT_EQ(num(get(35), 88), 1);
    EXPECT_NE(read_file(tmp.path("tamo/logging.conf")), "");
    setenv("TMPDIR", saved.c_str(), 1);
}

} // namespace
