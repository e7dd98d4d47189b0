#include "luasandbox.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <lua.hpp>

#include "safefile.h"

namespace {

// The budget hook runs every this many Lua instructions.
constexpr int kHookInstructions = 4096;

int64_t clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + static_cast<int64_t>(ts.tv_nsec);
}

} // namespace

cLuaSandbox::cLuaSandbox(uint32_t budgetMs, size_t memoryBytes)
    : mAlloc{0, memoryBytes, -1}, mBudget{static_cast<int64_t>(budgetMs) * 1000000, 0, 0, false},
      mMain(nullptr), mScriptLog(nullptr) {}

lua_State* cLuaSandbox::newState() {
    lua_State* L = lua_newstate(allocate, &mAlloc);
    if (L == nullptr) {
        return nullptr;
    }
    mMain = L;
    // The hook and the built-in module find this object through the state.
    *static_cast<cLuaSandbox**>(lua_getextraspace(L)) = this;
    if (mBudget.budgetNs > 0) {
        lua_sethook(L, budget_hook, LUA_MASKCOUNT, kHookInstructions);
    }
    return L;
}

void cLuaSandbox::openLibraries(lua_State* L) {
    luaL_openlibs(L);
    // A configuration script must not end the daemon, nor escape its budget: debug.sethook
    // would remove the budget's hook, and a finalizer (__gc) runs with hooks off.
    lua_getglobal(L, "os");
    lua_pushliteral(L, "os.exit");
    lua_pushcclosure(L, exit_refused, 1);
    lua_setfield(L, -2, "exit");
    lua_pop(L, 1);
    lua_getglobal(L, "setmetatable");
    lua_pushcclosure(L, setmetatable_guarded, 1);
    lua_setglobal(L, "setmetatable");
    lua_getglobal(L, "debug");
    lua_pushliteral(L, "debug.sethook");
    lua_pushcclosure(L, exit_refused, 1);
    lua_setfield(L, -2, "sethook");
    lua_getfield(L, -1, "setmetatable");
    lua_pushcclosure(L, setmetatable_guarded, 1);
    lua_setfield(L, -2, "setmetatable");
    lua_pop(L, 1);
    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_PRELOAD_TABLE);
    lua_pushcfunction(L, open_tamo);
    lua_setfield(L, -2, "tamo");
    lua_pop(L, 1);
}

void cLuaSandbox::beginRun() {
    mBudget.tripped = false;
    if (mBudget.budgetNs > 0) {
        // Resets the count too, and undoes the every-instruction hook of a run that overran.
        lua_sethook(mMain, budget_hook, LUA_MASKCOUNT, kHookInstructions);
        // The CPU clock is a system call: it is read from the run's first hook on, so a run of
        // fewer than kHookInstructions instructions, the usual request, never reads it.
        mBudget.cpuStart = -1;
    }
}

void cLuaSandbox::name_log(const char* path) {
    const char* base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const char* dot = std::strrchr(base, '.');
    size_t len =
        dot != nullptr && dot != base ? static_cast<size_t>(dot - base) : std::strlen(base);
    try {
        mScriptLog = &log4cpp::Category::getInstance("script." + std::string(base, len));
    } catch (...) {
        mScriptLog = nullptr;
    }
}

void* cLuaSandbox::allocate(void* ud, void* ptr, size_t osize, size_t nsize) {
    auto* a = static_cast<sAlloc*>(ud);
    // Without a block, osize names the kind of object, not a size.
    size_t old = ptr != nullptr ? osize : 0;
    if (nsize == 0) {
        std::free(ptr);
        a->used -= old;
        return nullptr;
    }
    if (nsize > old && a->countdown >= 0 && a->countdown-- == 0) {
        a->limit = a->used;
    }
    // Growth past the limit fails; Lua then collects its garbage and tries once more before it
    // raises its memory error. Shrinking never fails, as Lua requires.
    if (nsize > old && nsize - old > a->limit - std::min(a->used, a->limit)) {
        return nullptr;
    }
    void* p = std::realloc(ptr, nsize);
    if (p == nullptr) {
        return nsize <= old ? ptr : nullptr;
    }
    a->used = a->used - old + nsize;
    return p;
}

// Runs every kHookInstructions instructions of any thread of the state. Past the budget it
// raises, and from then on raises at every instruction of every thread, so that a script that
// catches the error with pcall or in a coroutine is stopped again at its next step, until the
// error leaves the protected run.
void cLuaSandbox::budget_hook(lua_State* L, lua_Debug* /*ar*/) {
    cLuaSandbox* box = from(L);
    sBudget& b = box->mBudget;
    if (b.budgetNs <= 0) {
        return;
    }
    if (!b.tripped) {
        // A coroutine made after an overrun still has the every-instruction count.
        if (lua_gethookcount(L) != kHookInstructions) {
            lua_sethook(L, budget_hook, LUA_MASKCOUNT, kHookInstructions);
        }
        int64_t now = clock_ns(CLOCK_MONOTONIC);
        if (b.cpuStart < 0) {
            // What the run used before its first hook (its first few thousand instructions and
            // the C functions they called) is not counted.
            b.cpuStart = clock_ns(CLOCK_THREAD_CPUTIME_ID);
            b.nextCheck = now + b.budgetNs;
            return;
        }
        if (now < b.nextCheck) {
            return;
        }
        int64_t used = clock_ns(CLOCK_THREAD_CPUTIME_ID) - b.cpuStart;
        if (used < b.budgetNs) {
            // Time spent waiting (for a child process, say) is not counted.
            b.nextCheck = now + (b.budgetNs - used);
            return;
        }
        b.tripped = true;
        lua_sethook(box->mMain, budget_hook, LUA_MASKCOUNT, 1);
    }
    lua_sethook(L, budget_hook, LUA_MASKCOUNT, 1);
    luaL_error(L, "script ran past its budget of %d ms", static_cast<int>(b.budgetNs / 1000000));
}

// os.exit and debug.sethook; upvalue 1 is the function's name.
int cLuaSandbox::exit_refused(lua_State* L) {
    return luaL_error(L, "%s is not available to configuration scripts",
                      lua_tostring(L, lua_upvalueindex(1)));
}

// setmetatable and debug.setmetatable (the original is upvalue 1), refusing a metatable with a
// finalizer: Lua runs finalizers with hooks off, out of reach of the script budget.
int cLuaSandbox::setmetatable_guarded(lua_State* L) {
    if (lua_type(L, 2) == LUA_TTABLE) {
        lua_pushliteral(L, "__gc");
        if (lua_rawget(L, 2) != LUA_TNIL) {
            return luaL_error(L, "finalizers (__gc) are not available to configuration scripts");
        }
        lua_pop(L, 1);
    }
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// require "tamo": save(path, data) and debug/info/warn/error(fmt, ...).
int cLuaSandbox::open_tamo(lua_State* L) {
    static const struct {
        const char* name;
        int priority;
    } kLevels[] = {{"debug", DEBUG}, {"info", INFO}, {"warn", WARN}, {"error", ERROR}};
    lua_createtable(L, 0, 5);
    lua_pushcfunction(L, tamo_save);
    lua_setfield(L, -2, "save");
    lua_getglobal(L, "string");
    for (const auto& level : kLevels) {
        lua_pushinteger(L, level.priority);
        lua_getfield(L, -2, "format");
        lua_pushcclosure(L, tamo_log, 2);
        lua_setfield(L, -3, level.name);
    }
    lua_pop(L, 1);
    return 1;
}

int cLuaSandbox::tamo_save(lua_State* L) {
    const char* path = luaL_checkstring(L, 1);
    size_t len = 0;
    const char* data = luaL_checklstring(L, 2, &len);
    char reason[256];
    if (saveFileAtomically(path, data, len, reason, sizeof reason)) {
        lua_pushboolean(L, 1);
        return 1;
    }
    lua_pushnil(L);
    lua_pushstring(L, reason);
    return 2;
}

// A filtered line costs a priority check: nothing is formatted.
int cLuaSandbox::tamo_log(lua_State* L) {
    cLuaSandbox* box = from(L);
    auto priority = static_cast<int>(lua_tointeger(L, lua_upvalueindex(1)));
    if (box->mScriptLog == nullptr || !box->mScriptLog->isPriorityEnabled(priority)) {
        return 0;
    }
    int n = lua_gettop(L);
    if (n > 1) {
        lua_pushvalue(L, lua_upvalueindex(2));
        lua_insert(L, 1);
        lua_call(L, n, 1);
    }
    const char* msg = luaL_checkstring(L, 1);
    // A peer can make a script log at every request: the script's lines have a limit.
    try {
        cQlog::limited(*box->mScriptLog, box->mScriptLogLimit, priority, std::string(msg));
    } catch (...) {
        // Out of memory: the line is lost; nothing may cross Lua's C frames.
    }
    return 0;
}

cLuaSandbox* cLuaSandbox::from(lua_State* L) {
    return *static_cast<cLuaSandbox**>(lua_getextraspace(L));
}
