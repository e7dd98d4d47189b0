// cLuaVM: one Lua 5.3 state and the bridge between it and configuration tables.
//
// Each configuration script owns a cLuaVM of its own; no state is shared. Every operation runs
// on the main thread, holds no lock and leaves the Lua stack as it found it. Every step that can
// raise a Lua error (loading, running, the argument table, the function itself) runs under
// lua_pcall with a traceback handler: a script fault is logged at error priority with Lua's
// message and traceback and reported as a false result, never as an abort. The steps and the
// whole stack are logged at debug priority in the category "cLuaVM".
//
// Tables cross the bridge as cLuaConvert converts them (luaconvert.h, docs/scripting.md), with
// its limits: at most kMaxDepth levels of nesting in either direction, no cycle, and at most
// kMaxEntries entries and kMaxResultBytes bytes of text back from one call. A cLuaSandbox
// (luasandbox.h) confines the state: every protected run has a budget of this thread's CPU
// time, every state a memory budget, os.exit raises an error instead of ending the process, and
// scripts may require "tamo", a built-in module with a crash-safe file save and logging through
// the category "script.<name>" (docs/scripting.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>

#include "configtable.h"
#include "luaconvert.h"
#include "luasandbox.h"
#include "qlog.h"

struct lua_State;

class cLuaVM : public cQlog {
public:
    // Nesting levels converted in either direction; the argument or result table is level 1.
    static constexpr int kMaxDepth = cLuaConvert::kMaxDepth;
    // Entries (nested tables included) taken from one returned table. A Lua table may hold the
    // same table many times over without a cycle, and each use is copied: this bounds the work.
    static constexpr int kMaxEntries = cLuaConvert::kMaxEntries;
    // Bytes of text taken from one returned table: more than any reply can carry. Past it the
    // result is marked incomplete (cConfigTable::markIncomplete) and no reply is sent.
    static constexpr size_t kMaxResultBytes = cLuaConvert::kMaxResultBytes;

    // What every state made from now on gets: the CPU time one protected run may take, in ms
    // of this thread's CPU time (0: no limit), and the memory the state may hold, in bytes.
    struct sLimits {
        uint32_t budgetMs;
        size_t memoryBytes;
    };
    static constexpr uint32_t kDefaultBudgetMs = 1000;
    static constexpr size_t kDefaultMemoryBytes = size_t{8192} * 1024;
    // Set at start-up, before the first state is made; main thread.
    static void setLimits(const sLimits& limits);
    static sLimits getLimits();

    // Creates the state with the limits in force and opens the standard libraries (os.exit
    // replaced, "tamo" ready for require). When that fails the object has no state and every
    // operation returns false without touching Lua.
    cLuaVM();
    // Closes the state.
    virtual ~cLuaVM();
    cLuaVM(const cLuaVM&) = delete;
    cLuaVM& operator=(const cLuaVM&) = delete;

    // Appends ";" p "/?.lua" to package.path, so that require finds modules kept in folder p.
    // Logs "New LUA_PATH: %s". False only without a state or when package.path is not text.
    bool setPath(const char* p);

    // Runs file s once in this state. The compiled chunk is kept and run again on the next call
    // while the file's device, inode, size and modification time (to the nanosecond) stay the
    // same; any change recompiles. While cScriptWatch can watch the file, the file is not
    // stat'ed at all until something on its path changes, and then it is recompiled whatever
    // stat says (an edit in the same clock tick, a reused inode number, a restored time). True when
    // the chunk compiled and ran without error. A file that does not compile logs "Load ERROR"
    // (and, the first time, its message at error priority) and leaves the last good chunk and the
    // globals it defined in place; a chunk that raises is logged at error priority after
    // reassigning the globals it reached.
    bool loadScript(const char* s);

    // Calls the global function f with a Lua copy of cfg as its one argument (none when cfg is
    // null) and, when out is non-null, appends the table that f returns to out; any other result
    // leaves out unchanged ("Return type is: %s"). False, with out unchanged, when f is not a
    // function or raises; cfg is not modified and stays the caller's.
    bool call(const char* f, cConfigTable* cfg, cConfigTable* out);
    // Calls f with no argument and drops its results. False when f cannot be called or raises.
    bool call(const char* f);
    // Calls f with a Lua copy of cfg and drops its results. False when f cannot be called or
    // raises.
    bool call(const char* f, cConfigTable* cfg);

    // How the last loadScript or call ended: done, the function is not defined, failed (a Lua
    // error, no state), or stopped for running past its budget. Ordered from best to worst.
    enum eOutcome { OUTCOME_DONE, OUTCOME_NO_FUNCTION, OUTCOME_ERROR, OUTCOME_OVER_BUDGET };
    eOutcome lastOutcome() const { return mLastOutcome; }

    // Whether the global f is a function now (after the file has run). Leaves the stack as found.
    bool isFunction(const char* f);
    // Height of the Lua stack, -1 without a state. For tests and tools: it is 0 between calls.
    int stackTop() const;
    // Bytes the state holds now, and a new memory limit for this state alone (tests and tools;
    // a limit below what it holds makes every further allocation fail).
    size_t memoryUsed() const { return mSandbox.memoryUsed(); }
    void setMemoryLimit(size_t bytes) { mSandbox.setMemoryLimit(bytes); }
    // Lets n more allocations that grow the state succeed, then lowers the limit to what the
    // state holds at that moment, so that every later one fails (tests of the memory error).
    void failAllocationsAfter(long n) { mSandbox.failAllocationsAfter(n); }

private:
    // A file as stat reports it; equal ids mean the compiled chunk is still the file's content.
    struct sFileId {
        bool valid;
        dev_t dev;
        ino_t ino;
        off_t size;
        struct timespec mtim;

        bool matches(const struct stat& st) const {
            return valid && st.st_dev == dev && st.st_ino == ino && st.st_size == size &&
                   st.st_mtim.tv_sec == mtim.tv_sec && st.st_mtim.tv_nsec == mtim.tv_nsec;
        }
    };
    struct sPathStep;
    struct sLoadStep;
    struct sCallStep;

    static int open_step(lua_State* L);
    static int set_path_step(lua_State* L);
    static int load_step(lua_State* L);
    static int call_step(lua_State* L);
    static int message_handler(lua_State* L);
    static int panic_handler(lua_State* L);

    // Runs fn(ctx) under lua_pcall with the traceback handler; nresults values (or the error
    // message) are left on top of the stack. Returns Lua's status.
    int run_protected(int (*fn)(lua_State*), void* ctx, int nresults);
    // loadScript's end for a file that has not changed since it failed to compile: logs its
    // message again, restores the stack to base and returns false.
    bool fail_again(int base);
    bool invoke(const char* f, cConfigTable* cfg, cConfigTable* out, bool verbose);
    // Logs "<what> <name> failed: <message on top, with its traceback>" at error priority.
    void log_failure(const char* what, const char* name, int status);
    // stat(s), or what it reported last time while the file is watched and unchanged. changed
    // tells whether the watch saw a change since then (always false without a watch).
    bool stat_script(const char* s, struct stat* st, bool* changed);
    void stackdump();

    // The state's limits, refused functions and "tamo" module. Declared before the state,
    // which allocates through it until it is closed.
    cLuaSandbox mSandbox;
    lua_State* mLuaState;
    eOutcome mLastOutcome;
    // Makes a fresh _ENV upvalue for each run of a kept chunk, as a fresh load would.
    int mEnvMakerRef;
    // The compiled chunk of the last file that compiled, as a registry reference.
    int mChunkRef;
    std::string mChunkPath;
    sFileId mChunkId;
    // The compiler's message for the last file that did not compile, as a registry reference.
    int mFailedRef;
    std::string mFailedPath;
    sFileId mFailedId;
    // The argument and result tables' conversion.
    cLuaConvert mConvert;
    // What the last stat of the loaded file reported, kept while the watch vouches for it.
    int mWatchSlot;
    std::string mWatchPath;
    bool mWatchKnown;
    struct stat mWatchStat;
    // Lines a script's failures can have written at every request.
    cQlogLimit mFailureLimit;
};
