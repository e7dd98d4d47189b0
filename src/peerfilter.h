// cPeerFilter: which IPv4 sources may send requests to the broker port.
//
// Built once at start-up from the setting "tamo.broker.allow", a comma-separated list of
// addresses ("192.168.1.20") and CIDR prefixes ("10.0.0.0/8"); "0.0.0.0/0" allows everyone.
// A bad entry is logged with its text and skipped. A list with no valid entry (empty, or all
// bad) fails closed: only loopback (127.0.0.0/8) is allowed, and the log says so.
//
// Main thread: configure at start-up, then allows() for every datagram. Messages go to the
// category "cPeerFilter".
#pragma once

#include <cstdint>
#include <vector>

#include "qlog.h"

class cPeerFilter : public cQlog {
public:
    // Allows everyone until configured.
    cPeerFilter();

    // Replaces the list with the entries of text (not kept). Returns the number of valid
    // entries; 0 means the filter fell back to loopback only.
    int configure(const char* text, const char* key = "tamo.broker.allow");

    // True when a datagram from addr (network byte order, as in sin_addr.s_addr) may be served.
    bool allows(uint32_t addr) const {
        if (mEveryone) {
            return true;
        }
        return allows_listed(addr);
    }

private:
    struct sPrefix {
        uint32_t net; // host byte order, host bits cleared
        uint32_t mask;
    };
    bool allows_listed(uint32_t addr) const;
    bool parse_entry(const char* begin, const char* end, sPrefix* out) const;

    bool mEveryone;
    std::vector<sPrefix> mPrefixes;
};
