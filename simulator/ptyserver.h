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

#include "simulator/engine.h"

// Carries the engine's conversation over a pseudo-terminal and injects the
// faults tests ask for (dropped, corrupted or split replies, stray console
// text, hang-up, silence).
namespace txsim {

// open() and run() belong to one thread; the fault controls and
// requestStop() may be called from any thread.
class PtyServer {
public:
    explicit PtyServer(DeviceEngine &engine);
    ~PtyServer();
    PtyServer(const PtyServer &) = delete;
    PtyServer &operator=(const PtyServer &) = delete;

    // Creates the pair and puts the slave into raw mode at once (a fresh
    // slave echoes, so the host would read its own requests back).
    bool open(std::string &error);
    const std::string &slavePath() const { return slavePath_; }

    // Serves until requestStop() or until onExtra returns false. onExtra runs
    // when extraFd (may be -1) is readable.
    void run(int extraFd, const std::function<bool()> &onExtra);
    void requestStop();

    void dropReplies(int count);
    void corruptReplies(int count);
    void splitNextReply(std::chrono::milliseconds pause);
    void strayTextBeforeNextReply();
    void setMute(bool mute);
    // Every reply (frames and console text) goes out this much later.
    void setLatency(std::chrono::milliseconds latency);
    // Closes the master: the host's port hangs up.
    void hangUp();
    // The port takes no bytes from the host for `pause` (its output is
    // suspended, as a congested radio link would hold it up).
    void stallHost(std::chrono::milliseconds pause);

    // Called on the serving thread right after a hang-up.
    std::function<void()> onHangUp;
    // A host has the port open: it makes the port exclusive while it holds
    // it. Any thread.
    bool hostConnected() const { return hostConnected_; }

private:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point due;
    };

    void enqueue(const Reply &reply, std::chrono::steady_clock::time_point received);
    void flush();
    void releaseDeadHostsPort();
    void noteHost();
    void closePty();
    void wake();

    DeviceEngine &engine_;
    int master_ = -1;
    int slave_ = -1;
    int wakeFd_ = -1;
    std::string slavePath_;
    std::deque<Chunk> queue_;

    std::mutex faultMutex_;
    int drop_ = 0;
    int corrupt_ = 0;
    std::chrono::milliseconds splitPause_{0};
    bool stray_ = false;
    bool mute_ = false;
    std::chrono::milliseconds latency_{0};
    std::atomic<bool> hangUpRequested_{false};
    // Serving thread only: while the host's writes are held up.
    std::chrono::steady_clock::time_point stalledUntil_{};
    bool stalled_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hostConnected_{false};
};

} // namespace txsim
