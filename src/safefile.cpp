// 64-bit directory offsets and inode numbers on 32-bit targets too: readdir would otherwise fail
// with EOVERFLOW on file systems that hand out 64-bit cookies.
#define _FILE_OFFSET_BITS 64

#include "safefile.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Builds the reason text from a step's name and errno; always false, for "return fail(...)".
bool fail(char* reason, size_t size, const char* step, const char* name, int err) {
    if (reason != nullptr && size > 0) {
        std::snprintf(reason, size, "%s %s: %s", step, name, std::strerror(err));
    }
    return false;
}

bool write_all(int fd, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Removes the temporary files of earlier saves of base that never reached their rename.
void remove_leftovers(int dfd, const char* prefix) {
    int fd = dup(dfd);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    size_t plen = std::strlen(prefix);
    while (dirent* e = readdir(d)) {
        if (std::strncmp(e->d_name, prefix, plen) == 0) {
            unlinkat(dfd, e->d_name, 0);
        }
    }
    closedir(d);
}

// Writes data to a new file that ends up named tmp in the folder dfd, flushed to storage. Unnamed
// (O_TMPFILE) until it is complete, or named from the start. False with the failed step and its
// errno; nothing is left under tmp then.
bool write_temp(int dfd, const char* tmp, bool unnamed, const void* data, size_t len, bool setMode,
                mode_t mode, const char** step, int* err) {
    *step = "create a file for";
    int fd = unnamed ? openat(dfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644)
                     : openat(dfd, tmp, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = errno;
        return false;
    }
    *step = "write";
    bool ok = write_all(fd, static_cast<const char*>(data), len);
    if (ok && setMode) {
        *step = "keep the mode of";
        ok = fchmod(fd, mode) == 0;
    }
    if (ok) {
        *step = "flush";
        ok = fsync(fd) == 0;
    }
    if (ok && unnamed) {
        *step = "name";
        char proc[64];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
        ok = linkat(AT_FDCWD, proc, dfd, tmp, AT_SYMLINK_FOLLOW) == 0;
    }
    *err = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        *step = "close";
        *err = errno;
    }
    if (!ok) {
        unlinkat(dfd, tmp, 0);
    }
    return ok;
}

} // namespace

bool saveFileAtomically(const char* path, const void* data, size_t len, char* reason, size_t size) {
    if (path == nullptr || (data == nullptr && len > 0)) {
        return fail(reason, size, "save", "(null)", EINVAL);
    }
    char dir[PATH_MAX];
    const char* slash = std::strrchr(path, '/');
    const char* base = slash != nullptr ? slash + 1 : path;
    size_t dlen = slash == nullptr ? 0 : (slash == path ? 1 : static_cast<size_t>(slash - path));
    if (*base == '\0' || dlen >= sizeof dir || std::strlen(base) > NAME_MAX - 32) {
        return fail(reason, size, "save", path, ENAMETOOLONG);
    }
    std::memcpy(dir, slash != nullptr ? path : ".", slash != nullptr ? dlen : 1);
    dir[slash != nullptr ? dlen : 1] = '\0';

    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        return fail(reason, size, "open folder", dir, errno);
    }
    char prefix[NAME_MAX + 1];
    std::snprintf(prefix, sizeof prefix, ".%s.tmp-", base);
    remove_leftovers(dfd, prefix);
    // Room for the pid and the counter after the longest prefix; base's limit keeps the name
    // itself within NAME_MAX.
    char tmp[sizeof prefix + 32];
    static std::atomic<unsigned> counter{0};
    std::snprintf(tmp, sizeof tmp, "%s%ld-%u", prefix, static_cast<long>(getpid()), ++counter);

    struct stat old {};
    bool replacing = fstatat(dfd, base, &old, 0) == 0;
    mode_t mode = replacing ? (old.st_mode & 07777) : 0;
    // Unnamed until it is complete, where the file system and /proc allow it: a crash while
    // writing then leaves nothing behind. Otherwise (no O_TMPFILE, no /proc in a chroot) the
    // file is written under its temporary name.
    const char* step = nullptr;
    int err = 0;
    bool ok = write_temp(dfd, tmp, true, data, len, replacing, mode, &step, &err);
    bool unsupported =
        std::strcmp(step, "create a file for") == 0 || std::strcmp(step, "name") == 0;
    if (!ok && unsupported) {
        ok = write_temp(dfd, tmp, false, data, len, replacing, mode, &step, &err);
    }
    if (ok) {
        step = "rename";
        ok = renameat(dfd, tmp, dfd, base) == 0;
        err = errno;
    }
    if (!ok) {
        unlinkat(dfd, tmp, 0);
        close(dfd);
        return fail(reason, size, step, path, err);
    }
    // The rename reaches storage only with the folder. A file system that cannot flush a folder
    // (EINVAL) makes the rename durable without it.
    ok = fsync(dfd) == 0 || errno == EINVAL;
    err = errno;
    close(dfd);
    return ok || fail(reason, size, "flush the folder of", path, err);
}
