// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "ftmsclib/framecell.h"
#include "rendezvous/portfailure.h"

// Outputs to 0 however the program ends: SIGKILL, _exit() or a crash that no
// handler of the process can see. A small process (ftmsclib-guardian, beside
// the library) is started for each running controller; it holds a copy of
// the port and watches the program's own process (a pidfd, which a child the
// program forks without exec cannot keep alive). When the program is gone,
// it writes the prepared all-zero exchange that the transfer loop keeps
// current in memory shared with it, then ends. An orderly close tells it to
// end without writing and waits until it has, so it never writes to a port
// the program closed; while it holds the port nobody else can open it.
namespace ftlib {

// What the program and its guardian share, in memory both map. A guardian
// from another build checks `layout` and the size before it trusts it.
constexpr std::uint32_t kGuardianLayout = 0x4B470002;
struct GuardianShared {
    std::uint32_t layout = kGuardianLayout;
    // The all-zero exchange with the transaction id that comes next.
    FrameCell zeros;
    // A transfer loop runs...
    std::atomic<bool> live{false};
    // ...and an output has been given a duty other than 0 since it started.
    std::atomic<bool> driven{false};
    // Orderly close: end without writing.
    std::atomic<bool> dismissed{false};
    // Taken by whichever writes the zeros as the program dies, its
    // fatal-signal handler or the guardian: the exchange goes out once.
    std::atomic<bool> zerosClaimed{false};
};

// The guardian's side of the socket, the memory and the program's pidfd: the
// numbers it finds them under after the start. The socket carries one byte
// each way: the guardian's "ready" once it watches, the program's "dismissed".
constexpr int kGuardianPortFd = 3;
constexpr int kGuardianSocketFd = 4;
constexpr int kGuardianMemoryFd = 5;
constexpr int kGuardianProgramFd = 6;
constexpr char kGuardianReady = 'R';
constexpr char kGuardianDismissed = 'D';
// Named where other programs read it too (a port's holders).
using rendezvous::kGuardianProgram;

// The library's handle on one guardian. Not thread-safe: the transfer loop
// and the setters share it under the device's lock.
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
    pid_t pid() const { return pid_; }
    // Readable when the guardian has news: it is ready, or it has ended.
    int watchFd() const { return socket_; }
    enum class News { None, Ready, Ended };
    // Reads the news without waiting. Ended: the guardian is gone (reaped;
    // `how` says how it ended) and nothing guards the port until a new start.
    News check(std::string &how);
    // Waits for the news up to `ms` (readiness normally comes within a few).
    News await(int ms, std::string &how);

    void publish(const std::vector<std::uint8_t> &zeros)
    {
        if (shared_)
            shared_->zeros.publish(zeros.data(), zeros.size());
    }
    void setLive(bool live)
    {
        live_ = live;
        if (!live)
            driven_ = false;
        if (shared_) {
            shared_->live.store(live);
            if (!live)
                shared_->driven.store(false);
        }
    }
    void outputDriven()
    {
        driven_ = true;
        if (shared_ && !shared_->driven.load(std::memory_order_relaxed))
            shared_->driven.store(true);
    }
    // Where the fatal-signal handler takes its turn to write the zeros.
    std::atomic<bool> *zerosClaim() { return shared_ ? &shared_->zerosClaimed : nullptr; }

    // Takes over another's guardian (a new one started for the same port),
    // with this one's live and driven state; the one given ends up here.
    void replaceWith(Guardian &fresh);
    // Tells the guardian to end without writing and waits until it has
    // (bounded: one that does not end is killed). The port may be closed
    // afterwards. `unmap`: false while a fatal-signal handler may still use
    // the shared memory.
    void dismiss(bool unmap = true);

private:
    // This handle's live and driven state into the shared memory.
    void share();
    void forget(bool unmap);

    GuardianShared *shared_ = nullptr;
    int socket_ = -1;
    pid_t pid_ = -1;
    // What the shared memory says, kept for a guardian that replaces this one.
    bool live_ = false;
    bool driven_ = false;
};

// Where the guardian program is: beside the code that holds this (the
// library, or kavrik-txprobe in the build tree), else in the installed
// library's folder.
std::string guardianPath();

} // namespace ftlib
