#include "configscript.h"

#include <algorithm>
#include <cstring>
#include <fnmatch.h>
#include <ftw.h>

namespace {

const char* const kCategory = "cConfigScript";

} // namespace

std::list<cConfigScript*> cConfigScript::mScripts;
std::vector<int> cConfigScript::mRequestIDs;
const char* cConfigScript::mScriptPath = nullptr;

bool cConfigScript::loadScripts(const char* script_dir) {
    if (script_dir == nullptr) {
        return true;
    }
    mScriptPath = script_dir;
    ftw(script_dir, ftw_callback, 16);
    // One line at the default priority, so that a person starting the daemon sees what it serves.
    cQlog::getLog(kCategory).info("%u scripts registered from %s",
                                  static_cast<unsigned>(mScripts.size()), script_dir);
    return true;
}

cConfigScript* cConfigScript::getScript(cConfigTable* objs) {
    if (objs == nullptr || mScripts.empty()) {
        return nullptr;
    }
    // The request's object ids, read once for all scripts; the vector keeps its room.
    mRequestIDs.clear();
    cConfigTable::cConfigTableIter it(objs);
    for (it.first(); it.isPair(); it.next()) {
        auto* obj = static_cast<cConfigTable*>(it.value());
        if (obj != nullptr) {
            mRequestIDs.push_back(static_cast<int>(obj->get(std::string("objid"))));
        }
    }
    bool verbose = mScripts.front()->enabled(DEBUG);
    for (cConfigScript* script : mScripts) {
        if (script->check_objs(mRequestIDs, verbose)) {
            return script;
        }
    }
    return nullptr;
}

std::vector<int> cConfigScript::servedIds() {
    std::vector<int> ids;
    for (const cConfigScript* script : mScripts) {
        ids.insert(ids.end(), script->mIDs.begin(), script->mIDs.end());
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

void cConfigScript::clearScripts() {
    for (cConfigScript* script : mScripts) {
        delete script;
    }
    mScripts.clear();
}

bool cConfigScript::setCfg(cConfigTable* cfg, cConfigTable* ret) {
    run_entry("setConfig", cfg, ret);
    return true;
}

bool cConfigScript::getCfg(cConfigTable* cfg, cConfigTable* ret) {
    run_entry("getConfig", cfg, ret);
    return true;
}

bool cConfigScript::repCfg(cConfigTable* cfg, cConfigTable* ret) {
    run_entry("replaceConfig", cfg, ret);
    return true;
}

bool cConfigScript::delCfg(cConfigTable* cfg, cConfigTable* ret) {
    run_entry("deleteConfig", cfg, ret);
    return true;
}

cConfigScript::cConfigScript(const char* name, cLuaVM* vm)
    : cQlog(kCategory), mScriptName(nullptr), mLuaVM(vm), mLastOutcome(cLuaVM::OUTCOME_DONE) {
    size_t len = name != nullptr ? std::strlen(name) : 0;
    mScriptName = new char[len + 1];
    if (len > 0) {
        std::memcpy(mScriptName, name, len);
    }
    mScriptName[len] = '\0';
}

cConfigScript::~cConfigScript() {
    delete mLuaVM;
    delete[] mScriptName;
}

void cConfigScript::set_object_ids(cConfigTable* ids) {
    cConfigTable::cConfigTableIter it(ids);
    for (it.first(); it.isPair(); it.next()) {
        int id = static_cast<int>(it.value());
        if (id == kDaemonObject) {
            // The daemon answers for itself: no script may take its object.
            error("%s claims object %d, which the daemon serves itself; not given to it",
                  mScriptName, id);
            continue;
        }
        mIDs.push_back(id);
    }
}

bool cConfigScript::check_objs(const std::vector<int>& ids, bool verbose) {
    if (verbose) {
        debug("Checking objs: ");
    }
    for (int obj_id : ids) {
        if (verbose) {
            debug("Checking objid %d in %s", obj_id, mScriptName);
        }
        bool found = false;
        for (int id : mIDs) {
            if (id == obj_id) {
                if (verbose) {
                    debug("Found match  %d == %d", obj_id, id);
                }
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return !ids.empty();
}

void cConfigScript::run_entry(const char* function, cConfigTable* cfg, cConfigTable* out) {
    if (mLuaVM == nullptr) {
        mLastOutcome = cLuaVM::OUTCOME_ERROR;
        return;
    }
    mLuaVM->loadScript(mScriptName);
    cLuaVM::eOutcome loaded = mLuaVM->lastOutcome();
    mLuaVM->call(function, cfg, out);
    // The enumerators are ordered from best to worst.
    mLastOutcome = std::max(loaded, mLuaVM->lastOutcome());
}

int cConfigScript::ftw_callback(const char* fpath, const struct stat* /*sb*/, int typeflag) {
    if (typeflag != FTW_F || fnmatch("*.lua", fpath, FNM_CASEFOLD) != 0) {
        return 0;
    }
    // The walk is C code: nothing may unwind through it.
    try {
        cQlog::getLog(kCategory).debug("Found: %s", fpath);
        validate_script(fpath);
    } catch (...) {
        cQlog::getLog(kCategory).error("Validating %s failed: out of memory", fpath);
    }
    return 0;
}

bool cConfigScript::validate_script(const char* script) {
    log4cpp::Category& log = cQlog::getLog(kCategory);
    cConfigTable ids;
    auto* vm = new cLuaVM();
    vm->setPath(mScriptPath);
    if (!vm->loadScript(script)) {
        log.debug("Loading %s was a load of crap", script);
        delete vm;
        return true;
    }
    log.debug("%s Loaded", script);
    if (!vm->call("getObjects", nullptr, &ids)) {
        log.debug("%s Objects Bailed out", script);
        delete vm;
        return true;
    }
    log.debug("%s Objects Retreived", script);
    ids.dump_table();
    register_script(script, &ids, vm);
    return true;
}

bool cConfigScript::register_script(const char* f, cConfigTable* ids, cLuaVM* vm) {
    auto* script = new cConfigScript(f, vm);
    script->set_object_ids(ids);
    mScripts.push_back(script);
    return true;
}
