#include "connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "confdef.h"
#include "configscript.h"
#include "configtable.h"
#include "qmsg.h"
#include "scriptwatch.h"
#include "zeldict.h"

namespace {

const char* const kCategory = "cConnection";
constexpr int kSegmentBytes = 1024;
constexpr time_t kReplyWaitSeconds = 3;
constexpr time_t kKeepAliveSeconds = 10;
constexpr uint8_t kSeqMask = 127;
constexpr uint8_t kKeepAliveId = 1;

// Request kinds a script serves, by message id.
enum : uint8_t { kSet = 0, kGet = 1, kDelete = 4, kReplace = 5 };

} // namespace

cConnection* cConnection::mInstance = nullptr;

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
    : cQlog(kCategory), mRxHdr(), mRxIov(), mRxBufferSize(0), mCurrClient(), mCurrRx(nullptr),
      mCurrRxControlLen(0), mTxHdr(), mTxIov(), mTxCount(0), mMsgSeq(0), mRxSeq(0), mRxReady(false),
      mRxMsg(nullptr), mResponse(new cConfigTable()) {
    mBrokerPort =
        static_cast<uint16_t>(cConfig::getInt(conf::kBrokerPort, conf::kBrokerPortDefault));
    mBrokerSocket = -1;
    mNorthPort = static_cast<uint16_t>(cConfig::getInt(conf::kNorthPort, conf::kNorthPortDefault));
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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(mBrokerPort);
    if (bind(mBrokerSocket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        debug("Could not bind to port %d", mBrokerPort);
        return false;
    }
    mNorthSocket = socket(AF_INET, SOCK_DGRAM, 0);
    debug("Created North Socket on port %d", mNorthPort);
    info("Listening on UDP port %d; requests no script serves go to port %d of %s", mBrokerPort,
         mNorthPort, cConfig::getString(conf::kNorthHost, conf::kNorthHostDefault));
    return true;
}

bool cConnection::run() {
    pthread_t poller;
    pthread_create(&poller, nullptr, north_poller, this);
    cScriptWatch& watch = cScriptWatch::instance();

    for (;;) {
        debug("Waiting for data");
        int count = receive_batch();
        if (count <= 0) {
            info("Rx len = %d;", count);
            continue;
        }
        // Script changes made before these datagrams arrived are read now, once for the batch.
        watch.beginBatch();
        for (int i = 0; i < count; ++i) {
            const sDatagram& rx = mRx[i];
            mCurrClient = rx.peer;
            mCurrRx = &rx;
            mCurrRxControlLen = static_cast<socklen_t>(mRxHdr[i].msg_hdr.msg_controllen);
            int len = static_cast<int>(mRxHdr[i].msg_len);
            if (len <= 0) {
                info("Rx len = %d;", len);
                continue;
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
        mCurrRx = nullptr;
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
    int count;
    do {
        count = recvmmsg(mBrokerSocket, mRxHdr, kBatch, MSG_WAITFORONE, nullptr);
    } while (count < 0 && errno == EINTR);
    return count;
}

void cConnection::handle_msg(uint8_t* buf, int len) {
    QMsg* msg = QMsg::parseMsg(buf, static_cast<uint16_t>(len));
    if (msg == nullptr) {
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

void cConnection::send_reply(QMsg* reply) {
    auto queue = [this](const QMsg* m) {
        if (mTxCount == kBatch) {
            flush_replies();
        }
        sDatagram& tx = mTx[mTxCount];
        uint16_t n = m->getMsg(tx.data, kSegmentBytes);
        if (n == 0) {
            return false;
        }
        tx.peer = mCurrClient;
        socklen_t control = 0;
        if (mCurrRx != nullptr && mCurrRxControlLen <= sizeof tx.control.bytes) {
            control = mCurrRxControlLen;
            std::memcpy(tx.control.bytes, mCurrRx->control.bytes, control);
        }
        mTxIov[mTxCount].iov_base = tx.data;
        mTxIov[mTxCount].iov_len = n;
        msghdr& h = mTxHdr[mTxCount].msg_hdr;
        h.msg_name = &tx.peer;
        h.msg_namelen = sizeof tx.peer;
        h.msg_iov = &mTxIov[mTxCount];
        h.msg_iovlen = 1;
        h.msg_control = control > 0 ? tx.control.bytes : nullptr;
        h.msg_controllen = control;
        h.msg_flags = 0;
        ++mTxCount;
        return true;
    };
    // A whole reply that fits one datagram is its own only segment, byte for byte.
    if (queue(reply)) {
        return;
    }
    reply->segmentMessage(kSegmentBytes);
    reply->resetSegment();
    for (QMsg* seg = reply->getNextSegment(); seg != nullptr; seg = reply->getNextSegment()) {
        queue(seg);
    }
}

void cConnection::flush_replies() {
    int done = 0;
    while (done < mTxCount) {
        int sent =
            sendmmsg(mBrokerSocket, &mTxHdr[done], static_cast<unsigned>(mTxCount - done), 0);
        if (sent > 0) {
            done += sent;
        } else if (sent == 0 || errno != EINTR) {
            // Not retried, as a failed sendto was not: the datagrams after it still go.
            ++done;
        }
    }
    mTxCount = 0;
}

QMsg* cConnection::route_msg(QMsg* msg) {
    QuorrelMessage* qmsg = QuorrelMessage::parseQMsg(ZEL::DictDef, msg);
    if (qmsg == nullptr) {
        info("Quorrel message could not be built");
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
    if (script != nullptr) {
        switch (msg->getMsgID()) {
        case kSet:
            script->setCfg(request, response);
            reply = response->toQMsg(0);
            break;
        case kGet:
            script->getCfg(request, response);
            reply = response->toQMsg(1);
            break;
        case kDelete:
            script->delCfg(request, response);
            reply = response->toQMsg(0);
            break;
        case kReplace:
            script->repCfg(request, response);
            reply = response->toQMsg(0);
            break;
        default:
            info("We only handle get and set");
            break;
        }
    } else {
        reply = forward_msg(msg);
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

    pthread_mutex_lock(&mRxMutex);
    mRxSeq = seq;
    msg->setMsgSeq(seq);
    mRxReady = true;
    tx_msg(msg);

    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kReplyWaitSeconds;
    while (mRxReady) {
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
        }
    } else {
        debug("North message timed out...");
        mRxReady = false;
        delete mRxMsg;
        mRxMsg = nullptr;
    }
    pthread_mutex_unlock(&mRxMutex);
    return reply;
}

void cConnection::tx_msg(QMsg* msg) {
    debug("Forwarding northbound message seq %d", msg->getMsgSeq());
    pthread_mutex_lock(&mTxMutex);
    msg->segmentMessage(kSegmentBytes);
    msg->resetSegment();
    unsigned char out[kSegmentBytes];
    for (QMsg* seg = msg->getNextSegment(); seg != nullptr; seg = msg->getNextSegment()) {
        uint16_t n = seg->getMsg(out, kSegmentBytes);
        if (n == 0) {
            // Nothing serialised: an empty datagram would only confuse upstream.
            error("North segment does not serialise; not sent");
            continue;
        }
        ssize_t sent = send(mNorthSocket, out, n, 0);
        if (sent < 0) {
            error("North Tx Error %d", static_cast<int>(sent));
        } else {
            debug("North sent %d bytes", static_cast<int>(sent));
        }
    }
    pthread_mutex_unlock(&mTxMutex);
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

void* cConnection::north_poller(void* arg) {
    auto* self = static_cast<cConnection*>(arg);

    const char* host = cConfig::getString(conf::kNorthHost, conf::kNorthHostDefault);
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
            self->tx_msg(&keepalive);
            continue;
        }
        ssize_t n = read(self->mNorthSocket, buf, sizeof buf);
        if (n >= 1) {
            self->debug("Received %d bytes from zeld", static_cast<int>(n));
            self->process_north_rx(buf, static_cast<int>(n));
        } else {
            self->warn("Socket Read Error %d", static_cast<int>(n));
        }
    }
    return nullptr;
}
