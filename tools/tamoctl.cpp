// tamoctl: sends one configuration request to a tamo daemon and prints the reply.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "control.h"
#include "net.h"
#include "options.h"
#include "render.h"
#include "request.h"
#include "sim.h"
#include "zeldict.h"

namespace {

using Clock = std::chrono::steady_clock;
using toolkit::Bytes;
using toolkit::MsgPtr;
using toolkit::UdpSocket;

constexpr int kExitReply = 0;
constexpr int kExitNoReply = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

const char kHelp[] = R"(Usage: tamoctl [OPTION]... KIND [TAG]...
       tamoctl [OPTION]... --msg ID [TAG]...
       tamoctl [OPTION]... --raw HEX
       tamoctl [OPTION]... confirm|cancel T
       tamoctl [OPTION]... describe
       tamoctl [OPTION]... listen

Send one configuration request to a tamo daemon over UDP, wait for its reply and
print it. KIND is a message of the dictionary: set, get, action, notify, delete,
replace, confirm or cancel (tamoctl --list shows the dictionary).

A change sent with --confirm SECONDS is undone by the daemon after SECONDS
unless confirmed: "tamoctl confirm T" keeps it, "tamoctl cancel T" undoes it at
once. T is the request's @transaction; when it has none, tamoctl picks one.
Either way it prints "tamoctl: transaction T" on stderr (with --json also the
field "transaction"). A bare number after confirm or cancel is @transaction=T.

describe asks the daemon what it serves (a get of object tamo) and prints its
version, the objects it serves and those this host may write, its features,
uptime and the transaction awaiting confirmation; it warns on stderr when the
daemon's dictionary differs from tamoctl's.

listen binds a UDP port and prints every message that comes, as it comes, in
the form replies take (one JSON line each with --json), joining segments per
sender and sequence number; it is the receiving end of the daemon's
notifications. It runs until SIGINT or SIGTERM (status 0), or until --count
messages were printed.

Tags, sent in the order given:
  OBJECT               open an object; a get naming no member asks for all of it
  OBJECT.MEMBER        a member without a value (what a get asks for)
  OBJECT.MEMBER=VALUE  a member with a value
  @COMMON[=VALUE]      a message-level tag
Every name may be a number 0-255 instead (17.3, @200). Members given in a row for
one object go into one object; naming the object alone, another object or a
member already given opens a new one. A VALUE takes the dictionary's type; where
none is known, or to override it, write the type first:
  str:TEXT  u8:N  u16:N  u32:N  float:X  bytes:HEX  null
N is decimal or 0x-hex; HEX may separate bytes with ':'. The word null sends a
tag without a value; str:null sends the text "null".

The request is checked against the dictionary first; a request the daemon would
refuse is not sent unless --force is given.

Options:
  -H, --host HOST     daemon host (default 127.0.0.1)
  -p, --port PORT     daemon UDP port (default 60010); with listen the port to
                      bind (default 60020)
  -b, --bind ADDR     with listen, the local address to bind (default 0.0.0.0)
      --confirm SEC   with set, replace or delete: add @confirm=SEC (0: the
                      daemon's default) and, when missing, a random @transaction
  -t, --timeout SEC   seconds to wait for the reply, fractions allowed (default 5)
      --retries N     after each time-out send the same datagram again (same
                      sequence number and bytes), up to N times (0-100, default 0);
                      the daemon answers a repeated write from memory for
                      tamo.replay.seconds (30), so keep (N + 1) x SEC below that
      --seq N         sequence number 0-127 of the request (default: random)
  -m, --msg ID        message id 0-255 or a message name, in place of KIND
  -j, --json          print the reply as one line of JSON
  -f, --force         send a request that fails the dictionary check
  -n, --dry-run       print the request and its bytes instead of sending it
  -c, --count N       send N requests one after another and print round-trip
                      latency (min, median, p99, max) instead of the replies;
                      with listen, stop after N messages
      --raw HEX       send these bytes as they are; the reply is matched by their
                      sequence number, or by --seq, or is any message that comes
  -l, --list          print the dictionary and exit
  -v, --verbose       show every datagram sent and received, in hex, on stderr
  -h, --help          print this help and exit

Examples:
  tamoctl get system.hostname interface.mtu
  tamoctl get interface                        all members of interface
  tamoctl set interface.name=eth0 interface.mtu=1400 @client=me
  tamoctl delete ntp
  tamoctl replace logging.level=3
  tamoctl --msg 2 ntp.server=pool.example     any message id
  tamoctl --force set 17.3=u16:1400 @200=u32:7  tags the dictionary lacks
  tamoctl --json -t 0.5 get system
  tamoctl --count 1000 get system.hostname     round-trip latency
  tamoctl --raw 5101030100000000               a notify without tags, sequence 1
  tamoctl --confirm 60 set interface.mtu=1400  undone in 60 s unless confirmed
  tamoctl confirm 1234                         keep the change of transaction
  tamoctl cancel 1234                          undo it now
  tamoctl describe
  tamoctl listen -p 60020 --json               print notifications as they come

A reply whose @status is not 0 has its @reason (or the status's name) printed on
stderr; --json carries both as the fields "status" and "reason".

Exit status:
  0  done: a reply came with @status 0 or none (with --count: every request got
     one); listen: interrupted, or --count messages printed
  1  no reply came within the time-out, or the request could not be sent
     (listen: the port could not be bound or read)
  2  usage error, or a request the dictionary refuses without --force
  3  the daemon or a script refused the request or failed: a reply with a @status
     other than 0 (with --count: any reply)
)";

// A --seq above 127: the request gets a random sequence number.
constexpr uint32_t kRandomSeq = 128;
// A --port above 65535: the default of the command.
constexpr uint32_t kDefaultPort = 65536;
constexpr uint16_t kDaemonPort = 60010;
constexpr uint16_t kListenPort = 60020;
// A --confirm above this: none given.
constexpr uint32_t kNoConfirm = 0xFFFFFFFFu;

struct Options {
    std::string host = "127.0.0.1";
    uint32_t port = kDefaultPort;
    std::string bind = "0.0.0.0";
    uint32_t confirmSec = kNoConfirm;
    double timeoutSec = 5;
    uint32_t seq = kRandomSeq;
    int msgId = -1;
    bool json = false;
    bool force = false;
    bool dryRun = false;
    bool verbose = false;
    bool list = false;
    bool help = false;
    uint32_t count = 0;
    uint32_t retries = 0;
    bool raw = false;
    std::string rawHex;
    std::vector<std::string> words;
    bool describe = false;    // the words were "describe"
    uint32_t transaction = 0; // with --confirm: the transaction the change is confirmed under
};

bool take_timeout(const std::string& v, Options* o, std::string* error) {
    char* end = nullptr;
    o->timeoutSec = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(o->timeoutSec > 0) || o->timeoutSec > 3600) {
        *error = "bad time-out '" + v + "' (seconds, more than 0, at most 3600)";
        return false;
    }
    return true;
}

bool take_msg_id(const std::string& v, Options* o, std::string* error) {
    uint8_t msgId = 0;
    if (!toolkit::parseMessageId(v, &msgId)) {
        *error = "bad message id '" + v + "' (0-255 or a message name)";
        return false;
    }
    o->msgId = msgId;
    return true;
}

bool parse_options(int argc, char** argv, Options* o, std::string* error) {
    using toolkit::flagOption;
    using toolkit::numberOption;
    const std::vector<toolkit::OptionSpec> specs = {
        flagOption("help", 'h', &o->help),
        flagOption("list", 'l', &o->list),
        flagOption("json", 'j', &o->json),
        flagOption("force", 'f', &o->force),
        flagOption("dry-run", 'n', &o->dryRun),
        flagOption("verbose", 'v', &o->verbose),
        toolkit::textOption("host", 'H', &o->host),
        toolkit::textOption("bind", 'b', &o->bind),
        numberOption("confirm", 0, &o->confirmSec, 0, kNoConfirm - 1),
        numberOption("port", 'p', &o->port, 0, 65535),
        toolkit::callOption("timeout", 't',
                            [o](const std::string&, const char* v, std::string* e) {
                                return take_timeout(v, o, e);
                            }),
        numberOption("seq", 0, &o->seq, 0, 127),
        toolkit::callOption("msg", 'm',
                            [o](const std::string&, const char* v, std::string* e) {
                                return take_msg_id(v, o, e);
                            }),
        numberOption("count", 'c', &o->count, 1, 10000000),
        numberOption("retries", 0, &o->retries, 0, 100),
        // --raw also switches what goes out, even with an empty value, which prepare_raw refuses.
        toolkit::callOption("raw", 0,
                            [o](const std::string&, const char* v, std::string*) {
                                o->raw = true;
                                o->rawHex = v;
                                return true;
                            }),
    };
    return toolkit::readOptions(
        argc, argv, specs,
        [o](const char* word, std::string*) {
            o->words.emplace_back(word);
            return true;
        },
        error);
}

int usage_error(const std::string& text) {
    return toolkit::usageError("tamoctl", text);
}

long long micros_since(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t).count();
}

struct Target {
    UdpSocket socket;
    sockaddr_in addr{};
    bool verbose = false;
};

bool send_all(const Target& t, const std::vector<Bytes>& datagrams) {
    for (const Bytes& d : datagrams) {
        if (t.verbose) {
            std::fprintf(stderr, "tx %zu bytes to %s: %s\n", d.size(),
                         toolkit::formatAddress(t.addr).c_str(),
                         toolkit::toHex(d.data(), d.size(), ' ').c_str());
        }
        if (!t.socket.sendTo(d.data(), d.size(), t.addr)) {
            std::perror("tamoctl: send");
            return false;
        }
    }
    return true;
}

// Feeds datagrams from the daemon's port into a until the reply is complete or the deadline
// passes.
void await_reply(const Target& t, QReplyAssembler* a, Clock::time_point deadline) {
    std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
    while (a->isWaiting()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        sockaddr_in from{};
        int n = t.socket.receive(buf.data(), buf.size(), static_cast<int>(left.count()) + 1, &from);
        if (n == UdpSocket::kError) {
            std::perror("tamoctl: receive");
            return;
        }
        if (n < 0) {
            continue;
        }
        size_t len = std::min(static_cast<size_t>(n), buf.size());
        if (from.sin_port != t.addr.sin_port) {
            if (t.verbose) {
                std::fprintf(stderr, "rx %d bytes from %s: not the daemon's port, ignored\n", n,
                             toolkit::formatAddress(from).c_str());
            }
            continue;
        }
        QReplyAssembler::Result r = a->offer(buf.data(), len);
        if (t.verbose) {
            static const char* const kWhat[] = {"garbage", "another sequence", "late", "accepted",
                                                "refused"};
            std::fprintf(stderr, "rx %d bytes (%s): %s\n", n,
                         r.completes ? "complete" : kWhat[r.verdict],
                         toolkit::toHex(buf.data(), len, ' ').c_str());
        }
    }
}

void print_reply(const QMsg& reply, const Options& o) {
    if (o.describe) {
        toolkit::printDescription(reply, o.json, "tamoctl");
    } else {
        toolkit::printMessage(reply, o.json, o.transaction);
    }
}

// Sends the request, and again after each time-out up to --retries times, each attempt
// collecting a fresh reply; prints the reply and gives the exit status.
int run_once(const Target& t, const std::vector<Bytes>& datagrams, int seq, const Options& o) {
    QReplyAssembler a(seq);
    const auto timeout = std::chrono::microseconds(static_cast<long long>(o.timeoutSec * 1e6));
    for (uint32_t attempt = 0;; ++attempt) {
        if (!send_all(t, datagrams)) {
            return kExitNoReply;
        }
        await_reply(t, &a, Clock::now() + timeout);
        if (a.isDone() || attempt == o.retries) {
            break;
        }
        if (t.verbose) {
            std::fprintf(stderr, "tamoctl: no reply within %g s, sending again (retry %u of %u)\n",
                         o.timeoutSec, static_cast<unsigned>(attempt + 1),
                         static_cast<unsigned>(o.retries));
        }
        a.arm(seq);
    }
    unsigned refused = a.refused();
    bool complete = a.isDone();
    MsgPtr reply = a.take();
    if (refused > 0) {
        std::fprintf(stderr,
                     "tamoctl: %u segment(s) of the reply could not be joined (out of order, "
                     "missing or repeated)\n",
                     refused);
    }
    if (!complete) {
        std::string tries =
            o.retries > 0 ? " (" + std::to_string(o.retries + 1) + " tries)" : std::string();
        std::fprintf(stderr, "tamoctl: no %sreply from %s within %g s%s\n",
                     reply ? "complete " : "", toolkit::formatAddress(t.addr).c_str(), o.timeoutSec,
                     tries.c_str());
        if (reply) {
            toolkit::printMessage(*reply, o.json);
        }
        return kExitNoReply;
    }
    if (!reply) {
        return kExitReply;
    }
    print_reply(*reply, o);
    toolkit::ReplyStatus st = toolkit::replyStatus(*reply);
    if (st.failed()) {
        std::fprintf(stderr, "tamoctl: status %u: %s\n", static_cast<unsigned>(st.code),
                     st.reason.c_str());
        return kExitFailed;
    }
    return kExitReply;
}

// One request after another, each with the next sequence number, so a late reply to an
// earlier request is never taken for the current one.
int run_count(const Target& t, QMsg* request, const Bytes& raw, uint8_t seq, const Options& o) {
    std::vector<double> samples;
    samples.reserve(o.count);
    unsigned lost = 0;
    bool failed = false;
    auto timeout = std::chrono::microseconds(static_cast<long long>(o.timeoutSec * 1e6));
    for (unsigned i = 0; i < o.count; ++i) {
        uint8_t s = static_cast<uint8_t>((seq + i) & toolkit::kSeqMask);
        std::vector<Bytes> datagrams;
        if (request != nullptr) {
            request->setMsgSeq(s);
            datagrams = toolkit::serialiseSegments(*request);
        } else {
            datagrams.push_back(raw);
            if (raw.size() > 3) {
                datagrams.back()[3] = static_cast<uint8_t>((raw[3] & 0x80) | s);
            }
        }
        QReplyAssembler a(s);
        auto start = Clock::now();
        if (!send_all(t, datagrams)) {
            return kExitNoReply;
        }
        await_reply(t, &a, start + timeout);
        if (a.isDone()) {
            samples.push_back(static_cast<double>(micros_since(start)));
            MsgPtr reply = a.take();
            failed = failed || (reply && toolkit::replyStatus(*reply).failed());
        } else {
            ++lost;
        }
    }
    toolkit::LatencySummary s = toolkit::summariseLatency(samples);
    if (o.json) {
        std::printf("{\"requests\":%u,\"replies\":%zu,\"lost\":%u,\"min_us\":%.0f,"
                    "\"median_us\":%.0f,\"p99_us\":%.0f,\"max_us\":%.0f}\n",
                    o.count, samples.size(), lost, s.minUs, s.medianUs, s.p99Us, s.maxUs);
    } else {
        std::printf("%u requests to %s: %zu replies, %u lost\n", o.count,
                    toolkit::formatAddress(t.addr).c_str(), samples.size(), lost);
        if (!samples.empty()) {
            std::printf("round trip: %s\n", toolkit::formatLatency(s).c_str());
        }
    }
    return lost > 0 ? kExitNoReply : failed ? kExitFailed : kExitReply;
}

// What goes out: the request built from the words, or the --raw bytes.
struct Outgoing {
    MsgPtr request;
    Bytes raw;
    int seq = -1;
    uint32_t transaction = 0; // with --confirm
};

volatile std::sig_atomic_t gStop = 0;

void on_stop_signal(int) {
    gStop = 1;
}

// listen: prints every message that comes to the bound port until a signal or --count.
int run_listen(const Options& o) {
    if (o.words.size() > 1 || o.msgId >= 0 || o.raw || o.confirmSec != kNoConfirm) {
        return usage_error("listen takes no tags, --msg, --raw or --confirm");
    }
    sockaddr_in local{};
    std::string error;
    const uint32_t port = o.port == kDefaultPort ? kListenPort : o.port;
    if (!toolkit::resolveIPv4(o.bind, static_cast<uint16_t>(port), &local, &error)) {
        return usage_error(error);
    }
    UdpSocket s;
    if (!s.open(local, &error)) {
        std::fprintf(stderr, "tamoctl: %s\n", error.c_str());
        return kExitNoReply;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::fprintf(stderr, "tamoctl: listening on %s\n",
                 toolkit::formatAddress(s.localAddress()).c_str());
    toolkit::MessageJoiner joiner;
    std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
    uint32_t printed = 0;
    while (gStop == 0 && (o.count == 0 || printed < o.count)) {
        sockaddr_in from{};
        // A bounded wait, so a signal that comes just before it ends the loop soon.
        int n = s.receive(buf.data(), buf.size(), 500, &from);
        if (n == UdpSocket::kError) {
            std::perror("tamoctl: receive");
            return kExitNoReply;
        }
        if (n < 0) {
            continue;
        }
        size_t len = std::min(static_cast<size_t>(n), buf.size());
        if (o.verbose) {
            std::fprintf(stderr, "rx %d bytes from %s: %s\n", n,
                         toolkit::formatAddress(from).c_str(),
                         toolkit::toHex(buf.data(), len, ' ').c_str());
        }
        if (MsgPtr m = joiner.offer(from, buf.data(), len)) {
            toolkit::printMessage(*m, o.json);
            ++printed;
        }
    }
    return kExitReply;
}

// The --raw bytes; the reply is matched by their sequence number unless --seq gives one.
int prepare_raw(const Options& o, Outgoing* out) {
    if (!o.words.empty() || o.msgId >= 0) {
        return usage_error("--raw takes no KIND, --msg or tags");
    }
    if (!toolkit::parseHex(o.rawHex, &out->raw) || out->raw.empty() || out->raw.size() > 65507) {
        return usage_error("--raw needs hex bytes, e.g. --raw 51:01:01:05:00:00:00:00");
    }
    MsgPtr parsed(QMsg::parseMsg(out->raw.data(), static_cast<uint16_t>(out->raw.size())));
    if (out->seq < 0 && parsed) {
        out->seq = parsed->getMsgSeq();
    }
    return kExitReply;
}

// The request from KIND (or --msg) and the tags, checked against the dictionary.
int prepare_request(const Options& o, Outgoing* out) {
    std::vector<std::string> words = o.words;
    uint8_t id = 0;
    if (o.msgId >= 0) {
        id = static_cast<uint8_t>(o.msgId);
    } else if (words.empty()) {
        return usage_error("no request kind given (get, set, delete, replace, ... or --msg)");
    } else if (!toolkit::parseMessageId(words.front(), &id)) {
        return usage_error("unknown request kind '" + words.front() + "'");
    } else {
        words.erase(words.begin());
    }
    if (o.confirmSec != kNoConfirm && !toolkit::takesConfirm(id)) {
        return usage_error("--confirm goes with set, replace or delete");
    }
    std::string error;
    out->request = toolkit::buildRequest(id, toolkit::transactionWords(id, words), &error);
    if (!out->request) {
        return usage_error(error);
    }
    if (toolkit::namesTransaction(id) && toolkit::requestTransaction(*out->request) == 0) {
        return usage_error("a confirm or cancel needs the transaction: confirm T or cancel T");
    }
    if (o.confirmSec != kNoConfirm) {
        std::random_device rd;
        uint32_t fresh = 0;
        while (fresh == 0) {
            fresh = rd();
        }
        out->transaction = toolkit::addConfirm(out->request.get(), o.confirmSec, fresh);
        if (out->transaction == 0) {
            return usage_error("--confirm needs a @transaction other than 0, or none");
        }
    }
    if (out->seq < 0) {
        std::random_device rd;
        out->seq = static_cast<int>(rd() & toolkit::kSeqMask);
    }
    out->request->setMsgSeq(static_cast<uint8_t>(out->seq));
    std::vector<std::string> reasons = toolkit::checkRequest(*out->request);
    for (const std::string& r : reasons) {
        std::fprintf(stderr, "tamoctl: %s: %s\n", o.force ? "warning" : "refused", r.c_str());
    }
    if (!reasons.empty() && !o.force) {
        std::fprintf(stderr, "tamoctl: request not sent; --force sends it anyway\n");
        return kExitUsage;
    }
    if (out->transaction != 0) {
        std::fprintf(stderr, "tamoctl: transaction %u\n", static_cast<unsigned>(out->transaction));
    }
    return kExitReply;
}

int send_request(const Options& o, Outgoing& out, const std::vector<Bytes>& datagrams) {
    Target t;
    t.verbose = o.verbose;
    std::string error;
    const uint32_t port = o.port == kDefaultPort ? kDaemonPort : o.port;
    if (!toolkit::resolveIPv4(o.host, static_cast<uint16_t>(port), &t.addr, &error)) {
        return usage_error(error);
    }
    if (!t.socket.open(&error)) {
        std::fprintf(stderr, "tamoctl: %s\n", error.c_str());
        return kExitNoReply;
    }
    if (o.count > 0) {
        uint8_t first = static_cast<uint8_t>(out.seq < 0 ? 0 : out.seq);
        return run_count(t, out.request.get(), out.raw, first, o);
    }
    return run_once(t, datagrams, out.seq, o);
}

int run(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse_options(argc, argv, &o, &error)) {
        return usage_error(error);
    }
    if (o.help || o.list) {
        std::fputs(o.help ? kHelp : toolkit::formatDictionary().c_str(), stdout);
        return 0;
    }
    if (!o.words.empty() && o.words.front() == "listen") {
        return run_listen(o);
    }
    if (!o.words.empty() && o.words.front() == "describe") {
        if (o.words.size() > 1 || o.msgId >= 0 || o.raw || o.confirmSec != kNoConfirm) {
            return usage_error("describe takes no tags, --msg, --raw or --confirm");
        }
        o.describe = true;
        o.words = {"get", "tamo"};
    }
    if (o.count > 0 && o.retries > 0) {
        return usage_error("--retries does not go with --count");
    }
    if (o.confirmSec != kNoConfirm && (o.raw || o.count > 0)) {
        return usage_error("--confirm does not go with --raw or --count");
    }
    Outgoing out;
    out.seq = o.seq <= toolkit::kSeqMask ? static_cast<int>(o.seq) : -1;
    int status = o.raw ? prepare_raw(o, &out) : prepare_request(o, &out);
    if (status != kExitReply) {
        return status;
    }
    o.transaction = out.transaction;
    std::vector<Bytes> datagrams =
        out.request ? toolkit::serialiseSegments(*out.request) : std::vector<Bytes>{out.raw};
    if (datagrams.empty()) {
        std::fprintf(stderr, "tamoctl: the request cannot be serialised\n");
        return kExitUsage;
    }
    if (!o.dryRun) {
        return send_request(o, out, datagrams);
    }
    if (out.request) {
        toolkit::printMessage(*out.request, o.json, o.transaction);
    }
    for (const Bytes& d : datagrams) {
        std::printf("%s\n", toolkit::toHex(d.data(), d.size(), ' ').c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return toolkit::guardedMain("tamoctl", run, argc, argv);
}
