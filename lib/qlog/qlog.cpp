#include "qlog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <log4cpp/OstreamAppender.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/PropertyConfigurator.hh>

bool cQlog::mInitialised = false;
std::atomic<int> cQlog::mMostVerbose{NOTSET};

namespace {

std::atomic<uint64_t> g_suppressed{0};

// The coarse clock is read without a system call and is plenty for a limit of lines a second.
int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const char* const kPattern = "%d{%Y-%m-%d %H:%M:%S.%l} %-5p %c: %m%n";

// Category look-ups go through log4cpp's locked map. Category names are string constants, so a
// small per-thread cache keyed by the name's address makes the common case a pointer compare.
log4cpp::Category& cached_category(const char* name) {
    struct Slot {
        const char* name;
        log4cpp::Category* cat;
    };
    constexpr int kSlots = 8;
    thread_local Slot slots[kSlots] = {};
    thread_local int next = 0;
    for (const Slot& s : slots) {
        if (s.name == name) {
            return *s.cat;
        }
    }
    log4cpp::Category& cat = log4cpp::Category::getInstance(name);
    slots[next] = Slot{name, &cat};
    next = (next + 1) % kSlots;
    return cat;
}

void console_fallback(const std::string& why) {
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    auto* appender = new log4cpp::OstreamAppender("console", &std::cerr);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern(kPattern);
    appender->setLayout(layout);
    root.addAppender(appender);
    root.setPriority(log4cpp::Priority::INFO);
    root.warn("logging on the console at INFO: %s", why.c_str());
}

// Formats and writes one line; held, when not 0, is said at its end.
__attribute__((format(printf, 4, 0))) void write_line(log4cpp::Category& cat, int priority,
                                                      uint32_t held, const char* fmt, va_list ap) {
    // vsnprintf never writes past the buffer and always terminates it: long messages are cut.
    thread_local char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    try {
        std::string line(buffer);
        if (held != 0) {
            line += " (" + std::to_string(held) + " similar lines suppressed)";
        }
        cat.log(priority, line);
    } catch (...) {
        // An appender that throws (disk full, closed stream) must not take the caller down.
    }
}

bool has_log4cpp_keys(const char* path) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t i = line.find_first_not_of(" \t");
        if (i != std::string::npos && line.compare(i, 8, "log4cpp.") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

void cQlog::init(const char* path) {
    if (mInitialised) {
        return;
    }
    mInitialised = true;
    // log4cpp's console appender writes to std::cout without flushing; under a service manager
    // stdout is a pipe, where records would wait in a 4 KiB buffer or be lost with the process.
    std::cout.setf(std::ios::unitbuf);
    std::string why;
    try {
        std::ifstream probe(path);
        if (!probe) {
            why = std::string("cannot read ") + path;
        } else if (!has_log4cpp_keys(path)) {
            why = std::string("no log4cpp keys in ") + path;
        } else {
            log4cpp::PropertyConfigurator::configure(path);
            if (log4cpp::Category::getRoot().getAllAppenders().empty()) {
                why = std::string("no appender for the root category in ") + path;
            }
        }
    } catch (const std::exception& e) {
        why = std::string("log4cpp rejected ") + path + ": " + e.what();
    } catch (...) {
        why = std::string("log4cpp rejected ") + path;
    }
    if (!why.empty()) {
        try {
            console_fallback(why);
        } catch (...) {
            // Nothing else can be done without a logger; keep running silently.
        }
    }
    refresh();
}

void cQlog::refresh() {
    int most = log4cpp::Category::getRoot().getChainedPriority();
    try {
        std::vector<log4cpp::Category*>* all = log4cpp::Category::getCurrentCategories();
        for (log4cpp::Category* c : *all) {
            most = std::max(most, c->getChainedPriority());
        }
        delete all;
    } catch (...) {
        most = NOTSET;
    }
    mMostVerbose.store(most, std::memory_order_relaxed);
}

log4cpp::Category& cQlog::getLog(const char* category) {
    return cached_category(category);
}

cQlog::cQlog(const char* category) : mCatName(category) {}

bool cQlog::enabled(int priority) const {
    if (priority > mMostVerbose.load(std::memory_order_relaxed)) {
        return false;
    }
    return cached_category(mCatName).isPriorityEnabled(priority);
}

void cQlog::write(int priority, const char* fmt, va_list ap) {
    if (priority > mMostVerbose.load(std::memory_order_relaxed)) {
        return;
    }
    log4cpp::Category& cat = cached_category(mCatName);
    if (!cat.isPriorityEnabled(priority)) {
        return;
    }
    write_line(cat, priority, 0, fmt, ap);
}

bool cQlogLimit::admit(int64_t now, uint32_t* held) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mEmptyAt < now) {
        mEmptyAt = now;
    }
    if (mEmptyAt - now > (kBurst - 1) * kIntervalMs) {
        ++mHeld;
        g_suppressed.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    mEmptyAt += kIntervalMs;
    *held = mHeld;
    mHeld = 0;
    return true;
}

uint64_t cQlog::suppressedLines() {
    return g_suppressed.load(std::memory_order_relaxed);
}

void cQlog::limited(cQlogLimit& limit, int priority, const char* fmt, ...) {
    if (priority > mMostVerbose.load(std::memory_order_relaxed)) {
        return;
    }
    log4cpp::Category& cat = cached_category(mCatName);
    if (!cat.isPriorityEnabled(priority)) {
        return;
    }
    uint32_t held = 0;
    if (!limit.admit(now_ms(), &held)) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    write_line(cat, priority, held, fmt, ap);
    va_end(ap);
}

void cQlog::limited(log4cpp::Category& cat, cQlogLimit& limit, int priority,
                    const std::string& line) {
    if (priority > mMostVerbose.load(std::memory_order_relaxed) ||
        !cat.isPriorityEnabled(priority)) {
        return;
    }
    uint32_t held = 0;
    if (!limit.admit(now_ms(), &held)) {
        return;
    }
    try {
        cat.log(priority, held == 0
                              ? line
                              : line + " (" + std::to_string(held) + " similar lines suppressed)");
    } catch (...) {
        // An appender that throws (disk full, closed stream) must not take the caller down.
    }
}

#define QLOG_LEVEL(name, prio)                                                                     \
    void cQlog::name(const char* fmt, ...) {                                                       \
        va_list ap;                                                                                \
        va_start(ap, fmt);                                                                         \
        write(prio, fmt, ap);                                                                      \
        va_end(ap);                                                                                \
    }

QLOG_LEVEL(debug, DEBUG)
QLOG_LEVEL(info, INFO)
QLOG_LEVEL(warn, WARN)
QLOG_LEVEL(error, ERROR)
QLOG_LEVEL(fatal, FATAL)

#undef QLOG_LEVEL
