// cScriptWatch: says whether a script file may have changed since it was last looked at, so
// that the bridge needs no stat per request.
//
// A watch on a path covers everything that decides what stat(path) reports: the file's inode
// (writes, truncation, time and mode changes, its unlinking or renaming) and every name on the
// way to it, symbolic links followed (a name created, removed or renamed in any folder the path
// passes through). The kernel queues the notice before the system call that made the change
// returns, so a change made before a request was received is in the queue when the request is
// handled; mayHaveChanged reads the queue first. Not seen: writes through a shared memory
// mapping, changes made by another host on a network file system, and mounts on the path.
// Whenever the watch cannot vouch for a file (no inotify, a watch that cannot be added, the
// queue overflowed, a watched file system went away) the answer is "may have changed", and the
// caller falls back to stat.
//
// Main thread only; nothing is locked. One instance per process, created on first use and kept
// until the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qlog.h"

class cScriptWatch : public cQlog {
public:
    static cScriptWatch& instance();

    // Watches path (absolute, or relative to the working folder) from now on under a new slot,
    // or, with slot >= 0, watches it again under that slot, replacing what was watched. Returns
    // the slot, or -1 when the path cannot be watched (the caller then stats every time).
    // Arming clears the slot's change mark: call it before the stat it stands for.
    int arm(const char* path, int slot = -1);
    // Ends the watch of a slot (ignored for -1).
    void release(int slot);

    // True when something may have changed the file of slot since it was armed; -1 is always
    // true. Reads pending notices first, unless inside a batch (see beginBatch).
    bool mayHaveChanged(int slot);

    // A batch of requests just received: reads pending notices once, and mayHaveChanged reads
    // none until endBatch. Every change made before the batch was received is seen.
    void beginBatch();
    void endBatch();

    // The inotify descriptor, -1 without inotify. For tests.
    int fd() const { return mFd; }

private:
    cScriptWatch();
    ~cScriptWatch();
    cScriptWatch(const cScriptWatch&) = delete;
    cScriptWatch& operator=(const cScriptWatch&) = delete;

    // One thing a slot depends on: a name in a watched folder, or (empty name) a file's inode.
    struct sInterest {
        int wd;
        std::string name;
    };
    struct sSlot {
        bool used;
        bool changed;
        std::vector<sInterest> interests;
    };

    void drain();
    void mark_all();
    bool watch_path(const std::string& path, std::vector<sInterest>& out);
    int add_watch(const std::string& path, uint32_t mask);
    void drop_unused(const std::vector<sInterest>& old);

    int mFd;
    bool mInBatch;
    std::vector<sSlot> mSlots;
};
