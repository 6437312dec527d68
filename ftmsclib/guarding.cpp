// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/guarding.h"

#include <algorithm>
#include <atomic>

#include "ftmsclib/trace.h"

namespace ftlib {

using std::chrono::milliseconds;

namespace {

// A guardian that ended before it was ready is started again after a
// second, then ever less often, up to this.
constexpr milliseconds kLongestBackoff{60000};

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
}

void Guarding::notAsked()
{
    asked_ = false;
    setNote("none: not asked for");
}

void Guarding::startFirst(int portFd)
{
    // Without a thread for it, the transfer starts one.
    try {
        firstStart_ = std::thread([this, portFd] { firstStarted_ = first_.start(portFd, firstWhy_); });
    } catch (...) {
    }
}

void Guarding::begin(int portFd, Clock::time_point now, const std::vector<std::uint8_t> &zeros)
{
    if (asked_) {
        if (firstStart_.joinable()) {
            firstStart_.join();
            if (firstStarted_) {
                trace(port_, "guardian pid %d started", static_cast<int>(first_.pid()));
                std::lock_guard<std::mutex> lock(mutex_);
                guardian_.replaceWith(first_);
                // Not a guardian that ended: one that was never there.
                first_.dismiss();
            } else {
                unguarded(firstWhy_, now);
            }
        }
        supervise(portFd, now);
    }
    zeros_ = zeros;
    std::lock_guard<std::mutex> lock(mutex_);
    emergency_.arm(portFd, zeros, guardian_.zerosClaim());
    guardian_.publish(zeros);
    guardian_.setLive(true);
}

void Guarding::supervise(int portFd, Clock::time_point now)
{
    if (!asked_)
        return;
    std::string how;
    switch (guardian_.check(how)) {
    case Guardian::News::Ready:
        ready_ = true;
        backoff_ = milliseconds(0);
        trace(port_, "guardian pid %d watches the program", static_cast<int>(guardian_.pid()));
        setNote("watching (pid " + std::to_string(guardian_.pid()) + ")");
        break;
    case Guardian::News::Ended:
        trace(port_, "the guardian %s%s", how.c_str(), ready_ ? "; starting a new one" : " before it was ready");
        // One that cannot even start up would be started in a loop.
        if (!ready_)
            unguarded("the guardian " + how + " before it was ready", now);
        ready_ = false;
        break;
    case Guardian::News::None:
        break;
    }
    if (due(now))
        start(portFd, now);
}

void Guarding::start(int portFd, Clock::time_point now)
{
    Guardian fresh;
    std::string why;
    if (!fresh.start(portFd, why)) {
        unguarded(why, now);
        return;
    }
    trace(port_, "guardian pid %d started", static_cast<int>(fresh.pid()));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        guardian_.replaceWith(fresh);
        if (!zeros_.empty())
            guardian_.publish(zeros_);
    }
    emergency_.setClaim(guardian_.zerosClaim());
    // The one replaced is gone; its memory goes too, unless a fatal-signal
    // handler may still be looking at it.
    fresh.dismiss(!EmergencyStop::dying());
}

void Guarding::publish(const std::vector<std::uint8_t> &zeros)
{
    zeros_ = zeros;
    emergency_.publish(zeros);
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.publish(zeros);
}

void Guarding::end()
{
    emergency_.disarm();
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.setLive(false);
}

void Guarding::outputDriven()
{
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.outputDriven();
}

void Guarding::dismiss()
{
    if (firstStart_.joinable())
        firstStart_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.dismiss();
    first_.dismiss();
}

void Guarding::unguarded(const std::string &why, Clock::time_point now)
{
    backoff_ = std::min(std::max(2 * backoff_, milliseconds(1000)), kLongestBackoff);
    nextStart_ = now + backoff_;
    tellUnguarded(port_, why);
    setNote("none: " + why);
}

void Guarding::setNote(const std::string &note)
{
    std::lock_guard<std::mutex> lock(mutex_);
    note_ = note;
}

std::string Guarding::state() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return note_;
}

} // namespace ftlib
