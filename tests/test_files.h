// Temporary files and folders for tests, removed when the object goes.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

class TempFile {
public:
    explicit TempFile(const std::string& content, const char* suffix = "") {
        std::string tmpl = std::string(tmp_dir()) + "/tamo-test-XXXXXX" + suffix;
        int fd = mkstemps(&tmpl[0], static_cast<int>(std::string(suffix).size()));
        if (fd >= 0) {
            if (!content.empty()) {
                ssize_t n = ::write(fd, content.data(), content.size());
                (void)n;
            }
            ::close(fd);
        }
        mPath = tmpl;
    }
    ~TempFile() { ::unlink(mPath.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const char* path() const { return mPath.c_str(); }

    static const char* tmp_dir() {
        const char* d = std::getenv("TMPDIR");
        return d != nullptr && *d != '\0' ? d : "/tmp";
    }

private:
    std::string mPath;
};
