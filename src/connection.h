// cConnection: the daemon's network endpoint and request handler.
//
// The broker socket receives one request per UDP datagram. Each request is parsed, checked
// against the dictionary, turned into a table and handed to the script that serves all its
// objects; the script's answer goes back to the sender in segments of at most 1024 bytes.
// A request that no script serves goes north to the upstream daemon over a connected UDP
// socket; its reply, gathered by the poller thread, is relayed instead.
//
// Threads: the main thread runs the receive loop, routing, scripts and forwarding; the poller
// thread connects the north socket once, files upstream replies and sends keep-alives. They
// share only the sequence counter and the north socket's sending side (mTxMutex) and the
// reply slot mRxSeq/mRxReady/mRxMsg (mRxMutex, with mRxCond on CLOCK_MONOTONIC). Lock order:
// mRxMutex before mTxMutex.
//
// The edge: the broker socket is bound to "tamo.broker.address"; a datagram from a source that
// "tamo.broker.allow" does not list is dropped before it is parsed. Each reply leaves from the
// local address its request came to (IP_PKTINFO). Every write (set, replace, delete) leaves one
// INFO line in the category "audit". Counters of what came and went are kept by the main
// thread; SIGUSR1 has the receive loop write them as one INFO line. Lines a peer can cause
// go through a per-kind limit (cQlogLimit).
//
// Datagrams that wait together are taken with one recvmmsg and handled one after another in
// arrival order; their replies go out together with sendmmsg, before any request waits on the
// north link. A lone request costs one receive and one send, as before.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "peerfilter.h"
#include "qlog.h"
#include "qwire.h"

class QMsg;
class QuorrelMessage;
class cConfigTable;

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
    // Installs the SIGUSR1 handler, starts the poller thread (with SIGUSR1 blocked, so the
    // signal interrupts the receive), then receives and handles datagrams forever: all that wait
    // at once (up to kBatch), one after another, their replies sent together.
    bool run();
    // Receives the datagrams waiting on the broker socket into mRx, blocking until there is
    // one. Their count, or recvmmsg's result with errno kept.
    int receive_batch();
    // Takes datagram i of the batch: its sender into mCurrClient and the local address it came
    // to into mCurrLocal, through the allow-list, then handle_msg.
    void take_datagram(int i);
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
    // Writes the counters as one INFO line.
    void report_counters();
    // One "audit" line for a write: who asked, which objects, who served it, how it ended.
    void audit(const QuorrelMessage* qmsg, uint8_t msg_id, uint8_t seq, const char* by,
               const char* outcome, const timespec& started);
    // Parses one datagram of len bytes at buf and queues the reply, if any, to mCurrClient.
    void handle_msg(uint8_t* buf, int len);
    // The reply to one parsed request (owned by the caller), or null when none is to be sent.
    // The request stays the caller's.
    QMsg* route_msg(QMsg* msg);

    // Sends msg north and waits up to 3 seconds for the complete reply, which comes back with
    // msg's original sequence number and is owned by the caller; null on time-out, or at once
    // when the kernel reports the upstream port closed (ECONNREFUSED, seen by the send or by
    // the poller). Main thread.
    QMsg* forward_msg(QMsg* msg);
    // Sends msg north in segments under mTxMutex. Either thread. 0, or the errno of the first
    // segment that could not be sent.
    int tx_msg(QMsg* msg);
    // The next 7-bit north sequence number.
    uint8_t produce_sequence();
    // Files one upstream datagram into the reply slot. Poller thread.
    void process_north_rx(uint8_t* buf, int len);
    // The kernel refused a north datagram: ends the wait of an armed forward. Poller thread.
    void north_refused();
    // Poller thread entry; arg is the connection. Returns only when the link cannot be set up.
    static void* north_poller(void* arg);

    static cConnection* mInstance;

    uint16_t mBrokerPort;
    int mBrokerSocket;
    const char* mNorthHost; // the setting's text, read once; lives as long as the settings
    uint16_t mNorthPort;
    int mNorthSocket;
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
    cQlog mAudit;             // category "audit"
    pthread_mutex_t mTxMutex; // guards mMsgSeq and sending on mNorthSocket
    pthread_mutex_t mRxMutex; // guards mRxSeq, mRxReady, mRxMsg; the mutex of mRxCond
    pthread_cond_t mRxCond;
    uint8_t mMsgSeq;
    uint8_t mRxSeq;
    bool mRxReady;
    bool mRxRefused; // the armed forward was refused by the kernel; under mRxMutex
    QMsg* mRxMsg;
    // The response table of the request in hand, emptied after each one and kept for the next.
    cConfigTable* mResponse;

    // Since start; main thread only (refusals the poller sees reach them through mRxRefused).
    struct sCounters {
        uint64_t received;     // datagrams read from the broker socket
        uint64_t denied;       // from a source the allow-list does not name
        uint64_t malformed;    // empty, or not a message
        uint64_t refused;      // refused by the dictionary
        uint64_t served;       // requests a script's entry point ran for
        uint64_t scriptErrors; // of those, ended by an error or over budget
        uint64_t forwards;     // requests sent north
        uint64_t answered;     // forwards whose whole reply was relayed
        uint64_t timedOut;     // forwards without a reply within 3 seconds
        uint64_t northRefused; // forwards the kernel refused (nothing listening upstream)
        uint64_t replies;      // reply messages sent to requesters
        uint64_t replyBytes;   // bytes of reply datagrams sent
    } mCounters;

    // Set by the SIGUSR1 handler, cleared by the receive loop when it writes the counters.
    static volatile sig_atomic_t mReportCounters;
};
