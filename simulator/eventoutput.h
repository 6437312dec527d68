// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace txsim {

// CLOCK_MONOTONIC in microseconds: the time of the events ("t_us"), which
// other processes can compare with theirs.
long long eventTimeUs();

// The events go out on a thread of their own: a test that stops reading them
// must not stall the port. Events beyond what is queued are dropped,
// counted, and the count is told once there is room again; the answers to
// commands never are: whoever sent one waits for its answer.
class EventOutput {
public:
    ~EventOutput() { finish(); }

    void start();
    // One line (without its newline) to stdout; `answer`: the answer to a
    // command, never dropped.
    void post(std::string line, bool answer = false);
    // What is queued goes out, for a second at most: a reader that never
    // reads must not keep the simulator from ending.
    void finish();

private:
    static constexpr std::size_t kMaxQueued = 20000;

    void run();
    static void writeAll(const std::string &line);

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable drained_;
    std::deque<std::string> queued_;
    unsigned long long dropped_ = 0;
    bool stopping_ = false;
    bool writing_ = false;
    bool done_ = false;
    std::thread writer_;
};

} // namespace txsim
