#include "confdef.h"

#include <cstdlib>
#include <cstring>

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
    {"tamo.broker.write_allow", nullptr, 0, 0,
     "who may write (set, delete, replace, action, confirm, cancel) among the sources "
     "`tamo.broker.allow` lets in: IPv4 addresses and CIDR prefixes, comma-separated",
     "tamo.broker.allow"},
    {"tamo.replay.seconds", "30", 0, 600,
     "how long the answer of a write is kept for a resent copy of it (0: not kept; at most 600)"},
    {"tamo.replay.entries", "256", 16, 4096, "the most writes whose answers are kept (16 to 4096)"},
    {"tamo.state.dir", "/var/lib/tamo", 0, 0,
     "folder of the journal of a change awaiting confirmation (kept across restarts)"},
    {"tamo.confirm.default_seconds", "120", 1, 86400,
     "seconds a confirmed change waits for its confirmation when the request says 0"},
    {"tamo.confirm.max_seconds", "3600", 1, 86400,
     "the longest wait a confirmed change may ask for; a longer one is refused"},
    {"tamo.notify.sinks", "", 0, 0,
     "where notifications of changes go: `host:port` entries (IPv4), comma-separated, at most 16 "
     "(empty: none)"},
    {"tamo.notify.interval_ms", "1000", 100, 60000,
     "the shortest time between two notifications to a sink, in ms (100 to 60000)"},
};
const size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];
static_assert(sizeof kSettings / sizeof kSettings[0] == size_t(eSetting::NotifyInterval) + 1,
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
    const sSetting& r = row(s);
    if (r.sameAs == nullptr) {
        return mInstance->mProps.getString(r.key, r.def);
    }
    for (size_t i = 0; i < kSettingCount; ++i) {
        if (std::strcmp(kSettings[i].key, r.sameAs) == 0) {
            return mInstance->mProps.getString(r.key, getString(static_cast<eSetting>(i)));
        }
    }
    return mInstance->mProps.getString(r.key, "");
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
