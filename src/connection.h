// cConnection: the daemon's network endpoint and request handler.
//
// The broker socket receives one request per UDP datagram. Each request is parsed, checked
// against the dictionary, turned into a table and handed to the script that serves all its
// objects; the script's answer goes back to the sender in segments of at most 1024 bytes.
// A request that no script serves goes north to the upstream daemon over a connected UDP
// socket; its reply, gathered by the poller thread, is relayed instead.
//
// Threads: the main thread runs the receive loop, routing, scripts and forwarding; the north
// link (cNorthLink, northlink.h) has a poller thread of its own and keeps everything the two
// threads share behind its own locks.
//
// The road of one request: receive -> source gate (the allow-list) -> parse and dictionary check
// -> write gate -> replay cache -> the daemon's own requests (confirm, cancel, object 36) ->
// change gate -> the script that serves every object, or north -> reply -> audit. Each step is
// one operation below, in that order; writes.cpp and confirmed.cpp hold the write steps.
//
// The edge: the broker socket is bound to "tamo.broker.address"; a datagram from a source that
// "tamo.broker.allow" does not list is dropped before it is parsed. Each reply leaves from the
// local address its request came to (IP_PKTINFO). Every write (set, replace, delete) leaves one
// INFO line in the category "audit" (audit.h), and the counters of what came and went are
// written as one INFO line on SIGUSR1. Lines a peer can cause go through a per-kind limit
// (cQlogLimit).
//
// Datagrams that wait together are taken with one recvmmsg and handled one after another in
// arrival order; their replies go out together with sendmmsg, before any request waits on the
// north link. A lone request costs one receive and one send, as before.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

#include "audit.h"
#include "journal.h"
#include "northlink.h"
#include "notifier.h"
#include "peerfilter.h"
#include "qlog.h"
#include "qwire.h"
#include "replaycache.h"

class QMsg;
class QuorrelMessage;
class cConfigScript;
class cConfigTable;
struct sRoute;

class cConnection : public cQlog {
public:
    // Creates the singleton on the first call, binds the broker port and runs the receive
    // loop, which never returns. Returns false only when the broker port cannot be bound.
    static bool start();

private:
    cConnection();
    ~cConnection();
    cConnection(const cConnection&) = delete;
    cConnection& operator=(const cConnection&) = delete;

    // Creates the broker socket, binds it to "tamo.broker.address" and asks for each
    // datagram's local address, reads the allow-list, then creates the north socket (connected
    // later by the poller). False when the address does not parse or the bind fails.
    bool setup();
    // Installs the SIGUSR1 handler, starts the north poller (with SIGUSR1 blocked, so the
    // signal interrupts the receive), then receives and handles datagrams forever: all that wait
    // at once (up to kBatch), one after another, their replies sent together.
    bool run();
    // Installs the SIGUSR1 handler and starts the north poller with SIGUSR1 blocked, so that the
    // signal always interrupts this thread's receive.
    void start_threads();
    // Receives the datagrams waiting on the broker socket into mRx, blocking until there is
    // one. Their count, or recvmmsg's result with errno kept.
    int receive_batch();
    // Takes datagram i of the batch: its sender into mCurrClient and the local address it came
    // to into mCurrLocal, through the source gate (the allow-list), then handle_msg.
    void take_datagram(int i);
    // Parses one datagram of len bytes at buf and queues the reply, if any, to mCurrClient.
    void handle_msg(uint8_t* buf, int len);

    // One request on its road, from the dictionary check to the audit line; main thread.
    struct sRequest {
        QMsg* msg = nullptr;
        uint8_t msgId = 0;
        uint8_t seq = 0;
        const sRoute* route = nullptr; // null for a message id no script operation takes
        uint8_t replyId = 0;
        bool audited = false; // a write, with the audit on: the clock was read
        timespec started{};
        QuorrelMessage* checked = nullptr; // the dictionary's view; owned, deleted at the end
        cConfigScript* script = nullptr;   // the script serving every object, or null: north
        const char* by = nullptr;          // for the audit line, when not the script or north
        const char* outcome = "done";      // for the audit line while the status is 0
        int status = 0;        // the reply's status: 0 done, else a script's or the daemon's code
        std::string reason;    // the script's reason for a status that is not 0
        bool remember = false; // a write whose answer the replay cache keeps
        cReplayCache::sKey key{};
        uint64_t hash = 0;
        bool confirmed = false; // a write the pending change covers
    };
    // The reply to one parsed request (owned by the caller), or null when none is to be sent.
    // The request stays the caller's.
    QMsg* route_msg(QMsg* msg);
    // The dictionary check: r.checked, or false (counted, logged) when the dictionary refuses.
    bool check_request(sRequest& r);
    // Requests that change something: only writers may send them, and a repeat is answered from
    // memory (set, action, delete, replace, confirm, cancel).
    static bool is_write(uint8_t id);
    // Whether the sender may make this request: a write (set, delete, replace, action) only from
    // a source "tamo.broker.write_allow" names. A refusal is counted and logged (limited).
    bool write_gate(const sRequest& r);
    // A write sent again: looks it up in the replay cache. True when the request is answered
    // from memory (the kept datagrams queued, or *reply set to status 241); false to run it,
    // with r.remember set when its answer is to be kept.
    bool replayed(sRequest& r, QMsg** reply);
    // Keeps the answer of a write that ran (reply null: it got none) for its repeats.
    void remember(const sRequest& r, QMsg* reply);
    // Runs the entry point of r's script for its kind and builds the reply from its answer; a
    // run that fails, or an answer that cannot be sent, is answered with a status of the
    // daemon's own. Null only for a kind no entry point takes.
    QMsg* run_script(sRequest& r, cConfigTable* request);
    // The reply from the script's answer, noting its status and reason in r; null (r.status
    // set) when the answer cannot be sent.
    QMsg* build_reply(sRequest& r, cConfigTable* response);
    // Sends msg north after the replies queued so far; the upstream reply or null.
    QMsg* forward_msg(QMsg* msg);
    // The audit line of a write; nothing for a read.
    void audit(const sRequest& r);

    // Changes awaiting confirmation (confirmed.cpp). A set, delete or replace carrying "confirm"
    // is journalled before it runs and undone when its deadline passes, on cancel, or at the
    // next start, unless confirmed. One at a time.
    // Before a write runs: null to go on (r.confirmed set when the pending change now covers
    // it), or the refusal to send: 242 for a write the pending change holds back, 244 for a
    // confirmed change that could not be undone.
    QMsg* begin_change(sRequest& r, const cConfigTable& request);
    // Whether the pending change holds an object request writes (by object id).
    bool holds(const cConfigTable& request) const;
    // Adds to j the state before of each object of request not yet in it, read with script's
    // getConfig; false with why when one cannot be read or undone.
    bool snapshot(cConfigScript* script, const cConfigTable& request, sJournal* j,
                  std::string* why);
    // After a confirmed write ran: undone at once when it failed, else armed with its deadline
    // and its reply given status 0 and the transaction.
    void end_change(sRequest& r, QMsg* reply);
    // confirm (6) and cancel (7) of the pending change: the reply.
    QMsg* confirm_or_cancel(sRequest& r, const cConfigTable& request);
    // Restores every object of the pending change, newest first, with one audit line each,
    // then removes the journal, or keeps it aside when a restore failed. True when all were.
    bool roll_back(const char* why);
    // At start-up, before the broker is served: a journal left behind is rolled back.
    void recover_pending();
    // Before each receive: rolls back a pending change whose deadline passed and sends the
    // notifications that are due; shortens the receive time-out so that the loop wakes for the
    // next of either.
    void run_timers();
    // After a write that changed something: marks its objects for the notification sinks.
    void notify_change(const sRequest& r, const cConfigTable& request);
    // A request for the daemon's own object (36): a get is answered with it, anything else 252.
    QMsg* answer_self(sRequest& r, const cConfigTable& request);

    // Queues reply for mCurrClient, from mCurrLocal: one datagram when it fits, else one per
    // segment; counts it.
    void send_reply(QMsg* reply);
    // The buffer of the next datagram to queue; sends the queue first when it is full.
    unsigned char* tx_buffer();
    // Queues the n bytes serialised into tx_buffer() for mCurrClient, from mCurrLocal.
    void queue_datagram(uint16_t n);
    // Sends the queued datagrams (sendmmsg); one that cannot be sent is skipped. Counts bytes.
    void flush_replies();
    // SIGUSR1 handler: asks the receive loop to write the counters; touches nothing else.
    static void on_sigusr1(int);

    static cConnection* mInstance;

    uint16_t mBrokerPort;
    int mBrokerSocket;
    // Datagrams taken or sent by one system call.
    static constexpr int kBatch = 16;
    // One datagram with its peer's address and room for its ancillary data (IP_PKTINFO).
    struct sDatagram {
        unsigned char data[qwire::kSegmentBytes];
        sockaddr_in peer;
        struct {
            alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
        } control;
    };
    sDatagram mRx[kBatch];
    mmsghdr mRxHdr[kBatch];
    iovec mRxIov[kBatch];
    int mRxBufferSize; // 0 until the receive headers are set up, then kSegmentBytes
    sockaddr_in mCurrClient;
    in_addr mCurrLocal;   // the local address the datagram in hand came to
    bool mCurrLocalKnown; // false when the kernel did not say: replies leave by routing
    sDatagram mTx[kBatch];
    mmsghdr mTxHdr[kBatch];
    iovec mTxIov[kBatch];
    int mTxCount;
    cPeerFilter mPeerFilter;
    cPeerFilter mWriteFilter;
    // The datagram in hand, for the replay cache's key and hash.
    const uint8_t* mCurrData;
    uint16_t mCurrLen;
    cReplayCache mReplay;
    // The change awaiting confirmation.
    struct sPending {
        bool active = false;
        sJournal journal;
        uint64_t deadlineMs = 0; // on the monotonic clock; 0 while the write is still running
    } mPending;
    const char* mStateDir;
    uint32_t mConfirmDefault;
    uint32_t mConfirmMax;
    uint64_t mWakeUs;    // the receive time-out when no deadline is nearer
    uint64_t mRcvTimeUs; // the receive time-out in force
    cNotifier mNotifier;
    uint64_t mStartMs; // when the daemon started, on the monotonic clock
    // A write's answer serialised for the replay cache.
    uint8_t mAnswerBytes[cReplayCache::kAnswerBytes];
    cReplayCache::sDatagram mAnswerDatagrams[cReplayCache::kAnswerDatagrams];
    cNorthLink mNorth;
    cAudit mAudit;
    // The response table of the request in hand, emptied after each one and kept for the next.
    cConfigTable* mResponse;
    sCounters mCounters;

    // Set by the SIGUSR1 handler, cleared by the receive loop when it writes the counters.
    static volatile sig_atomic_t mReportCounters;
};
