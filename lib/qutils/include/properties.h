// cProperties: a settings file of "key = value" lines.
//
// Format: one setting a line; the key is the text before the first '=', the value the text
// after it, both trimmed of blanks and tabs (blanks inside the value stay). Lines that are
// empty or start with '#' or '!' are comments. A line without '=', with an empty key, or with
// control characters is ignored and logged. When a key appears twice the later line wins.
// Files larger than 1 MiB are read no further than that.
//
// Not thread safe for writing; load() once, then read from any thread.
#pragma once

#include <map>
#include <string>

class cProperties {
public:
    cProperties() = default;

    // Adds the settings of the file at path; false when it cannot be read. Never throws.
    bool load(const char* path);

    // The value of key, or def when the key is absent. The pointer stays valid as long as this
    // object lives and is not loaded again.
    const char* getString(const char* key, const char* def) const;

    // The value of key read as a decimal integer (optional sign, digits, nothing else) that
    // fits in an int; def when the key is absent or the value is not such a number.
    int getInt(const char* key, int def) const;

private:
    std::map<std::string, std::string> mPropsMap;
};
