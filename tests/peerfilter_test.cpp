#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <vector>

#include "peerfilter.h"

namespace {

struct Case {
    const char* list;
    int valid;                    // entries that parse; 0 means loopback only
    std::vector<const char*> in;  // sources allowed
    std::vector<const char*> out; // sources denied
};

TEST(PeerFilter, ListsOfAddressesAndPrefixes) {
    const std::vector<Case> cases = {
        {"127.0.0.1", 1, {"127.0.0.1"}, {"127.0.0.2", "10.0.0.1"}},
        {" 10.0.0.0/8 , 192.168.1.20",
         2,
         {"10.255.0.1", "192.168.1.20"},
         {"11.0.0.1", "192.168.1.21", "127.0.0.1"}},
        {"0.0.0.0/0", 1, {"1.2.3.4", "255.255.255.255"}, {}},
        {"10.1.2.3/8", 1, {"10.9.9.9"}, {"11.1.2.3"}}, // host bits ignored
        {"192.168.1.0/31,", 1, {"192.168.1.1"}, {"192.168.1.2"}},
        // Bad entries are skipped, the rest stays in force.
        {"10.1, 172.16.0.0/33, 0x7f000001, 1.2.3.4/ 8, 1.2.3.4/8x, 172.16.0.0/12",
         1,
         {"172.31.0.1"},
         {"10.1.0.0", "1.2.3.4", "127.0.0.1"}},
        // Nothing valid: fail closed to loopback.
        {"", 0, {"127.0.0.1", "127.1.2.3"}, {"10.0.0.1", "0.0.0.0"}},
        {"everyone, *", 0, {"127.0.0.1"}, {"192.168.1.1"}},
        {" , ,", 0, {"127.0.0.1"}, {"8.8.8.8"}},
    };
    for (const Case& c : cases) {
        cPeerFilter f;
        EXPECT_EQ(f.configure(c.list), c.valid) << c.list;
        for (const char* a : c.in) {
            EXPECT_TRUE(f.allows(inet_addr(a))) << c.list << " / " << a;
        }
        for (const char* a : c.out) {
            EXPECT_FALSE(f.allows(inet_addr(a))) << c.list << " / " << a;
        }
    }
    cPeerFilter unconfigured;
    EXPECT_TRUE(unconfigured.allows(inet_addr("203.0.113.9")));
}

} // namespace
