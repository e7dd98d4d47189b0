// Feeds any datagram through the receive path: parse, dictionary check and its reason, a walk of
// what came out, the request table and a reply made from it (which must pass the dictionary),
// then a re-cut at 1024 bytes whose segments must each fit, parse and join back into the same
// bytes (the encoding is canonical).
// Any breach aborts, so the fuzzer reports it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "configtable.h"
#include "qlog.h"
#include "qmsg.h"
#include "qwire.h"
#include "zeldict.h"

namespace {

void require(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// Reads every tag as the daemon's codec does, so the typed accessors run on fuzzed data.
void read_tags(const std::vector<QTag*>& tags) {
    for (const QTag* tag : tags) {
        switch (tag->getTagType()) {
        case QT_STRING: {
            std::vector<char> buf(tag->getDataLength() + 1u);
            uint16_t n = static_cast<const QTagString*>(tag)->getValue(
                buf.data(), static_cast<uint16_t>(buf.size()));
            require(n == tag->getDataLength() && buf[n] == '\0');
            break;
        }
        case QT_UINT32:
        case QT_FLOAT:
            static_cast<void>(static_cast<const QTagUInt32*>(tag)->getValue());
            static_cast<void>(static_cast<const QTagUInt32*>(tag)->getFloatValue());
            break;
        case QT_UINT16:
            static_cast<void>(static_cast<const QTagUInt16*>(tag)->getValue());
            break;
        case QT_UINT8:
            static_cast<void>(static_cast<const QTagUInt8*>(tag)->getValue());
            break;
        default:
            break;
        }
    }
}

void check_dictionary(QMsg* msg) {
    QDictRefusal why;
    std::unique_ptr<QuorrelMessage> q(QuorrelMessage::parseQMsg(ZEL::DictDef, msg, &why));
    char reason[160];
    require(!q == (describeRefusal(why, reason, sizeof reason)[0] != '\0'));
    if (!q) {
        return;
    }
    require(msg->isComplete());
    std::unique_ptr<std::vector<QTag*>> top(q->getTags());
    std::unique_ptr<std::vector<QuorrelObject*>> objects(q->getObjects());
    read_tags(*top);
    size_t count = top->size() + objects->size();
    for (const QuorrelObject* obj : *objects) {
        require(findObjectById(ZEL::DictDef, obj->getID()) != nullptr);
        std::unique_ptr<std::vector<QTag*>> members(obj->getTags());
        read_tags(*members);
        count += members->size();
    }
    require(count == msg->getTagList().size());

    // The request table answered as it is: every value has its tag's type, so the reply passes
    // the dictionary as the request did.
    cConfigTable table(q.get());
    std::unique_ptr<QMsg> reply(table.toQMsg(1));
    require(reply != nullptr);
    require(std::unique_ptr<QuorrelMessage>(QuorrelMessage::parseQMsg(ZEL::DictDef, reply.get())) !=
            nullptr);
    require(reply->segmentMessage(qwire::kSegmentBytes) >= 1);
    reply->resetSegment();
    uint8_t buf[qwire::kSegmentBytes];
    while (QMsg* seg = reply->getNextSegment()) {
        require(seg->getMsg(buf, sizeof buf) > 0);
    }
}

void check_resegment(QMsg* msg, const uint8_t* data, size_t size) {
    int count = msg->segmentMessage(qwire::kSegmentBytes);
    if (count == 0) { // only a segment index so high that the pieces would run past 65535
        require(msg->getSegmentIndex() > 0);
        return;
    }
    std::unique_ptr<QMsg> joined;
    uint8_t buf[qwire::kSegmentBytes];
    msg->resetSegment();
    int seen = 0;
    while (QMsg* seg = msg->getNextSegment()) {
        std::unique_ptr<QMsg> back(QMsg::parseMsg(buf, seg->getMsg(buf, sizeof buf)));
        require(back != nullptr);
        if (!joined) {
            joined = std::move(back);
        } else {
            require(joined->addSegment(back.get()));
        }
        ++seen;
    }
    static uint8_t whole[qwire::kMaxSegmentBytes];
    require(seen == count && joined->getMsg(whole, sizeof whole) == size &&
            std::memcmp(whole, data, size) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = [] {
        log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);
        return true;
    }();
    if (size > qwire::kMaxSegmentBytes) {
        return 0;
    }
    QWireFault why;
    std::unique_ptr<QMsg> msg(QMsg::parseMsg(data, static_cast<uint16_t>(size), &why));
    if (!msg) {
        // Every refusal names a rule, and its description stays within the buffer.
        char line[64];
        if (why.rule == QWireFault::kAccepted ||
            describeWireFault(why, line, sizeof line)[0] == 0) {
            __builtin_trap();
        }
        return 0;
    }
    check_dictionary(msg.get());
    check_resegment(msg.get(), data, size);
    return 0;
}
