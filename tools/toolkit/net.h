// UDP for the operator tools: addresses, a datagram socket and a message cut into datagrams
// (a segmented reply is joined by QReplyAssembler, qassembler.h). Bytes from the network go only
// through QMsg::parseMsg and bounded buffers; nothing here throws or exits.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qassembler.h"
#include "qmsg.h"
#include "qwire.h"
#include "text.h"

namespace toolkit {

using MsgPtr = std::unique_ptr<QMsg>;

// The wire constants the tools use (qwire.h).
using qwire::kDatagramBufferBytes;
using qwire::kKeepAliveId;
using qwire::kSegmentBytes;
using qwire::kSeqMask;
constexpr uint8_t kGetId = 1;

// Fills *out with an IPv4 address: dotted quad or a host name looked up for AF_INET.
bool resolveIPv4(const std::string& host, uint16_t port, sockaddr_in* out, std::string* error);
// "host:port" or "port" into an address (host defaults to defHost).
bool parseEndpoint(const std::string& text, const std::string& defHost, sockaddr_in* out,
                   std::string* error);
// 127.0.0.1 and port.
sockaddr_in loopbackAddress(uint16_t port);
// "a.b.c.d:port".
std::string formatAddress(const sockaddr_in& addr);
// True for any address of 127.0.0.0/8.
bool isLoopback(const sockaddr_in& addr);

// An IPv4 datagram socket, closed on destruction. One thread at a time.
class UdpSocket {
public:
    static constexpr int kTimeout = -1;
    static constexpr int kError = -2;

    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Opens the socket and binds it to local (port 0: any free port).
    bool open(const sockaddr_in& local, std::string* error);
    // Opens the socket bound to any address and a free port.
    bool open(std::string* error);
    bool isOpen() const { return mFd >= 0; }
    int fd() const { return mFd; }
    sockaddr_in localAddress() const;

    // Sends one datagram; true when the whole of it went.
    bool sendTo(const uint8_t* data, size_t len, const sockaddr_in& to) const;
    // Waits up to timeoutMs (negative: without end) for one datagram and copies at most cap
    // bytes of it to buf. Returns the datagram's full length (more than cap when it was cut),
    // kTimeout when nothing came or a signal interrupted the wait, kError on failure.
    int receive(uint8_t* buf, size_t cap, int timeoutMs, sockaddr_in* from) const;

private:
    int mFd = -1;
};

// msg cut into segments of at most maxBytes and serialised, in order; empty when the library
// refuses. Segments carry msg's sequence number as it is now.
std::vector<Bytes> serialiseSegments(QMsg& msg, int maxBytes = kSegmentBytes);

} // namespace toolkit
