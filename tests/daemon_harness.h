// Runs the real daemon and zeld-sim as child processes for end-to-end tests, and talks to them
// over loopback UDP with the shipped toolkit: its socket, request builder and reply assembler.
//
// The test build of the daemon reads its settings and scripts from a fixed folder in the build
// tree (TAMO_E2E_DIR); every test rewrites that folder before it starts the daemon, so the
// tests that use it hold a CTest resource lock on it.
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

// Writes text to path, creating or truncating it.
void writeFile(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

// A child process, killed and reaped when the object goes.
class Process {
public:
    // Starts argv[0] with the arguments; output goes to log_path. Under a cross build the
    // emulator given at build time runs it.
    Process(const std::vector<std::string>& argv, const std::string& log_path);
    ~Process();
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

    // Connects the socket to address:port: from then on it sends there whatever port is given,
    // and receives only what comes from there.
    void connectTo(const char* address, uint16_t port);
    void sendRaw(uint16_t port, const void* data, size_t len);
    // Sends msg to the port of the peer's address (loopback unless connected), in segments.
    void send(uint16_t port, QMsg& msg);
    // Receives datagrams for up to ms into one reply: null when none completed. Every
    // datagram's size goes to sizes when given.
    MsgPtr receive(int ms, std::vector<size_t>* sizes = nullptr);

private:
    toolkit::UdpSocket mSocket;
    sockaddr_in mPeer{};
};

// The folder the test build of the daemon reads, with its settings and its scripts.
struct DaemonSetup {
    uint16_t brokerPort = 0;
    uint16_t northPort = 0;
    std::string northHost = "127.0.0.1";
    // priority of the category cConnection; further settings lines, appended as they are
    std::string connectionLog = "DEBUG";
    std::string settings;
    // file name -> Lua source, written into the script folder
    std::vector<std::pair<std::string, std::string>> scripts;
};

// Writes the settings and scripts, starts the daemon and waits until it receives.
class Daemon {
public:
    explicit Daemon(const DaemonSetup& setup, bool wait_ready = true);
    // Fails the running test when the daemon's output holds a sanitizer's report (a data race,
    // a memory error, undefined behaviour): a child process's reports would go unread otherwise.
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // True once the daemon's log holds text (polled for up to ms).
    bool logHas(const std::string& text, int ms = 0) const;
    std::string log() const;
    Process& process() { return mProcess; }

    static std::string dir();

private:
    static const std::string& prepare(const DaemonSetup& setup);
    Process mProcess;
};

// zeld-sim on a port, with extra options; records what it received.
class Upstream {
public:
    Upstream(uint16_t port, const std::vector<std::string>& options);

    // One "<msgid> <seq> <ntags>" line per datagram received, once there are n of them or
    // after ms.
    std::vector<std::string> received(size_t n = 0, int ms = 0) const;

private:
    std::string mCountFile;
    Process mProcess;
};

} // namespace e2e
