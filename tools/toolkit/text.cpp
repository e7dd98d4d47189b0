#include "text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace toolkit {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

size_t utf8_sequence(const uint8_t* p, size_t left) {
    uint8_t c = p[0];
    if (c < 0x80) {
        return 1;
    }
    size_t n = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (n > left) {
        return 0;
    }
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (p[i] & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not text.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return n;
}

// Valid UTF-8 passes through; everything else that is not printable ASCII is escaped, in C
// form for people and in JSON form for --json.
std::string escape_text(const std::string& text, bool json) {
    std::string s = "\"";
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text.data());
    size_t left = text.size();
    char esc[8];
    while (left > 0) {
        size_t n = utf8_sequence(p, left);
        uint8_t c = p[0];
        if (n > 1) {
            s.append(reinterpret_cast<const char*>(p), n);
        } else if (c == '"' || c == '\\') {
            s.push_back('\\');
            s.push_back(static_cast<char>(c));
        } else if (c == '\n') {
            s += "\\n";
        } else if (c == '\t') {
            s += "\\t";
        } else if (c == '\r') {
            s += "\\r";
        } else if (c >= 0x20 && c < 0x7F) {
            s.push_back(static_cast<char>(c));
        } else if (json) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            s += esc;
        } else {
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            s += esc;
        }
        n = n == 0 ? 1 : n;
        p += n;
        left -= n;
    }
    s.push_back('"');
    return s;
}

} // namespace

bool parseUnsigned(const std::string& text, uint32_t max, uint32_t* out) {
    size_t pos = 0;
    uint32_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        pos = 2;
        base = 16;
    }
    if (pos >= text.size()) {
        return false;
    }
    uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        int d = hex_digit(text[pos]);
        if (d < 0 || static_cast<uint32_t>(d) >= base) {
            return false;
        }
        value = value * base + static_cast<uint32_t>(d);
        if (value > max) {
            return false;
        }
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

bool parseHex(const std::string& text, Bytes* out) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0) {
            if (high >= 0 || (c != ':' && c != '-' && c != '.' && c != ' ' && c != '\t')) {
                return false;
            }
            continue;
        }
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        return false;
    }
    out->swap(bytes);
    return true;
}

std::string toHex(const uint8_t* data, size_t len, char sep) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 3);
    for (size_t i = 0; i < len; ++i) {
        if (i > 0 && sep != '\0') {
            s.push_back(sep);
        }
        s.push_back(kDigits[data[i] >> 4]);
        s.push_back(kDigits[data[i] & 0x0F]);
    }
    return s;
}

std::string formatFloat(float value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buf[48];
    for (int precision = 1; precision <= 9; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(buf, nullptr) == value) {
            break;
        }
    }
    return buf;
}

std::string quoteText(const std::string& text) {
    return escape_text(text, false);
}

std::string jsonString(const std::string& text) {
    return escape_text(text, true);
}

} // namespace toolkit
