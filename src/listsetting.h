// The entries of a comma-separated setting ("10.0.0.0/8, 192.168.1.20"), as the allow-lists and
// the notification sinks are written.
#pragma once

#include <cstring>

// Calls each(begin, end) for every entry of text with the blanks around it dropped: an empty
// entry between commas too (begin == end), so that it can be reported, but not the nothing after
// the last comma or in an empty text.
template <typename Each>
void forEachListEntry(const char* text, Each each) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const char* p = text != nullptr ? text : "";
    for (;;) {
        const char* end = std::strchr(p, ',');
        if (end == nullptr) {
            end = p + std::strlen(p);
        }
        const char* b = p;
        const char* e = end;
        while (b < e && blank(*b)) {
            ++b;
        }
        while (e > b && blank(e[-1])) {
            --e;
        }
        if (b < e || *end == ',') {
            each(b, e);
        }
        if (*end == '\0') {
            return;
        }
        p = end + 1;
    }
}
