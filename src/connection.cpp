#include "connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "confdef.h"
#include "configscript.h"
#include "configtable.h"
#include "qmsg.h"
#include "qwire.h"
#include "scriptwatch.h"
#include "watchdog.h"
#include "zeldict.h"

namespace {

const char* const kCategory = "cConnection";
using qwire::kSegmentBytes;
constexpr time_t kReplyWaitSeconds = 3;
constexpr time_t kKeepAliveSeconds = 10;
// How often an idle receive loop wakes without a watchdog: only so that SIGUSR1 can end it.
constexpr uint64_t kIdleWakeSeconds = 10;
using qwire::kKeepAliveId;
using qwire::kSeqMask;

const char* const kAuditCategory = "audit";
constexpr size_t kAuditObjects = 32; // objects named in one audit line; the rest are counted

// Request kinds a script serves, by message id.
enum : uint8_t { kSet = 0, kGet = 1, kDelete = 4, kReplace = 5 };

// What a request a script serves runs: its message id, its name in the audit (null: reads are not
// audited), the script's entry operation and the id of the reply.
struct sRoute {
    uint8_t msgId;
    const char* kind;
    bool (cConfigScript::*run)(cConfigTable* cfg, cConfigTable* ret);
    uint8_t replyId;
};

constexpr sRoute kRoutes[] = {
    {kSet, "set", &cConfigScript::setCfg, 0},
    {kGet, nullptr, &cConfigScript::getCfg, 1},
    {kDelete, "delete", &cConfigScript::delCfg, 0},
    {kReplace, "replace", &cConfigScript::repCfg, 0},
};

const sRoute* find_route(uint8_t id) {
    for (const sRoute& r : kRoutes) {
        if (r.msgId == id) {
            return &r;
        }
    }
    return nullptr;
}

const char* kind_name(uint8_t id) {
    const sRoute* r = find_route(id);
    return r != nullptr ? r->kind : nullptr;
}

const char* outcome_name(cLuaVM::eOutcome outcome) {
    switch (outcome) {
    case cLuaVM::OUTCOME_DONE:
        return "done";
    case cLuaVM::OUTCOME_OVER_BUDGET:
        return "over budget";
    case cLuaVM::OUTCOME_ERROR:
        break;
    }
    return "script error";
}

// Serialises m in segments of at most kSegmentBytes, each into the buffer buffer() gives, and
// hands each one's length to send. Both the replies and the forwards go out this way. A segment
// that serialises to nothing is skipped with an error line: an empty datagram would only confuse
// the receiver.
template <typename Buffer, typename Send>
void send_segments(cQlog& log, const char* path, QMsg* m, Buffer buffer, Send send) {
    m->segmentMessage(kSegmentBytes);
    m->resetSegment();
    for (QMsg* seg = m->getNextSegment(); seg != nullptr; seg = m->getNextSegment()) {
        uint16_t n = seg->getMsg(buffer(), kSegmentBytes);
        if (n == 0) {
            log.error("%s segment does not serialise; not sent", path);
            continue;
        }
        send(n);
    }
}

// One limit per kind of line that a peer can cause.
cQlogLimit g_rx_len_limit;
cQlogLimit g_denied_limit;
cQlogLimit g_dictionary_limit;
cQlogLimit g_unhandled_limit;
cQlogLimit g_oversized_limit;
cQlogLimit g_north_tx_limit;
cQlogLimit g_north_read_limit;

} // namespace

cConnection* cConnection::mInstance = nullptr;
volatile sig_atomic_t cConnection::mReportCounters = 0;

bool cConnection::start() {
    if (mInstance == nullptr) {
        mInstance = new cConnection;
    }
    if (!mInstance->setup()) {
        return false;
    }
    return mInstance->run();
}

cConnection::cConnection()
    // The datagram buffers are left as they are: pages no datagram reaches stay untouched.
    : cQlog(kCategory), mRxHdr(), mRxIov(), mRxBufferSize(0), mCurrClient(), mCurrLocal(),
      mCurrLocalKnown(false), mTxHdr(), mTxIov(), mTxCount(0), mAudit(kAuditCategory), mMsgSeq(0),
      mRxSeq(0), mRxReady(false), mRxRefused(false), mRxMsg(nullptr), mResponse(new cConfigTable()),
      mCounters() {
    mBrokerPort = static_cast<uint16_t>(cConfig::getInt(eSetting::BrokerPort));
    mBrokerSocket = -1;
    mNorthHost = cConfig::getString(eSetting::NorthHost);
    mNorthPort = static_cast<uint16_t>(cConfig::getInt(eSetting::NorthPort));
    mNorthSocket = -1;
    pthread_mutex_init(&mTxMutex, nullptr);
    pthread_mutex_init(&mRxMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&mRxCond, &attr);
    pthread_condattr_destroy(&attr);
    debug("North Port: %d; Broker Port: %d", mNorthPort, mBrokerPort);
}

cConnection::~cConnection() {
    if (mBrokerSocket >= 0) {
        close(mBrokerSocket);
    }
    if (mNorthSocket >= 0) {
        close(mNorthSocket);
    }
    delete mRxMsg;
    delete mResponse;
    pthread_cond_destroy(&mRxCond);
    pthread_mutex_destroy(&mRxMutex);
    pthread_mutex_destroy(&mTxMutex);
}

bool cConnection::setup() {
    mBrokerSocket = socket(AF_INET, SOCK_DGRAM, 0);
    const char* address = cConfig::getString(eSetting::BrokerAddress);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(mBrokerPort);
    if (inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
        error("%s = '%s' is not an IPv4 address", cConfig::row(eSetting::BrokerAddress).key,
              address);
        debug("Could not bind to port %d", mBrokerPort);
        return false;
    }
    if (bind(mBrokerSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error("Cannot bind %s:%d: %s", address, mBrokerPort, std::strerror(errno));
        debug("Could not bind to port %d", mBrokerPort);
        return false;
    }
    // With the local address of each datagram at hand, a reply leaves from the address its
    // request came to, also on a host with several.
    int on = 1;
    if (setsockopt(mBrokerSocket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        warn("IP_PKTINFO: %s; replies leave from the address routing picks", std::strerror(errno));
    }
    const char* allow = cConfig::getString(eSetting::BrokerAllow);
    mPeerFilter.configure(allow);
    mNorthSocket = socket(AF_INET, SOCK_DGRAM, 0);
    debug("Created North Socket on port %d", mNorthPort);
    info("Listening on UDP %s:%d for %s; requests no script serves go to port %d of %s", address,
         mBrokerPort, allow, mNorthPort, mNorthHost);
    return true;
}

void cConnection::on_sigusr1(int) {
    mReportCounters = 1;
}

bool cConnection::run() {
    // SA_RESTART: a script's blocking read is not cut short by the signal. The broker socket
    // always has a receive time-out (below), and a receive with a time-out is never restarted,
    // so the signal still ends a blocked receive with EINTR and the counters are written at once.
    struct sigaction sa {};
    sa.sa_handler = on_sigusr1;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    // The poller inherits a mask that blocks SIGUSR1: the signal always lands on this thread.
    sigset_t usr1;
    sigset_t previous;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &previous);
    pthread_t poller;
    pthread_create(&poller, nullptr, north_poller, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    // Under a service manager's watchdog an idle receive wakes up in time to ping it; without
    // one it wakes every kIdleWakeSeconds, so that SIGUSR1 interrupts it (see above).
    cWatchdog watchdog;
    uint64_t wake_us = watchdog.pollInterval() > 0 ? watchdog.pollInterval()
                                                   : uint64_t{kIdleWakeSeconds} * 1000000;
    timeval tv{static_cast<time_t>(wake_us / 1000000), static_cast<suseconds_t>(wake_us % 1000000)};
    setsockopt(mBrokerSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    watchdog.ready();

    cScriptWatch& watch = cScriptWatch::instance();

    for (;;) {
        watchdog.kick();
        // Checked before each receive: a signal that interrupted the last one, or came while a
        // datagram was handled, is answered before the loop blocks again.
        if (mReportCounters != 0) {
            mReportCounters = 0;
            report_counters();
        }
        debug("Waiting for data");
        int count = receive_batch();
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue; // a signal, or the watchdog's receive time-out
        }
        if (count <= 0) {
            limited(g_rx_len_limit, INFO, "Rx len = %d;", count);
            continue;
        }
        // Script changes made before these datagrams arrived are read now, once for the batch.
        watch.beginBatch();
        for (int i = 0; i < count; ++i) {
            // Per request, not per batch: each may hold the loop for two script budgets or a
            // north wait.
            watchdog.kick();
            take_datagram(i);
        }
        flush_replies();
        watch.endBatch();
    }
    return true;
}

int cConnection::receive_batch() {
    if (mRxBufferSize != kSegmentBytes) {
        mRxBufferSize = kSegmentBytes;
        for (int i = 0; i < kBatch; ++i) {
            mRxIov[i].iov_base = mRx[i].data;
            mRxIov[i].iov_len = static_cast<size_t>(mRxBufferSize);
            msghdr& h = mRxHdr[i].msg_hdr;
            h.msg_name = &mRx[i].peer;
            h.msg_iov = &mRxIov[i];
            h.msg_iovlen = 1;
            h.msg_control = mRx[i].control.bytes;
        }
    }
    // The kernel shortens these to what it filled in.
    for (int i = 0; i < kBatch; ++i) {
        mRxHdr[i].msg_hdr.msg_namelen = sizeof mRx[i].peer;
        mRxHdr[i].msg_hdr.msg_controllen = sizeof mRx[i].control.bytes;
    }
    // Blocks for the first datagram only, then takes what else is waiting: a lone request is
    // one system call, as with recvfrom.
    return recvmmsg(mBrokerSocket, mRxHdr, kBatch, MSG_WAITFORONE, nullptr);
}

void cConnection::take_datagram(int i) {
    const sDatagram& rx = mRx[i];
    msghdr& h = mRxHdr[i].msg_hdr;
    mCurrClient = rx.peer;
    int len = static_cast<int>(mRxHdr[i].msg_len);
    ++mCounters.received;
    // The first gate: nothing from a source the allow-list does not name is parsed, answered or
    // forwarded.
    if (!mPeerFilter.allows(mCurrClient.sin_addr.s_addr)) {
        ++mCounters.denied;
        char host[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &mCurrClient.sin_addr, host, sizeof host);
        limited(g_denied_limit, INFO, "Datagram from %s:%d denied", host,
                ntohs(mCurrClient.sin_port));
        return;
    }
    if (len <= 0) {
        ++mCounters.malformed;
        limited(g_rx_len_limit, INFO, "Rx len = %d;", len);
        return;
    }
    mCurrLocalKnown = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            // The local address the kernel would answer from: the destination itself for a
            // unicast request, the receiving interface's address for a broadcast.
            mCurrLocal = info.ipi_spec_dst;
            mCurrLocalKnown = true;
        }
    }
    if (enabled(DEBUG)) {
        char host[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &mCurrClient.sin_addr, host, sizeof host);
        debug("Receive %d bytes from %s:%d", len, host, ntohs(mCurrClient.sin_port));
    }
    try {
        handle_msg(mRx[i].data, len);
    } catch (...) {
        // Only allocation can throw here; the request is lost, the daemon goes on.
        error("Out of memory while handling a request; dropped");
    }
}

void cConnection::send_reply(QMsg* reply) {
    ++mCounters.replies;
    // A whole reply that fits one datagram is its own only segment, byte for byte.
    uint16_t n = reply->getMsg(tx_buffer(), kSegmentBytes);
    if (n != 0) {
        queue_datagram(n);
        return;
    }
    send_segments(
        *this, "Reply", reply, [this] { return tx_buffer(); },
        [this](uint16_t len) { queue_datagram(len); });
}

unsigned char* cConnection::tx_buffer() {
    if (mTxCount == kBatch) {
        flush_replies();
    }
    return mTx[mTxCount].data;
}

void cConnection::queue_datagram(uint16_t n) {
    sDatagram& tx = mTx[mTxCount];
    tx.peer = mCurrClient;
    mTxIov[mTxCount].iov_base = tx.data;
    mTxIov[mTxCount].iov_len = n;
    msghdr& h = mTxHdr[mTxCount].msg_hdr;
    h.msg_name = &tx.peer;
    h.msg_namelen = sizeof tx.peer;
    h.msg_iov = &mTxIov[mTxCount];
    h.msg_iovlen = 1;
    h.msg_control = nullptr;
    h.msg_controllen = 0;
    h.msg_flags = 0;
    // The reply leaves from the address its request came to.
    if (mCurrLocalKnown) {
        std::memset(tx.control.bytes, 0, sizeof tx.control.bytes);
        h.msg_control = tx.control.bytes;
        h.msg_controllen = sizeof tx.control.bytes;
        cmsghdr* c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst = mCurrLocal;
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    ++mTxCount;
}

void cConnection::flush_replies() {
    int done = 0;
    while (done < mTxCount) {
        int sent =
            sendmmsg(mBrokerSocket, &mTxHdr[done], static_cast<unsigned>(mTxCount - done), 0);
        if (sent > 0) {
            for (int i = done; i < done + sent; ++i) {
                mCounters.replyBytes += mTxHdr[i].msg_len;
            }
            done += sent;
        } else if (sent == 0 || errno != EINTR) {
            // Not retried, as a failed sendto was not: the datagrams after it still go.
            ++done;
        }
    }
    mTxCount = 0;
}

void cConnection::report_counters() {
    info("Counters: received=%" PRIu64 " denied=%" PRIu64 " malformed=%" PRIu64 " refused=%" PRIu64
         " served=%" PRIu64 " script_errors=%" PRIu64 " forwards=%" PRIu64
         " forwards_answered=%" PRIu64 " forwards_timed_out=%" PRIu64 " forwards_refused=%" PRIu64
         " replies=%" PRIu64 " reply_bytes=%" PRIu64 " lines_suppressed=%" PRIu64,
         mCounters.received, mCounters.denied, mCounters.malformed, mCounters.refused,
         mCounters.served, mCounters.scriptErrors, mCounters.forwards, mCounters.answered,
         mCounters.timedOut, mCounters.northRefused, mCounters.replies, mCounters.replyBytes,
         cQlog::suppressedLines());
}

void cConnection::audit(const QuorrelMessage* qmsg, uint8_t msg_id, uint8_t seq, const char* by,
                        const char* outcome, const timespec& started) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t us = (static_cast<int64_t>(now.tv_sec) - started.tv_sec) * 1000000 +
                 (now.tv_nsec - started.tv_nsec) / 1000;
    std::string objects;
    std::vector<QuorrelObject*>* objs = qmsg->getObjects();
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
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &mCurrClient.sin_addr, host, sizeof host);
    mAudit.info("peer=%s:%d seq=%d kind=%s objects=%s by=\"%s\" outcome=\"%s\" us=%" PRId64, host,
                ntohs(mCurrClient.sin_port), seq, kind_name(msg_id),
                objects.empty() ? "-" : objects.c_str(), by, outcome, us);
}

void cConnection::handle_msg(uint8_t* buf, int len) {
    QMsg* msg = QMsg::parseMsg(buf, static_cast<uint16_t>(len));
    if (msg == nullptr) {
        ++mCounters.malformed;
        return;
    }
    uint8_t seq = msg->getMsgSeq();
    debug("Received message from VQ");
    QMsg* reply = route_msg(msg);
    if (reply != nullptr) {
        debug("Send Reply to VQ");
        reply->setMsgSeq(seq);
        send_reply(reply);
        delete reply;
    }
    delete msg;
}

QMsg* cConnection::route_msg(QMsg* msg) {
    // A write leaves an audit line with how long it took; the clock is read only when the line
    // will be written.
    uint8_t msg_id = msg->getMsgID();
    uint8_t seq = msg->getMsgSeq();
    bool audited = kind_name(msg_id) != nullptr && mAudit.enabled(INFO);
    timespec started{};
    if (audited) {
        clock_gettime(CLOCK_MONOTONIC, &started);
    }
    QDictRefusal why;
    QuorrelMessage* qmsg = QuorrelMessage::parseQMsg(ZEL::DictDef, msg, &why);
    if (qmsg == nullptr) {
        ++mCounters.refused;
        limited(g_dictionary_limit, INFO, "Quorrel message could not be built");
        char reason[160];
        debug("Request seq %d refused: %s", seq, describeRefusal(why, reason, sizeof reason));
        return nullptr;
    }
    debug("Got good Quorrel message");
    // On the stack: one allocation less per request, and none left behind by an exception.
    cConfigTable request_table(qmsg);
    cConfigTable* request = &request_table;
    cConfigTable* response = mResponse;
    // Empty already, unless the last request was cut short by an exception.
    response->clear();
    QMsg* reply = nullptr;
    cConfigScript* script = cConfigScript::getScript(request);
    const sRoute* route = find_route(msg_id);
    if (script != nullptr && route == nullptr) {
        limited(g_unhandled_limit, INFO, "We only handle get and set");
    } else if (script != nullptr) {
        (script->*route->run)(request, response);
        ++mCounters.served;
        if (script->lastOutcome() != cLuaVM::OUTCOME_DONE) {
            ++mCounters.scriptErrors;
        }
        cConfigTable::sReplySize size;
        reply = response->toQMsg(route->replyId, &size);
        if (reply == nullptr) {
            // A part of the answer would read as all of it: the requester gets none.
            limited(g_oversized_limit, ERROR,
                    "Reply of %s to request seq %d not sent: %u tags, %llu bytes of data "
                    "break the message limits (%u tags, %u bytes, 65535 bytes per tag)",
                    script->getName(), seq, static_cast<unsigned>(size.tags),
                    static_cast<unsigned long long>(size.bytes),
                    static_cast<unsigned>(QMsg::kMaxTags),
                    static_cast<unsigned>(QMsg::kMaxDataBytes));
        }
        if (audited) {
            audit(qmsg, msg_id, seq, script->getName(), outcome_name(script->lastOutcome()),
                  started);
        }
    } else {
        reply = forward_msg(msg);
        if (audited) {
            audit(qmsg, msg_id, seq, "forwarded",
                  reply != nullptr ? "done" : "no reply from upstream", started);
        }
    }
    delete qmsg;
    response->clear();
    return reply;
}

QMsg* cConnection::forward_msg(QMsg* msg) {
    // Replies to earlier requests of the batch do not wait for the north link.
    flush_replies();
    uint8_t requester_seq = msg->getMsgSeq();
    uint8_t seq = produce_sequence();

    ++mCounters.forwards;
    pthread_mutex_lock(&mRxMutex);
    mRxSeq = seq;
    msg->setMsgSeq(seq);
    mRxReady = true;
    // A refusal the poller filed before the slot was armed belonged to an earlier datagram.
    mRxRefused = false;
    if (tx_msg(msg) == ECONNREFUSED) {
        mRxRefused = true;
    }

    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kReplyWaitSeconds;
    // A refusal ends the wait at once: nothing listens upstream, so no reply can come.
    while (mRxReady && !mRxRefused) {
        if (pthread_cond_timedwait(&mRxCond, &mRxMutex, &deadline) != 0) {
            break;
        }
    }

    QMsg* reply = nullptr;
    if (!mRxReady) {
        debug("North Reply received...");
        reply = mRxMsg;
        mRxMsg = nullptr;
        if (reply != nullptr && !reply->isComplete()) {
            // Segments were lost or came out of order: relaying the rest would hand the
            // requester a reply with tags missing, so it gets none, as for any failure.
            debug("North reply incomplete; dropped");
            delete reply;
            reply = nullptr;
        }
        if (reply != nullptr) {
            reply->setMsgSeq(requester_seq);
            ++mCounters.answered;
        }
    } else {
        if (mRxRefused) {
            debug("North message timed out... (%s)", std::strerror(ECONNREFUSED));
            ++mCounters.northRefused;
        } else {
            debug("North message timed out...");
            ++mCounters.timedOut;
        }
        mRxReady = false;
        mRxRefused = false;
        delete mRxMsg;
        mRxMsg = nullptr;
    }
    pthread_mutex_unlock(&mRxMutex);
    return reply;
}

int cConnection::tx_msg(QMsg* msg) {
    int failed = 0;
    debug("Forwarding northbound message seq %d", msg->getMsgSeq());
    pthread_mutex_lock(&mTxMutex);
    unsigned char out[kSegmentBytes];
    send_segments(
        *this, "North", msg, [&out] { return out; },
        [&](uint16_t n) {
            ssize_t sent = send(mNorthSocket, out, n, 0);
            if (sent < 0 && errno == ECONNREFUSED) {
                // The refusal of an earlier datagram, reported by this call, which sent nothing: a
                // refusal of this one can only come later, to the poller.
                sent = send(mNorthSocket, out, n, 0);
            }
            if (sent < 0) {
                int e = errno;
                if (failed == 0) {
                    failed = e;
                }
                limited(g_north_tx_limit, ERROR, "North Tx Error %d: %s", static_cast<int>(sent),
                        std::strerror(e));
            } else {
                debug("North sent %d bytes", static_cast<int>(sent));
            }
        });
    pthread_mutex_unlock(&mTxMutex);
    return failed;
}

uint8_t cConnection::produce_sequence() {
    pthread_mutex_lock(&mTxMutex);
    uint8_t seq = mMsgSeq;
    mMsgSeq = static_cast<uint8_t>(mMsgSeq + 1);
    pthread_mutex_unlock(&mTxMutex);
    return static_cast<uint8_t>(seq & kSeqMask);
}

void cConnection::process_north_rx(uint8_t* buf, int len) {
    // Filing happens under mRxMutex so that the requester never sees a half-filed reply, a
    // reply completed just before it waits is taken at once, and nothing filed during its
    // time-out stays behind for the next request.
    pthread_mutex_lock(&mRxMutex);
    if (!mRxReady) {
        debug("Got data from zeld but we're not expecting it");
        pthread_mutex_unlock(&mRxMutex);
        return;
    }
    QMsg* msg = QMsg::parseMsg(buf, static_cast<uint16_t>(len));
    if (msg == nullptr) {
        pthread_mutex_unlock(&mRxMutex);
        return;
    }
    if (msg->getMsgSeq() != mRxSeq) {
        debug("Message not for us: Seq %d is not %d", msg->getMsgSeq(), mRxSeq);
        delete msg;
        pthread_mutex_unlock(&mRxMutex);
        return;
    }
    bool last = msg->isLastSegment();
    if (mRxMsg == nullptr) {
        mRxMsg = msg;
    } else {
        if (!mRxMsg->addSegment(msg)) {
            debug("Segment does not follow the reply so far; dropped");
        }
        delete msg;
    }
    if (last) {
        mRxReady = false;
        pthread_cond_signal(&mRxCond);
    }
    pthread_mutex_unlock(&mRxMutex);
}

void cConnection::north_refused() {
    // Only the poller's lock is taken here, never mTxMutex with it.
    pthread_mutex_lock(&mRxMutex);
    if (mRxReady) {
        mRxRefused = true;
        pthread_cond_signal(&mRxCond);
    }
    pthread_mutex_unlock(&mRxMutex);
}

void* cConnection::north_poller(void* arg) {
    auto* self = static_cast<cConnection*>(arg);

    const char* host = self->mNorthHost;
    hostent* he = gethostbyname2(host, AF_INET);
    if (he == nullptr || he->h_addr_list[0] == nullptr) {
        self->error("Could lookup address for %s", host);
        return nullptr;
    }
    sockaddr_in addr{};
    size_t addr_len = static_cast<size_t>(he->h_length);
    if (addr_len > sizeof addr.sin_addr) {
        addr_len = sizeof addr.sin_addr;
    }
    std::memcpy(&addr.sin_addr, he->h_addr_list[0], addr_len);
    addr.sin_family = static_cast<sa_family_t>(he->h_addrtype);
    addr.sin_port = htons(self->mNorthPort);
    if (connect(self->mNorthSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        self->fatal("Could not connect to %s:%d", host, self->mNorthPort);
        return nullptr;
    }
    self->debug("North link connected to %s:%d", host, self->mNorthPort);

    uint8_t buf[kSegmentBytes];
    for (;;) {
        timeval timeout{kKeepAliveSeconds, 0};
        fd_set readfds;
        FD_ZERO(&readfds);
        FD_SET(self->mNorthSocket, &readfds);
        int ready = select(self->mNorthSocket + 1, &readfds, nullptr, nullptr, &timeout);
        if (ready <= 0) {
            QMsg keepalive(kKeepAliveId);
            keepalive.setMsgSeq(self->produce_sequence());
            // The refusal the keep-alive's send reports may be that of a forward's datagram.
            if (self->tx_msg(&keepalive) == ECONNREFUSED) {
                self->north_refused();
            }
            continue;
        }
        ssize_t n = read(self->mNorthSocket, buf, sizeof buf);
        if (n >= 1) {
            self->debug("Received %d bytes from zeld", static_cast<int>(n));
            self->process_north_rx(buf, static_cast<int>(n));
        } else {
            int e = errno;
            self->limited(g_north_read_limit, WARN, "Socket Read Error %d: %s", static_cast<int>(n),
                          n < 0 ? std::strerror(e) : "empty datagram");
            if (n < 0 && e == ECONNREFUSED) {
                self->north_refused();
            }
        }
    }
    return nullptr;
}
