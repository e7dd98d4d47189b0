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
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/types.h>

#include "peerfilter.h"
#include "qlog.h"

class QMsg;
class QuorrelMessage;

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
    // signal interrupts the receive), then receives and handles datagrams forever.
    bool run();
    // Receives one datagram into mRxBuffer, its sender into mCurrClient and the local address
    // it came to into mCurrLocal. The result of recvmsg; errno is kept.
    ssize_t receive();
    // Sends one reply datagram to mCurrClient from mCurrLocal; counts what went.
    void send_reply(const uint8_t* data, uint16_t len);
    // SIGUSR1 handler: asks the receive loop to write the counters; touches nothing else.
    static void on_sigusr1(int);
    // Writes the counters as one INFO line.
    void report_counters();
    // One "audit" line for a write: who asked, which objects, who served it, how it ended.
    void audit(const QuorrelMessage* qmsg, uint8_t msg_id, uint8_t seq, const char* by,
               const char* outcome, const timespec& started);
    // Parses one datagram from mRxBuffer and sends the reply, if any, to mCurrClient.
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
    uint16_t mNorthPort;
    int mNorthSocket;
    unsigned char mRxBuffer[1024];
    int mRxBufferSize;
    sockaddr_in mCurrClient;
    in_addr mCurrLocal;   // the local address the datagram in hand came to
    bool mCurrLocalKnown; // false when the kernel did not say: replies leave by routing
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
