// tamo-loadgen: measures the daemon's round trips against a plain UDP echo server running in
// this process, one request at a time and with several in flight, on loopback only.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "options.h"
#include "request.h"
#include "sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using toolkit::Bytes;
using toolkit::MsgPtr;
using toolkit::UdpSocket;

const char kHelp[] = R"(Usage: tamo-loadgen [OPTION]...

Measures request round trips on loopback: first against a plain UDP echo server
started inside this program, then against the target daemon, each one request at
a time (round trips per second, median and p99 latency) and with several requests
in flight (requests per second). Replies are matched by sequence number; a reply
that does not come within the time-out counts as lost. Prints a table and the
daemon/echo ratios.

Options:
      --target HOST:PORT  the daemon, a loopback address (default 127.0.0.1:60010)
      --requests N        requests per run (default 20000)
      --request WORDS     the request, as tamoctl takes it (default
                          "get system.hostname", a get the example scripts serve)
      --in-flight N       requests in flight in the second run (1-64, default 16)
      --timeout-ms MS     how long a request waits for its reply (default 1000)
      --max-seconds S     time limit of each run (default 60)
      --echo-cpu CPU      run the echo server on that CPU, as the daemon is run
                          with taskset, so that both answer across the same cores
      --rss-pid PID       report that process's VmRSS after the first 10000
                          requests to the target and at the end
  -h, --help              print this help and exit

Exit status: 0 when both were measured, 1 when the target did not answer,
2 on a usage error.
)";

// An --echo-cpu beyond any CPU: the echo server runs where the scheduler puts it.
constexpr uint32_t kAnyCpu = 0xFFFFFFFF;

struct Options {
    std::string target = "127.0.0.1:60010";
    uint32_t requests = 20000;
    std::string request = "get system.hostname";
    uint32_t inFlight = 16;
    uint32_t timeoutMs = 1000;
    uint32_t maxSeconds = 60;
    uint32_t rssPid = 0; // 0: none watched
    uint32_t echoCpu = kAnyCpu;
    bool help = false;
};

struct RunResult {
    size_t answered = 0;
    size_t lost = 0;
    double seconds = 0;
    toolkit::LatencySummary latency;
    bool abandoned = false; // no reply at all: the target is not there
    double rate() const { return seconds > 0 ? static_cast<double>(answered) / seconds : 0; }
};

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

long read_rss_kb(uint32_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            std::istringstream fields(line.substr(6));
            long kb = -1;
            fields >> kb;
            return kb;
        }
    }
    return -1;
}

class EchoServer {
public:
    // cpu: the one to run on, or kAnyCpu.
    bool start(uint32_t cpu, std::string* error) {
        sockaddr_in lo{};
        if (!toolkit::resolveIPv4("127.0.0.1", 0, &lo, error) || !mSocket.open(lo, error)) {
            return false;
        }
        mThread = std::thread([this] { serve(); });
        if (cpu != kAnyCpu) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(static_cast<size_t>(cpu), &set);
            if (pthread_setaffinity_np(mThread.native_handle(), sizeof set, &set) != 0) {
                *error = "cannot run the echo server on CPU " + std::to_string(cpu);
                return false;
            }
        }
        return true;
    }
    ~EchoServer() {
        mStop = true;
        if (mThread.joinable()) {
            mThread.join();
        }
    }
    sockaddr_in address() const { return mSocket.localAddress(); }

private:
    void serve() {
        std::vector<uint8_t> buf(toolkit::kDatagramBufferBytes);
        while (!mStop) {
            sockaddr_in from{};
            int n = mSocket.receive(buf.data(), buf.size(), 50, &from);
            if (n >= 0) {
                mSocket.sendTo(buf.data(), std::min(static_cast<size_t>(n), buf.size()), from);
            }
        }
    }

    UdpSocket mSocket;
    std::thread mThread;
    std::atomic<bool> mStop{false};
};

// Sends the request under every sequence number and matches replies by it.
class Prober {
public:
    Prober(const Options& o, const std::array<Bytes, 128>& datagrams)
        : mOptions(o), mDatagrams(datagrams), mBuf(toolkit::kDatagramBufferBytes) {}

    bool open(std::string* error) { return mSocket.open(error); }

    // Called after each request sent to the target, for the RSS reading.
    std::function<void()> onSent;

    RunResult oneAtATime(const sockaddr_in& to) {
        RunResult r;
        std::vector<double> samples;
        auto start = Clock::now();
        auto timeout = std::chrono::milliseconds(mOptions.timeoutMs);
        for (uint32_t i = 0; i < mOptions.requests && seconds_since(start) < mOptions.maxSeconds;
             ++i) {
            uint8_t seq = next_seq();
            auto sent = Clock::now();
            send(seq, to);
            int got = -1;
            while (got != seq && Clock::now() < sent + timeout) {
                got = receive_last_segment(remaining_ms(sent + timeout));
            }
            if (got == seq) {
                samples.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
            } else if (++r.lost >= 5 && samples.empty()) {
                r.abandoned = true;
                break;
            }
        }
        r.seconds = seconds_since(start);
        r.answered = samples.size();
        r.latency = toolkit::summariseLatency(std::move(samples));
        return r;
    }

    RunResult inFlight(const sockaddr_in& to) {
        RunResult r;
        std::array<bool, 128> active{};
        std::array<Clock::time_point, 128> sentAt{};
        uint32_t sent = 0;
        uint32_t waiting = 0;
        auto start = Clock::now();
        auto timeout = std::chrono::milliseconds(mOptions.timeoutMs);
        while ((sent < mOptions.requests || waiting > 0) &&
               seconds_since(start) < mOptions.maxSeconds) {
            while (waiting < mOptions.inFlight && sent < mOptions.requests) {
                uint8_t seq = next_seq();
                while (active[seq]) {
                    seq = next_seq();
                }
                active[seq] = true;
                sentAt[seq] = Clock::now();
                send(seq, to);
                ++sent;
                ++waiting;
            }
            Clock::time_point oldest = Clock::now() + timeout;
            for (size_t s = 0; s < active.size(); ++s) {
                if (active[s] && sentAt[s] < oldest) {
                    oldest = sentAt[s];
                }
            }
            int got = receive_last_segment(remaining_ms(oldest + timeout));
            if (got >= 0 && active[static_cast<size_t>(got)]) {
                active[static_cast<size_t>(got)] = false;
                --waiting;
                ++r.answered;
            }
            for (size_t s = 0; s < active.size(); ++s) {
                if (active[s] && Clock::now() >= sentAt[s] + timeout) {
                    active[s] = false;
                    --waiting;
                    ++r.lost;
                }
            }
            if (r.answered == 0 && r.lost >= mOptions.inFlight) {
                r.abandoned = true;
                break;
            }
        }
        r.lost += waiting;
        r.seconds = seconds_since(start);
        return r;
    }

private:
    uint8_t next_seq() {
        mSeq = static_cast<uint8_t>((mSeq + 1) & toolkit::kSeqMask);
        return mSeq;
    }

    void send(uint8_t seq, const sockaddr_in& to) {
        const Bytes& d = mDatagrams[seq];
        mSocket.sendTo(d.data(), d.size(), to);
        if (onSent) {
            onSent();
        }
    }

    static int remaining_ms(Clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
    }

    // The sequence number of a last segment that arrived, or -1.
    int receive_last_segment(int timeoutMs) {
        int n = mSocket.receive(mBuf.data(), mBuf.size(), timeoutMs, nullptr);
        if (n < 0 || static_cast<size_t>(n) > 0xFFFF) {
            return -1;
        }
        MsgPtr m(QMsg::parseMsg(mBuf.data(), static_cast<uint16_t>(n)));
        return m && m->isLastSegment() ? m->getMsgSeq() : -1;
    }

    const Options& mOptions;
    const std::array<Bytes, 128>& mDatagrams;
    UdpSocket mSocket;
    std::vector<uint8_t> mBuf;
    uint8_t mSeq = 0;
};

bool parse_options(int argc, char** argv, Options* o, std::string* error) {
    using toolkit::numberOption;
    const std::vector<toolkit::OptionSpec> specs = {
        toolkit::flagOption("help", 'h', &o->help),
        toolkit::textOption("target", 0, &o->target),
        toolkit::textOption("request", 0, &o->request),
        numberOption("requests", 0, &o->requests, 1, 10000000),
        numberOption("in-flight", 0, &o->inFlight, 1, 64),
        numberOption("timeout-ms", 0, &o->timeoutMs, 1, 60000),
        numberOption("max-seconds", 0, &o->maxSeconds, 1, 3600),
        numberOption("echo-cpu", 0, &o->echoCpu, 0, 1023),
        numberOption("rss-pid", 0, &o->rssPid, 0, 0x7FFFFFFF),
    };
    return toolkit::readOptions(argc, argv, specs, nullptr, error);
}

// The request under each of the 128 sequence numbers, each one datagram.
bool make_datagrams(const std::string& request, std::array<Bytes, 128>* out, std::string* error) {
    std::vector<std::string> words;
    std::istringstream in(request);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    uint8_t id = 0;
    if (words.empty() || !toolkit::parseMessageId(words.front(), &id)) {
        *error = "--request needs a kind first, e.g. \"get system.hostname\"";
        return false;
    }
    words.erase(words.begin());
    MsgPtr msg = toolkit::buildRequest(id, words, error);
    if (!msg) {
        return false;
    }
    std::vector<std::string> reasons = toolkit::checkRequest(*msg);
    if (!reasons.empty()) {
        *error = "the request is refused: " + reasons.front();
        return false;
    }
    for (uint8_t seq = 0; seq < 128; ++seq) {
        msg->setMsgSeq(seq);
        std::vector<Bytes> d = toolkit::serialiseSegments(*msg);
        if (d.size() != 1) {
            *error = "the request does not fit one datagram";
            return false;
        }
        (*out)[seq] = d.front();
    }
    return true;
}

void print_row(const char* name, const RunResult& one, const RunResult& many) {
    std::printf("%-8s %10.0f %10.0f %10.0f %8zu %12.0f %8zu\n", name, one.rate(),
                one.latency.medianUs, one.latency.p99Us, one.lost, many.rate(), many.lost);
}

// VmRSS of the watched process after the first 10000 requests to the target and at the end.
struct RssWatch {
    uint64_t targetSent = 0;
    long first = -1;
    long end = -1;
};

void print_rss(uint32_t pid, const RssWatch& rss) {
    if (rss.first < 0 || rss.end < 0) {
        std::printf("VmRSS of pid %u: %s\n", static_cast<unsigned>(pid),
                    rss.targetSent < 10000 ? "fewer than 10000 requests were sent"
                                           : "cannot be read");
    } else {
        std::printf("VmRSS of pid %u: %ld kB after 10000 requests, %ld kB after %llu "
                    "(%+ld kB)\n",
                    static_cast<unsigned>(pid), rss.first, rss.end,
                    static_cast<unsigned long long>(rss.targetSent), rss.end - rss.first);
    }
}

// The table of both runs and the daemon/echo ratios; 1 when the target did not answer.
int report(const Options& o, const sockaddr_in& target, const RunResult (&echo)[2],
           const RunResult (&daemon)[2], const RssWatch& rss) {
    // The µ sign takes two bytes but one column, hence the wider fields of those headings.
    std::string many = std::to_string(o.inFlight) + " in flight";
    std::printf("%9s%-42s%s\n", "", "one at a time", many.c_str());
    std::printf("%-8s %10s %11s %11s %8s %12s %8s\n", "", "rt/s", "median µs", "p99 µs", "lost",
                "req/s", "lost");
    print_row("echo", echo[0], echo[1]);
    print_row("daemon", daemon[0], daemon[1]);
    std::printf("\n");
    if (daemon[0].abandoned || daemon[0].answered == 0) {
        std::printf("the target at %s did not answer\n", toolkit::formatAddress(target).c_str());
        return 1;
    }
    double throughput = echo[1].rate() > 0 ? daemon[1].rate() / echo[1].rate() : 0;
    double p99 = echo[0].latency.p99Us > 0 ? daemon[0].latency.p99Us / echo[0].latency.p99Us : 0;
    std::printf("daemon/echo: in-flight throughput %.2f (aim >= 0.50: %s), one-at-a-time p99 "
                "%.2fx (aim <= 2x: %s)\n",
                throughput, throughput >= 0.5 ? "met" : "missed", p99,
                p99 <= 2.0 ? "met" : "missed");
    if (o.rssPid > 0) {
        print_rss(o.rssPid, rss);
    }
    return 0;
}

// Both runs against the echo server, then against the target.
int measure(const Options& o, const sockaddr_in& target, const std::array<Bytes, 128>& datagrams) {
    std::string error;
    EchoServer echo;
    Prober prober(o, datagrams);
    if (!echo.start(o.echoCpu, &error) || !prober.open(&error)) {
        std::fprintf(stderr, "tamo-loadgen: %s\n", error.c_str());
        return 1;
    }
    std::printf("tamo-loadgen: %u requests per run, \"%s\" (%zu bytes), %u in flight, "
                "time-out %u ms\n",
                o.requests, o.request.c_str(), datagrams[0].size(), o.inFlight, o.timeoutMs);
    std::printf("echo at %s, target at %s\n\n", toolkit::formatAddress(echo.address()).c_str(),
                toolkit::formatAddress(target).c_str());

    const RunResult echoRuns[2] = {prober.oneAtATime(echo.address()),
                                   prober.inFlight(echo.address())};
    RssWatch rss;
    if (o.rssPid > 0) {
        prober.onSent = [&] {
            if (++rss.targetSent == 10000) {
                rss.first = read_rss_kb(o.rssPid);
            }
        };
    }
    RunResult daemonRuns[2] = {prober.oneAtATime(target), RunResult{}};
    if (!daemonRuns[0].abandoned) {
        daemonRuns[1] = prober.inFlight(target);
    }
    rss.end = o.rssPid > 0 ? read_rss_kb(o.rssPid) : -1;
    return report(o, target, echoRuns, daemonRuns, rss);
}

int run(int argc, char** argv) {
    Options o;
    std::string error;
    std::array<Bytes, 128> datagrams;
    sockaddr_in target{};
    if (!parse_options(argc, argv, &o, &error) ||
        (!o.help && (!toolkit::parseEndpoint(o.target, "127.0.0.1", &target, &error) ||
                     !make_datagrams(o.request, &datagrams, &error)))) {
        std::fprintf(stderr, "tamo-loadgen: %s\n", error.c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (!toolkit::isLoopback(target)) {
        std::fprintf(stderr,
                     "tamo-loadgen: %s is not a loopback address; load goes to "
                     "127.0.0.0/8 only\n",
                     toolkit::formatAddress(target).c_str());
        return 2;
    }
    return measure(o, target, datagrams);
}

} // namespace

int main(int argc, char** argv) {
    return toolkit::guardedMain("tamo-loadgen", run, argc, argv);
}
