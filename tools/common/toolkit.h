// Shared code of the operator tools (tamoctl, zeld-sim, the load generator): building a request
// from command-line words, showing a message to a person or as JSON, UDP plumbing, collecting a
// segmented reply, the simulator's canned answers and latency statistics.
//
// Nothing here throws or exits; failures come back as null, false or an error text. Bytes from
// the network go only through QMsg::parseMsg and bounded buffers.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qmsg.h"
#include "qwire.h"

namespace toolkit {

using Bytes = std::vector<uint8_t>;
using MsgPtr = std::unique_ptr<QMsg>;

// The wire constants the tools use (qwire.h).
using qwire::kDatagramBufferBytes;
using qwire::kKeepAliveId;
using qwire::kSegmentBytes;
using qwire::kSeqMask;
constexpr uint8_t kGetId = 1;

// Text and numbers.

// Decimal or 0x-hexadecimal, no sign, no trailing text, at most max.
bool parseUnsigned(const std::string& text, uint32_t max, uint32_t* out);
// Hex digit pairs; ':', '-', '.' and blanks between pairs are skipped. False on an odd digit
// count or any other character.
bool parseHex(const std::string& text, Bytes* out);
// Lower-case hex, optionally with sep between bytes.
std::string toHex(const uint8_t* data, size_t len, char sep = '\0');
// Shortest decimal text that reads back as the same float; "nan", "inf", "-inf" otherwise.
std::string formatFloat(float value);
// Text in double quotes: valid UTF-8 and printable ASCII as they are, quotes and backslashes
// escaped, other bytes as C escapes (\n, \xNN).
std::string quoteText(const std::string& text);
// The same as a JSON string literal; bytes that are not valid UTF-8 become \u00XX.
std::string jsonString(const std::string& text);

// Command-line options. Reads "-x VALUE", "-xVALUE", "--long VALUE" and "--long=VALUE";
// options may stand between words, and "--" makes every later argument a word.
class OptionReader {
public:
    OptionReader(int argc, char** argv);

    // Steps to the next argument; false when none is left.
    bool next();
    // The current argument is a word: not an option, or after "--".
    bool isWord() const { return mWord; }
    // The current argument as given.
    const std::string& arg() const { return mArg; }
    // The current option is shortName or longName (either may be null).
    bool is(const char* shortName, const char* longName) const;
    // The current option's value: the glued text or the next argument.
    bool value(std::string* out, std::string* error);
    // The current option's value as a number 0..max (decimal or 0x-hex).
    bool number(uint32_t max, uint32_t* out, std::string* error);
    // For an option that takes no value: false when one was glued to it.
    bool flag(std::string* error) const;

private:
    std::vector<std::string> mArgs;
    size_t mNext = 0;
    bool mOptionsDone = false;
    bool mWord = false;
    std::string mArg;
    std::string mName;
    std::string mGlued;
    bool mHasGlued = false;
};

// Requests from command-line words.

// A message id from a dictionary name ("get") or a number 0-255.
bool parseMessageId(const std::string& text, uint8_t* id);

// Builds a message with id msgId from TAG words, in the order given:
//   OBJECT                open an object (a QT_NULL tag with its id); alone in a get: all of it
//   OBJECT.MEMBER         a QT_NULL member tag (names what a get wants)
//   OBJECT.MEMBER=VALUE   a member with a value
//   @COMMON[=VALUE]       a message-level tag
// Names come from the dictionary; any of them may be a number 0-255 instead. VALUE takes the
// dictionary's type, or an explicit one: str:, u8:, u16:, u32:, float:, bytes:HEX, or the word
// null. Members named in a row for one object share one object; naming the object alone, a
// different object or a member already given opens a new one. Common tags leave the open object
// open, as the dictionary check does. Returns null with *error set on the first bad word.
MsgPtr buildRequest(uint8_t msgId, const std::vector<std::string>& words, std::string* error);

// Why the dictionary refuses msg, one reason a line; empty when it accepts it. Also refuses a
// message that does not fit in one datagram, as the daemon reads exactly one per request.
std::vector<std::string> checkRequest(QMsg& msg);

// Showing messages.

struct TagView {
    const QTag* tag;
    const QuorrelTagDef* def; // null when the dictionary does not know the tag here
};

// One line of a shown message: a common tag (opener null, one entry in tags) or an object with
// its members.
struct TagGroup {
    const QTag* opener;
    const QuorrelObjectDef* objectDef; // null for a common tag or an unknown object
    std::vector<TagView> tags;
};

// Splits msg's tags as the dictionary check does: a member of the open object first, then a
// QT_NULL tag with an object id opens an object, then a common tag. A tag the dictionary does
// not know joins the open object, or opens an unknown object when it is a QT_NULL tag, or else
// stands alone. A common tag inside an object does not close it.
std::vector<TagGroup> groupTags(const QMsg& msg);

// A tag's value as text: strings quoted with C escapes, numbers in decimal, bytes as
// colon-separated hex, nothing for a null tag.
std::string formatValue(const QTag& tag);
// The message for a person: a header line, one line per common tag, an indented block per
// object; dictionary names with ids when known, bare numbers otherwise.
std::string formatMessage(const QMsg& msg);
// The message as one line of JSON (no newline).
std::string formatMessageJson(const QMsg& msg);
// The dictionary, for --list.
std::string formatDictionary();

// UDP.

// Fills *out with an IPv4 address: dotted quad or a host name looked up for AF_INET.
bool resolveIPv4(const std::string& host, uint16_t port, sockaddr_in* out, std::string* error);
// "host:port" or "port" into an address (host defaults to defHost).
bool parseEndpoint(const std::string& text, const std::string& defHost, sockaddr_in* out,
                   std::string* error);
std::string formatAddress(const sockaddr_in& addr);
bool isLoopback(const sockaddr_in& addr);

// An IPv4 datagram socket, closed on destruction.
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

// Collects the reply with one sequence number from datagrams in arrival order, as the daemon's
// north link does: the first accepted segment is the base, later ones are added with
// QMsg::addSegment, and the reply is complete when a last segment arrives, whether or not it
// could be added.
class ReplyAssembler {
public:
    enum class Result {
        Garbage,  // not a message
        Foreign,  // another sequence number
        Late,     // the reply was already complete
        Accepted, // added; more to come
        Refused,  // addSegment refused it (out of order, gap, duplicate); more may come
        Complete, // a last segment came
    };

    // Takes the sequence number of the first message that parses.
    static constexpr int kAnySeq = -1;

    // seq: the 7-bit sequence number of the request, or kAnySeq.
    explicit ReplyAssembler(int seq) : mSeq(seq < 0 ? kAnySeq : (seq & kSeqMask)) {}

    Result offer(const uint8_t* data, size_t len);
    bool complete() const { return mComplete; }
    unsigned segments() const { return mSegments; }
    unsigned refused() const { return mRefused; }
    // The reply so far (null when no segment was accepted); the assembler lets go of it.
    MsgPtr take() { return std::move(mReply); }

private:
    int mSeq;
    MsgPtr mReply;
    bool mComplete = false;
    unsigned mSegments = 0;
    unsigned mRefused = 0;
};

// The stand-in upstream daemon.

struct SimOptions {
    int segments = 1;              // pad each reply so it is cut into this many segments
    bool reverse = false;          // send the last segment first, then the others in order
    int seqOffset = 0;             // answer with the request's sequence number plus this
    int replyId = -1;              // message id of replies; -1: the request's
    bool answerKeepalives = false; // keep-alives are not answered unless this is set
};

constexpr int kSimMaxSegments = 200;

bool isKeepalive(const QMsg& msg);

// The canned answer to request, or null when none is due (a keep-alive while answerKeepalives
// is off, or a piece of a message cut into segments). Every reply starts with @client "zeld-sim"
// and @status 0 and echoes @transaction. A get is answered, per object asked for, with the
// object's opening tag and a value for each member named, or for every member when none is:
// text "sim OBJECT.MEMBER", integers the member's tag id, floats the id plus 0.5, bytes
// 02:00:00:00:00:ID; members the dictionary does not know are echoed as asked.
MsgPtr simReply(const QMsg& request, const SimOptions& options);
// The datagrams to send for reply, in sending order.
std::vector<Bytes> simDatagrams(QMsg& reply, const SimOptions& options);
// The count-file line (no newline) for one received datagram: "<msgid> <seq> <ntags>", or
// "bad <bytes>" for one that does not parse.
std::string simCountLine(const uint8_t* data, size_t len);

// Latency.

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
