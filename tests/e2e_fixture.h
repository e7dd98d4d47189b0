// Fixtures of the end-to-end tests: the real daemon binary on loopback ports, with settings and
// scripts written by the test, and zeld-sim as its north peer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <numeric>
#include <string>

#include "daemon_harness.h"
#include "render.h"

namespace e2e_cases {

using namespace e2e;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Serves system and interface: a get of interface answers 40 objects (several datagrams), a
// replace 2500 objects (5000 tags, too many); a get of system puts the uptime (67) last set in 65.
// A set of the hostname "refuse", "boom" or "loop" is refused, raises or never ends.
inline const char* const kScript = R"lua(
store = store or {}
function getObjects() return {32, 33} end
function setConfig(req)
  local how = req[0] and req[0][64]
  if how == "refuse" then return {[3] = 1, [4] = 'hostname: "refuse" refused'} end
  if how == "boom" then error("boom") end
  if how == "loop" then while true do end end
  for _, obj in pairs(req) do
    for k, v in pairs(type(obj) == "table" and obj or {}) do
      if k ~= "objid" then store[obj.objid .. ":" .. k] = v end
    end
  end
end
function getConfig(req)
  local out = {}
  for _, obj in pairs(req) do
    if type(obj) ~= "table" then
    elseif obj.objid == 33 then
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
  return out
end
function deleteConfig(req) return {{objid = 32}} end
function replaceConfig(req)
  if req[0].objid ~= 33 then return {[3] = 0} end
  local out = {}
  for i = 1, 2500 do out[i] = {objid = 33, [76] = i} end
  return out
end
)lua";

// A message's tags as "id:type=value" words (a null tag without "=value"), the members of each
// object sorted, as Lua walks a table in an order of its own.
inline std::string dump(const QMsg& msg) {
    std::vector<std::string> words;
    size_t members = 0;
    for (const QTag* t : msg.getTagList()) {
        std::string w = std::to_string(t->getTagID()) + ":" + std::to_string(t->getTagType());
        if (t->getTagType() == QT_NULL) {
            members = words.size() + 1;
        } else {
            w += "=" + toolkit::formatValue(*t);
        }
        words.push_back(w);
        std::sort(words.begin() + static_cast<std::ptrdiff_t>(members), words.end());
    }
    return std::accumulate(words.begin(), words.end(), std::string(),
                           [](const std::string& s, const std::string& w) { return s + w + " "; });
}

class EndToEnd : public testing::Test {
protected:
    EndToEnd() {
        mSetup.brokerPort = e2e::freePort();
        mSetup.northPort = e2e::freePort();
        mSetup.scripts.push_back({"device.lua", kScript});
    }

    // Starts the daemon on mSetup as the test left it.
    Daemon& start() {
        mDaemon.reset(new Daemon(mSetup));
        return *mDaemon;
    }

    // Sends a request built from tamoctl's words and returns the reply, or null after wait_ms.
    MsgPtr ask(const char* kind, uint8_t seq, const char* words, int wait_ms = 2000,
               std::vector<size_t>* sizes = nullptr) {
        mClient.send(mSetup.brokerPort, *request(kind, seq, words));
        return mClient.receive(wait_ms, sizes);
    }

    DaemonSetup mSetup;
    Client mClient;
    std::unique_ptr<Upstream> mUpstream;
    std::unique_ptr<Daemon> mDaemon;
};

// The daemon with zeld-sim, started with the given options, on its north port.
class NorthPath : public EndToEnd {
protected:
    void start(const std::vector<std::string>& upstream_options) {
        mUpstream.reset(new Upstream(mSetup.northPort, upstream_options));
        ASSERT_TRUE(EndToEnd::start().logHas("North link connected", 10000));
    }
};

} // namespace e2e_cases
