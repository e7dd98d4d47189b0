// tamo: configuration daemon. Takes no arguments; reads the compiled-in settings file and
// script folder, then serves requests until it is killed.
#include <csignal>

#include "confdef.h"
#include "configscript.h"
#include "connection.h"
#include "luavm.h"
#include "qlog.h"
#include "tamo_paths.h"

int main(int /*argc*/, char** /*argv*/) {
    // The counters' signal before the receive loop handles it (during start-up) is ignored, not
    // fatal.
    signal(SIGUSR1, SIG_IGN);
    cQlog::init(TAMO_CONFIG_FILE);
    cConfig::load(TAMO_CONFIG_FILE);
    int budget = cConfig::getInt(eSetting::ScriptBudget);
    int memory = cConfig::getInt(eSetting::ScriptMemory);
    cLuaVM::setLimits({static_cast<uint32_t>(budget), static_cast<size_t>(memory) * 1024});
    cConfigScript::loadScripts(TAMO_SCRIPT_DIR);
    // Returns only when the broker port cannot be bound; the process then ends cleanly.
    cConnection::start();
    cConfigScript::clearScripts();
    return 0;
}
