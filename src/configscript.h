// cConfigScript: the registry of Lua configuration scripts and the dispatch of one request to
// the script that serves it.
//
// At start-up loadScripts walks the script folder and registers every "*.lua" file (any letter
// case, any depth) that runs and defines "getObjects"; each script keeps a Lua state of its own
// (cLuaVM) for the whole run. getScript picks the first registered script that serves every
// object of a request; setCfg, getCfg, repCfg and delCfg run the file again (from its cached
// chunk while it is unchanged) and call "setConfig", "getConfig", "replaceConfig" or
// "deleteConfig". Script faults are contained by the bridge and logged; no operation fails.
//
// Main thread only; nothing is locked. Messages go to the category "cConfigScript" at debug
// priority.
#pragma once

#include <list>
#include <sys/stat.h>
#include <vector>

#include "configtable.h"
#include "luavm.h"
#include "qlog.h"

class cConfigScript : public cQlog {
public:
    // Walks script_dir (kept as a pointer, not copied: pass a string that outlives the call) and
    // registers every valid script after those already registered. Always true; a missing or
    // unreadable folder registers nothing.
    static bool loadScripts(const char* script_dir);

    // The first registered script that serves every object (every entry whose value is a nested
    // table, identified by its "objid") of objs; null when there is none or objs addresses no
    // object. The registry keeps ownership.
    static cConfigScript* getScript(cConfigTable* objs);

    // Deletes every registered script and empties the registry: when the process ends by
    // returning, and between tests.
    static void clearScripts();

    // Run the file again, then call the entry point with cfg and append the table the function
    // returns to ret (a set that returns nothing leaves ret empty: the reply is empty). A failed
    // reload or call is logged and leaves ret as it was. cfg and ret stay the caller's. Always
    // true; lastOutcome says how it went.
    bool setCfg(cConfigTable* cfg, cConfigTable* ret);
    bool getCfg(cConfigTable* cfg, cConfigTable* ret);
    bool repCfg(cConfigTable* cfg, cConfigTable* ret);
    bool delCfg(cConfigTable* cfg, cConfigTable* ret);

    // The object the daemon serves itself (its self-description); never given to a script.
    static constexpr int kDaemonObject = 36;
    // The object ids every registered script serves, ascending, each once.
    static std::vector<int> servedIds();

    // Whether the script defines the entry point f (its file has run at least once).
    bool hasEntry(const char* f) { return mLuaVM != nullptr && mLuaVM->isFunction(f); }

    // How the last entry operation went: the worse of its reload and its call (done, script
    // error, over budget). OUTCOME_ERROR for a script without a bridge.
    cLuaVM::eOutcome lastOutcome() const { return mLastOutcome; }

    // Copies name, adopts vm (deleted with this object), starts with no object ids.
    cConfigScript(const char* name, cLuaVM* vm);
    virtual ~cConfigScript();
    cConfigScript(const cConfigScript&) = delete;
    cConfigScript& operator=(const cConfigScript&) = delete;

    // The script's path as the walk reported it, its object ids in "getObjects" order, and its
    // bridge. For tests and tools.
    const char* getName() const { return mScriptName; }
    const std::list<int>& getIDs() const { return mIDs; }
    const cLuaVM* getLuaVM() const { return mLuaVM; }

private:
    void set_object_ids(cConfigTable* ids);
    // True when every id (one per object of a request, at least one) is among mIDs. Writes the
    // debug lines only when verbose, which the caller asked the category once for.
    bool check_objs(const std::vector<int>& ids, bool verbose);
    void run_entry(const char* function, cConfigTable* cfg, cConfigTable* out);

    static int ftw_callback(const char* fpath, const struct stat* sb, int typeflag);
    static bool validate_script(const char* script);
    static bool register_script(const char* f, cConfigTable* ids, cLuaVM* vm);

    char* mScriptName;
    static std::list<cConfigScript*> mScripts;
    static const char* mScriptPath;
    // Scratch for getScript: the object ids of the request in hand.
    static std::vector<int> mRequestIDs;
    cLuaVM* mLuaVM;
    std::list<int> mIDs;
    cLuaVM::eOutcome mLastOutcome;
};
