#include "sim.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <utility>

#include "render.h"
#include "zeldict.h"

namespace toolkit {

namespace {

// Wire overhead of a segment header and of a tag header; a padding tag of
// kSegmentBytes - kHeader - kTagHeader bytes of text fills one segment exactly.
constexpr size_t kHeader = 8;
constexpr size_t kTagHeader = 4;
constexpr size_t kPadText = static_cast<size_t>(kSegmentBytes) - kHeader - kTagHeader;

uint8_t common_id(const char* name, uint8_t fallback) {
    const QuorrelTagDef* def = findCommonTag(ZEL::DictDef, name);
    return def != nullptr ? def->id : fallback;
}

QTag* copy_tag(const QTag& tag) {
    return QTagFactory::createRawQTag(tag.getTagID(), tag.getTagType(), tag.getRawData(),
                                      tag.getDataLength());
}

QTag* canned_value(const QuorrelObjectDef& obj, const QuorrelTagDef& member) {
    uint8_t id = member.id;
    switch (member.type) {
    case QT_STRING: {
        std::string text = std::string("sim ") + obj.name + "." + member.name;
        return QTagFactory::createQTag(id, text.c_str());
    }
    case QT_UINT8:
        return QTagFactory::createQTag(id, id);
    case QT_UINT16:
        return QTagFactory::createQTag(id, static_cast<uint16_t>(id));
    case QT_UINT32:
        return QTagFactory::createQTag(id, static_cast<uint32_t>(id));
    case QT_FLOAT:
        return QTagFactory::createQTag(id, static_cast<float>(id) + 0.5f, false);
    case QT_BYTES: {
        const uint8_t mac[6] = {0x02, 0, 0, 0, 0, id};
        return QTagFactory::createQTag(id, mac, static_cast<uint16_t>(sizeof mac));
    }
    default:
        return QTagFactory::createQTag(id);
    }
}

bool answer_get(const QMsg& request, QMsg* reply) {
    for (const TagGroup& g : groupTags(request)) {
        if (g.opener == nullptr) {
            continue;
        }
        if (!reply->addTag(QTagFactory::createQTag(g.opener->getTagID()))) {
            return false;
        }
        if (g.tags.empty() && g.objectDef != nullptr) {
            for (uint16_t i = 0; i < g.objectDef->tagCount; ++i) {
                if (!reply->addTag(canned_value(*g.objectDef, g.objectDef->tags[i]))) {
                    return false;
                }
            }
            continue;
        }
        for (const TagView& v : g.tags) {
            QTag* tag = v.def != nullptr && g.objectDef != nullptr
                            ? canned_value(*g.objectDef, *v.def)
                            : copy_tag(*v.tag);
            if (!reply->addTag(tag)) {
                return false;
            }
        }
    }
    return true;
}

bool pad_reply(QMsg* reply, int segments) {
    std::string pad;
    static const char kPattern[] = "zeld-sim padding ";
    while (pad.size() < kPadText) {
        pad += kPattern;
    }
    pad.resize(kPadText);
    uint8_t reason = common_id("reason", 4);
    int count = reply->segmentMessage(kSegmentBytes);
    while (count > 0 && count < segments) {
        if (!reply->addTag(QTagFactory::createQTag(reason, pad.c_str()))) {
            return false;
        }
        count = reply->segmentMessage(kSegmentBytes);
    }
    return count > 0;
}

// Bytes that are not a message, different for each sequence number.
Bytes junk(uint8_t seq) {
    Bytes out(37);
    uint32_t state = 0x9E3779B9u ^ seq;
    do {
        for (uint8_t& b : out) {
            state = state * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(state >> 24);
        }
    } while (MsgPtr(QMsg::parseMsg(out.data(), static_cast<uint16_t>(out.size()))));
    return out;
}

void add_noise(QMsg& reply, std::vector<Bytes>* datagrams) {
    const uint8_t seq = reply.getMsgSeq();
    std::vector<Bytes> out;
    for (int back = 5; back >= 1; --back) {
        reply.setMsgSeq(static_cast<uint8_t>((seq - back) & kSeqMask));
        std::vector<Bytes> stale = serialiseSegments(reply);
        out.insert(out.end(), stale.begin(), stale.end());
    }
    reply.setMsgSeq(seq);
    out.push_back(junk(seq));
    out.insert(out.end(), datagrams->begin(), datagrams->end());
    out.insert(out.end(), datagrams->begin(), datagrams->end());
    *datagrams = std::move(out);
}

} // namespace

bool isKeepalive(const QMsg& msg) {
    return msg.getMsgID() == kKeepAliveId && msg.getTagList().empty();
}

MsgPtr simReply(const QMsg& request, const SimOptions& options) {
    if ((isKeepalive(request) && !options.answerKeepalives) || !request.isComplete()) {
        return nullptr;
    }
    try {
        uint8_t id =
            options.replyId >= 0 ? static_cast<uint8_t>(options.replyId) : request.getMsgID();
        MsgPtr reply(new QMsg(id));
        int seq = (request.getMsgSeq() + options.seqOffset) % 128;
        reply->setMsgSeq(static_cast<uint8_t>(seq < 0 ? seq + 128 : seq));
        bool ok = reply->addTag(QTagFactory::createQTag(common_id("client", 1), "zeld-sim")) &&
                  reply->addTag(QTagFactory::createQTag(common_id("status", 3), uint8_t{0}));
        uint8_t transaction = common_id("transaction", 2);
        for (const TagGroup& g : groupTags(request)) {
            const QTag* tag = g.opener == nullptr ? g.tags.front().tag : nullptr;
            if (ok && tag != nullptr && tag->getTagID() == transaction) {
                ok = reply->addTag(copy_tag(*tag));
            }
        }
        if (ok && request.getMsgID() == kGetId) {
            ok = answer_get(request, reply.get());
        }
        if (ok && options.segments > 1) {
            ok = pad_reply(reply.get(), std::min(options.segments, kSimMaxSegments));
        }
        return ok ? std::move(reply) : nullptr;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::vector<Bytes> simDatagrams(QMsg& reply, const SimOptions& options) {
    std::vector<Bytes> datagrams = serialiseSegments(reply);
    if (options.reverse && datagrams.size() >= 2) {
        std::rotate(datagrams.begin(), datagrams.end() - 1, datagrams.end());
    }
    if (options.noise && !datagrams.empty()) {
        add_noise(reply, &datagrams);
    }
    return datagrams;
}

std::string simCountLine(const uint8_t* data, size_t len) {
    MsgPtr msg(len <= 0xFFFF ? QMsg::parseMsg(data, static_cast<uint16_t>(len)) : nullptr);
    if (!msg) {
        return "bad " + std::to_string(len);
    }
    return std::to_string(msg->getMsgID()) + " " + std::to_string(msg->getMsgSeq()) + " " +
           std::to_string(msg->getTagList().size());
}

LatencySummary summariseLatency(std::vector<double> samplesUs) {
    LatencySummary s;
    s.count = samplesUs.size();
    if (samplesUs.empty()) {
        return s;
    }
    std::sort(samplesUs.begin(), samplesUs.end());
    size_t n = samplesUs.size();
    // Nearest rank: the smallest sample with at least p percent of the samples at or below it.
    auto rank = [n](size_t percent) { return (n * percent + 99) / 100 - 1; };
    s.minUs = samplesUs.front();
    s.medianUs = samplesUs[rank(50)];
    s.p99Us = samplesUs[rank(99)];
    s.maxUs = samplesUs.back();
    return s;
}

std::string formatLatency(const LatencySummary& s) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "min %.0f median %.0f p99 %.0f max %.0f (µs, %zu samples)",
                  s.minUs, s.medianUs, s.p99Us, s.maxUs, s.count);
    return buf;
}

} // namespace toolkit
