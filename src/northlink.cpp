#include "northlink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qmsg.h"
#include "qwire.h"
#include "segments.h"

namespace {

const char* const kCategory = "cConnection";
constexpr time_t kReplyWaitSeconds = 3;
constexpr time_t kKeepAliveSeconds = 10;
using qwire::kKeepAliveId;
using qwire::kSegmentBytes;
using qwire::kSeqMask;

// One limit per kind of line that upstream can cause.
cQlogLimit g_north_tx_limit;
cQlogLimit g_north_read_limit;

// a came after b, on counters that wrap.
bool after(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

} // namespace

cNorthLink::cNorthLink(const char* host, uint16_t port)
    : cQlog(kCategory), mHost(host), mPort(port), mSocket(-1), mMsgSeq(0), mTxSent(0),
      mRxRefused(false), mRxFirstTx(0), mCounters() {
    pthread_mutex_init(&mTxMutex, nullptr);
    pthread_mutex_init(&mRxMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&mRxCond, &attr);
    pthread_condattr_destroy(&attr);
}

cNorthLink::~cNorthLink() {
    if (mSocket >= 0) {
        close(mSocket);
    }
    pthread_cond_destroy(&mRxCond);
    pthread_mutex_destroy(&mRxMutex);
    pthread_mutex_destroy(&mTxMutex);
}

void cNorthLink::open() {
    mSocket = socket(AF_INET, SOCK_DGRAM, 0);
}

void cNorthLink::startPoller() {
    pthread_t poller;
    pthread_create(&poller, nullptr, north_poller, this);
}

QMsg* cNorthLink::forward(QMsg* msg) {
    uint8_t requester_seq = msg->getMsgSeq();
    uint8_t seq = produce_sequence();

    ++mCounters.forwards;
    pthread_mutex_lock(&mRxMutex);
    mRxReply.arm(seq);
    msg->setMsgSeq(seq);
    // Armed and sent under mRxMutex: a refusal the poller files from now on is weighed against
    // mRxFirstTx, which is set before the poller can look at it.
    sTx tx = tx_msg(msg);
    mRxFirstTx = tx.first;
    // A refusal reported by one of this forward's own later sends followed its first datagram.
    mRxRefused = tx.error == ECONNREFUSED || (tx.refused && after(tx.refusedAt, tx.first));
    msg->setMsgSeq(requester_seq);

    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kReplyWaitSeconds;
    // A refusal ends the wait at once: nothing listens upstream, so no reply can come.
    while (mRxReply.isWaiting() && !mRxRefused) {
        if (pthread_cond_timedwait(&mRxCond, &mRxMutex, &deadline) != 0) {
            break;
        }
    }

    QMsg* reply = nullptr;
    if (mRxReply.isDone()) {
        debug("North Reply received...");
        reply = mRxReply.take().release();
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
        mRxRefused = false;
    }
    mRxReply.disarm();
    pthread_mutex_unlock(&mRxMutex);
    return reply;
}

cNorthLink::sTx cNorthLink::tx_msg(QMsg* msg) {
    sTx tx{};
    debug("Forwarding northbound message seq %d", msg->getMsgSeq());
    pthread_mutex_lock(&mTxMutex);
    tx.first = mTxSent;
    unsigned char out[kSegmentBytes];
    sendSegments(
        *this, "North", msg, [&out] { return out; },
        [&](uint16_t n) {
            ssize_t sent = send(mSocket, out, n, 0);
            if (sent < 0 && errno == ECONNREFUSED) {
                // The refusal of a datagram sent before this call, which sent nothing: noted,
                // then the segment goes again.
                tx.refused = true;
                tx.refusedAt = mTxSent;
                sent = send(mSocket, out, n, 0);
            }
            if (sent < 0) {
                int e = errno;
                if (tx.error == 0) {
                    tx.error = e;
                }
                limited(g_north_tx_limit, ERROR, "North Tx Error %d: %s", static_cast<int>(sent),
                        std::strerror(e));
            } else {
                ++mTxSent;
                debug("North sent %d bytes", static_cast<int>(sent));
            }
        });
    pthread_mutex_unlock(&mTxMutex);
    return tx;
}

uint8_t cNorthLink::produce_sequence() {
    pthread_mutex_lock(&mTxMutex);
    uint8_t seq = mMsgSeq;
    mMsgSeq = static_cast<uint8_t>(mMsgSeq + 1);
    pthread_mutex_unlock(&mTxMutex);
    return static_cast<uint8_t>(seq & kSeqMask);
}

void cNorthLink::process_north_rx(uint8_t* buf, int len) {
    // Filing happens under mRxMutex so that the requester never sees a half-filed reply, a
    // reply completed just before it waits is taken at once, and nothing filed during its
    // time-out stays behind for the next request.
    pthread_mutex_lock(&mRxMutex);
    if (!mRxReply.isWaiting()) {
        debug("Got data from zeld but we're not expecting it");
        pthread_mutex_unlock(&mRxMutex);
        return;
    }
    QReplyAssembler::Result r = mRxReply.offer(buf, static_cast<size_t>(len));
    if (r.verdict == QReplyAssembler::QA_FOREIGN) {
        debug("Message not for us: Seq %d is not %d", mRxReply.lastSeq(), mRxReply.seq());
    } else if (r.verdict == QReplyAssembler::QA_REFUSED) {
        debug("Segment does not follow the reply so far; dropped");
    }
    if (r.completes) {
        pthread_cond_signal(&mRxCond);
    }
    pthread_mutex_unlock(&mRxMutex);
}

void cNorthLink::north_refused(uint32_t sentBefore) {
    // Only the poller's lock is taken here, never mTxMutex with it.
    pthread_mutex_lock(&mRxMutex);
    if (mRxReply.isWaiting() && after(sentBefore, mRxFirstTx)) {
        mRxRefused = true;
        pthread_cond_signal(&mRxCond);
    }
    pthread_mutex_unlock(&mRxMutex);
}

bool cNorthLink::connect_upstream() {
    hostent* he = gethostbyname2(mHost, AF_INET);
    if (he == nullptr || he->h_addr_list[0] == nullptr) {
        error("Could lookup address for %s", mHost);
        return false;
    }
    sockaddr_in addr{};
    size_t addr_len = static_cast<size_t>(he->h_length);
    if (addr_len > sizeof addr.sin_addr) {
        addr_len = sizeof addr.sin_addr;
    }
    std::memcpy(&addr.sin_addr, he->h_addr_list[0], addr_len);
    addr.sin_family = static_cast<sa_family_t>(he->h_addrtype);
    addr.sin_port = htons(mPort);
    if (connect(mSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fatal("Could not connect to %s:%d", mHost, mPort);
        return false;
    }
    debug("North link connected to %s:%d", mHost, mPort);
    return true;
}

void* cNorthLink::north_poller(void* arg) {
    auto* self = static_cast<cNorthLink*>(arg);
    if (!self->connect_upstream()) {
        return nullptr;
    }
    uint8_t buf[kSegmentBytes];
    for (;;) {
        timeval timeout{kKeepAliveSeconds, 0};
        fd_set readfds;
        FD_ZERO(&readfds);
        FD_SET(self->mSocket, &readfds);
        int ready = select(self->mSocket + 1, &readfds, nullptr, nullptr, &timeout);
        if (ready <= 0) {
            QMsg keepalive(kKeepAliveId);
            keepalive.setMsgSeq(self->produce_sequence());
            // The refusal the keep-alive's send reports may be that of a forward's datagram.
            sTx tx = self->tx_msg(&keepalive);
            if (tx.refused || tx.error == ECONNREFUSED) {
                self->north_refused(tx.refused ? tx.refusedAt : tx.first);
            }
            continue;
        }
        // Read under mTxMutex, so that the count of datagrams sent is the one at the read: a
        // refusal it reports belongs to one of those. The socket is ready, so this does not wait.
        pthread_mutex_lock(&self->mTxMutex);
        ssize_t n = recv(self->mSocket, buf, sizeof buf, MSG_DONTWAIT);
        int e = errno;
        uint32_t sent = self->mTxSent;
        pthread_mutex_unlock(&self->mTxMutex);
        if (n >= 1) {
            self->debug("Received %d bytes from zeld", static_cast<int>(n));
            self->process_north_rx(buf, static_cast<int>(n));
        } else if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
            continue;
        } else {
            self->limited(g_north_read_limit, WARN, "Socket Read Error %d: %s", static_cast<int>(n),
                          n < 0 ? std::strerror(e) : "empty datagram");
            if (n < 0 && e == ECONNREFUSED) {
                self->north_refused(sent);
            }
        }
    }
    return nullptr;
}
