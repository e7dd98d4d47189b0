// 64-bit directory offsets and inode numbers on 32-bit targets too: readdir would otherwise fail
// with EOVERFLOW on file systems that hand out 64-bit cookies.
#define _FILE_OFFSET_BITS 64

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "safefile.h"
#include "support.h"

namespace {

// Names in the folder other than "." and "..".
std::vector<std::string> entries(const char* dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") {
                names.push_back(n);
            }
        }
        closedir(d);
    }
    return names;
}

TEST(SafeSave, ReplacesWholeKeepsTheModeAndReportsFailures) {
    TempDir dir;
    std::string p = dir.path("a.conf");
    char reason[256];
    ASSERT_TRUE(saveFileAtomically(p.c_str(), "one\n", 4, reason, sizeof reason)) << reason;
    chmod(p.c_str(), 0600);
    ASSERT_TRUE(saveFileAtomically(p.c_str(), "two\0x", 5, reason, sizeof reason)) << reason;
    EXPECT_EQ(read_file(p), std::string("two\0x", 5));
    struct stat st {};
    stat(p.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(entries(dir.path()).size(), 1u);

    // A folder that does not exist, and a target that is a folder: false, a reason, no leftovers.
    EXPECT_FALSE(
        saveFileAtomically(dir.path("none/a.conf").c_str(), "x", 1, reason, sizeof reason));
    EXPECT_NE(std::string(reason).find("none"), std::string::npos) << reason;
    dir.write("sub/b.conf/inside", "");
    EXPECT_FALSE(saveFileAtomically(dir.path("sub/b.conf").c_str(), "x", 1, reason, sizeof reason));
    EXPECT_NE(std::string(reason).find("rename"), std::string::npos) << reason;
    EXPECT_EQ(entries(dir.path("sub").c_str()).size(), 1u);
}

// A writer killed at 200 random moments: the file always holds one whole version, and what a
// kill leaves behind is gone after the next save.
TEST(SafeSave, AKillAtAnyMomentLeavesTheOldOrTheNewContent) {
    TempDir dir;
    std::string p = dir.path("s.conf");
    const std::string versions[] = {std::string(8192, 'a'), std::string(3000, 'b')};
    char reason[256];
    ASSERT_TRUE(saveFileAtomically(p.c_str(), versions[0].data(), versions[0].size(), reason,
                                   sizeof reason));
    std::mt19937 rng(20261207);
    for (int i = 0; i < 200; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (unsigned k = 0;; ++k) {
                const std::string& v = versions[k % 2];
                saveFileAtomically(p.c_str(), v.data(), v.size(), nullptr, 0);
            }
        }
        usleep(static_cast<useconds_t>(rng() % 4000));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string now = read_file(p);
        ASSERT_TRUE(now == versions[0] || now == versions[1]) << "kill " << i << ": " << now.size();
    }
    ASSERT_TRUE(saveFileAtomically(p.c_str(), "x", 1, reason, sizeof reason));
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"s.conf"});
}

} // namespace
