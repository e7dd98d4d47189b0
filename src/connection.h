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
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include "qlog.h"

class QMsg;
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

    // Creates and binds the broker socket, then creates the north socket (connected later by
    // the poller). False when the bind fails.
    bool setup();
    // Starts the poller thread, then receives and handles datagrams forever: all that are
    // waiting at once (up to kBatch, one recvmmsg), handled one after another in arrival order,
    // their replies sent together (sendmmsg).
    bool run();
    // Parses one datagram of len bytes at buf and queues the reply, if any, to mCurrClient.
    void handle_msg(uint8_t* buf, int len);
    // The reply to one parsed request (owned by the caller), or null when none is to be sent.
    // The request stays the caller's.
    QMsg* route_msg(QMsg* msg);

    // Receives the datagrams waiting on the broker socket into mRx, blocking until there is
    // one. Their count, or recvmmsg's error result.
    int receive_batch();
    // Queues reply for mCurrClient: one datagram when it fits, else one per segment.
    void send_reply(QMsg* reply);
    // Sends the queued replies (sendmmsg); a datagram that cannot be sent is skipped.
    void flush_replies();

    // Sends msg north and waits up to 3 seconds for the complete reply, which comes back with
    // msg's original sequence number and is owned by the caller; null on time-out. Main thread.
    QMsg* forward_msg(QMsg* msg);
    // Sends msg north in segments under mTxMutex. Either thread.
    void tx_msg(QMsg* msg);
    // The next 7-bit north sequence number.
    uint8_t produce_sequence();
    // Files one upstream datagram into the reply slot. Poller thread.
    void process_north_rx(uint8_t* buf, int len);
    // Poller thread entry; arg is the connection. Returns only when the link cannot be set up.
    static void* north_poller(void* arg);

    static cConnection* mInstance;

    uint16_t mBrokerPort;
    int mBrokerSocket;
    uint16_t mNorthPort;
    int mNorthSocket;
    // Datagrams taken or sent by one system call.
    static constexpr int kBatch = 16;
    // One datagram with its peer's address and room for its own ancillary data (IP_PKTINFO).
    struct sDatagram {
        unsigned char data[1024];
        sockaddr_in peer;
        struct {
            alignas(cmsghdr) unsigned char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
        } control;
    };
    sDatagram mRx[kBatch];
    mmsghdr mRxHdr[kBatch];
    iovec mRxIov[kBatch];
    int mRxBufferSize;
    sockaddr_in mCurrClient;
    // The received datagram being handled (its ancillary data goes with its reply), or null.
    const sDatagram* mCurrRx;
    socklen_t mCurrRxControlLen;
    sDatagram mTx[kBatch];
    mmsghdr mTxHdr[kBatch];
    iovec mTxIov[kBatch];
    int mTxCount;
    pthread_mutex_t mTxMutex; // guards mMsgSeq and sending on mNorthSocket
    pthread_mutex_t mRxMutex; // guards mRxSeq, mRxReady, mRxMsg; the mutex of mRxCond
    pthread_cond_t mRxCond;
    uint8_t mMsgSeq;
    uint8_t mRxSeq;
    bool mRxReady;
    QMsg* mRxMsg;
    // The response table of the request in hand, emptied after each one and kept for the next.
    cConfigTable* mResponse;
};
