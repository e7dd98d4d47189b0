// End-to-end cases of confirmed changes: the example scripts system.lua and interface.lua keep
// their settings in the test's folder, the journal lives beside them.
#include "e2e_fixture.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

namespace {

using namespace e2e_cases;

std::string read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

class Confirmed : public NorthPath {
protected:
    Confirmed() : mData(Daemon::dir() + "/data"), mState(Daemon::dir() + "/state") {
        std::error_code ignored;
        std::filesystem::remove_all(mData, ignored);
        std::filesystem::remove_all(mState, ignored);
        std::filesystem::create_directories(mState, ignored);
        setenv("TAMO_DATA_DIR", mData.c_str(), 1);
        const std::string here = __FILE__, examples = here.substr(0, here.rfind("/tests/"));
        mSetup.scripts.clear();
        for (const char* name : {"tamo_store.lua", "system.lua", "interface.lua"}) {
            mSetup.scripts.push_back({name, read(examples + "/examples/scripts/" + name)});
        }
        mSetup.settings = "tamo.state.dir = " + mState +
                          "\ntamo.confirm.default_seconds = 1\ntamo.confirm.max_seconds = 60\n";
    }
    ~Confirmed() override { unsetenv("TAMO_DATA_DIR"); }

    // The reply to a request as dump() writes it, "none" without one.
    std::string say(const char* kind, const char* words) {
        MsgPtr reply = ask(kind, ++mSeq, words);
        return reply != nullptr ? dump(*reply) : "none";
    }
    bool journal(const char* name = "pending-change.journal") const {
        return std::filesystem::exists(mState + "/" + name);
    }
    // Kills the daemon and starts it again; the replies the killed one sent go unread.
    void restart() {
        kill(mDaemon->process().pid(), SIGKILL);
        mDaemon.reset();
        EndToEnd::start();
        while (mClient.receive(10) != nullptr) {
        }
    }

    std::string mData;
    std::string mState;
    uint8_t mSeq = 0;
};

const char* const kHost = "system.hostname";

// Each row is a story of requests told to one daemon: the reply to each must hold the text
// given ("!text": must not), "log" waits for an audit line, "journal" says whether the journal
// file is there ("1") or not ("0").
TEST_F(Confirmed, UndoneUnlessConfirmed) {
    NorthPath::start({});
    using Step = std::tuple<std::string, std::string, std::string>; // kind, words, want
    const std::string by = "by=\"" + Daemon::dir() + "/scripts/";
    const std::pair<const char*, std::vector<Step>> rows[] = {
        {"confirm keeps",
         {{"set", "system.hostname=A", "!3:4="},
          {"set", "@confirm=1 @transaction=2 system.hostname=C", "2:2=2 3:4=0 "},
          {"journal", "", "1"},
          {"confirm", "@transaction=2", "3:4=0 "},
          {"journal", "", "0"},
          {"confirm", "@transaction=2", "3:4=243 "},
          {"cancel", "@transaction=2", "3:4=243 "}}},
        // Starts after the confirmed change's window: the deadline passing shows that one kept.
        {"deadline restores",
         {{"set", "@confirm=0 @transaction=1 system.hostname=B", "2:2=1 3:4=0 "},
          {"get", kHost, "64:1=\"B\""},
          {"log",
           "transaction=1 objects=system " + by + "system.lua\" why=deadline outcome=\"done\"", ""},
          {"get", kHost, "64:1=\"C\""},
          {"journal", "", "0"}}},
        {"cancel restores",
         {{"set", "@confirm=30 @transaction=3 system.hostname=D system.location=here", "3:4=0 "},
          {"cancel", "@transaction=3", "3:4=0 "},
          {"log", "transaction=3 objects=system " + by + "system.lua\" why=cancel outcome=\"done\"",
           ""},
          {"get", "system", "64:1=\"C\""},
          {"get", "system", "!here"},
          {"journal", "", "0"}}},
        {"an instance the write created is deleted",
         {{"get", "interface.name=cfm6", "!cfm6"},
          {"set", "@confirm=30 @transaction=4 interface.name=cfm6 interface.mtu=1400", "3:4=0 "},
          {"get", "interface.name=cfm6", "74:2=1400"},
          {"cancel", "@transaction=4", "3:4=0 "},
          {"log", "transaction=4 objects=interface " + by + "interface.lua\" why=cancel", ""},
          {"get", "interface.name=cfm6", "!cfm6"}}},
        {"one change at a time",
         {{"set", "@confirm=30 @transaction=5 system.hostname=E", "3:4=0 "},
          {"set", "@confirm=30 @transaction=6 interface.name=cfm7 interface.mtu=1400", "3:4=242 "},
          {"get", kHost, "64:1=\"E\""},
          {"set", "system.hostname=F", "3:4=242 "},
          {"replace", "system.hostname=F", "3:4=242 "},
          {"get", "interface.name=cfm7", "!cfm7"},
          {"cancel", "@transaction=6", "3:4=243 "},
          {"cancel", "@transaction=5", "3:4=0 "},
          {"get", kHost, "64:1=\"C\""}}},
        {"a delete is undone",
         {{"delete", "@confirm=30 @transaction=7 system", "2:2=7 3:4=0 "},
          {"get", kHost, "!64:1=\"C\""},
          {"cancel", "@transaction=7", "3:4=0 "},
          {"get", kHost, "64:1=\"C\""}}},
        // The instance the first write created: the state before is its absence.
        {"an extension keeps the first snapshot",
         {{"set", "@confirm=30 @transaction=8 interface.name=cfm5 interface.mtu=1400", "3:4=0 "},
          {"set", "@confirm=30 @transaction=8 interface.name=cfm5 interface.mtu=1300", "3:4=0 "},
          {"get", "interface.name=cfm5", "74:2=1300"},
          {"cancel", "@transaction=8", "3:4=0 "},
          {"get", "interface.name=cfm5", "!cfm5"}}},
        {"a failed write leaves nothing armed",
         {{"set", "@confirm=30 @transaction=9 interface.name=cfm9 interface.mtu=10", "!3:4=0 "},
          {"journal", "", "0"},
          {"get", "interface.name=cfm9", "!cfm9"},
          {"set", "@confirm=30 @transaction=10 system.hostname=H", "2:2=10 3:4=0 "},
          {"cancel", "@transaction=10", "3:4=0 "},
          {"get", kHost, "64:1=\"C\""}}},
        {"what cannot be undone is refused",
         {{"set", "@confirm=1 @transaction=11 ntp.server=x", "3:4=244 "},
          {"set", "@confirm=61 @transaction=11 system.hostname=x", "3:4=244 "},
          {"set", "@confirm=1 system.hostname=x", "3:4=244 "},
          {"set", "@confirm=1 @transaction=11 interface.mtu=1280", "3:4=244 "},
          {"set", "system.hostname=C", "!3:4="},
          {"journal", "", "0"}}},
    };
    for (const auto& [name, steps] : rows) {
        SCOPED_TRACE(name);
        for (const auto& [kind, words, want] : steps) {
            SCOPED_TRACE(kind + " " + words);
            if (kind == "log") {
                EXPECT_TRUE(mDaemon->logHas(words, 5000));
            } else if (kind == "journal") {
                EXPECT_EQ(journal(), want == "1");
            } else {
                const bool negated = want.rfind('!', 0) == 0;
                const std::string got = say(kind.c_str(), words.c_str());
                EXPECT_EQ(got.find(want.substr(negated ? 1 : 0)) == std::string::npos, negated)
                    << got;
            }
        }
    }
    // Every write to an interface was undone or refused: none is left with settings of its own.
    EXPECT_EQ(read(mData + "/interface.conf").find(".mtu="), std::string::npos);
    // The extension's second write found the object saved already: one restore, one line.
    const std::string log = mDaemon->log(), eight = "kind=rollback transaction=8 ";
    EXPECT_NE(log.find(eight), std::string::npos);
    EXPECT_EQ(log.find(eight), log.rfind(eight));
    // Only the plain write went north; the confirmed one was refused before.
    EXPECT_NE(say("get", "ntp.server").find("3:4=0 "), std::string::npos);
    EXPECT_EQ(mUpstream->received(1, 2000).size(), 1u);
    EXPECT_FALSE(journal("pending-change.journal.bad"));
}

// A restart undoes a change left pending before it serves a request, and a daemon killed at any
// moment of a confirmed write and its confirmation comes back with the write whole or not at
// all.
TEST_F(Confirmed, KilledAndRestarted) {
    mSetup.connectionLog = "INFO";
    std::ofstream(mState + "/pending-change.journal") << "TJNL torn";
    EndToEnd::start();
    EXPECT_TRUE(mDaemon->logHas("cannot be read"));
    EXPECT_TRUE(journal("pending-change.journal.bad"));
    std::filesystem::remove(mState + "/pending-change.journal.bad");
    ASSERT_EQ(say("set", "system.hostname=h0 system.location=l0").find("3:4="), std::string::npos);
    ASSERT_NE(
        say("set", "@confirm=60 @transaction=1 system.hostname=x system.location=y").find("3:4=0 "),
        std::string::npos);
    ASSERT_TRUE(journal());
    restart();
    const std::string log = mDaemon->log();
    size_t undone = log.find("kind=rollback transaction=1 objects=system by=\"" + Daemon::dir() +
                             "/scripts/system.lua\" why=restart outcome=\"done\"");
    ASSERT_NE(undone, std::string::npos) << log;
    EXPECT_LT(undone, log.find("Listening on UDP"));
    // The hostname and location a write of number n gives.
    auto held = [](const std::string& n) { return "64:1=\"h" + n + "\" 65:1=\"l" + n + "\""; };
    EXPECT_NE(say("get", "system").find(held("0")), std::string::npos);
    EXPECT_FALSE(journal());

    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> pause_us(0, 15000);
    std::string now = "0";
    for (int i = 1; i <= 30; ++i) {
        SCOPED_TRACE(i);
        const std::string was = now, next = std::to_string(i);
        const std::string write = "@confirm=60 @transaction=" + next + " system.hostname=h" + next +
                                  " system.location=l" + next;
        mClient.send(mSetup.brokerPort, *request("set", ++mSeq, write));
        mClient.send(mSetup.brokerPort, *request("confirm", ++mSeq, "@transaction=" + next));
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
        restart();
        const std::string got = say("get", "system");
        const bool before = got.find(held(was)) != std::string::npos;
        const bool after = got.find(held(next)) != std::string::npos;
        ASSERT_TRUE(before || after) << got;
        now = after ? next : was;
        EXPECT_FALSE(journal());
        ASSERT_FALSE(journal("pending-change.journal.bad"));
    }
}

} // namespace
