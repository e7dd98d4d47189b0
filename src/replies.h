// Small pieces of the replies the daemon makes itself: the request's common tags, and a reply
// that says only how a request went. Main thread.
#pragma once

#include <cstdint>

class QMsg;
class cConfigTable;
class cTableType;

// The value of t's first top-level entry under the integer key, or null.
const cTableType* topValue(const cConfigTable& t, int key);

// A reply that says only how the request went: the request's transaction when it had one, the
// status, and reason (the daemon's short reason for its own codes when null). One small
// datagram, whatever the request. The caller owns it.
QMsg* statusReply(uint8_t replyId, uint8_t status, const cConfigTable& request,
                  const char* reason = nullptr);

// Adds the common tags status 0 and transaction to reply where it lacks them.
void markDone(QMsg* reply, uint32_t transaction);
