#include "peerfilter.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>

#include "listsetting.h"

namespace {

const char* const kCategory = "cPeerFilter";

} // namespace

cPeerFilter::cPeerFilter() : cQlog(kCategory), mEveryone(true) {}

int cPeerFilter::configure(const char* text, const char* key) {
    mPrefixes.clear();
    mEveryone = false;
    forEachListEntry(text, [&](const char* b, const char* e) {
        sPrefix prefix{};
        if (parse_entry(b, e, &prefix)) {
            mPrefixes.push_back(prefix);
            mEveryone = mEveryone || prefix.mask == 0;
        } else {
            warn("%s: '%.*s' is not an IPv4 address or prefix; skipped", key,
                 static_cast<int>(e - b), b);
        }
    });
    int valid = static_cast<int>(mPrefixes.size());
    if (valid == 0) {
        mPrefixes.push_back(sPrefix{0x7f000000u, 0xff000000u});
        error("%s has no valid entry: only loopback (127.0.0.0/8) may %s", key,
              std::strcmp(key, "tamo.broker.allow") == 0 ? "ask" : "write");
    }
    return valid;
}

bool cPeerFilter::allows_listed(uint32_t addr) const {
    uint32_t host = ntohl(addr);
    for (const sPrefix& p : mPrefixes) {
        if ((host & p.mask) == p.net) {
            return true;
        }
    }
    return false;
}

bool cPeerFilter::parse_entry(const char* begin, const char* end, sPrefix* out) const {
    std::string entry(begin, end);
    int bits = 32;
    size_t slash = entry.find('/');
    if (slash != std::string::npos) {
        std::string len = entry.substr(slash + 1);
        if (len.empty() || len.size() > 2 || len.find_first_not_of("0123456789") != len.npos) {
            return false;
        }
        bits = 0;
        for (char c : len) {
            bits = bits * 10 + (c - '0');
        }
        if (bits > 32) {
            return false;
        }
        entry.resize(slash);
    }
    in_addr a{};
    // inet_pton takes only the four-part dotted decimal form: no "10.1", no hex, no blanks.
    if (inet_pton(AF_INET, entry.c_str(), &a) != 1) {
        return false;
    }
    uint32_t mask = bits == 0 ? 0 : 0xffffffffu << (32 - bits);
    out->mask = mask;
    out->net = ntohl(a.s_addr) & mask;
    return true;
}
