// What the unit suites share: temporary files and folders removed when they go, file-time
// control for the reload cases, a capture of one log category's records, and tables as text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>

#include "configtable.h"
#include "qlog.h"

// A file under TMPDIR holding content, removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& content, const char* suffix = "") {
        std::string tmpl = std::string(tmp_dir()) + "/tamo-test-XXXXXX" + suffix;
        ::close(mkstemps(&tmpl[0], static_cast<int>(std::string(suffix).size())));
        std::ofstream(tmpl, std::ios::binary) << content;
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

// A folder under TMPDIR, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::string tmpl = std::string(TempFile::tmp_dir()) + "/tamo-scripts-XXXXXX";
        if (mkdtemp(&tmpl[0]) != nullptr) {
            mPath = tmpl;
        }
    }
    ~TempDir() {
        if (!mPath.empty()) {
            nftw(mPath.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const char* path() const { return mPath.c_str(); }
    std::string path(const std::string& rel) const { return mPath + "/" + rel; }

    // Writes rel (folders included) in one go and returns its full path.
    std::string write(const std::string& rel, const std::string& content) const {
        std::string full = path(rel);
        for (size_t i = mPath.size() + 1; (i = full.find('/', i)) != std::string::npos; ++i) {
            mkdir(full.substr(0, i).c_str(), 0755);
        }
        std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
        return full;
    }

private:
    static int remove_entry(const char* p, const struct stat*, int, struct FTW*) {
        return ::remove(p);
    }

    std::string mPath;
};

std::string table_text(cConfigTable* t);

// A value as "text/type" (the cTableType kind's number), "u" after an unsigned number, "b" after
// a byte string; a table as its entries in braces.
inline std::string value_text(const cTableType& v) {
    if (v.getType() == cTableType::TTE_TABLE) {
        auto* t = static_cast<cConfigTable*>(v);
        return t != nullptr ? "{" + table_text(t) + "}" : "{null}";
    }
    return static_cast<std::string>(v) + "/" + std::to_string(v.getType()) +
           (v.isUnsigned() ? "u" : "") + (v.isBytes() ? "b" : "");
}

// Entries of a table in order as "key=value " words (see value_text).
inline std::string table_text(cConfigTable* t) {
    std::string s;
    cConfigTable::cConfigTableIter it(t);
    for (it.first(); it.isPair(); it.next()) {
        s += static_cast<std::string>(it.key()) + "=" + value_text(it.value()) + " ";
    }
    return s;
}

// How often what occurs in text.
inline size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        ++n;
    }
    return n;
}

// The whole file at path; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ostringstream all;
    all << std::ifstream(path, std::ios::binary).rdbuf();
    return all.str();
}

inline struct timespec file_mtime(const std::string& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mtim;
}

inline void set_mtime(const std::string& p, struct timespec t) {
    struct timespec times[2] = {t, t};
    utimensat(AT_FDCWD, p.c_str(), times, 0);
}

// Collects the records of one category at the given priority and above while it lives.
class LogCapture {
public:
    explicit LogCapture(const char* category, int priority = log4cpp::Priority::ERROR)
        : mCat(cQlog::getLog(category)), mOldPriority(mCat.getPriority()), mAppender("capture") {
        auto* layout = new log4cpp::PatternLayout();
        layout->setConversionPattern("%p %m%n");
        mAppender.setLayout(layout);
        mCat.addAppender(mAppender);
        mCat.setPriority(priority);
        cQlog::refresh();
    }
    ~LogCapture() {
        mCat.removeAppender(&mAppender);
        mCat.setPriority(mOldPriority);
        cQlog::refresh();
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything captured so far, one record per line, in order.
    std::string text() {
        for (auto& q = mAppender.getQueue(); !q.empty(); q.pop()) {
            mText += q.front();
        }
        return mText;
    }

private:
    log4cpp::Category& mCat;
    log4cpp::Priority::Value mOldPriority;
    log4cpp::StringQueueAppender mAppender;
    std::string mText;
};
