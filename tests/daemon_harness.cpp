#include "daemon_harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int elapsed_ms(Clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// True while some socket holds the port on the wildcard or loopback address.
bool port_taken(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(port);
    bool taken = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    close(fd);
    return taken;
}

std::vector<std::string> split_list(const std::string& s) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == '|') {
            if (!cur.empty()) {
                out.push_back(cur);
            }
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) {
        out.push_back(cur);
    }
    return out;
}

} // namespace

uint16_t freePort() {
    // Below the kernel's ephemeral range (32768 and up by default), so that no socket another
    // test opens meanwhile is given the port before the daemon binds it.
    static std::mt19937 rng(static_cast<unsigned>(getpid()) ^
                            static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 1000; ++attempt) {
        auto port = static_cast<uint16_t>(20000 + rng() % 12000);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        bool available = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        static uint16_t last = 0;
        if (available && port != last) {
            last = port;
            return port;
        }
    }
    return 0;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Process::Process(const std::vector<std::string>& argv, const std::string& log_path) {
    std::vector<std::string> full = split_list(TAMO_E2E_EMULATOR);
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

Process::~Process() {
    stop();
}

bool Process::waitExit(int ms, int* status) {
    auto start = Clock::now();
    while (mPid > 0) {
        int st = 0;
        pid_t r = waitpid(mPid, &st, WNOHANG);
        if (r == mPid) {
            mPid = -1;
            if (status != nullptr) {
                *status = st;
            }
            return true;
        }
        if (elapsed_ms(start) >= ms) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void Process::stop() {
    if (mPid > 0) {
        kill(mPid, SIGTERM);
        if (!waitExit(5000, nullptr)) {
            kill(mPid, SIGKILL);
            waitExit(5000, nullptr);
        }
    }
}

Client::Client(const char* address) {
    mFd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    inet_pton(AF_INET, address, &a.sin_addr);
    bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

void Client::connectTo(const char* address, uint16_t port) {
    sockaddr_in to = loopback(port);
    inet_pton(AF_INET, address, &to.sin_addr);
    mConnected = connect(mFd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

Client::~Client() {
    close(mFd);
}

void Client::sendRaw(uint16_t port, const void* data, size_t len) {
    if (mConnected) {
        ::send(mFd, data, len, 0);
        return;
    }
    sockaddr_in to = loopback(port);
    sendto(mFd, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void Client::send(uint16_t port, QMsg& msg) {
    uint8_t buf[1024];
    uint16_t n = msg.getMsg(buf, sizeof buf);
    sendRaw(port, buf, n);
}

QMsg* Client::receive(int ms, std::vector<size_t>* sizes) {
    auto start = Clock::now();
    QMsg* reply = nullptr;
    while (elapsed_ms(start) < ms) {
        pollfd p{mFd, POLLIN, 0};
        if (poll(&p, 1, ms - elapsed_ms(start)) <= 0) {
            break;
        }
        uint8_t buf[2048];
        ssize_t n = recv(mFd, buf, sizeof buf, 0);
        if (n < 0) {
            continue;
        }
        if (sizes != nullptr) {
            sizes->push_back(static_cast<size_t>(n));
        }
        QMsg* seg = QMsg::parseMsg(buf, static_cast<uint16_t>(n));
        if (seg == nullptr) {
            continue;
        }
        if (reply == nullptr) {
            reply = seg;
        } else {
            reply->addSegment(seg);
            delete seg;
        }
        if (reply->isLastSegment()) {
            return reply;
        }
    }
    delete reply;
    return nullptr;
}

std::string Daemon::dir() {
    return TAMO_E2E_DIR;
}

const std::string& Daemon::prepare(const DaemonSetup& setup) {
    static std::string log_path;
    std::string d = dir();
    mkdir(d.c_str(), 0755);
    std::string scripts = d + "/scripts";
    std::string cmd = "rm -rf '" + scripts + "' && mkdir -p '" + scripts + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "cannot reset %s\n", scripts.c_str());
    }
    for (const auto& s : setup.scripts) {
        writeFile(scripts + "/" + s.first, s.second);
    }
    log_path = d + "/tamo.log";
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
    auto start = Clock::now();
    do {
        if (log().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (elapsed_ms(start) < ms);
    return false;
}

Upstream::Upstream(uint16_t port, const std::vector<std::string>& options)
    : mCountFile(Daemon::dir() + "/upstream-" + std::to_string(port) + ".txt"),
      mProcess(
          [&] {
              writeFile(mCountFile, "");
              std::vector<std::string> argv = {
                  ZELD_SIM_BIN,         "-b",           "127.0.0.1", "-p",
                  std::to_string(port), "--count-file", mCountFile};
              argv.insert(argv.end(), options.begin(), options.end());
              return argv;
          }(),
          Daemon::dir() + "/upstream.out") {
    auto start = Clock::now();
    while (!port_taken(port) && elapsed_ms(start) < 20000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> Upstream::received() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(mCountFile));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

bool Upstream::waitReceived(size_t n, int ms) const {
    auto start = Clock::now();
    do {
        if (received().size() >= n) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (elapsed_ms(start) < ms);
    return false;
}

QMsg* request(uint8_t msg_id, uint8_t seq, uint8_t object, const std::vector<QTag*>& tags) {
    auto* msg = new QMsg(msg_id);
    msg->setMsgSeq(seq);
    msg->addTag(QTagFactory::createQTag(object));
    for (QTag* t : tags) {
        msg->addTag(t);
    }
    return msg;
}

} // namespace e2e
