// The fixtures the bridge and the script-watch suites share: a Lua state with a folder for its
// files, and script versions that say which version ran and how often.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "luavm.h"
#include "support.h"

// One Lua state and a folder for its files. Every case ends with the stack as it began.
class Bridge : public testing::Test {
protected:
    bool load(const std::string& src, const char* name = "s.lua") {
        return vm.loadScript(dir.write(name, src).c_str());
    }
    void TearDown() override { EXPECT_EQ(vm.stackTop(), 0); }

    TempDir dir;
    cLuaVM vm;
};

class Reload : public Bridge {
protected:
    // The script's version and how often its top-level code has run.
    std::pair<int, int> state() {
        cConfigTable out;
        if (!vm.call("state", nullptr, &out)) {
            return {-1, -1};
        }
        return {static_cast<int>(out.get(std::string("v"))),
                static_cast<int>(out.get(std::string("runs")))};
    }
    static std::string version(int v) {
        return "runs = (runs or 0) + 1\nfunction state() return {v = " + std::to_string(v) +
               ", runs = runs} end\n";
    }
    // Rewrites rel in place with version v, of the same size, its time moved by ns nanoseconds.
    void edit(const std::string& rel, int v, long ns = 0) {
        struct timespec t = file_mtime(dir.path(rel));
        dir.write(rel, version(v));
        set_mtime(dir.path(rel), {t.tv_sec, (t.tv_nsec + ns) % 1000000000L});
    }
    // Puts version v in rel's place by rename, with rel's size and times.
    void replace(const std::string& rel, int v) {
        struct timespec t = file_mtime(dir.path(rel));
        std::string tmp = dir.write(rel + ".new", version(v));
        set_mtime(tmp, t);
        ASSERT_EQ(std::rename(tmp.c_str(), dir.path(rel).c_str()), 0);
    }
};
