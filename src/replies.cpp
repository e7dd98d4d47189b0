#include "replies.h"

#include "configtable.h"
#include "qmsg.h"
#include "qstatus.h"

const cTableType* topValue(const cConfigTable& t, int key) {
    for (size_t i = 0; i < t.size(); ++i) {
        const cTableType& k = t.keyAt(i);
        if (k.getType() == cTableType::TTE_NUM && static_cast<int>(k) == key) {
            return &t.valueAt(i);
        }
    }
    return nullptr;
}

QMsg* statusReply(uint8_t replyId, uint8_t status, const cConfigTable& request,
                  const char* reason) {
    QMsg* reply = new QMsg(replyId);
    const cTableType* transaction = topValue(request, qstatus::kTransactionTag);
    if (transaction != nullptr && transaction->getType() == cTableType::TTE_NUM) {
        reply->addTag(QTagFactory::createQTag(
            qstatus::kTransactionTag, static_cast<uint32_t>(static_cast<int>(*transaction))));
    }
    reply->addTag(QTagFactory::createQTag(qstatus::kStatusTag, status));
    if (reason == nullptr) {
        reason = qstatus::daemonReason(status);
    }
    if (reason != nullptr) {
        reply->addTag(QTagFactory::createQTag(qstatus::kReasonTag, reason));
    }
    return reply;
}

void markDone(QMsg* reply, uint32_t transaction) {
    // Common tags have ids below every object and member id, so an id here is always theirs.
    bool hasStatus = false;
    bool hasTransaction = false;
    for (const QTag* t : reply->getTagList()) {
        hasStatus = hasStatus || t->getTagID() == qstatus::kStatusTag;
        hasTransaction = hasTransaction || t->getTagID() == qstatus::kTransactionTag;
    }
    if (!hasTransaction) {
        reply->addTag(QTagFactory::createQTag(qstatus::kTransactionTag, transaction));
    }
    if (!hasStatus) {
        reply->addTag(QTagFactory::createQTag(qstatus::kStatusTag, qstatus::kDone));
    }
}
