// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "simulator/txtengine.h"

// Carries the TXT engine's conversation over TCP: one connection at a time
// (a second client is accepted and closed at once), each reply written when
// it is due, and the faults tests ask for (silence, the simulator closing or
// resetting the connection). Like a TXT it also listens two ports further
// on, the I2C port, which common clients connect to as they start and give
// up without: its connections are kept and their requests go unanswered.
namespace txsim {

// open() and run() belong to one thread; the fault controls and
// requestStop() may be called from any thread.
class TcpServer {
public:
    explicit TcpServer(TxtEngine &engine);
    ~TcpServer();
    TcpServer(const TcpServer &) = delete;
    TcpServer &operator=(const TcpServer &) = delete;

    // "HOST:PORT" with a numeric IPv4 host and a port 0-65535 (0: any free
    // one); false with `error` otherwise.
    static bool parseAddress(const std::string &text, std::string &host, std::uint16_t &port, std::string &error);
    // Listens on `address` and two ports further (for port 0: a free port
    // whose neighbour is free too); false with `error` (the address in
    // use, ...).
    bool open(const std::string &address, std::string &error);
    // "HOST:PORT" as bound, the port the one actually listened on.
    const std::string &address() const { return address_; }
    // The address a client on this machine reaches it at (127.0.0.1 for a
    // server on every address).
    std::string localAddress() const;

    // Serves until requestStop() or until onExtra returns false. onExtra runs
    // when extraFd (may be -1) is readable.
    void run(int extraFd, const std::function<bool()> &onExtra);
    void requestStop();

    // Requests are read and carried out, nothing is answered.
    void setMute(bool mute);
    // Every answer goes a byte at a time, `pause` apart (0: whole).
    void setSplit(std::chrono::milliseconds pause);
    // The simulator ends the connection: an orderly close (FIN), or a reset
    // (RST).
    void closeConnection();
    void resetConnection();
    // After each connection ends, new ones are turned away for `time` (0:
    // never), as a TXT still tearing the last one down does: refused, no
    // one listening, or with `reset` taken and reset at once.
    void setTeardown(std::chrono::milliseconds time, bool reset);

    // Called on the serving thread: "open", "closed" or "refused" (a second
    // client, or one during a teardown), "i2c open" or "i2c closed", and why
    // ("host", "host reset", "simulator", "reset", "violation", a socket
    // error).
    std::function<void(const std::string &state, const std::string &reason)> onConnection;
    // Any thread.
    bool hostConnected() const { return client_ >= 0; }

private:
    // Binds both ports; false with errno set.
    bool bindPorts(std::uint16_t port);
    void accept();
    // Listens again once a teardown is over.
    void endTeardown();
    void acceptI2c();
    // Reads and drops what an I2C client sent; false once it has gone.
    bool drainI2c(int fd);
    void readClient(std::vector<TxtReply> &replies);
    void flush();
    void endClient(const std::string &reason, bool reset);
    void wake();

    TxtEngine &engine_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    int i2cListen_ = -1;
    std::vector<int> i2cClients_;
    std::atomic<int> client_{-1};
    int wakeFd_ = -1;
    std::string address_;
    std::string host_;
    std::deque<TxtReply> queue_;
    std::mutex faultMutex_;
    bool mute_ = false;
    std::atomic<long long> splitMs_{0};
    // 1: close, 2: reset, from the fault controls.
    std::atomic<int> endRequested_{0};
    std::atomic<long long> teardownMs_{0};
    std::atomic<bool> teardownReset_{false};
    // The serving thread's: new connections are turned away until then.
    std::chrono::steady_clock::time_point turnAwayUntil_{};
    std::atomic<bool> stop_{false};
};

} // namespace txsim
