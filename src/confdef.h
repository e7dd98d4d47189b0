// cConfig: the daemon's settings, read once at start-up from the settings file.
//
// load() runs on the main thread before any other thread exists; afterwards the settings are
// only read, from any thread, without a lock.
#pragma once

#include "properties.h"

// Every setting the daemon reads, with its compiled-in default, in one place. The README's
// settings table and examples/tamo.conf list the same keys.
namespace conf {
// UDP port on which requests arrive.
constexpr const char* kBrokerPort = "tamo.broker.port";
constexpr int kBrokerPortDefault = 60010;
// IPv4 address the broker socket is bound to; 0.0.0.0 is every address of the host.
constexpr const char* kBrokerAddress = "tamo.broker.address";
constexpr const char* kBrokerAddressDefault = "0.0.0.0";
// Sources that may send requests: comma-separated IPv4 addresses and CIDR prefixes
// (cPeerFilter); the default allows everyone.
constexpr const char* kBrokerAllow = "tamo.broker.allow";
constexpr const char* kBrokerAllowDefault = "0.0.0.0/0";
// UDP port of the upstream daemon.
constexpr const char* kNorthPort = "tamo.north.port";
constexpr int kNorthPortDefault = 60000;
// Host name or address of the upstream daemon.
constexpr const char* kNorthHost = "tamo.north.host";
constexpr const char* kNorthHostDefault = "localhost";
// CPU time one run of a script may take, in ms of the thread's CPU time; 0: no limit.
constexpr const char* kScriptBudget = "tamo.script.budget_ms";
constexpr int kScriptBudgetDefault = 1000;
constexpr int kScriptBudgetMax = 3600 * 1000;
// Memory one script's Lua state may hold, in KiB.
constexpr const char* kScriptMemory = "tamo.script.memory_kb";
constexpr int kScriptMemoryDefault = 8192;
constexpr int kScriptMemoryMin = 64;
constexpr int kScriptMemoryMax = 1024 * 1024;
} // namespace conf

class cConfig {
public:
    // Creates the singleton from the file at path. A second call does nothing: the first
    // settings stay in force. A missing or unreadable file leaves every setting at its default.
    static void load(const char* path);

    // The setting's text, or def. Requires load().
    static const char* getString(const char* key, const char* def);
    // The setting as an integer, or def when absent or not a number. Requires load().
    static int getInt(const char* key, int def);
    // getInt, and def with a warning when the value lies outside [lo, hi]. Requires load().
    static int getInt(const char* key, int def, int lo, int hi);

private:
    explicit cConfig(const char* path);

    static cConfig* mInstance;
    cProperties mProps;
};
