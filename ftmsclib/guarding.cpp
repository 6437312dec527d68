// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/guarding.h"

#include <algorithm>
#include <atomic>

#include "ftmsclib/trace.h"

namespace ftlib {

using std::chrono::milliseconds;

namespace {

// Guardians that ended before they were ready are started again after a
// second, then ever less often, up to this.
constexpr milliseconds kLongestBackoff{60000};
// The heartbeat: each guardian is asked this often, and one that has not
// answered for this long (stopped, say) is replaced.
constexpr milliseconds kPingEvery{200};
constexpr milliseconds kAnswerWithin{300};
// How long the transfer's start holds the duties back for its first
// guardians to be on their own; a process start on a slow machine takes
// this.
constexpr milliseconds kHoldAtMost{1000};
// How often a hold looks again (a launcher's end wakes nothing).
constexpr milliseconds kHoldPoll{10};

// Said once per process, whatever the trace level: a program that the
// library cannot guard should know.
void tellUnguarded(const std::string &port, const std::string &why)
{
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        traceAlways(port, "no working guardian (%s): outputs stay as they are if the program is killed", why.c_str());
    else
        trace(port, "no working guardian (%s)", why.c_str());
}

} // namespace

Guarding::Guarding(const std::string &port, EmergencyStop &emergency)
    : port_(port)
    , emergency_(emergency)
{
}

Guarding::~Guarding()
{
    if (firstStart_.joinable())
        firstStart_.join();
    for (Watcher &watcher : watchers_)
        watcher.process.dismiss();
}

void Guarding::notAsked()
{
    asked_ = false;
    setNote("none: not asked for");
}

void Guarding::startFirst(int portFd)
{
    if (!watch_.create(firstWhy_) || !memory_.create(firstWhy_))
        return;
    // Without a thread for it, the transfer starts them.
    try {
        firstStart_ = std::thread([this, portFd] {
            for (Watcher &watcher : watchers_)
                firstStarted_ = startWatcher(watcher, portFd, firstWhy_) || firstStarted_;
        });
    } catch (...) {
        firstWhy_.clear();
    }
}

void Guarding::setAnswers(milliseconds wait, const AnswerShape &zerosAnswer, const AnswerShape &farewellAnswer)
{
    answerWaitMs_ = static_cast<std::uint32_t>(wait.count());
    zerosAnswer_ = zerosAnswer;
    farewellAnswer_ = farewellAnswer;
}

bool Guarding::startWatcher(Watcher &watcher, int portFd, std::string &why)
{
    watcher.ready = false;
    return watcher.process.start(portFd, memory_.descriptor(), watch_.descriptor(), why);
}

void Guarding::begin(int portFd, Clock::time_point now, const std::vector<std::uint8_t> &zeros)
{
    if (asked_ && firstStart_.joinable()) {
        firstStart_.join();
        for (const Watcher &watcher : watchers_) {
            if (watcher.process.running())
                trace(port_, "guardian pid %d started", static_cast<int>(watcher.process.pid()));
        }
    }
    if (asked_ && !firstStarted_ && !firstWhy_.empty())
        unguarded(firstWhy_, now);
    // A program ended right after its first output must not find its
    // guardians still starting: nothing is driven until they are on their
    // own.
    holdUntil_ = now + kHoldAtMost;
    holding_ = true;
    updateHold(now);
    if (GuardianShared *shared = memory_.shared()) {
        shared->answerWaitMs.store(answerWaitMs_);
        shared->zerosAnswer.store(zerosAnswer_);
        shared->farewellAnswer.store(farewellAnswer_);
        shared->awaiting.store(false);
        shared->zeros.publish(zeros.data(), zeros.size());
        shared->farewell.publish(farewell_.data(), farewell_.size());
        shared->live.store(true);
    }
    emergency_.arm(portFd, zeros, memory_.shared() ? &memory_.shared()->zerosClaimed : nullptr);
    emergency_.setWritten(memory_.shared() ? &memory_.shared()->zerosWritten : nullptr);
    emergency_.setAnswerWait(answerWaitMs_);
    tick(portFd, now);
}

void Guarding::wakeUp(int portFd, Clock::time_point now)
{
    watch_.rearm();
    for (Watcher &watcher : watchers_) {
        std::string how;
        const long pid = watcher.process.pid();
        switch (watcher.process.check(how)) {
        case Guardian::News::Ready:
            watcher.ready = true;
            backoff_ = milliseconds(0);
            trace(port_, "guardian pid %d watches the program", static_cast<int>(pid));
            updateNote();
            break;
        case Guardian::News::Ended:
            trace(port_, "the guardian pid %d %s", static_cast<int>(pid), how.c_str());
            ended(watcher, how, now);
            break;
        case Guardian::News::None:
            break;
        }
    }
    tick(portFd, now);
}

void Guarding::ended(Watcher &watcher, const std::string &how, Clock::time_point now)
{
    // One that cannot even start up would be started in a loop.
    if (!watcher.ready)
        unguarded("the guardian " + how + " before it was ready", now);
    watcher.ready = false;
    updateNote();
}

void Guarding::updateHold(Clock::time_point now)
{
    if (!holding_)
        return;
    bool starting = false;
    if (asked_ && memory_.shared() && now < holdUntil_) {
        for (const Watcher &watcher : watchers_)
            starting = starting || (watcher.process.running() && watcher.process.starting());
    }
    if (starting) {
        mayDrive_.store(false);
        holdPollAt_ = now + kHoldPoll;
        return;
    }
    holding_ = false;
    released_ = !mayDrive_.exchange(true);
}

bool Guarding::takeDriveAllowed()
{
    const bool released = released_;
    released_ = false;
    return released;
}

void Guarding::tick(int portFd, Clock::time_point now)
{
    updateHold(now);
    if (!asked_ || !memory_.shared())
        return;
    for (Watcher &watcher : watchers_) {
        if (watcher.process.asked() && now - watcher.process.askedAt() >= kAnswerWithin) {
            const long pid = watcher.process.pid();
            std::string how;
            watcher.process.kill(how);
            trace(port_, "the guardian pid %d %s; starting a new one", static_cast<int>(pid), how.c_str());
            watcher.ready = false;
            updateNote();
        }
    }
    if (now >= nextPing_) {
        for (Watcher &watcher : watchers_)
            watcher.process.ping(now);
        nextPing_ = now + kPingEvery;
    }
    startMissing(portFd, now);
}

void Guarding::startMissing(int portFd, Clock::time_point now)
{
    for (Watcher &watcher : watchers_) {
        if (watcher.process.running() || now < nextStart_)
            continue;
        std::string why;
        if (!startWatcher(watcher, portFd, why)) {
            unguarded(why, now);
            return;
        }
        trace(port_, "guardian pid %d started", static_cast<int>(watcher.process.pid()));
    }
}

Guarding::Clock::time_point Guarding::nextTick() const
{
    if (!asked_ || !memory_.shared())
        return Clock::time_point::max();
    Clock::time_point next = holding_ ? std::min(nextPing_, holdPollAt_) : nextPing_;
    for (const Watcher &watcher : watchers_) {
        if (watcher.process.asked())
            next = std::min(next, watcher.process.askedAt() + kAnswerWithin);
        if (!watcher.process.running())
            next = std::min(next, nextStart_);
    }
    return next;
}

void Guarding::publish(const std::vector<std::uint8_t> &zeros)
{
    emergency_.publish(zeros);
    if (GuardianShared *shared = memory_.shared())
        shared->zeros.publish(zeros.data(), zeros.size());
}

void Guarding::publishFarewell(const std::vector<std::uint8_t> &farewell)
{
    farewell_ = farewell;
    if (GuardianShared *shared = memory_.shared())
        shared->farewell.publish(farewell.data(), farewell.size());
}

void Guarding::setAwaiting(bool awaiting, const AnswerShape &shape)
{
    if (GuardianShared *shared = memory_.shared()) {
        if (awaiting)
            shared->awaited.store(shape);
        shared->awaiting.store(awaiting);
    }
    emergency_.setAwaiting(awaiting);
}

void Guarding::portChanged()
{
    if (firstStart_.joinable())
        firstStart_.join();
    for (Watcher &watcher : watchers_)
        watcher.process.tellDismissed();
    for (Watcher &watcher : watchers_) {
        watcher.process.reap();
        watcher.ready = false;
    }
    nextStart_ = {};
}

void Guarding::end()
{
    holding_ = false;
    mayDrive_.store(true);
    emergency_.disarm();
    if (GuardianShared *shared = memory_.shared()) {
        shared->live.store(false);
        shared->driven.store(false);
        shared->awaiting.store(false);
    }
}

void Guarding::outputDriven()
{
    GuardianShared *shared = memory_.shared();
    if (shared && !shared->driven.load(std::memory_order_relaxed))
        shared->driven.store(true);
}

void Guarding::dismiss()
{
    if (firstStart_.joinable())
        firstStart_.join();
    if (GuardianShared *shared = memory_.shared())
        shared->dismissed.store(true);
    // Told together, then waited for: a close waits for the slower alone.
    for (Watcher &watcher : watchers_)
        watcher.process.tellDismissed();
    for (Watcher &watcher : watchers_)
        watcher.process.reap();
    memory_.release(true);
}

void Guarding::unguarded(const std::string &why, Clock::time_point now)
{
    backoff_ = std::min(std::max(2 * backoff_, milliseconds(1000)), kLongestBackoff);
    nextStart_ = now + backoff_;
    tellUnguarded(port_, why);
    setNote("none: " + why);
}

void Guarding::updateNote()
{
    std::string pids;
    for (const Watcher &watcher : watchers_) {
        if (watcher.ready)
            pids += (pids.empty() ? "pid " : ", pid ") + std::to_string(watcher.process.pid());
    }
    if (!pids.empty())
        setNote("watching (" + pids + ")");
}

void Guarding::setNote(const std::string &note)
{
    std::lock_guard<std::mutex> lock(noteMutex_);
    note_ = note;
}

std::string Guarding::state() const
{
    std::lock_guard<std::mutex> lock(noteMutex_);
    return note_;
}

} // namespace ftlib
