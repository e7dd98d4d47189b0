// cNorthLink: the daemon's link to the upstream daemon, owned by cConnection.
//
// A request that no script serves is sent north over a connected UDP socket with a fresh 7-bit
// sequence number; the main thread then waits up to 3 seconds for the reply, which the poller
// thread joins from upstream's segments. The poller also connects the socket (once) and sends a
// keep-alive (message id 1, no tags) after each 10 seconds without a datagram from upstream.
//
// Threads and locks: forward() runs on the main thread; the poller thread runs north_poller.
// They share only the sequence counter, the count of datagrams sent and the socket's sending side
// (mTxMutex), and the reply slot mRxReply/mRxRefused/mRxFirstTx (mRxMutex, with mRxCond on
// CLOCK_MONOTONIC). Upstream's segments are joined by the same rule as the tools use
// (QReplyAssembler). Lock order: mRxMutex before mTxMutex.
//
// A refusal (ECONNREFUSED: nothing listens upstream) is reported by whichever call on the socket
// comes next, not by the send of the datagram it refuses. Every call that can report one counts
// the datagrams sent before it (under mTxMutex), so a refusal seen after the forward's first
// datagram left ends that forward's wait at once, and one seen before it is an earlier
// datagram's and is dropped. Its log lines go to the category "cConnection".
#pragma once

#include <cstdint>
#include <pthread.h>

#include "qassembler.h"
#include "qlog.h"

class QMsg;

class cNorthLink : public cQlog {
public:
    // What became of the forwards; written by the main thread only.
    struct sCounters {
        uint64_t forwards;     // requests sent north
        uint64_t answered;     // forwards whose whole reply came back
        uint64_t timedOut;     // forwards without a reply within 3 seconds
        uint64_t northRefused; // forwards the kernel refused (nothing listening upstream)
    };

    // host stays the caller's and must live as long as the link (the settings' text).
    cNorthLink(const char* host, uint16_t port);
    ~cNorthLink();
    cNorthLink(const cNorthLink&) = delete;
    cNorthLink& operator=(const cNorthLink&) = delete;

    // Creates the socket, neither bound nor connected (the poller connects it). Main thread,
    // before startPoller.
    void open();
    // Starts the poller thread, which is never joined. Main thread, once.
    void startPoller();

    // Sends msg north and waits up to 3 seconds for the complete reply, which comes back with
    // msg's original sequence number and is owned by the caller; null on time-out, or at once
    // when the kernel reports the upstream port closed. msg's sequence number is changed on the
    // way and put back. Main thread.
    QMsg* forward(QMsg* msg);

    const sCounters& counters() const { return mCounters; }
    uint16_t port() const { return mPort; }
    const char* host() const { return mHost; }

private:
    // How one message's sends went.
    struct sTx {
        int error;          // 0, or the errno of the first segment that could not be sent
        uint32_t first;     // mTxSent before its first datagram
        bool refused;       // a send reported a refusal (and was tried again)
        uint32_t refusedAt; // mTxSent when the last one was reported
    };
    // Sends msg in segments under mTxMutex. Either thread.
    sTx tx_msg(QMsg* msg);
    // The next 7-bit sequence number.
    uint8_t produce_sequence();
    // Files one upstream datagram into the reply slot. Poller thread.
    void process_north_rx(uint8_t* buf, int len);
    // A refusal was seen after sentBefore datagrams had been sent: ends the wait of the armed
    // forward when one of its datagrams had left by then. Poller thread.
    void north_refused(uint32_t sentBefore);
    // Connects the socket to the upstream host; false (logged) when it cannot.
    bool connect_upstream();
    // Poller thread entry; arg is the link. Returns only when the link cannot be set up.
    static void* north_poller(void* arg);

    const char* mHost;
    uint16_t mPort;
    int mSocket;
    pthread_mutex_t mTxMutex; // guards mMsgSeq, mTxSent and sending on mSocket
    pthread_mutex_t mRxMutex; // guards the reply slot below; the mutex of mRxCond
    pthread_cond_t mRxCond;
    uint8_t mMsgSeq;
    uint32_t mTxSent; // datagrams handed to the socket so far (wraps; only differences count)
    QReplyAssembler mRxReply; // armed while a forward waits: its awaited sequence and reply
    bool mRxRefused;          // the armed forward was refused
    uint32_t mRxFirstTx;      // mTxSent before the armed forward's first datagram
    sCounters mCounters;
};
