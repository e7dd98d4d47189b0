// Runs the real daemon and zeld-sim as child processes and talks to them over loopback UDP with
// the shipped toolkit. The daemon's test build reads a fixed folder (TAMO_E2E_DIR) that every
// test rewrites, so the tests that use it hold a CTest resource lock on it.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "net.h"

namespace e2e {

using toolkit::MsgPtr;

// A UDP port on which nothing listens right now.
uint16_t freePort();

// A child process, killed and reaped when the object goes.
class Process {
public:
    // Starts argv (under the build's emulator, if any) with its output going to log_path.
    Process(const std::vector<std::string>& argv, const std::string& log_path);
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return mPid; }
    // Waits up to ms for the process to end; true with its exit status when it did.
    bool waitExit(int ms, int* status);
    void stop();

private:
    pid_t mPid = -1;
};

// A request as tamoctl builds it from its words ("get", "system.hostname ntp"), with seq.
MsgPtr request(const char* kind, uint8_t seq, const std::string& words);

// A UDP client bound to address (any of 127.0.0.0/8) and port (0: any free one).
class Client {
public:
    explicit Client(const char* address = "127.0.0.1", uint16_t port = 0);

    int fd() const { return mSocket.fd(); }
    void sendRaw(uint16_t port, const void* data, size_t len); // to 127.0.0.1
    // Sends msg to address:port, in segments.
    void send(uint16_t port, QMsg& msg, const char* address = "127.0.0.1");
    // The reply assembled within ms, or null; each datagram's size goes to sizes.
    MsgPtr receive(int ms, std::vector<size_t>* sizes = nullptr);
    // "address:port" of the last datagram received.
    std::string from() const { return toolkit::formatAddress(mFrom); }

private:
    toolkit::UdpSocket mSocket;
    sockaddr_in mFrom{};
};

// The folder the test build of the daemon reads, with its settings and its scripts.
struct DaemonSetup {
    uint16_t brokerPort = 0;
    uint16_t northPort = 0;
    std::string northHost = "127.0.0.1";
    std::string connectionLog = "DEBUG"; // priority of the category cConnection
    std::string settings;                // further lines, appended as they are
    std::vector<std::pair<std::string, std::string>> scripts;
};

// Writes the settings and scripts, starts the daemon and waits until it receives.
class Daemon {
public:
    explicit Daemon(const DaemonSetup& setup, bool wait_ready = true);
    // Fails the running test when the daemon's output holds a sanitizer's report, which would
    // go unread otherwise.
    ~Daemon();

    // True once the daemon's log holds text (polled for up to ms).
    bool logHas(const std::string& text, int ms = 0) const;
    std::string log() const;
    Process& process() { return mProcess; }

    static std::string dir();

private:
    static std::string prepare(const DaemonSetup& setup);
    Process mProcess;
};

// zeld-sim on a port, with extra options; records what it received.
class Upstream {
public:
    Upstream(uint16_t port, const std::vector<std::string>& options);

    // One "<msgid> <seq> <ntags>" line per datagram received, once there are n or after ms.
    std::vector<std::string> received(size_t n = 0, int ms = 0) const;

private:
    std::string mCountFile;
    std::string mListening; // the line it prints once bound
    size_t mSeenBefore;     // how often that line was in the shared output before it started
    Process mProcess;
};

} // namespace e2e
