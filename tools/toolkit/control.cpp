#include "control.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "qwire.h"
#include "render.h"
#include "text.h"
#include "zeldict.h"

namespace toolkit {

namespace {

bool is_message(uint8_t msgId, const char* name) {
    const QuorrelMsgDef* m = findMessage(ZEL::DictDef, name);
    return m != nullptr && m->id == msgId;
}

uint8_t common_id(const char* name) {
    const QuorrelTagDef* t = findCommonTag(ZEL::DictDef, name);
    return t != nullptr ? t->id : 0;
}

// An unsigned integer tag's value (1, 2 or 4 big-endian bytes); false for any other type.
bool unsigned_value(const QTag& tag, uint32_t* out) {
    const uint8_t type = tag.getTagType();
    if (type != QT_UINT8 && type != QT_UINT16 && type != QT_UINT32) {
        return false;
    }
    const size_t n = tag.getDataLength();
    qwire::Reader r(tag.getRawData(), n);
    *out = n == 4 ? r.u32() : n == 2 ? r.u16() : r.u8();
    return true;
}

std::string raw_text(const QTag& tag) {
    return std::string(reinterpret_cast<const char*>(tag.getRawData()), tag.getDataLength());
}

std::string object_name(uint8_t id) {
    const QuorrelObjectDef* o = findObjectById(ZEL::DictDef, id);
    return o != nullptr ? std::string(o->name) + " (" + std::to_string(id) + ")"
                        : std::to_string(id);
}

std::string object_list(const std::vector<uint8_t>& ids) {
    std::string out;
    for (uint8_t id : ids) {
        out += (out.empty() ? "" : ", ") + object_name(id);
    }
    return out.empty() ? "none" : out;
}

std::string object_list_json(const std::vector<uint8_t>& ids) {
    std::string out;
    for (uint8_t id : ids) {
        const QuorrelObjectDef* o = findObjectById(ZEL::DictDef, id);
        out += (out.empty() ? "" : ",") +
               (o != nullptr ? jsonString(o->name) : jsonString(std::to_string(id)));
    }
    return "[" + out + "]";
}

// The names of the set bits of tamo.features; an unknown bit as "bit N".
std::vector<std::string> feature_names(uint32_t features) {
    static const char* const kNames[] = {"replay-cache", "confirm", "notification-sinks"};
    std::vector<std::string> names;
    for (unsigned bit = 0; bit < 32; ++bit) {
        if ((features >> bit & 1u) != 0) {
            names.emplace_back(bit < 3 ? kNames[bit] : "bit " + std::to_string(bit));
        }
    }
    return names;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

} // namespace

bool namesTransaction(uint8_t msgId) {
    return is_message(msgId, "confirm") || is_message(msgId, "cancel");
}

bool takesConfirm(uint8_t msgId) {
    return is_message(msgId, "set") || is_message(msgId, "replace") || is_message(msgId, "delete");
}

std::vector<std::string> transactionWords(uint8_t msgId, std::vector<std::string> words) {
    uint32_t t = 0;
    if (namesTransaction(msgId) && !words.empty() && parseUnsigned(words.front(), ~0u, &t)) {
        words.front() = "@transaction=" + words.front();
    }
    return words;
}

uint32_t requestTransaction(const QMsg& msg) {
    const uint8_t id = common_id("transaction");
    for (const TagGroup& g : groupTags(msg)) {
        uint32_t v = 0;
        if (g.opener == nullptr && g.tags.front().tag->getTagID() == id &&
            unsigned_value(*g.tags.front().tag, &v)) {
            return v;
        }
    }
    return 0;
}

uint32_t addConfirm(QMsg* request, uint32_t seconds, uint32_t fresh) {
    const uint32_t t = requestTransaction(*request);
    bool present = false;
    for (const TagGroup& g : groupTags(*request)) {
        present = present || (g.opener == nullptr &&
                              g.tags.front().tag->getTagID() == common_id("transaction"));
    }
    if ((present && t == 0) ||
        !request->addTag(QTagFactory::createQTag(common_id("confirm"), seconds))) {
        return 0;
    }
    if (t != 0) {
        return t;
    }
    return request->addTag(QTagFactory::createQTag(common_id("transaction"), fresh)) ? fresh : 0;
}

std::string withTransactionJson(const std::string& json, uint32_t transaction) {
    const std::string field = "\"transaction\":" + std::to_string(transaction);
    if (json.size() < 2 || json.front() != '{') {
        return "{" + field + "}";
    }
    return "{" + field + (json[1] == '}' ? "" : ",") + json.substr(1);
}

DaemonInfo readDaemonInfo(const QMsg& reply) {
    DaemonInfo info;
    const QuorrelObjectDef* tamo = findObject(ZEL::DictDef, "tamo");
    for (const TagGroup& g : groupTags(reply)) {
        if (tamo == nullptr || g.objectDef != tamo) {
            continue;
        }
        info.found = true;
        for (const TagView& v : g.tags) {
            if (v.def == nullptr) {
                continue;
            }
            const std::string name = v.def->name;
            const QTag& tag = *v.tag;
            const uint8_t* raw = tag.getRawData();
            if (name == "version" && tag.getTagType() == QT_STRING) {
                info.version = raw_text(tag);
            } else if (name == "served" && tag.getTagType() == QT_BYTES) {
                info.served.assign(raw, raw + tag.getDataLength());
            } else if (name == "writable" && tag.getTagType() == QT_BYTES) {
                info.writable.assign(raw, raw + tag.getDataLength());
            } else if (name == "dictionary") {
                info.haveHash = unsigned_value(tag, &info.dictionaryHash);
            } else if (name == "features") {
                unsigned_value(tag, &info.features);
            } else if (name == "uptime") {
                unsigned_value(tag, &info.uptime);
            } else if (name == "pending") {
                unsigned_value(tag, &info.pending);
            }
        }
    }
    return info;
}

std::string formatDaemonInfo(const DaemonInfo& info) {
    std::string features;
    for (const std::string& f : feature_names(info.features)) {
        features += (features.empty() ? "" : ", ") + f;
    }
    const uint32_t own = dictionaryHash(*ZEL::DictDef);
    std::string hash = !info.haveHash ? "unknown"
                       : info.dictionaryHash == own
                           ? hex32(own) + " (as tamoctl's)"
                           : hex32(info.dictionaryHash) + " (tamoctl has " + hex32(own) + ")";
    return "version     " + (info.version.empty() ? "unknown" : info.version) +
           "\n"
           "dictionary  " +
           hash +
           "\n"
           "served      " +
           object_list(info.served) +
           "\n"
           "writable    " +
           object_list(info.writable) +
           "\n"
           "features    " +
           (features.empty() ? "none" : features) +
           "\n"
           "uptime      " +
           std::to_string(info.uptime) +
           " s\n"
           "pending     " +
           (info.pending != 0 ? "transaction " + std::to_string(info.pending) : "none") + "\n";
}

std::string formatDaemonInfoJson(const DaemonInfo& info) {
    std::string features;
    for (const std::string& f : feature_names(info.features)) {
        features += (features.empty() ? "" : ",") + jsonString(f);
    }
    const bool same = info.haveHash && info.dictionaryHash == dictionaryHash(*ZEL::DictDef);
    return "{\"version\":" + jsonString(info.version) +
           ",\"dictionary\":" + std::to_string(info.dictionaryHash) +
           ",\"dictionary_matches\":" + (same ? "true" : "false") +
           ",\"served\":" + object_list_json(info.served) +
           ",\"writable\":" + object_list_json(info.writable) + ",\"features\":[" + features +
           "],\"uptime\":" + std::to_string(info.uptime) +
           ",\"pending\":" + std::to_string(info.pending) + "}";
}

MsgPtr MessageJoiner::offer(const sockaddr_in& from, const uint8_t* data, size_t len) {
    if (len < 4) {
        return nullptr;
    }
    const uint8_t seq = data[3] & kSeqMask;
    auto it = std::find_if(mPending.begin(), mPending.end(), [&](const Entry& e) {
        return e.addr == from.sin_addr.s_addr && e.port == from.sin_port && e.seq == seq;
    });
    if (it == mPending.end()) {
        if (mPending.size() >= kMaxPending) {
            mPending.erase(
                std::min_element(mPending.begin(), mPending.end(),
                                 [](const Entry& a, const Entry& b) { return a.used < b.used; }));
        }
        mPending.push_back(Entry{from.sin_addr.s_addr, from.sin_port, seq, 0,
                                 std::make_unique<QReplyAssembler>(seq)});
        it = mPending.end() - 1;
    }
    it->used = ++mClock;
    QReplyAssembler& a = *it->assembler;
    QReplyAssembler::Result r = a.offer(data, len);
    if (r.verdict == QReplyAssembler::QA_REFUSED || r.verdict == QReplyAssembler::QA_IDLE) {
        // A first segment after an unfinished or finished message starts the next one.
        a.arm(seq);
        r = a.offer(data, len);
    }
    MsgPtr done = r.completes ? a.take() : nullptr;
    if (done || a.segments() == 0) {
        mPending.erase(it);
    }
    return done;
}

void printMessage(const QMsg& msg, bool json, uint32_t transaction) {
    if (json && transaction != 0) {
        std::printf("%s\n", withTransactionJson(formatMessageJson(msg), transaction).c_str());
    } else if (json) {
        std::printf("%s\n", formatMessageJson(msg).c_str());
    } else {
        std::printf("%s", formatMessage(msg).c_str());
    }
    std::fflush(stdout);
}

void printDescription(const QMsg& reply, bool json, const char* prog) {
    DaemonInfo info = readDaemonInfo(reply);
    if (!info.found) {
        printMessage(reply, json);
        std::fprintf(stderr, "%s: the reply holds no object tamo\n", prog);
        return;
    }
    std::string text = json ? formatDaemonInfoJson(info) + "\n" : formatDaemonInfo(info);
    std::fputs(text.c_str(), stdout);
    const uint32_t own = dictionaryHash(*ZEL::DictDef);
    if (info.haveHash && info.dictionaryHash != own) {
        std::fprintf(stderr,
                     "%s: warning: the daemon's dictionary (hash 0x%08x) differs from "
                     "%s's (0x%08x); names and types may not match\n",
                     prog, static_cast<unsigned>(info.dictionaryHash), prog,
                     static_cast<unsigned>(own));
    }
}

} // namespace toolkit
