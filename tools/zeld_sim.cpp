// zeld-sim: a stand-in for the upstream daemon. Answers every request with a canned reply that
// carries the request's sequence number; options make it late, wrong, segmented or silent.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "net.h"
#include "options.h"
#include "render.h"
#include "sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using toolkit::Bytes;
using toolkit::UdpSocket;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

const char kHelp[] = R"(Usage: zeld-sim [OPTION]...

Stand-in for the upstream daemon on the north link. Listens for Quorrel requests
on UDP and answers each one with a canned reply that carries the request's
sequence number and, unless --reply-id says otherwise, its message id. Runs
until SIGINT or SIGTERM, then exits 0.

Every reply starts with @client "zeld-sim" and @status 0 and echoes the
request's @transaction. A get (message id 1) is answered, for each object it
names, with the object's tag and a value for every member it names, or for all
of the object's members when it names none:
  text     "sim OBJECT.MEMBER"         integers  the member's tag id
  floats   the tag id plus 0.5         bytes     02:00:00:00:00:ID
Members the dictionary does not know are echoed as they came. Other requests
get the common tags only.

Keep-alives (message id 1 without tags) are logged and not answered, unless
--answer-keepalives is given. Datagrams that do not parse are dropped; pieces
of a request cut into several segments are counted but not answered.

Options:
  -b, --bind ADDR          address to listen on (default 0.0.0.0)
  -p, --port PORT          UDP port to listen on (default 60000)
      --segments N         pad each reply so it goes out as N segments of at most
                           1024 bytes (1-200, default 1); padding is @reason text
      --reverse            send the last segment of a reply first, then the rest
                           in order
      --delay MS           send each reply MS milliseconds late (default 0);
                           requests keep being read meanwhile
      --seq-offset K       answer with the request's sequence number plus K
                           (modulo 128; K may be negative), i.e. wrongly
      --reply-id N         answer with message id N instead of the request's
      --silent             read and count requests, never answer
      --noise              around each reply send five copies of it with the
                           sequence numbers before its own, a datagram of junk
                           bytes, then the reply twice
      --drop-keepalives    do not answer keep-alives (the default)
      --answer-keepalives  answer keep-alives like any get
      --count-file PATH    append one line per datagram received, flushed at
                           once: "MSGID SEQ NTAGS", or "bad BYTES" for one that
                           does not parse
  -v, --verbose            print every datagram received and sent
  -h, --help               print this help and exit

Examples:
  zeld-sim -b 127.0.0.1 -v
  zeld-sim --segments 3 --reverse          a reply whose last segment comes first
  zeld-sim --delay 3500                    answers after the daemon gave up
  zeld-sim --silent --count-file /tmp/north.txt

Exit status: 0 after a signal; 2 on a usage error or when the port cannot be bound.
)";

// A --reply-id above 255: replies take the request's message id.
constexpr uint32_t kRequestId = 256;

struct Options {
    std::string bind = "0.0.0.0";
    uint32_t port = 60000;
    uint32_t delayMs = 0;
    uint32_t segments = 1;
    uint32_t replyId = kRequestId;
    bool silent = false;
    bool verbose = false;
    bool help = false;
    std::string countFile;
    toolkit::SimOptions sim;
};

bool take_seq_offset(const std::string& v, Options* o, std::string* error) {
    char* end = nullptr;
    long k = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || k < -1000 || k > 1000) {
        *error = "bad value '" + v + "' for --seq-offset (-1000 to 1000)";
        return false;
    }
    o->sim.seqOffset = static_cast<int>(k);
    return true;
}

bool parse_options(int argc, char** argv, Options* o, std::string* error) {
    using toolkit::flagOption;
    using toolkit::numberOption;
    const std::vector<toolkit::OptionSpec> specs = {
        flagOption("help", 'h', &o->help),
        flagOption("verbose", 'v', &o->verbose),
        flagOption("reverse", 0, &o->sim.reverse),
        flagOption("silent", 0, &o->silent),
        flagOption("noise", 0, &o->sim.noise),
        flagOption("drop-keepalives", 0, &o->sim.answerKeepalives, false),
        flagOption("answer-keepalives", 0, &o->sim.answerKeepalives),
        toolkit::textOption("bind", 'b', &o->bind),
        numberOption("port", 'p', &o->port, 0, 65535),
        numberOption("segments", 0, &o->segments, 1, toolkit::kSimMaxSegments),
        numberOption("delay", 0, &o->delayMs, 0, 600000),
        toolkit::callOption("seq-offset", 0,
                            [o](const std::string&, const char* v, std::string* e) {
                                return take_seq_offset(v, o, e);
                            }),
        numberOption("reply-id", 0, &o->replyId, 0, 255),
        toolkit::textOption("count-file", 0, &o->countFile),
    };
    if (!toolkit::readOptions(argc, argv, specs, nullptr, error)) {
        return false;
    }
    o->sim.segments = static_cast<int>(o->segments);
    o->sim.replyId = o->replyId <= 255 ? static_cast<int>(o->replyId) : -1;
    return true;
}

struct Pending {
    Clock::time_point due;
    sockaddr_in to;
    std::vector<Bytes> datagrams;
};

class Simulator {
public:
    Simulator(const Options& o, const UdpSocket& socket, FILE* countFile)
        : mOptions(o), mSocket(socket), mCountFile(countFile) {}

    // Serves until a signal comes.
    void serve() {
        std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
        while (g_stop == 0) {
            sockaddr_in from{};
            int n = mSocket.receive(buf.data(), buf.size(), wait_ms(), &from);
            if (n >= 0) {
                handle(buf.data(), std::min(static_cast<size_t>(n), buf.size()), from);
            } else if (n == UdpSocket::kError) {
                // Such as an ICMP error left by an earlier send; reading it cleared it.
                std::perror("zeld-sim: receive");
            }
            send_due();
        }
    }

private:
    // Wakes in time for the next delayed reply and at least every 200 ms to see a signal.
    int wait_ms() const {
        long long ms = 200;
        if (!mPending.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(mPending.front().due -
                                                                              Clock::now());
            ms = std::max(0LL, std::min(ms, static_cast<long long>(left.count()) + 1));
        }
        return static_cast<int>(ms);
    }

    void handle(const uint8_t* data, size_t len, const sockaddr_in& from) {
        if (mCountFile != nullptr) {
            std::fprintf(mCountFile, "%s\n", toolkit::simCountLine(data, len).c_str());
            std::fflush(mCountFile);
        }
        std::string peer = toolkit::formatAddress(from);
        toolkit::MsgPtr request(len <= 0xFFFF ? QMsg::parseMsg(data, static_cast<uint16_t>(len))
                                              : nullptr);
        if (!request) {
            std::printf("rx %zu bytes from %s: not a message, dropped\n", len, peer.c_str());
            return;
        }
        bool keepalive = toolkit::isKeepalive(*request);
        if (keepalive) {
            std::printf("rx keep-alive seq %u from %s\n", request->getMsgSeq(), peer.c_str());
        } else if (mOptions.verbose) {
            std::printf("rx %zu bytes from %s: %s", len, peer.c_str(),
                        toolkit::formatMessage(*request).c_str());
        }
        if (mOptions.silent) {
            return;
        }
        toolkit::MsgPtr reply = toolkit::simReply(*request, mOptions.sim);
        if (!reply) {
            if (!keepalive) {
                std::printf("rx from %s: a piece of a segmented message, not answered\n",
                            peer.c_str());
            }
            return;
        }
        std::vector<Bytes> datagrams = toolkit::simDatagrams(*reply, mOptions.sim);
        if (mOptions.verbose) {
            std::printf("reply to %s in %zu segment(s): %s", peer.c_str(), datagrams.size(),
                        toolkit::formatMessage(*reply).c_str());
        }
        mPending.push_back({Clock::now() + std::chrono::milliseconds(mOptions.delayMs), from,
                            std::move(datagrams)});
    }

    // Replies share one delay, so they fall due in arrival order.
    void send_due() {
        while (!mPending.empty() && mPending.front().due <= Clock::now()) {
            const Pending& p = mPending.front();
            for (const Bytes& d : p.datagrams) {
                bool sent = mSocket.sendTo(d.data(), d.size(), p.to);
                if (mOptions.verbose || !sent) {
                    std::printf("tx %zu bytes to %s%s\n", d.size(),
                                toolkit::formatAddress(p.to).c_str(), sent ? "" : ": failed");
                }
            }
            mPending.pop_front();
        }
    }

    const Options& mOptions;
    const UdpSocket& mSocket;
    FILE* mCountFile;
    std::deque<Pending> mPending;
};

int run(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse_options(argc, argv, &o, &error)) {
        return toolkit::usageError("zeld-sim", error);
    }
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    sockaddr_in local{};
    UdpSocket socket;
    if (!toolkit::resolveIPv4(o.bind, static_cast<uint16_t>(o.port), &local, &error) ||
        !socket.open(local, &error)) {
        std::fprintf(stderr, "zeld-sim: %s\n", error.c_str());
        return 2;
    }
    FILE* countFile = nullptr;
    if (!o.countFile.empty()) {
        countFile = std::fopen(o.countFile.c_str(), "a");
        if (countFile == nullptr) {
            std::perror(("zeld-sim: " + o.countFile).c_str());
            return 2;
        }
    }
    // No SA_RESTART: a signal ends the wait in poll at once.
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("zeld-sim: listening on %s\n",
                toolkit::formatAddress(socket.localAddress()).c_str());
    Simulator(o, socket, countFile).serve();
    if (countFile != nullptr) {
        std::fclose(countFile);
    }
    std::printf("zeld-sim: stopped\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return toolkit::guardedMain("zeld-sim", run, argc, argv);
}
