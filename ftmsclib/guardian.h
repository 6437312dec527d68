// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "ftmsclib/framecell.h"

// Outputs to 0 however the program ends: SIGKILL, _exit() or a crash that no
// handler of the process can see. A small process (ftmsclib-guardian, beside
// the library) is started for each open controller; it holds a copy of the
// port and waits on a pipe whose only writing end the program holds. When the
// program is gone, the kernel closes that end, and the guardian writes the
// prepared all-zero exchange that the transfer loop keeps current in memory
// shared with it, then ends. An orderly close tells it to end without writing
// and waits until it has, so it never writes to a port the program closed;
// while it holds the port nobody else can open it.
namespace ftlib {

// What the program and its guardian share, in memory both map.
struct GuardianShared {
    // The all-zero exchange with the transaction id that comes next.
    FrameCell zeros;
    // A transfer loop runs...
    std::atomic<bool> live{false};
    // ...and an output has been given a duty other than 0 since it started.
    std::atomic<bool> driven{false};
    // Orderly close: end without writing.
    std::atomic<bool> dismissed{false};
};

// The guardian's side of the pipe and the memory: the numbers it finds them
// under after the start.
constexpr int kGuardianPortFd = 3;
constexpr int kGuardianPipeFd = 4;
constexpr int kGuardianMemoryFd = 5;
constexpr const char *kGuardianProgram = "ftmsclib-guardian";

// The library's handle on one guardian. Not thread-safe, except live(),
// driven() and publish(), which the transfer loop and the setters call
// without waiting for anything.
class Guardian {
public:
    Guardian() = default;
    ~Guardian() { dismiss(); }
    Guardian(const Guardian &) = delete;
    Guardian &operator=(const Guardian &) = delete;

    // Starts the guardian for the open port `portFd`. False, with `why` set,
    // when it could not be started (the program beside the library missing,
    // say): the device works without one.
    bool start(int portFd, std::string &why);
    bool running() const { return pid_ > 0; }

    void publish(const std::vector<std::uint8_t> &zeros)
    {
        if (shared_)
            shared_->zeros.publish(zeros.data(), zeros.size());
    }
    void setLive(bool live)
    {
        if (shared_) {
            shared_->live.store(live);
            if (!live)
                shared_->driven.store(false);
        }
    }
    void outputDriven()
    {
        if (shared_ && !shared_->driven.load(std::memory_order_relaxed))
            shared_->driven.store(true);
    }

    // Tells the guardian to end without writing and waits until it has
    // (bounded: one that does not end is killed). The port may be closed
    // afterwards.
    void dismiss();

private:
    GuardianShared *shared_ = nullptr;
    int pipeFd_ = -1;
    pid_t pid_ = -1;
};

// Where the guardian program is: beside the library that holds this code.
std::string guardianPath();

} // namespace ftlib
