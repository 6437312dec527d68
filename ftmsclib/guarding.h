// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftmsclib/emergencystop.h"
#include "ftmsclib/guardian.h"

namespace ftlib {

// Keeps a device guarded while its transfer runs: the first guardian started
// beside the open's return, taken over by the transfer loop, watched, and
// replaced when it ends (at once after one that was ready, else after a
// second, then less often); what the guardian and the fatal-signal handler
// share (the zeros, the claim on writing them). Threads: startFirst() on the
// opening thread, which starts the guardian on a thread of its own; the loop
// owns the supervision; the setters call outputDriven(); state() any thread;
// dismiss() at close, after the loop has ended.
class Guarding {
public:
    using Clock = std::chrono::steady_clock;

    Guarding(const std::string &port, EmergencyStop &emergency);
    ~Guarding();
    Guarding(const Guarding &) = delete;
    Guarding &operator=(const Guarding &) = delete;

    // The device is not to be guarded (a test's or a fuzzer's transport).
    void notAsked();
    bool asked() const { return asked_; }
    // After a successful open: the first guardian starts beside, for the
    // port `portFd`; the open does not wait for it.
    void startFirst(int portFd);

    // The loop, before anything that drives goes out: takes the first
    // guardian over (or starts one), then gives it and the fatal-signal
    // handler `zeros` and says the transfer runs.
    void begin(int portFd, Clock::time_point now, const std::vector<std::uint8_t> &zeros);
    // The loop, whenever it likes: reads the guardian's news, and starts a
    // new one where none runs and one is due.
    void supervise(int portFd, Clock::time_point now);
    bool due(Clock::time_point now) const { return asked_ && !guardian_.running() && now >= nextStart_; }
    // Readable when the guardian has news; -1 when none runs.
    int watchFd() const { return guardian_.watchFd(); }
    // The zeros to write if the program dies now.
    void publish(const std::vector<std::uint8_t> &zeros);
    // The loop ends, or gives the link up: nothing to write any more.
    void end();
    // A setter gave an output a duty other than 0.
    void outputDriven();
    // The close: the guardians end without writing (waited for).
    void dismiss();
    std::string state() const;

private:
    void start(int portFd, Clock::time_point now);
    void unguarded(const std::string &why, Clock::time_point now);
    void setNote(const std::string &note);

    const std::string port_;
    EmergencyStop &emergency_;
    bool asked_ = true;

    // Guarded by mutex_: the guardian in charge (the setters and the loop
    // touch it), the note for state().
    mutable std::mutex mutex_;
    Guardian guardian_;
    std::string note_ = "not started";
    // The loop's: the zeros last published, for a guardian that replaces one.
    std::vector<std::uint8_t> zeros_;

    // The first guardian, started on a thread of its own beside the open's
    // return: the loop joins that thread as it begins and takes the guardian
    // over, or else the close joins it and dismisses the guardian.
    std::thread firstStart_;
    Guardian first_;
    std::string firstWhy_;
    bool firstStarted_ = false;

    // The loop's: whether the guardian in charge said it watches, and when
    // one may be started again after one that ended.
    bool ready_ = false;
    Clock::time_point nextStart_{};
    std::chrono::milliseconds backoff_{0};
};

} // namespace ftlib
