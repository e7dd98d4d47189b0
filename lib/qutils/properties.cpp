#include "properties.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "qlog.h"

namespace {

const char* const kCategory = "cProperties";
constexpr std::streamsize kMaxFile = 1 << 20;

std::string trim(const std::string& s) {
    const char* blanks = " \t\r";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = s.find_last_not_of(blanks);
    return s.substr(b, e - b + 1);
}

bool is_text(const std::string& s) {
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 && c != '\t' && c != '\r') {
            return false;
        }
        if (c == 0x7f) {
            return false;
        }
    }
    return true;
}

// The first kMaxFile bytes of the file at path into content; false (logged) when it cannot be
// read.
bool read_capped(const char* path, std::string& content, log4cpp::Category& log) {
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            log.warn("cannot read %s: every setting takes its default", path);
            return false;
        }
        char chunk[4096];
        while (in && static_cast<std::streamsize>(content.size()) < kMaxFile) {
            in.read(chunk, sizeof chunk);
            content.append(chunk, static_cast<size_t>(in.gcount()));
        }
        bool cut = static_cast<std::streamsize>(content.size()) > kMaxFile ||
                   (in && in.peek() != std::char_traits<char>::eof());
        if (cut) {
            content.resize(static_cast<size_t>(kMaxFile));
            log.warn("%s: only the first %ld bytes are read", path, static_cast<long>(kMaxFile));
        }
    } catch (...) {
        log.warn("cannot read %s: every setting takes its default", path);
        return false;
    }
    return true;
}

} // namespace

bool cProperties::load(const char* path) {
    log4cpp::Category& log = cQlog::getLog(kCategory);
    std::string content;
    if (!read_capped(path, content, log)) {
        return false;
    }
    size_t pos = 0;
    int lineno = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = trim(content.substr(pos, end - pos));
        pos = end + 1;
        ++lineno;
        if (line.empty() || line[0] == '#' || line[0] == '!') {
            continue;
        }
        if (!is_text(line)) {
            log.warn("%s:%d: ignored, not text", path, lineno);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            log.warn("%s:%d: ignored, no '='", path, lineno);
            continue;
        }
        std::string key = trim(line.substr(0, eq));
        if (key.empty()) {
            log.warn("%s:%d: ignored, empty key", path, lineno);
            continue;
        }
        std::string value = trim(line.substr(eq + 1));
        auto it = mPropsMap.find(key);
        if (it != mPropsMap.end()) {
            log.warn("%s:%d: %s set again; this later value wins", path, lineno, key.c_str());
            it->second = value;
        } else {
            mPropsMap.emplace(key, value);
        }
    }
    return true;
}

const char* cProperties::getString(const char* key, const char* def) const {
    auto it = mPropsMap.find(key);
    return it == mPropsMap.end() ? def : it->second.c_str();
}

int cProperties::getInt(const char* key, int def) const {
    auto it = mPropsMap.find(key);
    if (it == mPropsMap.end()) {
        return def;
    }
    const std::string& v = it->second;
    const char* s = v.c_str();
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(s, &end, 10);
    bool digits = !v.empty() && (v[0] == '-' || v[0] == '+' || (v[0] >= '0' && v[0] <= '9'));
    if (!digits || end == s || *end != '\0' || errno == ERANGE || n < INT_MIN || n > INT_MAX) {
        cQlog::getLog(kCategory).warn("%s = '%s' is not an integer; using %d", key, s, def);
        return def;
    }
    return static_cast<int>(n);
}
