#include "net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

namespace toolkit {

bool resolveIPv4(const std::string& host, uint16_t port, sockaddr_in* out, std::string* error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (rc != 0 || found == nullptr) {
            *error = "cannot resolve '" + host + "': " + gai_strerror(rc);
            return false;
        }
        sockaddr_in first{};
        std::memcpy(&first, found->ai_addr, sizeof first);
        freeaddrinfo(found);
        addr.sin_addr = first.sin_addr;
    }
    *out = addr;
    return true;
}

bool parseEndpoint(const std::string& text, const std::string& defHost, sockaddr_in* out,
                   std::string* error) {
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? defHost : text.substr(0, colon);
    std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
    uint32_t port = 0;
    if (!parseUnsigned(portText, 65535, &port)) {
        *error = "bad port in '" + text + "'";
        return false;
    }
    return resolveIPv4(host.empty() ? defHost : host, static_cast<uint16_t>(port), out, error);
}

sockaddr_in loopbackAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

std::string formatAddress(const sockaddr_in& addr) {
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool isLoopback(const sockaddr_in& addr) {
    return addr.sin_family == AF_INET && (ntohl(addr.sin_addr.s_addr) >> 24) == 127;
}

UdpSocket::~UdpSocket() {
    if (mFd >= 0) {
        close(mFd);
    }
}

bool UdpSocket::open(const sockaddr_in& local, std::string* error) {
    if (mFd >= 0) {
        close(mFd);
    }
    mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (mFd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(mFd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        *error = "bind " + formatAddress(local) + ": " + std::strerror(errno);
        close(mFd);
        mFd = -1;
        return false;
    }
    return true;
}

bool UdpSocket::open(std::string* error) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    return open(any, error);
}

sockaddr_in UdpSocket::localAddress() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (mFd >= 0) {
        getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    return addr;
}

bool UdpSocket::sendTo(const uint8_t* data, size_t len, const sockaddr_in& to) const {
    ssize_t n = sendto(mFd, data, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return n >= 0 && static_cast<size_t>(n) == len;
}

int UdpSocket::receive(uint8_t* buf, size_t cap, int timeoutMs, sockaddr_in* from) const {
    pollfd p{};
    p.fd = mFd;
    p.events = POLLIN;
    int ready = poll(&p, 1, timeoutMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        return kTimeout;
    }
    if (ready < 0) {
        return kError;
    }
    sockaddr_in src{};
    socklen_t srcLen = sizeof src;
    // MSG_TRUNC makes the result the datagram's real length, so a cut datagram shows as such.
    ssize_t n = recvfrom(mFd, buf, cap, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&src),
                         &srcLen);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kTimeout : kError;
    }
    if (from != nullptr) {
        *from = src;
    }
    return static_cast<int>(n);
}

std::vector<Bytes> serialiseSegments(QMsg& msg, int maxBytes) {
    std::vector<Bytes> out;
    if (maxBytes <= 0 || maxBytes > 0xFFFF) {
        return out;
    }
    try {
        if (msg.segmentMessage(maxBytes) <= 0) {
            return out;
        }
        msg.resetSegment();
        for (QMsg* seg = msg.getNextSegment(); seg != nullptr; seg = msg.getNextSegment()) {
            Bytes buf(static_cast<size_t>(maxBytes));
            uint16_t len = seg->getMsg(buf.data(), static_cast<uint16_t>(maxBytes));
            if (len == 0) {
                out.clear();
                return out;
            }
            buf.resize(len);
            out.push_back(std::move(buf));
        }
    } catch (const std::exception&) {
        out.clear();
    }
    return out;
}

} // namespace toolkit
