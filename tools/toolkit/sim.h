// The stand-in upstream daemon's answers (zeld-sim and the tests), and the latency figures of
// tamoctl --count and the load generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net.h"

namespace toolkit {

struct SimOptions {
    int segments = 1;              // pad each reply so it is cut into this many segments
    bool reverse = false;          // send the last segment first, then the others in order
    int seqOffset = 0;             // answer with the request's sequence number plus this
    int replyId = -1;              // message id of replies; -1: the request's
    bool answerKeepalives = false; // keep-alives are not answered unless this is set
    bool noise = false; // around each reply: stale copies, a junk datagram, the reply twice
};

constexpr int kSimMaxSegments = 200;

// Message id 1 without tags.
bool isKeepalive(const QMsg& msg);

// The canned answer to request, or null when none is due (a keep-alive while answerKeepalives
// is off, or a piece of a message cut into segments). Every reply starts with @client "zeld-sim"
// and @status 0 and echoes @transaction. A get is answered, per object asked for, with the
// object's opening tag and a value for each member named, or for every member when none is:
// text "sim OBJECT.MEMBER", integers the member's tag id, floats the id plus 0.5, bytes
// 02:00:00:00:00:ID; members the dictionary does not know are echoed as asked.
MsgPtr simReply(const QMsg& request, const SimOptions& options);
// The datagrams to send for reply, in sending order. With noise: copies of the reply carrying
// the five sequence numbers before its own (late answers to earlier requests), one datagram of
// bytes that do not parse, the reply, and the reply again.
std::vector<Bytes> simDatagrams(QMsg& reply, const SimOptions& options);
// The count-file line (no newline) for one received datagram: "<msgid> <seq> <ntags>", or
// "bad <bytes>" for one that does not parse.
std::string simCountLine(const uint8_t* data, size_t len);

struct LatencySummary {
    size_t count = 0;
    double minUs = 0;
    double medianUs = 0; // nearest-rank 50th percentile
    double p99Us = 0;    // nearest-rank 99th percentile
    double maxUs = 0;
};

LatencySummary summariseLatency(std::vector<double> samplesUs);
// "min 12 median 15 p99 40 max 95 (µs, 1000 samples)"
std::string formatLatency(const LatencySummary& s);

} // namespace toolkit
