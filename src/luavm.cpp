#include "luavm.h"

#include <cstring>

#include <lua.hpp>

#include "scriptwatch.h"

namespace {

const char* const kCategory = "cLuaVM";
// run_protected's status when the stack had no room to start the call: no message was pushed.
constexpr int kNoRoom = -1;

cLuaVM::sLimits g_limits{cLuaVM::kDefaultBudgetMs, cLuaVM::kDefaultMemoryBytes};

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
    : cQlog(kCategory), mSandbox(g_limits.budgetMs, g_limits.memoryBytes),
      mLuaState(mSandbox.newState()), mLastOutcome(OUTCOME_DONE), mEnvMakerRef(LUA_NOREF),
      mChunkRef(LUA_NOREF), mChunkId{false, 0, 0, 0, {0, 0}},
      mFailedRef(LUA_NOREF), mFailedId{false, 0, 0, 0, {0, 0}}, mConvert(kCategory), mWatchSlot(-1),
      mWatchKnown(false), mWatchStat{} {
    if (mLuaState == nullptr) {
        debug("Opening LuaVM...ERROR");
        error("cannot create a Lua state");
        return;
    }
    debug("Opening LuaVM...OK");
    lua_atpanic(mLuaState, panic_handler);
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
    mSandbox.nameLog(s);
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
        return fail_again(base);
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
        if (mSandbox.tripped()) {
            mLastOutcome = OUTCOME_OVER_BUDGET;
        }
    }
    stackdump();
    lua_settop(L, base);
    return ok;
}

// Unchanged since it failed to compile: reports the file again without reading it.
bool cLuaVM::fail_again(int base) {
    lua_State* L = mLuaState;
    if (lua_checkstack(L, 1)) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, mFailedRef);
    }
    debug("Load ERROR");
    stackdump();
    lua_settop(L, base);
    return false;
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

bool cLuaVM::isFunction(const char* f) {
    if (mLuaState == nullptr || f == nullptr) {
        return false;
    }
    // Under the protected run: a global table with metamethods may raise.
    int base = lua_gettop(mLuaState);
    int status = run_protected(
        [](lua_State* L) {
            auto* name = static_cast<const char*>(lua_touserdata(L, 1));
            lua_pushboolean(L, lua_getglobal(L, name) == LUA_TFUNCTION);
            return 1;
        },
        const_cast<char*>(f), 1);
    bool is = status == LUA_OK && lua_toboolean(mLuaState, -1) != 0;
    lua_settop(mLuaState, base);
    return is;
}

int cLuaVM::stackTop() const {
    return mLuaState != nullptr ? lua_gettop(mLuaState) : -1;
}

int cLuaVM::open_step(lua_State* L) {
    auto* vm = static_cast<cLuaVM*>(lua_touserdata(L, 1));
    cLuaSandbox::openLibraries(L);
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
    if (lua_type(L, -1) != LUA_TFUNCTION) {
        step->notFunction = true;
        return 0;
    }
    int nargs = 0;
    if (step->cfg != nullptr) {
        if (!step->vm->mConvert.pushArgument(L, step->f, step->cfg)) {
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
    mSandbox.beginRun();
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
        if (mSandbox.tripped()) {
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
            mConvert.popResult(L, f, out);
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
