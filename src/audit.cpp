#include "audit.h"

#include <arpa/inet.h>
#include <cinttypes>
#include <string>
#include <vector>

#include "qmsg.h"
#include "zeldict.h"

namespace {

const char* const kAuditCategory = "audit";
constexpr size_t kAuditObjects = 32; // objects named in one audit line; the rest are counted
constexpr size_t kReasonChars = 200; // of a reason quoted in the line

// The objects of the request by dictionary name, at most kAuditObjects, "-" for none.
std::string object_names(const QuorrelMessage* request) {
    std::string objects;
    std::vector<QuorrelObject*>* objs = request->getObjects();
    if (objs != nullptr) {
        for (size_t i = 0; i < objs->size() && i < kAuditObjects; ++i) {
            uint8_t id = (*objs)[i]->getID();
            const QuorrelObjectDef* def = findObjectById(ZEL::DictDef, id);
            objects += i == 0 ? "" : ",";
            objects += def != nullptr ? def->name : std::to_string(id);
        }
        if (objs->size() > kAuditObjects) {
            objects += ",+" + std::to_string(objs->size() - kAuditObjects);
        }
        delete objs;
    }
    return objects.empty() ? "-" : objects;
}

// text quoted for the line: quotes and backslashes escaped, other bytes outside printable
// ASCII as \xNN, cut at kReasonChars.
std::string escaped(const char* text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; text[i] != '\0' && i < kReasonChars; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

void reportCounters(cQlog& log, const sCounters& c, const cNorthLink::sCounters& north,
                    const cNotifier::sCounters& notify) {
    log.info("Counters: received=%" PRIu64 " denied=%" PRIu64 " malformed=%" PRIu64
             " refused=%" PRIu64 " served=%" PRIu64 " script_errors=%" PRIu64 " forwards=%" PRIu64
             " forwards_answered=%" PRIu64 " forwards_timed_out=%" PRIu64
             " forwards_refused=%" PRIu64 " replies=%" PRIu64 " reply_bytes=%" PRIu64
             " replayed=%" PRIu64 " seq_reused=%" PRIu64 " write_denied=%" PRIu64
             " notify_sent=%" PRIu64 " notify_coalesced=%" PRIu64 " notify_failed=%" PRIu64
             " lines_suppressed=%" PRIu64,
             c.received, c.denied, c.malformed, c.refused, c.served, c.scriptErrors, north.forwards,
             north.answered, north.timedOut, north.northRefused, c.replies, c.replyBytes,
             c.replayed, c.seqReused, c.writeDenied, notify.sent, notify.coalesced, notify.failed,
             cQlog::suppressedLines());
}

cAudit::cAudit() : cQlog(kAuditCategory) {}

void cAudit::rollback(const sockaddr_in& peer, uint32_t transaction, uint8_t objectId,
                      const char* by, const char* why, const char* outcome) {
    const QuorrelObjectDef* def = findObjectById(ZEL::DictDef, objectId);
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, host, sizeof host);
    info("peer=%s:%d kind=rollback transaction=%" PRIu32 " objects=%s by=\"%s\" why=%s "
         "outcome=\"%s\"",
         host, ntohs(peer.sin_port), transaction,
         def != nullptr ? def->name : std::to_string(objectId).c_str(), by, why, outcome);
}

void cAudit::write(const sEntry& e) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t us = (static_cast<int64_t>(now.tv_sec) - e.started.tv_sec) * 1000000 +
                 (now.tv_nsec - e.started.tv_nsec) / 1000;
    std::string objects = object_names(e.request);
    std::string status;
    if (e.status >= 0) {
        status = " status=" + std::to_string(e.status);
        if (e.reason != nullptr) {
            status += " reason=\"" + escaped(e.reason) + "\"";
        }
    }
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &e.peer->sin_addr, host, sizeof host);
    info("peer=%s:%d seq=%d kind=%s objects=%s by=\"%s\" outcome=\"%s\"%s us=%" PRId64, host,
         ntohs(e.peer->sin_port), e.seq, e.kind, objects.c_str(), e.by, e.outcome, status.c_str(),
         us);
}
