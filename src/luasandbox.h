// cLuaSandbox: what a configuration script may do inside its Lua state, and how much.
//
// One sandbox per Lua state, made before the state and kept until it is closed. It holds the
// state's limits and the script's log:
// - memory: the state's allocator counts the bytes the state holds; an allocation that would
//   grow it past the limit fails, which Lua reports as its memory error;
// - CPU time: a count hook checks every few thousand Lua instructions how much of this thread's
//   CPU time the protected run under way has used; past the budget it raises an error, and
//   from then on raises at every instruction of every thread of the state, so that a script
//   that catches it (pcall, a coroutine) is stopped again at its next step;
// - refused functions: os.exit and debug.sethook raise an error instead of ending the process
//   or removing the budget's hook; setmetatable and debug.setmetatable refuse a metatable with
//   a finalizer (__gc), which Lua runs with hooks off, out of reach of the budget;
// - the built-in module "tamo" (require "tamo"): save(path, data) writes a file crash-safe
//   (safefile.h) and returns true, or nil and the reason; debug, info, warn and error(fmt, ...)
//   format like string.format and log through the category "script.<name>" with a limit on
//   the lines a script can write at every request.
// The Lua C functions find the sandbox through the state's extra space, which holds a pointer
// to it in every thread of the state. Main thread only, like the state; no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qlog.h"

struct lua_State;
struct lua_Debug;

class cLuaSandbox {
public:
    // budgetMs: the CPU time one protected run may take, in ms of this thread's CPU time (0: no
    // limit); memoryBytes: the most the state may hold.
    cLuaSandbox(uint32_t budgetMs, size_t memoryBytes);
    cLuaSandbox(const cLuaSandbox&) = delete;
    cLuaSandbox& operator=(const cLuaSandbox&) = delete;

    // Makes a new Lua state that allocates through this sandbox, points its extra space here and
    // sets the budget's hook. Null when Lua cannot make one. The caller closes the state, before
    // this sandbox goes.
    lua_State* newState();
    // Opens the standard libraries with the refused functions replaced and "tamo" ready for
    // require. Runs inside a protected call on a state from newState: may raise a Lua error
    // (out of memory).
    static void openLibraries(lua_State* L);

    // Starts the budget of a protected run on the state from newState: call before each run.
    void beginRun();
    // True when the last run was stopped for running past its budget.
    bool tripped() const { return mBudget.tripped; }

    // Bytes the state holds now.
    size_t memoryUsed() const { return mAlloc.used; }
    // A new memory limit (a limit below what the state holds makes every further allocation
    // fail); ends a countdown of failAllocationsAfter.
    void setMemoryLimit(size_t bytes) {
        mAlloc.limit = bytes;
        mAlloc.countdown = -1;
    }
    // Lets n more allocations that grow the state succeed, then lowers the limit to what the
    // state holds at that moment, so that every later one fails (tests of the memory error).
    void failAllocationsAfter(long n) { mAlloc.countdown = n; }

    // Names the script's log category "script.<file name without extension>" after path, the
    // first file the state loads; once named, later calls change nothing. Never throws.
    void nameLog(const char* path) {
        if (mScriptLog == nullptr) {
            name_log(path);
        }
    }

private:
    static void* allocate(void* ud, void* ptr, size_t osize, size_t nsize);
    static void budget_hook(lua_State* L, lua_Debug* ar);
    static int exit_refused(lua_State* L);
    static int setmetatable_guarded(lua_State* L);
    static int open_tamo(lua_State* L);
    static int tamo_save(lua_State* L);
    static int tamo_log(lua_State* L);
    static cLuaSandbox* from(lua_State* L);
    void name_log(const char* path);

    // The state's allocator: bytes held and the most it may hold.
    struct sAlloc {
        size_t used;
        size_t limit;
        long countdown; // -1: off
    } mAlloc;
    // The CPU-time budget of the protected run under way (times in ns). The hook reads the
    // thread's CPU clock at the run's first hook and then only once the monotonic clock has
    // reached nextCheck: CPU time cannot run ahead of wall time.
    struct sBudget {
        int64_t budgetNs; // 0: no budget
        int64_t cpuStart; // -1 until the run's first hook
        int64_t nextCheck;
        bool tripped;
    } mBudget;
    // The state's main thread, which newState made.
    lua_State* mMain;
    log4cpp::Category* mScriptLog;
    // Lines a script can have written at every request.
    cQlogLimit mScriptLogLimit;
};
