#include "scriptwatch.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kCategory = "cScriptWatch";
// A name appearing, going or being renamed in a folder on the way to a file.
constexpr uint32_t kFolderMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_EXCL_UNLINK;
// Anything that changes what stat reports of the file itself.
constexpr uint32_t kFileMask =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_DONT_FOLLOW;
// Symbolic links followed on one path before it counts as a loop (stat fails then too).
constexpr int kMaxLinks = 40;

// The non-empty components of p other than ".", last first.
void push_components(const std::string& p, std::vector<std::string>& todo) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos) {
            j = p.size();
        }
        std::string c = p.substr(i, j - i);
        if (!c.empty() && c != ".") {
            parts.push_back(std::move(c));
        }
        i = j + 1;
    }
    for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
        todo.push_back(*it);
    }
}

std::string join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

} // namespace

cScriptWatch& cScriptWatch::instance() {
    // Never destroyed: a bridge destroyed during the process's exit may still release its slot.
    static cScriptWatch* watch = new cScriptWatch();
    return *watch;
}

cScriptWatch::cScriptWatch() : cQlog(kCategory), mFd(-1), mInBatch(false) {
    mFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (mFd < 0) {
        warn("No inotify (%s): script files are checked with stat at every request",
             std::strerror(errno));
    }
}

cScriptWatch::~cScriptWatch() {
    if (mFd >= 0) {
        close(mFd);
    }
}

int cScriptWatch::arm(const char* path, int slot) {
    if (mFd < 0 || path == nullptr) {
        release(slot);
        return -1;
    }
    if (slot < 0 || static_cast<size_t>(slot) >= mSlots.size()) {
        slot = -1;
        for (size_t i = 0; i < mSlots.size(); ++i) {
            if (!mSlots[i].used) {
                slot = static_cast<int>(i);
                break;
            }
        }
        if (slot < 0) {
            mSlots.push_back(sSlot{false, true, {}});
            slot = static_cast<int>(mSlots.size() - 1);
        }
    }
    sSlot& s = mSlots[static_cast<size_t>(slot)];
    std::vector<sInterest> old;
    old.swap(s.interests);
    s.used = true;
    bool ok = watch_path(path, s.interests);
    drop_unused(old);
    if (!ok) {
        debug("Cannot watch %s; it is checked with stat at every request", path);
        release(slot);
        return -1;
    }
    s.changed = false;
    return slot;
}

void cScriptWatch::release(int slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= mSlots.size()) {
        return;
    }
    sSlot& s = mSlots[static_cast<size_t>(slot)];
    std::vector<sInterest> old;
    old.swap(s.interests);
    s.used = false;
    s.changed = true;
    drop_unused(old);
}

bool cScriptWatch::mayHaveChanged(int slot) {
    if (slot < 0 || static_cast<size_t>(slot) >= mSlots.size() ||
        !mSlots[static_cast<size_t>(slot)].used) {
        return true;
    }
    if (!mInBatch) {
        drain();
    }
    return mSlots[static_cast<size_t>(slot)].changed;
}

void cScriptWatch::beginBatch() {
    drain();
    mInBatch = true;
}

void cScriptWatch::endBatch() {
    mInBatch = false;
}

void cScriptWatch::drain() {
    if (mFd < 0) {
        return;
    }
    // Room for at least one event with the longest name.
    char buf[4096 + sizeof(inotify_event) + NAME_MAX + 1];
    for (;;) {
        ssize_t n = read(mFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN) {
                mark_all();
            }
            return;
        }
        size_t len = static_cast<size_t>(n);
        for (size_t at = 0; at + sizeof(inotify_event) <= len;) {
            inotify_event ev;
            std::memcpy(&ev, buf + at, sizeof ev);
            const char* name = buf + at + sizeof ev;
            at += sizeof ev + ev.len;
            if ((ev.mask & IN_Q_OVERFLOW) != 0) {
                mark_all();
                continue;
            }
            bool gone = (ev.mask & (IN_IGNORED | IN_UNMOUNT)) != 0;
            for (sSlot& s : mSlots) {
                for (const sInterest& i : s.interests) {
                    if (i.wd == ev.wd &&
                        (gone || i.name.empty() || (ev.len > 0 && i.name == name))) {
                        s.changed = true;
                    }
                }
            }
        }
    }
}

void cScriptWatch::mark_all() {
    for (sSlot& s : mSlots) {
        s.changed = true;
    }
}

namespace {

// The names of path to walk from "/", last first (a relative path behind the working folder's);
// false when the working folder cannot be read.
bool components_from_root(const std::string& path, std::vector<std::string>& todo) {
    push_components(path, todo);
    if (!path.empty() && path[0] == '/') {
        return true;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        return false;
    }
    push_components(cwd, todo);
    return true;
}

} // namespace

bool cScriptWatch::watch_path(const std::string& path, std::vector<sInterest>& out) {
    std::vector<std::string> todo;
    if (!components_from_root(path, todo)) {
        return false;
    }
    std::string dir = "/";
    int links = 0;
    while (!todo.empty()) {
        std::string c = std::move(todo.back());
        todo.pop_back();
        if (c == "..") {
            dir = dir.rfind('/') == 0 ? "/" : dir.substr(0, dir.rfind('/'));
            continue;
        }
        // The folder is watched before the name is looked up in it: a change after the look-up
        // is always seen.
        int wd = add_watch(dir, kFolderMask);
        if (wd < 0) {
            return false;
        }
        out.push_back(sInterest{wd, c});
        std::string next = join(dir, c);
        struct stat st {};
        if (lstat(next.c_str(), &st) != 0) {
            // Missing: stat fails until the name appears in a watched folder.
            return true;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxLinks) {
                return true;
            }
            char target[PATH_MAX];
            ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
            if (n <= 0) {
                return false;
            }
            std::string t(target, static_cast<size_t>(n));
            push_components(t, todo);
            if (t[0] == '/') {
                dir = "/";
            }
            continue;
        }
        if (todo.empty()) {
            wd = add_watch(next, kFileMask);
            if (wd < 0) {
                return false;
            }
            out.push_back(sInterest{wd, std::string()});
            return true;
        }
        if (!S_ISDIR(st.st_mode)) {
            // stat fails (not a folder) until the name changes in a watched folder.
            return true;
        }
        dir = std::move(next);
    }
    // The path names a folder, not a file.
    return false;
}

int cScriptWatch::add_watch(const std::string& path, uint32_t mask) {
    // Added to what the inode is watched for already (a folder of one path may be the file of
    // another), so that no other watch loses events.
    int wd = inotify_add_watch(mFd, path.c_str(), mask | IN_MASK_ADD);
    if (wd < 0) {
        debug("Cannot watch %s: %s", path.c_str(), std::strerror(errno));
    }
    return wd;
}

void cScriptWatch::drop_unused(const std::vector<sInterest>& old) {
    for (const sInterest& o : old) {
        bool used = false;
        for (const sSlot& s : mSlots) {
            for (const sInterest& i : s.interests) {
                used = used || i.wd == o.wd;
            }
        }
        if (!used) {
            // Several old interests may share a descriptor; removing it twice is harmless.
            inotify_rm_watch(mFd, o.wd);
        }
    }
}
