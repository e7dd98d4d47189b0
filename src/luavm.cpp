#include "luavm.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include <lua.hpp>

#include "scriptwatch.h"

namespace {

const char* const kCategory = "cLuaVM";
// run_protected's status when the stack had no room to start the call: no message was pushed.
constexpr int kNoRoom = -1;

// A number crosses as an integer when its single-precision rounding is integral (so every
// magnitude from 2^23 up does), truncated from the double and clamped to the int range.
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

cLuaVM::cLuaVM()
    : cQlog(kCategory), mLuaState(luaL_newstate()), mLastOutcome(OUTCOME_DONE),
      mEnvMakerRef(LUA_NOREF), mChunkRef(LUA_NOREF), mChunkId{false, 0, 0, 0, {0, 0}},
      mFailedRef(LUA_NOREF), mFailedId{false, 0, 0, 0, {0, 0}}, mPath{}, mEntriesLeft(0),
      mWatchSlot(-1), mWatchKnown(false), mWatchStat{}, mDrops{} {
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
        lua_settop(L, base);
        if (verbose) {
            stackdump();
        }
        return false;
    }
    if (step.notFunction) {
        lua_settop(L, base);
        stackdump();
        return false;
    }
    if (out != nullptr) {
        debug("Return type is: %s", lua_typename(L, lua_type(L, -1)));
        if (lua_type(L, -1) == LUA_TTABLE) {
            mDrops = sDrops{};
            mEntriesLeft = kMaxEntries;
            pop(out, 1);
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
    const char* msg = status == kNoRoom ? "no room on the Lua stack" : lua_tostring(mLuaState, -1);
    // Through the category, not the 1024-character buffer: a traceback is often longer.
    log.error(std::string(what) + " " + name + " failed: " + (msg != nullptr ? msg : "?"));
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

void cLuaVM::push(const cTableType& val, int depth) {
    lua_State* L = mLuaState;
    switch (val.getType()) {
    case cTableType::TTE_BOOL:
        lua_pushboolean(L, static_cast<bool>(val) ? 1 : 0);
        break;
    case cTableType::TTE_NUM:
        lua_pushinteger(L, static_cast<lua_Integer>(static_cast<int>(val)));
        break;
    case cTableType::TTE_STRING:
        lua_pushstring(L, static_cast<std::string>(val).c_str());
        break;
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
    // By reference: the walk copies no value.
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
    case LUA_TSTRING:
        return cTableType(std::string(lua_tolstring(L, i, nullptr)));
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
        if (mEntriesLeft <= 0) {
            mDrops.truncated = true;
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
