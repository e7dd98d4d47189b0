// Fixtures of the end-to-end tests: the real daemon binary on loopback ports, with settings and
// scripts written by the test, and the upstream stand-in as its north peer.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon_harness.h"
#include "qmsg.h"

namespace e2e_cases {

using e2e::Client;
using e2e::Daemon;
using e2e::DaemonSetup;
using e2e::Upstream;

constexpr uint8_t kSystem = 32;
constexpr uint8_t kInterface = 33;
constexpr uint8_t kNtp = 34; // served by no test script: goes north
constexpr uint8_t kHostname = 64;
constexpr uint8_t kLocation = 65;
constexpr uint8_t kUptime = 67;
constexpr uint8_t kIfName = 72;
constexpr uint8_t kMac = 77;

// Serves system and interface. A get of interface answers 40 objects, more than one datagram;
// a replace of interface answers 5000 values, more tags than a message carries. A get of system
// says in its location (65) what the script saw as the uptime (67) last set.
inline const char* const kScript = R"lua(
store = store or {}

function getObjects() return {32, 33} end

function setConfig(req)
  for _, obj in pairs(req) do
    if type(obj) == "table" then
      for k, v in pairs(obj) do
        if k ~= "objid" then store[obj.objid .. ":" .. k] = v end
      end
    end
  end
end

function getConfig(req)
  local out = {}
  for pos, obj in pairs(req) do
    if type(obj) == "table" then
      if obj.objid == 33 then
        for i = 1, 40 do
          out[#out + 1] = {objid = 33, [72] = string.format("eth%02d-", i) .. string.rep("x", 50),
                           [74] = 1500 + i, [77] = store["33:77"]}
        end
      else
        out[#out + 1] = {objid = 32, [64] = store["32:64"] or "tamo-test",
                         [67] = store["32:67"] or 12345,
                         [65] = store["32:67"] and ("uptime " .. store["32:67"])}
      end
    end
  end
  return out
end

function deleteConfig(req) return {{objid = 32}} end
function replaceConfig(req)
  if req[0].objid == 33 then
    local out = {}
    for i = 1, 5000 do out[i] = i end
    return out
  end
  return {[3] = 0}
end
)lua";

// Tags of a message as "id:type" words, objects included, for compact comparisons.
inline std::string shape(const QMsg& msg) {
    std::string s;
    for (const QTag* t : msg.getTagList()) {
        s += std::to_string(t->getTagID()) + ":" + std::to_string(t->getTagType()) + " ";
    }
    return s;
}

inline std::string text_of(const QTag* t) {
    std::string s(t->getDataLength() + 1u, '\0');
    static_cast<const QTagString*>(t)->getValue(&s[0], static_cast<uint16_t>(s.size()));
    s.resize(t->getDataLength());
    return s;
}

class EndToEnd : public testing::Test {
protected:
    DaemonSetup setup(bool with_script = true) {
        DaemonSetup s;
        s.brokerPort = e2e::freePort();
        s.northPort = e2e::freePort();
        if (with_script) {
            s.scripts.push_back({"device.lua", kScript});
        }
        return s;
    }

    // Sends msg and returns the reply, or null after wait_ms.
    std::unique_ptr<QMsg> ask(const DaemonSetup& s, QMsg* msg, int wait_ms = 2000,
                              std::vector<size_t>* sizes = nullptr) {
        std::unique_ptr<QMsg> owned(msg);
        mClient.send(s.brokerPort, *owned);
        return std::unique_ptr<QMsg>(mClient.receive(wait_ms, sizes));
    }

    Client mClient;
};

class NorthPath : public EndToEnd {
protected:
    void start(const std::vector<std::string>& upstream_options) {
        mSetup = setup();
        mUpstream.reset(new Upstream(mSetup.northPort, upstream_options));
        mDaemon.reset(new Daemon(mSetup));
        ASSERT_TRUE(mDaemon->logHas("North link connected", 10000));
    }

    DaemonSetup mSetup;
    std::unique_ptr<Upstream> mUpstream;
    std::unique_ptr<Daemon> mDaemon;
};

} // namespace e2e_cases
