#include "daemon_harness.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "request.h"

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int elapsed_ms(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// True when a socket can be bound to host:port.
bool port_free(const char* host, uint16_t port) {
    sockaddr_in a{};
    toolkit::UdpSocket probe;
    std::string error;
    return toolkit::resolveIPv4(host, port, &a, &error) && probe.open(a, &error);
}

// The stand-ins' output, one file for all of them, and the line each prints once it is bound.
std::string upstream_log() {
    return Daemon::dir() + "/upstream.out";
}
std::string listening_line(uint16_t port) {
    return "zeld-sim: listening on 127.0.0.1:" + std::to_string(port) + "\n";
}
size_t lines_with(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size()) {
        ++n;
    }
    return n;
}

// Polls done every 10 ms for up to ms (at least once); true as soon as it holds.
template <typename Done>
bool within(int ms, Done done) {
    auto start = Clock::now();
    do {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (elapsed_ms(start) < ms);
    return false;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readFile(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

} // namespace

uint16_t freePort() {
    // Below the ephemeral ports (32768 up), so no socket opened meanwhile is given it first.
    static std::mt19937 rng(std::random_device{}());
    static uint16_t last = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto port = static_cast<uint16_t>(20000 + rng() % 12000);
        if (port != last && port_free("0.0.0.0", port)) {
            last = port;
            return port;
        }
    }
    return 0;
}

Process::Process(const std::vector<std::string>& argv, const std::string& log_path) {
    std::vector<std::string> full;
    std::istringstream emulator(TAMO_E2E_EMULATOR); // its words, separated by '|'
    for (std::string word; std::getline(emulator, word, '|');) {
        if (!word.empty()) {
            full.push_back(word);
        }
    }
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : full) {
        args.push_back(&a[0]);
    }
    args.push_back(nullptr);
    mPid = fork();
    if (mPid == 0) {
        int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
}

bool Process::waitExit(int ms, int* status) {
    if (mPid <= 0 || !within(ms, [&] { return waitpid(mPid, status, WNOHANG) == mPid; })) {
        return false;
    }
    mPid = -1;
    return true;
}

void Process::stop() {
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        int status = 0;
        if (!waitExit(5000, &status)) {
            kill(mPid, SIGKILL);
            waitExit(5000, &status);
        }
    }
}

MsgPtr request(const char* kind, uint8_t seq, const std::string& words) {
    std::istringstream in(words);
    std::vector<std::string> split{std::istream_iterator<std::string>(in), {}};
    uint8_t id = 0;
    std::string error = "unknown message";
    MsgPtr msg =
        toolkit::parseMessageId(kind, &id) ? toolkit::buildRequest(id, split, &error) : nullptr;
    if (!msg) {
        ADD_FAILURE() << "cannot build a " << kind << ": " << error;
        msg.reset(new QMsg(id));
    }
    msg->setMsgSeq(seq);
    return msg;
}

Client::Client(const char* address, uint16_t port) {
    std::string error;
    sockaddr_in local{};
    EXPECT_TRUE(toolkit::resolveIPv4(address, port, &local, &error) && mSocket.open(local, &error))
        << error;
}

void Client::sendRaw(uint16_t port, const void* data, size_t len) {
    auto bytes = static_cast<const uint8_t*>(data);
    EXPECT_TRUE(mSocket.sendTo(bytes, len, toolkit::loopbackAddress(port)));
}

void Client::send(uint16_t port, QMsg& msg, const char* address) {
    std::string error;
    sockaddr_in to{};
    EXPECT_TRUE(toolkit::resolveIPv4(address, port, &to, &error)) << error;
    for (const toolkit::Bytes& s : toolkit::serialiseSegments(msg)) {
        EXPECT_TRUE(mSocket.sendTo(s.data(), s.size(), to));
    }
}

MsgPtr Client::receive(int ms, std::vector<size_t>* sizes) {
    QReplyAssembler reply(QReplyAssembler::kAnySeq);
    toolkit::Bytes buf(toolkit::kDatagramBufferBytes);
    auto start = Clock::now();
    while (reply.isWaiting() && elapsed_ms(start) < ms) {
        int n = mSocket.receive(buf.data(), buf.size(), ms - elapsed_ms(start), &mFrom);
        if (n >= 0) {
            if (sizes != nullptr) {
                sizes->push_back(static_cast<size_t>(n));
            }
            reply.offer(buf.data(), std::min(static_cast<size_t>(n), buf.size()));
        }
    }
    return reply.isDone() ? reply.take() : nullptr;
}

std::string Daemon::dir() {
    return TAMO_E2E_DIR;
}

std::string Daemon::prepare(const DaemonSetup& setup) {
    const std::string d = dir(), log_path = d + "/tamo.log";
    std::string scripts = d + "/scripts";
    std::error_code ignored;
    std::filesystem::remove_all(scripts, ignored);
    std::filesystem::create_directories(scripts, ignored);
    for (const auto& s : setup.scripts) {
        writeFile(scripts + "/" + s.first, s.second);
    }
    std::ostringstream conf;
    conf << "tamo.broker.port = " << setup.brokerPort << "\n"
         << "tamo.north.port = " << setup.northPort << "\n"
         << "tamo.north.host = " << setup.northHost << "\n"
         << "log4cpp.rootCategory = INFO, file\n"
         << "log4cpp.category.cConnection = " << setup.connectionLog << "\n"
         << "log4cpp.appender.file = FileAppender\n"
         << "log4cpp.appender.file.fileName = " << log_path << "\n"
         << "log4cpp.appender.file.layout = PatternLayout\n"
         << "log4cpp.appender.file.layout.ConversionPattern = %d{%H:%M:%S.%l} %p %c: %m%n\n"
         << setup.settings;
    writeFile(d + "/tamo.conf", conf.str());
    writeFile(log_path, "");
    writeFile(log_path + ".out", ""); // stdout and stderr, sanitizer reports included
    return log_path;
}

Daemon::Daemon(const DaemonSetup& setup, bool wait_ready)
    : mProcess({TAMO_E2E_BIN}, prepare(setup) + ".out") {
    if (wait_ready) {
        // Without debug lines, the last line before the receive loop.
        logHas(setup.connectionLog == "DEBUG" ? "Waiting for data" : "Listening on UDP", 20000);
    }
}

Daemon::~Daemon() {
    std::string out = readFile(dir() + "/tamo.log.out");
    for (const char* mark :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"}) {
        size_t at = out.find(mark);
        if (at != std::string::npos) {
            ADD_FAILURE() << "the daemon reported:\n" << out.substr(at, 3000);
            break;
        }
    }
}

std::string Daemon::log() const {
    return readFile(dir() + "/tamo.log");
}

bool Daemon::logHas(const std::string& text, int ms) const {
    return within(ms, [&] { return log().find(text) != std::string::npos; });
}

Upstream::Upstream(uint16_t port, const std::vector<std::string>& options)
    : mCountFile(Daemon::dir() + "/upstream-" + std::to_string(port) + ".txt"),
      mListening(listening_line(port)),
      mSeenBefore(lines_with(readFile(upstream_log()), mListening)),
      mProcess(
          [&] {
              writeFile(mCountFile, "");
              std::vector<std::string> argv = {
                  ZELD_SIM_BIN,         "-b",           "127.0.0.1", "-p",
                  std::to_string(port), "--count-file", mCountFile};
              argv.insert(argv.end(), options.begin(), options.end());
              return argv;
          }(),
          upstream_log()) {
    // Its own line says it has bound the port. Probing the port by binding it instead could
    // take it from under the starting stand-in.
    if (!within(20000,
                [&] { return lines_with(readFile(upstream_log()), mListening) > mSeenBefore; })) {
        ADD_FAILURE() << "zeld-sim does not listen on port " << port;
    }
}

std::vector<std::string> Upstream::received(size_t n, int ms) const {
    std::vector<std::string> lines;
    within(ms, [&] {
        lines.clear();
        std::istringstream in(readFile(mCountFile));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines.size() >= n;
    });
    return lines;
}

} // namespace e2e
