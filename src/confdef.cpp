#include "confdef.h"

#include <cstdlib>

#include "qlog.h"

const sSetting kSettings[] = {
    {"tamo.broker.port", "60010", 1, 65535, "UDP port on which requests arrive"},
    {"tamo.broker.address", "0.0.0.0", 0, 0,
     "IPv4 address the broker port is bound to; 0.0.0.0 is every address"},
    {"tamo.broker.allow", "0.0.0.0/0", 0, 0,
     "who may send requests: IPv4 addresses and CIDR prefixes, comma-separated"},
    {"tamo.north.port", "60000", 1, 65535, "UDP port of the upstream daemon"},
    {"tamo.north.host", "localhost", 0, 0, "host name or address of the upstream daemon"},
    {"tamo.script.budget_ms", "1000", 0, 3600 * 1000,
     "CPU time one run of a script may take (0: no limit; at most 3600000)"},
    {"tamo.script.memory_kb", "8192", 64, 1024 * 1024,
     "memory one script's Lua state may hold (64 to 1048576)"},
};
const size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];
static_assert(sizeof kSettings / sizeof kSettings[0] == size_t(eSetting::ScriptMemory) + 1,
              "one row per eSetting, in its order");

cConfig* cConfig::mInstance = nullptr;

cConfig::cConfig(const char* path) {
    mProps.load(path);
}

void cConfig::load(const char* path) {
    if (mInstance == nullptr) {
        mInstance = new cConfig(path);
    }
}

const sSetting& cConfig::row(eSetting s) {
    return kSettings[static_cast<size_t>(s)];
}

const char* cConfig::getString(eSetting s) {
    return mInstance->mProps.getString(row(s).key, row(s).def);
}

int cConfig::getInt(eSetting s) {
    const sSetting& r = row(s);
    int def = static_cast<int>(std::strtol(r.def, nullptr, 10));
    int v = mInstance->mProps.getInt(r.key, def);
    if (v < r.lo || v > r.hi) {
        cQlog::getLog("cConfig").warn("%s = %d is outside %d..%d; using %d", r.key, v, r.lo, r.hi,
                                      def);
        return def;
    }
    return v;
}
