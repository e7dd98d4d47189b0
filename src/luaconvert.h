// cLuaConvert: configuration tables into Lua tables and back.
//
// Integers, floats, text, booleans and nested tables map onto their Lua kinds; an unsigned
// integer (cTableType::u32) reaches Lua as 0 .. 2^32 - 1; a Lua number becomes an integer when
// its single-precision rounding is integral, else a float, and an integer from 2^31 to 2^32 - 1
// comes back unsigned; a text reaches Lua up to its first NUL byte, a byte string
// (cTableType::bytes) whole, and a Lua string comes back whole; other Lua kinds become nil. At
// most kMaxDepth levels of nesting cross in either direction, a Lua table met again on its own
// nesting path (a cycle) is left out, and at most kMaxEntries entries and kMaxResultBytes bytes
// of text come back from one call. After each conversion one warning per kind of loss names
// the function converted for.
//
// One object per Lua state, used by the state's owner on the main thread; it keeps the path
// and the counts of the conversion under way, and logs in the category it was given.
#pragma once

#include <cstddef>

#include "configtable.h"
#include "qlog.h"

struct lua_State;

class cLuaConvert : public cQlog {
public:
    // Nesting levels converted in either direction; the argument or result table is level 1.
    static constexpr int kMaxDepth = 32;
    // Entries (nested tables included) taken from one returned table. A Lua table may hold the
    // same table many times over without a cycle, and each use is copied: this bounds the work.
    static constexpr int kMaxEntries = 8192;
    // Bytes of text taken from one returned table: more than any reply can carry. Past it the
    // result is marked incomplete (cConfigTable::markIncomplete).
    static constexpr size_t kMaxResultBytes = 256 * 1024;

    // category is kept as a pointer, not copied: pass a string constant.
    explicit cLuaConvert(const char* category);

    // Pushes a new Lua table holding a copy of cfg on L's stack, as the argument of the Lua
    // function f (named in the warnings). Runs inside a protected call: a Lua memory error
    // longjmps out and leaks the entry copies made so far. False when the stack has no room
    // (nothing pushed) or a C++ exception stopped the copy (the table, partly filled, may be
    // left on the stack for the caller to drop). cfg is not modified.
    bool pushArgument(lua_State* L, const char* f, cConfigTable* cfg);

    // Appends the entries of the Lua table on top of L's stack, the result of f, to out. The
    // caller restores the stack afterwards (an exception may leave values above the table). Runs
    // outside any protected call, so a C++ exception may pass in it: it is caught here. A result
    // past kMaxResultBytes, or cut short by an exception, is marked incomplete so that no part of
    // it is sent.
    void popResult(lua_State* L, const char* f, cConfigTable* out);

private:
    // Slot push and table push: the target table is on top; depth is its nesting level.
    void push(const cTableType& val, int depth);
    void push(cConfigTable* t, int depth);
    // Slot pop of stack index i, and table pop of the table on top into t.
    cTableType pop(int i);
    void pop(cConfigTable* t, int depth);
    bool on_path(const void* table, int depth) const;
    // One warning per kind of loss after a conversion for or from f.
    void report_drops(const char* what, const char* f);

    lua_State* mL;
    // The Lua tables on the current conversion path, by identity, to cut cycles.
    const void* mPath[kMaxDepth];
    int mEntriesLeft;
    size_t mBytesLeft;
    // What the conversion under way has left out.
    struct sDrops {
        int deep;
        int cycles;
        int noRoom;
        bool truncated;
        bool tooLarge;
    } mDrops;
};
