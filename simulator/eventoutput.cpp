// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/eventoutput.h"

#include <cerrno>
#include <chrono>
#include <climits>

#include <poll.h>
#include <unistd.h>

namespace txsim {

long long eventTimeUs()
{
    // steady_clock is CLOCK_MONOTONIC.
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void EventOutput::start()
{
    writer_ = std::thread([this] { run(); });
}

void EventOutput::post(std::string line, bool answer)
{
    line += '\n';
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Written at once while the reader keeps up, so that an event is
        // out before the reply it comes with; a line up to PIPE_BUF goes
        // into a pipe that has room in one piece, without waiting.
        if (queued_.empty() && !writing_ && line.size() <= PIPE_BUF) {
            pollfd out{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&out, 1, 0) == 1 && (out.revents & POLLOUT)) {
                writeAll(line);
                return;
            }
        }
        if (!answer && (queued_.size() >= kMaxQueued || dropped_ > 0)) {
            ++dropped_;
            return;
        }
        queued_.push_back(std::move(line));
    }
    ready_.notify_one();
}

void EventOutput::finish()
{
    if (!writer_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    std::unique_lock<std::mutex> lock(mutex_);
    if (drained_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) {
        lock.unlock();
        writer_.join();
    } else {
        lock.unlock();
        writer_.detach();
    }
}

void EventOutput::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (queued_.empty())
            break;
        std::string line = std::move(queued_.front());
        queued_.pop_front();
        if (dropped_ > 0 && queued_.size() < kMaxQueued / 2) {
            queued_.push_back("{\"t_us\":" + std::to_string(eventTimeUs()) + ",\"event\":\"dropped\",\"count\":"
                              + std::to_string(dropped_) + "}\n");
            dropped_ = 0;
        }
        writing_ = true;
        lock.unlock();
        writeAll(line);
        lock.lock();
        writing_ = false;
    }
    done_ = true;
    drained_.notify_all();
}

void EventOutput::writeAll(const std::string &line)
{
    const char *data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nobody to read it any more
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace txsim
