#include "connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "clock.h"
#include "confdef.h"
#include "configscript.h"
#include "configtable.h"
#include "qmsg.h"
#include "qstatus.h"
#include "qwire.h"
#include "replies.h"
#include "scriptwatch.h"
#include "segments.h"
#include "selfdesc.h"
#include "watchdog.h"
#include "zeldict.h"

// What a request a script serves runs: its message id, its name in the audit (null: reads are not
// audited), the script's entry operation (null: the daemon answers it itself) and the id of the
// reply.
struct sRoute {
    uint8_t msgId;
    const char* kind;
    bool (cConfigScript::*run)(cConfigTable* cfg, cConfigTable* ret);
    uint8_t replyId;
};

namespace {

const char* const kCategory = "cConnection";
using qwire::kSegmentBytes;
// How often an idle receive loop wakes without a watchdog: only so that SIGUSR1 can end it.
constexpr uint64_t kIdleWakeSeconds = 10;

// Request kinds a script serves, by message id.
enum : uint8_t {
    kSet = 0,
    kGet = 1,
    kAction = 2,
    kDelete = 4,
    kReplace = 5,
    kConfirm = 6,
    kCancel = 7
};

constexpr sRoute kRoutes[] = {
    {kSet, "set", &cConfigScript::setCfg, 0},
    {kGet, nullptr, &cConfigScript::getCfg, 1},
    {kDelete, "delete", &cConfigScript::delCfg, 0},
    {kReplace, "replace", &cConfigScript::repCfg, 0},
    {kConfirm, "confirm", nullptr, 0},
    {kCancel, "cancel", nullptr, 0},
};

} // namespace

bool cConnection::is_write(uint8_t id) {
    return id == kSet || id == kAction || id == kDelete || id == kReplace || id == kConfirm ||
           id == kCancel;
}

namespace {

const sRoute* find_route(uint8_t id) {
    for (const sRoute& r : kRoutes) {
        if (r.msgId == id) {
            return &r;
        }
    }
    return nullptr;
}

// The status the daemon answers with for a script run that did not end well.
uint8_t failure_status(cLuaVM::eOutcome outcome) {
    switch (outcome) {
    case cLuaVM::OUTCOME_NO_FUNCTION:
        return qstatus::kNotServed;
    case cLuaVM::OUTCOME_OVER_BUDGET:
        return qstatus::kOverBudget;
    case cLuaVM::OUTCOME_DONE:
    case cLuaVM::OUTCOME_ERROR:
        break;
    }
    return qstatus::kScriptFailed;
}

// One limit per kind of line that a peer can cause.
cQlogLimit g_rx_len_limit;
cQlogLimit g_denied_limit;
cQlogLimit g_dictionary_limit;
cQlogLimit g_unhandled_limit;
cQlogLimit g_oversized_limit;
cQlogLimit g_malformed_limit;

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
    : cQlog(kCategory), mBrokerPort(static_cast<uint16_t>(cConfig::getInt(eSetting::BrokerPort))),
      mBrokerSocket(-1), mRxHdr(), mRxIov(), mRxBufferSize(0), mCurrClient(), mCurrLocal(),
      mCurrLocalKnown(false), mTxHdr(), mTxIov(), mTxCount(0), mCurrData(nullptr), mCurrLen(0),
      mStateDir(cConfig::getString(eSetting::StateDir)),
      mConfirmDefault(static_cast<uint32_t>(cConfig::getInt(eSetting::ConfirmDefault))),
      mConfirmMax(static_cast<uint32_t>(cConfig::getInt(eSetting::ConfirmMax))), mWakeUs(0),
      mRcvTimeUs(0), mStartMs(monotonicMs()),
      mNorth(cConfig::getString(eSetting::NorthHost),
             static_cast<uint16_t>(cConfig::getInt(eSetting::NorthPort))),
      mResponse(new cConfigTable()), mCounters() {
    debug("North Port: %d; Broker Port: %d", mNorth.port(), mBrokerPort);
}

cConnection::~cConnection() {
    if (mBrokerSocket >= 0) {
        close(mBrokerSocket);
    }
    delete mResponse;
}

bool cConnection::setup() {
    mBrokerSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (mBrokerSocket < 0) {
        error("Cannot open a UDP socket: %s", std::strerror(errno));
        debug("Could not bind to port %d", mBrokerPort);
        return false;
    }
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
    mWriteFilter.configure(cConfig::getString(eSetting::BrokerWriteAllow),
                           cConfig::row(eSetting::BrokerWriteAllow).key);
    if (!mReplay.configure(static_cast<uint32_t>(cConfig::getInt(eSetting::ReplaySeconds)),
                           static_cast<uint32_t>(cConfig::getInt(eSetting::ReplayEntries)))) {
        warn("No memory for the replay cache: repeated writes run again");
    }
    // Sinks learn of the restart first; then a change left unconfirmed by the last run is undone,
    // all before the first request.
    mNotifier.configure(cConfig::getString(eSetting::NotifySinks),
                        static_cast<uint32_t>(cConfig::getInt(eSetting::NotifyInterval)));
    mNotifier.restart(monotonicMs());
    recover_pending();
    mNorth.open();
    debug("Created North Socket on port %d", mNorth.port());
    info("Listening on UDP %s:%d for %s; requests no script serves go to port %d of %s", address,
         mBrokerPort, allow, mNorth.port(), mNorth.host());
    return true;
}

void cConnection::on_sigusr1(int) {
    mReportCounters = 1;
}

void cConnection::start_threads() {
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
    mNorth.startPoller();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

bool cConnection::run() {
    start_threads();

    // Under a service manager's watchdog an idle receive wakes up in time to ping it; without
    // one it wakes every kIdleWakeSeconds, so that SIGUSR1 interrupts it (see above).
    cWatchdog watchdog;
    // A change awaiting confirmation or a notification due shortens it (run_timers).
    mWakeUs = watchdog.pollInterval() > 0 ? watchdog.pollInterval()
                                          : uint64_t{kIdleWakeSeconds} * 1000000;
    run_timers();
    watchdog.ready();

    cScriptWatch& watch = cScriptWatch::instance();

    for (;;) {
        watchdog.kick();
        run_timers();
        // Checked before each receive: a signal that interrupted the last one, or came while a
        // datagram was handled, is answered before the loop blocks again.
        if (mReportCounters != 0) {
            mReportCounters = 0;
            reportCounters(*this, mCounters, mNorth.counters(), mNotifier.counters());
        }
        debug("Waiting for data");
        int count = receive_batch();
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue; // a signal, or the watchdog's receive time-out
        }
        if (count <= 0) {
            limited(g_rx_len_limit, INFO, "Rx len = %d;", count);
            if (count < 0) {
                // An error that does not go away (a socket the kernel or a filter refuses) would
                // otherwise spin this loop at full speed.
                debug("Receive failed: %s", std::strerror(errno));
                timespec pause{0, 10 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
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
    sendSegments(
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

void cConnection::handle_msg(uint8_t* buf, int len) {
    mCurrData = buf;
    mCurrLen = static_cast<uint16_t>(len);
    QWireFault fault;
    QMsg* msg = QMsg::parseMsg(buf, static_cast<uint16_t>(len), &fault);
    if (msg == nullptr) {
        ++mCounters.malformed;
        if (enabled(DEBUG)) {
            char host[INET_ADDRSTRLEN];
            char why[96];
            inet_ntop(AF_INET, &mCurrClient.sin_addr, host, sizeof host);
            limited(g_malformed_limit, DEBUG, "Datagram of %d bytes from %s:%d malformed: %s", len,
                    host, ntohs(mCurrClient.sin_port), describeWireFault(fault, why, sizeof why));
        }
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
    uint8_t msg_id = msg->getMsgID();
    const sRoute* route = find_route(msg_id);
    sRequest r;
    r.msg = msg;
    r.msgId = msg_id;
    r.seq = msg->getMsgSeq();
    r.route = route;
    r.replyId = route != nullptr ? route->replyId : 0;
    // A write leaves an audit line with how long it took; the clock is read only when the line
    // will be written.
    r.audited = route != nullptr && route->kind != nullptr && mAudit.on();
    if (r.audited) {
        clock_gettime(CLOCK_MONOTONIC, &r.started);
    }
    if (!check_request(r)) {
        return nullptr;
    }
    debug("Got good Quorrel message");
    // On the stack: one allocation less per request, and none left behind by an exception.
    cConfigTable request(r.checked);
    r.script = cConfigScript::getScript(&request);
    QMsg* reply = nullptr;
    if (!write_gate(r)) {
        r.status = qstatus::kWriteDenied;
        reply =
            statusReply(r.route != nullptr ? r.route->replyId : 0, qstatus::kWriteDenied, request);
    } else if (!replayed(r, &reply)) {
        if (r.msgId == kConfirm || r.msgId == kCancel) {
            reply = confirm_or_cancel(r, request);
        } else if (r.script == nullptr && addressesSelf(request)) {
            reply = answer_self(r, request);
        } else if (!is_write(r.msgId) || (reply = begin_change(r, request)) == nullptr) {
            reply = r.script != nullptr ? run_script(r, &request) : forward_msg(msg);
            if (r.script == nullptr && reply == nullptr) {
                r.outcome = "no reply from upstream";
            }
            end_change(r, reply);
            notify_change(r, request);
        }
        // A forward that got no answer is not kept: its repeat goes north again.
        if (r.remember && (r.script != nullptr || reply != nullptr)) {
            remember(r, reply);
        }
    }
    audit(r);
    delete r.checked;
    return reply;
}

bool cConnection::check_request(sRequest& r) {
    QDictRefusal why;
    r.checked = QuorrelMessage::parseQMsg(ZEL::DictDef, r.msg, &why);
    if (r.checked != nullptr) {
        return true;
    }
    ++mCounters.refused;
    limited(g_dictionary_limit, INFO, "Quorrel message could not be built");
    char reason[160];
    debug("Request seq %d refused: %s", r.seq, describeRefusal(why, reason, sizeof reason));
    return false;
}

QMsg* cConnection::run_script(sRequest& r, cConfigTable* request) {
    if (r.route == nullptr || r.route->run == nullptr) {
        limited(g_unhandled_limit, INFO, "We only handle get and set");
        return nullptr;
    }
    cConfigTable* response = mResponse;
    // Empty already, unless the last request was cut short by an exception.
    response->clear();
    (r.script->*r.route->run)(request, response);
    ++mCounters.served;
    cLuaVM::eOutcome outcome = r.script->lastOutcome();
    QMsg* reply = nullptr;
    if (outcome == cLuaVM::OUTCOME_DONE) {
        reply = build_reply(r, response);
    } else {
        if (outcome != cLuaVM::OUTCOME_NO_FUNCTION) {
            ++mCounters.scriptErrors;
        }
        r.status = failure_status(outcome);
    }
    if (reply == nullptr) {
        reply = statusReply(r.route->replyId, static_cast<uint8_t>(r.status), *request);
    }
    response->clear();
    return reply;
}

QMsg* cConnection::build_reply(sRequest& r, cConfigTable* response) {
    // What the answer says of itself matters to the write steps and the audit, not to a read.
    const cTableType* status =
        is_write(r.msgId) ? topValue(*response, qstatus::kStatusTag) : nullptr;
    if (status != nullptr && status->getType() == cTableType::TTE_NUM) {
        r.status = static_cast<int>(*status);
        const cTableType* reason = topValue(*response, qstatus::kReasonTag);
        if (reason != nullptr && reason->getType() == cTableType::TTE_STRING) {
            r.reason = reason->text();
        }
    }
    cConfigTable::sReplySize size;
    QMsg* reply = response->toQMsg(r.route->replyId, &size);
    if (reply == nullptr) {
        // A part of the answer would read as all of it: the requester is told it is too large.
        limited(g_oversized_limit, ERROR,
                "Reply of %s to request seq %d not sent: %u tags, %llu bytes of data "
                "break the message limits (%u tags, %u bytes, 65535 bytes per tag)",
                r.script->getName(), r.seq, static_cast<unsigned>(size.tags),
                static_cast<unsigned long long>(size.bytes), static_cast<unsigned>(QMsg::kMaxTags),
                static_cast<unsigned>(QMsg::kMaxDataBytes));
        r.status = qstatus::kReplyTooLarge;
        r.reason.clear();
    }
    return reply;
}

void cConnection::notify_change(const sRequest& r, const cConfigTable& request) {
    if (!mNotifier.enabled() || r.script == nullptr || r.status != 0 ||
        !(r.msgId == kSet || r.msgId == kDelete || r.msgId == kReplace)) {
        return;
    }
    for (size_t i = 0; i < request.size(); ++i) {
        if (request.valueAt(i).getType() == cTableType::TTE_TABLE) {
            auto* obj = static_cast<cConfigTable*>(request.valueAt(i));
            if (obj != nullptr) {
                mNotifier.mark(*obj, r.msgId == kDelete);
            }
        }
    }
}

QMsg* cConnection::answer_self(sRequest& r, const cConfigTable& request) {
    r.by = "tamo";
    if (r.msgId != kGet) {
        r.status = qstatus::kNotServed;
        return statusReply(r.replyId, qstatus::kNotServed, request);
    }
    sSelfDescription d{TAMO_VERSION,
                       dictionaryHash(*ZEL::DictDef),
                       cConfigScript::servedIds(),
                       mWriteFilter.allows(mCurrClient.sin_addr.s_addr),
                       kFeatureConfirm | (mReplay.enabled() ? kFeatureReplay : 0u) |
                           (mNotifier.enabled() ? kFeatureNotify : 0u),
                       static_cast<uint32_t>((monotonicMs() - mStartMs) / 1000),
                       mPending.active ? mPending.journal.transaction : 0u};
    cConfigTable answer;
    describeSelf(d, request, &answer);
    return answer.toQMsg(r.replyId);
}

QMsg* cConnection::forward_msg(QMsg* msg) {
    // Replies to earlier requests of the batch do not wait for the north link.
    flush_replies();
    return mNorth.forward(msg);
}

void cConnection::audit(const sRequest& r) {
    if (!r.audited) {
        return;
    }
    const char* outcome = r.outcome;
    int status = -1;
    if (r.status > 0 && r.status <= 0xff) {
        status = r.status;
        outcome = qstatus::statusName(static_cast<uint8_t>(r.status));
    }
    const char* reason = !r.reason.empty() ? r.reason.c_str()
                         : status >= 0     ? qstatus::daemonReason(static_cast<uint8_t>(status))
                                           : nullptr;
    cAudit::sEntry e{&mCurrClient,
                     r.checked,
                     r.seq,
                     r.route->kind,
                     r.by != nullptr       ? r.by
                     : r.script != nullptr ? r.script->getName()
                                           : "forwarded",
                     outcome,
                     status,
                     reason,
                     r.started};
    mAudit.write(e);
}
