// The object the daemon serves itself, "tamo" (36): what it is and what it serves, so that a
// client can learn which objects it may read and write and which additions it supports. Read
// only. Main thread.
#pragma once

#include <cstdint>
#include <vector>

class cConfigTable;

struct sSelfDescription {
    const char* version;     // the daemon's version
    uint32_t dictionary;     // dictionaryHash of the dictionary compiled in
    std::vector<int> served; // ids of the objects the scripts serve, ascending
    bool writer;             // the asking peer may write them
    uint32_t features;       // kFeature* bits
    uint32_t uptime;         // seconds since start
    uint32_t pending;        // transaction of the change awaiting confirmation, 0 when none
};

constexpr uint32_t kFeatureReplay = 1;  // writes sent again are answered from memory
constexpr uint32_t kFeatureConfirm = 2; // confirmed changes
constexpr uint32_t kFeatureNotify = 4;  // notification sinks are configured

// True when every object request addresses is the daemon's own (and it addresses one).
bool addressesSelf(const cConfigTable& request);
// Appends object 36 to out under a key of its own, with the members the request's object names
// (all of them when it names none).
void describeSelf(const sSelfDescription& d, const cConfigTable& request, cConfigTable* out);
