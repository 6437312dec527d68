// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftmsclib/emergencystop.h"
#include "ftmsclib/guardian.h"

namespace ftlib {

// Keeps a device guarded while its transfer runs: two guardians share the
// device's memory and its claim on the last zeros, so that while one is
// replaced (killed, or found stopped by the heartbeat) the other still
// watches, and a program killed right after one of them is still stopped.
// Both start beside the open's return, are taken over by the transfer loop,
// asked to answer every few hundred milliseconds, and replaced when they end
// or do not answer (at once after one that was ready, else after a second,
// then less often). Threads: startFirst() on the opening thread (the
// processes start on a thread of its own); the loop owns the supervision;
// the setters call outputDriven(); state() any thread; dismiss() at close,
// after the loop has ended.
class Guarding {
public:
    using Clock = std::chrono::steady_clock;

    Guarding(const std::string &port, EmergencyStop &emergency);
    ~Guarding();
    Guarding(const Guarding &) = delete;
    Guarding &operator=(const Guarding &) = delete;

    // The device is not to be guarded (a test's or a fuzzer's transport).
    void notAsked();
    // After a successful open: the guardians start beside, for the port
    // `portFd`; the open does not wait for them.
    void startFirst(int portFd);
    // A link on which no request may overtake the answer to the one before:
    // how long an answer may take, and the shapes of the answers to the
    // zeros and to the farewell that follows them (see GuardianShared).
    void setAnswers(std::chrono::milliseconds wait, const AnswerShape &zerosAnswer,
                    const AnswerShape &farewellAnswer);

    // The loop, before anything that drives goes out: takes the guardians
    // over (or starts them), then gives them and the fatal-signal handler
    // `zeros` and says the transfer runs.
    void begin(int portFd, Clock::time_point now, const std::vector<std::uint8_t> &zeros);
    // The loop, when watchFd() was readable: the guardians' news.
    void wakeUp(int portFd, Clock::time_point now);
    // The loop, after every wait: the heartbeat, and new guardians where
    // some are missing and one is due; nothing costly when nothing is due.
    void tick(int portFd, Clock::time_point now);
    // When tick() has something to do next.
    Clock::time_point nextTick() const;
    // Readable when a guardian has news; -1 when none is asked for.
    int watchFd() const { return watch_.descriptor(); }
    // The zeros to write if the program dies now, and what follows them.
    void publish(const std::vector<std::uint8_t> &zeros);
    void publishFarewell(const std::vector<std::uint8_t> &farewell);
    // A request is outstanding (its answer of `shape` comes before any
    // zeros), or answered.
    void setAwaiting(bool awaiting, const AnswerShape &shape = {});
    // The port is replaced (a TXT connected anew): the guardians holding the
    // old one end without writing, new ones start at the next begin().
    void portChanged();
    // The loop ends, or gives the link up: nothing to write any more.
    void end();
    // A setter gave an output a duty other than 0.
    void outputDriven();
    // False while the transfer's first guardians are still starting (see
    // Guardian::starting), at most a second: until then the transfer sends
    // zeros in place of the duties. Any thread.
    bool mayDrive() const { return mayDrive_.load(); }
    // The loop: true once, when mayDrive() has become true after being
    // false (the duties are then sent at once).
    bool takeDriveAllowed();
    // The close: the guardians end without writing (waited for).
    void dismiss();
    std::string state() const;

private:
    static constexpr int kWatchers = 2;
    struct Watcher {
        Guardian process;
        bool ready = false;
    };

    bool startWatcher(Watcher &watcher, int portFd, std::string &why);
    void startMissing(int portFd, Clock::time_point now);
    void ended(Watcher &watcher, const std::string &how, Clock::time_point now);
    void unguarded(const std::string &why, Clock::time_point now);
    void updateNote();
    void setNote(const std::string &note);

    const std::string port_;
    EmergencyStop &emergency_;
    bool asked_ = true;
    // Made by the opening thread, released at close: the setters use its
    // atomics without a lock.
    GuardianMemory memory_;
    std::array<Watcher, kWatchers> watchers_;
    // Watches both guardians, for the transport's wait.
    GuardianWatch watch_;

    mutable std::mutex noteMutex_;
    std::string note_ = "not started";

    // The first guardians, started on a thread of its own beside the open's
    // return: the loop joins that thread as it begins, else the close does.
    std::thread firstStart_;
    std::string firstWhy_;
    bool firstStarted_ = false;

    // What setAnswers() said, for the memory and the fatal-signal handler.
    std::uint32_t answerWaitMs_ = 0;
    AnswerShape zerosAnswer_;
    AnswerShape farewellAnswer_;
    std::vector<std::uint8_t> farewell_;

    // The loop's: until when the transfer's start waits for its first
    // guardians to be on their own, and whether it still does.
    void updateHold(Clock::time_point now);
    Clock::time_point holdUntil_{};
    Clock::time_point holdPollAt_{};
    bool holding_ = false;
    bool released_ = false;
    std::atomic<bool> mayDrive_{true};

    // The loop's: the heartbeat, and when guardians may be started again
    // after some that ended before they were ready.
    Clock::time_point nextPing_{};
    Clock::time_point nextStart_{};
    std::chrono::milliseconds backoff_{0};
};

} // namespace ftlib
