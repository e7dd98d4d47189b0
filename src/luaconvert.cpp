#include "luaconvert.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <lua.hpp>

// A u32 value reaches scripts as a Lua integer, which must hold 2^32 - 1.
static_assert(LUA_MAXINTEGER >= 4294967295LL, "Lua integers narrower than 64 bits");

namespace {

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

cLuaConvert::cLuaConvert(const char* category)
    : cQlog(category), mL(nullptr), mPath{}, mEntriesLeft(0), mBytesLeft(0), mDrops{} {}

bool cLuaConvert::pushArgument(lua_State* L, const char* f, cConfigTable* cfg) {
    // Called inside a protected step: a C++ exception must not cross Lua's C frames. Only a
    // Lua memory error can raise in here; it unwinds past the entry copies it then leaks.
    try {
        if (!lua_checkstack(L, 1)) {
            return false;
        }
        mL = L;
        mDrops = sDrops{};
        lua_createtable(L, 0, static_cast<int>(cfg->size()));
        push(cfg, 1);
        report_drops("argument of", f);
        return true;
    } catch (...) {
        return false;
    }
}

void cLuaConvert::popResult(lua_State* L, const char* f, cConfigTable* out) {
    mL = L;
    mDrops = sDrops{};
    mEntriesLeft = kMaxEntries;
    mBytesLeft = kMaxResultBytes;
    // Outside any protected call, so an exception may pass: the caller restores the stack
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

void cLuaConvert::report_drops(const char* what, const char* f) {
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

// The push functions run inside a protected call, and a Lua memory error longjmps out of any
// Lua call below: they hold references and plain values only, never an object whose destructor
// would be skipped.
void cLuaConvert::push(const cTableType& val, int depth) {
    lua_State* L = mL;
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

void cLuaConvert::push(cConfigTable* t, int depth) {
    lua_State* L = mL;
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

cTableType cLuaConvert::pop(int i) {
    lua_State* L = mL;
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

void cLuaConvert::pop(cConfigTable* t, int depth) {
    lua_State* L = mL;
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

bool cLuaConvert::on_path(const void* table, int depth) const {
    for (int i = 0; i < depth; ++i) {
        if (mPath[i] == table) {
            return true;
        }
    }
    return false;
}
