// cConfig: the daemon's settings, read once at start-up from the settings file.
//
// load() runs on the main thread before any other thread exists; afterwards the settings are
// only read, from any thread, without a lock.
#pragma once

#include <cstddef>

#include "properties.h"

// Every setting the daemon reads, by name in the table kSettings.
enum class eSetting {
    BrokerPort,
    BrokerAddress,
    BrokerAllow,
    NorthPort,
    NorthHost,
    ScriptBudget,
    ScriptMemory,
    BrokerWriteAllow,
    ReplaySeconds,
    ReplayEntries,
    StateDir,
    ConfirmDefault,
    ConfirmMax,
    NotifySinks,
    NotifyInterval
};

// One setting: its key in the file, its compiled-in default as the file would spell it, the
// range an integer setting must lie in (a value outside it falls back to the default, with a
// warning), and what it means. A text setting may instead take another setting's value while it
// is unset: its def is null and sameAs names that setting's key. The README's settings table and
// examples/tamo.conf list the same keys and defaults; a unit test holds them to this table.
struct sSetting {
    const char* key;
    const char* def;
    int lo;
    int hi;
    const char* meaning;
    const char* sameAs = nullptr;
};

// In the order of eSetting.
extern const sSetting kSettings[];
extern const size_t kSettingCount;

class cConfig {
public:
    // Creates the singleton from the file at path. A second call does nothing: the first
    // settings stay in force. A missing or unreadable file leaves every setting at its default.
    static void load(const char* path);

    // The setting's row in kSettings.
    static const sSetting& row(eSetting s);
    // The setting's text, or its default (for a setting with sameAs, that setting's text).
    // Requires load().
    static const char* getString(eSetting s);
    // The setting as an integer; its default when absent, not a number, or outside its range
    // (then with a warning). Requires load().
    static int getInt(eSetting s);

private:
    explicit cConfig(const char* path);

    static cConfig* mInstance;
    cProperties mProps;
};
