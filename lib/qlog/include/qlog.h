// cQlog: the logging base every daemon class derives from. It writes through log4cpp.
//
// A cQlog object is a log source bound to one category. Its printf-style operations check the
// category's priority first and return at once when the record would be filtered. Before that,
// a record more verbose than every category's threshold (a debug line in a daemon that logs at
// INFO) returns after one comparison, without looking the category up. The thresholds are read
// by init and by refresh: a program that changes a priority through log4cpp afterwards must call
// refresh, or more verbose records may still be dropped.
// Messages are formatted into a 1024-character buffer; a longer message is cut. The buffer
// belongs to the calling thread, not to the object: every value of every configuration table
// is a log source, and a kilobyte of scratch in each would make a table entry over 2 KB; and two
// threads may log through one object without sharing a buffer.
//
// Thread safety: init() runs once on the main thread before anything logs. After that any
// thread may log through any object.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include <log4cpp/Category.hh>

enum QlogPiority {
    EMERG = 0,
    FATAL = 0,
    ALERT = 100,
    CRIT = 200,
    ERROR = 300,
    WARN = 400,
    NOTICE = 500,
    INFO = 600,
    DEBUG = 700,
    NOTSET = 800
};

// A limit on one kind of log line, for lines that a peer can cause: at most kBurst lines in a
// row, then one line a second. A line that goes after others were held back says how many.
// Give each kind (each call site) a limit of its own, with static storage:
//     static cQlogLimit limit;
//     limited(limit, INFO, "Rx len = %d;", len);
// Any thread; the limit locks its own small mutex, only for lines that would be written.
class cQlogLimit {
public:
    static constexpr int kBurst = 5;
    static constexpr int64_t kIntervalMs = 1000;

    constexpr cQlogLimit() = default;
    cQlogLimit(const cQlogLimit&) = delete;
    cQlogLimit& operator=(const cQlogLimit&) = delete;

    // True when a line may be written at now_ms (a monotonic clock in milliseconds); then
    // *held gets the number of lines refused since the last one that went. False counts the
    // line as refused.
    bool admit(int64_t now_ms, uint32_t* held);

private:
    std::mutex mMutex;
    // When the bucket is empty again: each line that goes fills it by kIntervalMs, time drains
    // it; a line goes when there is room for it within kBurst intervals.
    int64_t mEmptyAt = INT64_MIN;
    uint32_t mHeld = 0;
};

class cQlog {
public:
    // Configures log4cpp from the "log4cpp.*" keys of the properties file at path. A missing
    // file, a file log4cpp rejects or one that sets up no appender leaves logging on the
    // console at INFO, and one warning says why. Never throws.
    static void init(const char* path);

    // Reads again the most verbose priority any category lets through, after a priority was
    // changed through log4cpp. Any thread; a record logged meanwhile may use either value.
    static void refresh();

    // The log4cpp category of that name (created on first use).
    static log4cpp::Category& getLog(const char* category);

    // category is kept as a pointer, not copied: pass a string constant.
    explicit cQlog(const char* category);
    // Copies bind to the same category.
    cQlog(const cQlog& other) = default;
    cQlog& operator=(const cQlog& other) = default;
    ~cQlog() = default;

    void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void fatal(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // True when a record of that priority would be written for this object's category.
    bool enabled(int priority) const;

    // Writes the line at priority, unchanged, unless limit holds it back; the next line that
    // goes through the limit ends with " (N similar lines suppressed)". A line the category's
    // priority filters out returns at once and does not touch the limit.
    void limited(cQlogLimit& limit, int priority, const char* fmt, ...)
        __attribute__((format(printf, 4, 5)));

    // The same for a line already made, of any length, written to cat (a category of any
    // name, such as one per script).
    static void limited(log4cpp::Category& cat, cQlogLimit& limit, int priority,
                        const std::string& line);

    // Lines held back by any limit since the process started. Any thread.
    static uint64_t suppressedLines();

private:
    void write(int priority, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));

    const char* mCatName;

    static bool mInitialised;
    // The highest priority value any category lets through; NOTSET (all) until init or refresh.
    static std::atomic<int> mMostVerbose;
};
