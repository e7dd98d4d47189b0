// What tamoctl adds around plain requests: confirmed changes, the daemon's self-description
// (object tamo) and messages that come unasked, such as notifications.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net.h"

namespace toolkit {

// Message ids a change awaiting confirmation is named by: confirm and cancel (dictionary).
bool namesTransaction(uint8_t msgId);
// Message ids --confirm goes with: set, replace and delete.
bool takesConfirm(uint8_t msgId);
// The words of a confirm or cancel: a first word that is a number T stands for @transaction=T.
std::vector<std::string> transactionWords(uint8_t msgId, std::vector<std::string> words);

// The first common @transaction of msg (u8, u16 or u32), or 0 when it has none.
uint32_t requestTransaction(const QMsg& msg);
// Adds @confirm=seconds to request and, when it carries no @transaction, @transaction=fresh
// (fresh must not be 0). Returns the transaction the request is confirmed under; 0, with the
// request unchanged, when its first @transaction is 0 or not a number, or a tag cannot be added.
uint32_t addConfirm(QMsg* request, uint32_t seconds, uint32_t fresh);
// A reply as one line of JSON with "transaction":T in front of its other fields.
std::string withTransactionJson(const std::string& json, uint32_t transaction);

// Bits of tamo.features.
constexpr uint32_t kFeatureReplayCache = 1u << 0;
constexpr uint32_t kFeatureConfirm = 1u << 1;
constexpr uint32_t kFeatureSinks = 1u << 2;

// The members of a reply to "get tamo"; absent ones keep their defaults.
struct DaemonInfo {
    bool found = false; // the reply holds object tamo
    std::string version;
    bool haveHash = false;
    uint32_t dictionaryHash = 0;
    std::vector<uint8_t> served, writable;
    uint32_t features = 0, uptime = 0, pending = 0;
};
DaemonInfo readDaemonInfo(const QMsg& reply);
// The description for a person, one "name  value" line each; object ids shown by tamoctl's
// dictionary names, unknown ones as numbers.
std::string formatDaemonInfo(const DaemonInfo& info);
// The same as one line of JSON (no newline).
std::string formatDaemonInfoJson(const DaemonInfo& info);

// Prints msg to stdout as text or one JSON line; a transaction other than 0 leads the JSON
// fields.
void printMessage(const QMsg& msg, bool json, uint32_t transaction = 0);
// Prints describe's reply as the daemon's description, with a warning on stderr (prefixed by
// prog) when its dictionary differs from the tools'.
void printDescription(const QMsg& reply, bool json, const char* prog);

// Joins the segments of messages that come unasked, per source address, port and sequence
// number, holding at most kMaxPending unfinished messages (the oldest is dropped first).
class MessageJoiner {
public:
    static constexpr size_t kMaxPending = 64;
    // One datagram from `from`: the message it completes, or null (garbage, a segment with
    // more to come, or one that could not be joined).
    MsgPtr offer(const sockaddr_in& from, const uint8_t* data, size_t len);
    size_t pending() const { return mPending.size(); }

private:
    struct Entry {
        uint32_t addr;
        uint16_t port;
        uint8_t seq;
        uint64_t used;
        std::unique_ptr<QReplyAssembler> assembler;
    };
    std::vector<Entry> mPending;
    uint64_t mClock = 0;
};

} // namespace toolkit
