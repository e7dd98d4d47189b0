#include "luavm.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include <lua.hpp>

#include "safefile.h"
#include "scriptwatch.h"

// A u32 value reaches scripts as a Lua integer, which must hold 2^32 - 1.
static_assert(LUA_MAXINTEGER >= 4294967295LL, "Lua integers narrower than 64 bits");

namespace {

const char* const kCategory = "cLuaVM";
// run_protected's status when the stack had no room to start the call: no message was pushed.
constexpr int kNoRoom = -1;
// The budget hook runs every this many Lua instructions.
constexpr int kHookInstructions = 4096;

cLuaVM::sLimits g_limits{cLuaVM::kDefaultBudgetMs, cLuaVM::kDefaultMemoryBytes};

int64_t clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + static_cast<int64_t>(ts.tv_nsec);
}

// A number crosses as an integer when its single-precision rounding is integral (so every
// magnitude from 2^23 up does), truncated from the double. From 2^31 to 2^32 - 1 it becomes an
// unsigned integer, so that a u32 value a script was given goes back as it came; beyond that
// range it is clamped to the nearest int limit.
cTableType number_value(double d) {
    // Beyond the float range the nearest float is an infinity; the cast alone would be undefined.
    float f = std::fabs(d) > static_cast<double>(FLT_MAX)
                  ? std::copysign(std::numeric_limits<float>::infinity(),
                                  static_cast<float>(d > 0 ? 1 : -1))
                  : static_cast<float>(d);
    if (f != std::floor(f)) {
        return cTableType(f);
    }
    double t = std::trunc(d);
    if (t >= 2147483648.0 && t <= 4294967295.0) {
        return cTableType::u32(static_cast<uint32_t>(t));
    }
    if (t >= 2147483647.0) {
        return cTableType(INT32_MAX);
    }
    if (t <= -2147483648.0) {
        return cTableType(INT32_MIN);
    }
    return cTableType(static_cast<int>(t));
}

} // namespace

struct cLuaVM::sPathStep {
    cLuaVM* vm;
    const char* dir;
};

struct cLuaVM::sLoadStep {
    cLuaVM* vm;
    const char* path;
    bool compile;
    int envMakerRef;
    int chunkRef;
    int failedRef;
    // Outcomes, set before the chunk runs so that they survive an error raised by it.
    bool compileFailed;
    int newChunkRef;
    int newFailedRef;
};

struct cLuaVM::sCallStep {
    cLuaVM* vm;
    const char* f;
    cConfigTable* cfg;
    int nresults;
    bool verbose;
    bool notFunction;
};

void cLuaVM::setLimits(const sLimits& limits) {
    g_limits = limits;
}

cLuaVM::sLimits cLuaVM::getLimits() {
    return g_limits;
}

cLuaVM::cLuaVM()
    : cQlog(kCategory), mAlloc{0, g_limits.memoryBytes, -1},
      mLuaState(lua_newstate(allocate, &mAlloc)),
      mLastOutcome(OUTCOME_DONE), mBudget{static_cast<int64_t>(g_limits.budgetMs) * 1000000, 0, 0,
                                          false},
      mScriptLog(nullptr), mEnvMakerRef(LUA_NOREF),
      mChunkRef(LUA_NOREF), mChunkId{false, 0, 0, 0, {0, 0}},
      mFailedRef(LUA_NOREF), mFailedId{false, 0, 0, 0, {0, 0}}, mPath{}, mEntriesLeft(0),
      mWatchSlot(-1), mWatchKnown(false), mWatchStat{}, mDrops{}, mBytesLeft(0) {
    if (mLuaState == nullptr) {
        debug("Opening LuaVM...ERROR");
        error("cannot create a Lua state");
        return;
    }
    debug("Opening LuaVM...OK");
    lua_atpanic(mLuaState, panic_handler);
    // The hooks and the built-in module find this object through the state.
    *static_cast<cLuaVM**>(lua_getextraspace(mLuaState)) = this;
    if (mBudget.budgetNs > 0) {
        lua_sethook(mLuaState, budget_hook, LUA_MASKCOUNT, kHookInstructions);
    }
    int status = run_protected(open_step, this, 0);
    if (status != LUA_OK) {
        log_failure("Opening", "the standard libraries", status);
        lua_close(mLuaState);
        mLuaState = nullptr;
        return;
    }
    debug("Opening Lua Libs...OK");
}

cLuaVM::~cLuaVM() {
    cScriptWatch::instance().release(mWatchSlot);
    if (mLuaState != nullptr) {
        lua_close(mLuaState);
    }
}

bool cLuaVM::setPath(const char* p) {
    if (mLuaState == nullptr || p == nullptr) {
        return false;
    }
    int base = lua_gettop(mLuaState);
    sPathStep step{this, p};
    int status = run_protected(set_path_step, &step, 0);
    bool ok = status == LUA_OK;
    if (!ok) {
        log_failure("Extending the module path with", p, status);
    }
    lua_settop(mLuaState, base);
    return ok;
}

bool cLuaVM::loadScript(const char* s) {
    mLastOutcome = OUTCOME_ERROR;
    if (mLuaState == nullptr || s == nullptr) {
        return false;
    }
    lua_State* L = mLuaState;
    debug("Loading %s ...", s);
    if (mScriptLog == nullptr) {
        name_log(s);
    }
    int base = lua_gettop(L);

    // stat before reading: an edit that lands while the file compiles changes the id again.
    struct stat st {};
    bool changed = false;
    bool known = stat_script(s, &st, &changed);
    bool cached =
        known && !changed && mChunkRef != LUA_NOREF && mChunkPath == s && mChunkId.matches(st);
    bool failedBefore = known && !changed && !cached && mFailedRef != LUA_NOREF &&
                        mFailedPath == s && mFailedId.matches(st);
    if (failedBefore) {
        // Unchanged since it failed to compile: report it again without reading it.
        if (lua_checkstack(L, 1)) {
            lua_rawgeti(L, LUA_REGISTRYINDEX, mFailedRef);
        }
        debug("Load ERROR");
        stackdump();
        lua_settop(L, base);
        return false;
    }

    sLoadStep step{this,       s,     !cached,   mEnvMakerRef, mChunkRef,
                   mFailedRef, false, LUA_NOREF, LUA_NOREF};
    int status = run_protected(load_step, &step, LUA_MULTRET);
    sFileId id{known, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    if (step.newChunkRef != LUA_NOREF) {
        mChunkRef = step.newChunkRef;
        mChunkPath = s;
        mChunkId = id;
        mFailedRef = LUA_NOREF;
        mFailedPath.clear();
        mFailedId.valid = false;
    }
    if (step.newFailedRef != LUA_NOREF) {
        mFailedRef = step.newFailedRef;
        mFailedPath = s;
        mFailedId = id;
    }

    bool ok = status == LUA_OK && !step.compileFailed;
    if (ok) {
        mLastOutcome = OUTCOME_DONE;
        debug("Loaded OK");
    } else {
        debug("Load ERROR");
        log_failure("Loading", s, status);
        if (mBudget.tripped) {
            mLastOutcome = OUTCOME_OVER_BUDGET;
        }
    }
    stackdump();
    lua_settop(L, base);
    return ok;
}

bool cLuaVM::call(const char* f, cConfigTable* cfg, cConfigTable* out) {
    return invoke(f, cfg, out, true);
}

bool cLuaVM::call(const char* f) {
    return invoke(f, nullptr, nullptr, false);
}

bool cLuaVM::call(const char* f, cConfigTable* cfg) {
    if (cfg != nullptr) {
        cfg->dump_table();
    }
    return invoke(f, cfg, nullptr, false);
}

int cLuaVM::stackTop() const {
    return mLuaState != nullptr ? lua_gettop(mLuaState) : -1;
}

int cLuaVM::open_step(lua_State* L) {
    auto* vm = static_cast<cLuaVM*>(lua_touserdata(L, 1));
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
    // Each call returns a closure whose only upvalue is a new variable holding its argument.
    if (luaL_loadstring(L, "local env = ...; return function() return env end") != LUA_OK) {
        return lua_error(L);
    }
    vm->mEnvMakerRef = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

int cLuaVM::set_path_step(lua_State* L) {
    auto* step = static_cast<sPathStep*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "path");
    step->vm->stackdump();
    // Built on the Lua stack, so an error here leaves no C++ object behind.
    lua_pushliteral(L, ";");
    lua_pushstring(L, step->dir);
    lua_pushliteral(L, "/?.lua");
    lua_concat(L, 4);
    step->vm->debug("New LUA_PATH: %s", lua_tostring(L, -1));
    lua_setfield(L, 1, "path");
    lua_settop(L, 0);
    step->vm->stackdump();
    return 0;
}

int cLuaVM::load_step(lua_State* L) {
    auto* step = static_cast<sLoadStep*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (step->compile) {
        if (luaL_loadfilex(L, step->path, nullptr) != LUA_OK) {
            step->compileFailed = true;
            lua_pushvalue(L, -1);
            step->newFailedRef = luaL_ref(L, LUA_REGISTRYINDEX);
            luaL_unref(L, LUA_REGISTRYINDEX, step->failedRef);
            return 1;
        }
        lua_pushvalue(L, -1);
        step->newChunkRef = luaL_ref(L, LUA_REGISTRYINDEX);
        luaL_unref(L, LUA_REGISTRYINDEX, step->chunkRef);
        luaL_unref(L, LUA_REGISTRYINDEX, step->failedRef);
    } else {
        lua_rawgeti(L, LUA_REGISTRYINDEX, step->chunkRef);
        // A fresh load gives the chunk a new _ENV variable holding the globals, while closures
        // made by earlier runs keep theirs (top-level code may have reassigned it).
        if (lua_getupvalue(L, -1, 1) != nullptr) {
            lua_pop(L, 1);
            lua_rawgeti(L, LUA_REGISTRYINDEX, step->envMakerRef);
            lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
            lua_call(L, 1, 1);
            lua_upvaluejoin(L, -2, 1, -1, 1);
            lua_pop(L, 1);
        }
    }
    lua_call(L, 0, LUA_MULTRET);
    return lua_gettop(L);
}

int cLuaVM::call_step(lua_State* L) {
    auto* step = static_cast<sCallStep*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_getglobal(L, step->f);
    if (step->verbose && lua_type(L, -1) != LUA_TFUNCTION) {
        step->notFunction = true;
        return 0;
    }
    int nargs = 0;
    if (step->cfg != nullptr) {
        if (!step->vm->push_argument(step->f, step->cfg)) {
            return luaL_error(L, "cannot build the argument table");
        }
        nargs = 1;
    }
    if (step->verbose) {
        step->vm->debug("Now calling %s >%d< <%d>", step->f, nargs, step->nresults);
        step->vm->stackdump();
    }
    lua_call(L, nargs, step->nresults);
    if (step->verbose) {
        step->vm->stackdump();
    }
    return step->nresults;
}

int cLuaVM::message_handler(lua_State* L) {
    const char* msg = lua_tostring(L, 1);
    if (msg == nullptr) {
        if (luaL_callmeta(L, 1, "__tostring") != 0 && lua_type(L, -1) == LUA_TSTRING) {
            return 1;
        }
        msg = lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    }
    luaL_traceback(L, L, msg, 1);
    return 1;
}

int cLuaVM::panic_handler(lua_State* L) {
    const char* msg = lua_tostring(L, -1);
    cQlog::getLog(kCategory).fatal("unprotected Lua error: %s", msg != nullptr ? msg : "?");
    return 0;
}

int cLuaVM::run_protected(int (*fn)(lua_State*), void* ctx, int nresults) {
    lua_State* L = mLuaState;
    if (!lua_checkstack(L, 3)) {
        return kNoRoom;
    }
    mBudget.tripped = false;
    if (mBudget.budgetNs > 0) {
        // Resets the count too, and undoes the every-instruction hook of a run that overran.
        lua_sethook(L, budget_hook, LUA_MASKCOUNT, kHookInstructions);
        // The CPU clock is a system call: it is read from the run's first hook on, so a run of
        // fewer than kHookInstructions instructions, the usual request, never reads it.
        mBudget.cpuStart = -1;
    }
    int handler = lua_gettop(L) + 1;
    lua_pushcfunction(L, message_handler);
    lua_pushcfunction(L, fn);
    lua_pushlightuserdata(L, ctx);
    int status = lua_pcall(L, 1, nresults, handler);
    lua_remove(L, handler);
    return status;
}

bool cLuaVM::invoke(const char* f, cConfigTable* cfg, cConfigTable* out, bool verbose) {
    mLastOutcome = OUTCOME_ERROR;
    if (mLuaState == nullptr || f == nullptr) {
        return false;
    }
    lua_State* L = mLuaState;
    int base = lua_gettop(L);
    int nresults = out != nullptr ? 1 : 0;
    sCallStep step{this, f, cfg, nresults, verbose, false};
    int status = run_protected(call_step, &step, nresults);
    if (status != LUA_OK) {
        log_failure("Calling", f, status);
        if (mBudget.tripped) {
            mLastOutcome = OUTCOME_OVER_BUDGET;
        }
        lua_settop(L, base);
        if (verbose) {
            stackdump();
        }
        return false;
    }
    if (step.notFunction) {
        mLastOutcome = OUTCOME_NO_FUNCTION;
        lua_settop(L, base);
        stackdump();
        return false;
    }
    if (out != nullptr) {
        debug("Return type is: %s", lua_typename(L, lua_type(L, -1)));
        if (lua_type(L, -1) == LUA_TTABLE) {
            mDrops = sDrops{};
            mEntriesLeft = kMaxEntries;
            mBytesLeft = kMaxResultBytes;
            // Outside any protected call, so an exception may pass: the stack is restored below
            // either way, and a result cut short is marked so that no part of it is sent.
            try {
                pop(out, 1);
            } catch (...) {
                mDrops.tooLarge = true;
            }
            if (mDrops.tooLarge) {
                out->markIncomplete();
            }
            report_drops("result of", f);
        }
    }
    lua_settop(L, base);
    if (verbose) {
        stackdump();
    }
    mLastOutcome = OUTCOME_DONE;
    return true;
}

void cLuaVM::log_failure(const char* what, const char* name, int status) {
    log4cpp::Category& log = cQlog::getLog(kCategory);
    if (!log.isErrorEnabled()) {
        return;
    }
    // Only a string is read: lua_tostring would convert a number in place, which allocates and
    // may raise outside any protected call.
    const char* msg = status == kNoRoom                        ? "no room on the Lua stack"
                      : lua_type(mLuaState, -1) == LUA_TSTRING ? lua_tostring(mLuaState, -1)
                                                               : nullptr;
    // Through the category, not the 1024-character buffer: a traceback is often longer. A peer
    // can make a script fail at every request: the failures have a limit.
    cQlog::limited(log, mFailureLimit, ERROR,
                   std::string(what) + " " + name + " failed: " + (msg != nullptr ? msg : "?"));
}

void cLuaVM::report_drops(const char* what, const char* f) {
    if (mDrops.deep > 0) {
        warn("%s %s: %d tables nested deeper than %d levels left out", what, f, mDrops.deep,
             kMaxDepth);
    }
    if (mDrops.cycles > 0) {
        warn("%s %s: %d references of a table to itself left out", what, f, mDrops.cycles);
    }
    if (mDrops.noRoom > 0) {
        warn("%s %s: %d tables left empty, no room on the Lua stack", what, f, mDrops.noRoom);
    }
    if (mDrops.truncated) {
        warn("%s %s: more than %d entries, the rest left out", what, f, kMaxEntries);
    }
    if (mDrops.tooLarge) {
        warn("%s %s: more than %zu bytes of text, or out of memory; no reply", what, f,
             kMaxResultBytes);
    }
}

bool cLuaVM::push_argument(const char* f, cConfigTable* cfg) {
    // Called inside a protected step: a C++ exception must not cross Lua's C frames. Only a
    // Lua memory error can raise in here; it unwinds past the entry copies it then leaks.
    try {
        if (!lua_checkstack(mLuaState, 1)) {
            return false;
        }
        mDrops = sDrops{};
        lua_createtable(mLuaState, 0, static_cast<int>(cfg->size()));
        push(cfg, 1);
        report_drops("argument of", f);
        return true;
    } catch (...) {
        return false;
    }
}

// The push functions run inside a protected call, and a Lua memory error longjmps out of any
// Lua call below: they hold references and plain values only, never an object whose destructor
// would be skipped.
void cLuaVM::push(const cTableType& val, int depth) {
    lua_State* L = mLuaState;
    switch (val.getType()) {
    case cTableType::TTE_BOOL:
        lua_pushboolean(L, static_cast<bool>(val) ? 1 : 0);
        break;
    case cTableType::TTE_NUM:
        if (val.isUnsigned()) {
            lua_pushinteger(L,
                            static_cast<lua_Integer>(static_cast<uint32_t>(static_cast<int>(val))));
        } else {
            lua_pushinteger(L, static_cast<lua_Integer>(static_cast<int>(val)));
        }
        break;
    case cTableType::TTE_STRING: {
        // A byte string crosses whole; a text ends at its first NUL.
        const std::string& s = val.text();
        lua_pushlstring(L, s.data(), val.isBytes() ? s.size() : std::strlen(s.c_str()));
        break;
    }
    case cTableType::TTE_TABLE: {
        auto* nested = static_cast<cConfigTable*>(val);
        lua_createtable(L, 0, nested != nullptr ? static_cast<int>(nested->size()) : 0);
        if (nested != nullptr) {
            push(nested, depth + 1);
        }
        break;
    }
    case cTableType::TTE_FLOAT:
        lua_pushnumber(L, static_cast<double>(static_cast<float>(val)));
        break;
    case cTableType::TTE_NIL:
        lua_pushnil(L);
        break;
    }
}

void cLuaVM::push(cConfigTable* t, int depth) {
    lua_State* L = mLuaState;
    if (!lua_checkstack(L, 3)) {
        ++mDrops.noRoom;
        return;
    }
    for (size_t i = 0; i < t->size(); ++i) {
        const cTableType& key = t->keyAt(i);
        cTableType::eElementType kt = key.getType();
        // Lua tables hold no nil or NaN key.
        if (kt == cTableType::TTE_NIL ||
            (kt == cTableType::TTE_FLOAT && std::isnan(static_cast<float>(key)))) {
            debug("entry with a nil or NaN key left out at level %d", depth);
            continue;
        }
        const cTableType& val = t->valueAt(i);
        if (depth >= kMaxDepth &&
            (kt == cTableType::TTE_TABLE || val.getType() == cTableType::TTE_TABLE)) {
            ++mDrops.deep;
            continue;
        }
        push(key, depth);
        push(val, depth);
        lua_rawset(L, -3);
    }
}

cTableType cLuaVM::pop(int i) {
    lua_State* L = mLuaState;
    switch (lua_type(L, i)) {
    case LUA_TNUMBER:
        return number_value(lua_tonumberx(L, i, nullptr));
    case LUA_TSTRING: {
        // Every byte: whether the string is text (cut at its first NUL on the wire) or a byte
        // string is decided by the dictionary when the reply is built.
        size_t len = 0;
        const char* s = lua_tolstring(L, i, &len);
        if (len > mBytesLeft) {
            mDrops.tooLarge = true;
            return cTableType();
        }
        mBytesLeft -= len;
        return cTableType(std::string(s, len));
    }
    case LUA_TBOOLEAN:
        return cTableType(lua_toboolean(L, i) != 0);
    default:
        return cTableType();
    }
}

void cLuaVM::pop(cConfigTable* t, int depth) {
    lua_State* L = mLuaState;
    if (!lua_checkstack(L, 3)) {
        ++mDrops.noRoom;
        return;
    }
    mPath[depth - 1] = lua_topointer(L, -1);
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        if (mEntriesLeft <= 0 || mDrops.tooLarge) {
            mDrops.truncated = mDrops.truncated || !mDrops.tooLarge;
            lua_settop(L, -3);
            return;
        }
        if (lua_type(L, -1) != LUA_TTABLE) {
            --mEntriesLeft;
            t->insert(pop(-2), pop(-1));
        } else if (depth >= kMaxDepth) {
            ++mDrops.deep;
        } else if (on_path(lua_topointer(L, -1), depth)) {
            ++mDrops.cycles;
        } else {
            --mEntriesLeft;
            auto* nested = new cConfigTable();
            t->insert(pop(-2), nested);
            pop(nested, depth + 1);
        }
        lua_settop(L, -2);
    }
}

bool cLuaVM::stat_script(const char* s, struct stat* st, bool* changed) {
    cScriptWatch& watch = cScriptWatch::instance();
    bool same = mWatchSlot >= 0 && mWatchPath == s;
    if (same && !watch.mayHaveChanged(mWatchSlot)) {
        *st = mWatchStat;
        return mWatchKnown;
    }
    *changed = same;
    // Armed before the stat, so that a change made after it is seen at the next load.
    mWatchSlot = watch.arm(s, mWatchSlot);
    mWatchPath = s;
    mWatchKnown = ::stat(s, st) == 0;
    mWatchStat = *st;
    return mWatchKnown;
}

bool cLuaVM::on_path(const void* table, int depth) const {
    for (int i = 0; i < depth; ++i) {
        if (mPath[i] == table) {
            return true;
        }
    }
    return false;
}

void* cLuaVM::allocate(void* ud, void* ptr, size_t osize, size_t nsize) {
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
void cLuaVM::budget_hook(lua_State* L, lua_Debug* /*ar*/) {
    cLuaVM* vm = from(L);
    sBudget& b = vm->mBudget;
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
        lua_sethook(vm->mLuaState, budget_hook, LUA_MASKCOUNT, 1);
    }
    lua_sethook(L, budget_hook, LUA_MASKCOUNT, 1);
    luaL_error(L, "script ran past its budget of %d ms", static_cast<int>(b.budgetNs / 1000000));
}

// os.exit and debug.sethook; upvalue 1 is the function's name.
int cLuaVM::exit_refused(lua_State* L) {
    return luaL_error(L, "%s is not available to configuration scripts",
                      lua_tostring(L, lua_upvalueindex(1)));
}

// setmetatable and debug.setmetatable (the original is upvalue 1), refusing a metatable with a
// finalizer: Lua runs finalizers with hooks off, out of reach of the script budget.
int cLuaVM::setmetatable_guarded(lua_State* L) {
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
int cLuaVM::open_tamo(lua_State* L) {
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

int cLuaVM::tamo_save(lua_State* L) {
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
int cLuaVM::tamo_log(lua_State* L) {
    cLuaVM* vm = from(L);
    auto priority = static_cast<int>(lua_tointeger(L, lua_upvalueindex(1)));
    if (vm->mScriptLog == nullptr || !vm->mScriptLog->isPriorityEnabled(priority)) {
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
        cQlog::limited(*vm->mScriptLog, vm->mScriptLogLimit, priority, std::string(msg));
    } catch (...) {
        // Out of memory: the line is lost; nothing may cross Lua's C frames.
    }
    return 0;
}

cLuaVM* cLuaVM::from(lua_State* L) {
    return *static_cast<cLuaVM**>(lua_getextraspace(L));
}

void cLuaVM::name_log(const char* path) {
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

void cLuaVM::stackdump() {
    lua_State* L = mLuaState;
    if (!enabled(DEBUG)) {
        return;
    }
    int top = lua_gettop(L);
    debug("total in stack %d\n", top);
    for (int i = 1; i <= top; ++i) {
        switch (lua_type(L, i)) {
        case LUA_TNUMBER:
            debug("number: %g\n", lua_tonumberx(L, i, nullptr));
            break;
        case LUA_TSTRING:
            debug("string: '%s'\n", lua_tolstring(L, i, nullptr));
            break;
        case LUA_TBOOLEAN:
            debug("boolean %s\n", lua_toboolean(L, i) != 0 ? "true" : "false");
            break;
        default:
            debug("%s: %p\n", lua_typename(L, lua_type(L, i)), lua_topointer(L, i));
            break;
        }
        debug("  ");
    }
    debug("\n");
}
