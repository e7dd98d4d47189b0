#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

#include "luavm_fixture.h"
#include "scriptwatch.h"

namespace {

// With the watch out of play (its descriptor pointed at /dev/null, so nothing can be watched),
// the stat comparison alone must see each change. Without a watch (fd -1) the calls on it fail.
TEST_F(Reload, EveryChangeOfTheFileIsPickedUpAtTheNextLoad) {
    int fd = cScriptWatch::instance().fd();
    int saved = dup(fd);
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null, fd);
    std::string p = dir.write("r.lua", version(1));
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    EXPECT_EQ(state(), std::make_pair(1, 2)); // top-level code runs at every load

    edit("r.lua", 2, 1); // same size, second and inode, other nanoseconds
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    EXPECT_EQ(state(), std::make_pair(2, 3));
    replace("r.lua", 3); // same size and time, another inode
    ASSERT_TRUE(vm.loadScript(p.c_str()));
    EXPECT_EQ(state(), std::make_pair(3, 4));
    dup2(saved, fd);
    close(saved);
    close(null);
}

// Changes stat cannot tell (same size, times put back) and changes away from the script's own
// folder: the watch sees each before the next load, whichever name the script is loaded by.
TEST_F(Reload, ChangesThroughLinksAndReplacedFoldersAreSeen) {
    if (cScriptWatch::instance().fd() < 0) {
        GTEST_SKIP() << "no inotify";
    }
    // link.lua -> cur/r.lua, cur -> v1; v2 holds another copy.
    dir.write("v1/r.lua", version(1));
    dir.write("v2/r.lua", version(1));
    ASSERT_EQ(symlink("v1", dir.path("cur").c_str()), 0);
    ASSERT_EQ(symlink("cur/r.lua", dir.path("link.lua").c_str()), 0);
    std::string p = dir.path("link.lua");
    ASSERT_TRUE(vm.loadScript(p.c_str()));

    auto relink = [&](const std::string& rel, const char* target) {
        ASSERT_EQ(symlink(target, dir.path(rel + ".new").c_str()), 0);
        ASSERT_EQ(std::rename(dir.path(rel + ".new").c_str(), dir.path(rel).c_str()), 0);
    };
    const struct {
        const char* what;
        std::function<void()> change;
        int version;
    } cases[] = {
        {"target edited in place", [&] { edit("v1/r.lua", 2); }, 2},
        {"target replaced in its folder", [&] { replace("v1/r.lua", 3); }, 3},
        {"folder swapped", [&] { edit("v2/r.lua", 4), relink("cur", "v2"); }, 4},
        {"link pointed elsewhere", [&] { edit("v1/r.lua", 5), relink("link.lua", "v1/r.lua"); }, 5},
    };
    int runs = 1;
    for (const auto& c : cases) {
        c.change();
        ASSERT_TRUE(vm.loadScript(p.c_str())) << c.what;
        EXPECT_EQ(state(), std::make_pair(c.version, ++runs)) << c.what;
    }
}

} // namespace
