// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ftmsclib/framecell.h"
#include "ftmsclib/lastwords.h"
#include "rendezvous/portfailure.h"

// Outputs to 0 however the program ends: SIGKILL, _exit() or a crash that no
// handler of the process can see. Small processes (ftmsclib-guardian, beside
// the library) are started for each running controller; each holds a copy
// of the port and watches the program's own process (a pidfd, which a child
// the program forks without exec cannot keep alive). When the program is
// gone, one of them writes the prepared all-zero exchange that the transfer
// loop keeps current in memory shared with them, then they end. An orderly
// close tells them to end without writing and waits until they have, so
// they never write to a port the program closed; while one holds the port
// nobody else can open it. How a guardian is started and watches, and the
// memory, are the system's (guardian_linux.cpp, guardianmain_linux.cpp);
// what the guardian does once the program is gone is shared (lastwords.cpp).
namespace ftlib {

// The same, where another process reads it.
struct SharedShape {
    std::atomic<std::uint32_t> fixed{0};
    std::atomic<std::uint32_t> header{0};
    std::atomic<std::uint32_t> lengthAt{0};

    void store(const AnswerShape &shape)
    {
        fixed.store(shape.fixed);
        header.store(shape.header);
        lengthAt.store(shape.lengthAt);
    }
    AnswerShape load() const { return {fixed.load(), header.load(), lengthAt.load()}; }
};

// What the program and its guardians share, in memory all of them map. A
// guardian from another build checks `layout` and the size before it trusts
// it.
constexpr std::uint32_t kGuardianLayout = 0x4B470004;
struct GuardianShared {
    std::uint32_t layout = kGuardianLayout;
    // The all-zero exchange as it would go out next.
    FrameCell zeros;
    // Sent once the zeros are answered (a TXT's StopOnline); empty where
    // nothing follows them (a ROBO TX).
    FrameCell farewell;
    // A link on which no request may overtake the answer to the one before
    // (TCP): how long to wait for an answer, in milliseconds; 0 where
    // requests may follow each other (a ROBO TX's transaction ids).
    std::atomic<std::uint32_t> answerWaitMs{0};
    // A request is outstanding: its answer comes before the zeros go.
    std::atomic<bool> awaiting{false};
    SharedShape awaited;
    SharedShape zerosAnswer;
    SharedShape farewellAnswer;
    // A transfer loop runs...
    std::atomic<bool> live{false};
    // ...and an output has been given a duty other than 0 since it started.
    std::atomic<bool> driven{false};
    // Orderly close: end without writing.
    std::atomic<bool> dismissed{false};
    // Taken by whichever writes the zeros as the program dies, its
    // fatal-signal handler or a guardian: the exchange goes out once.
    std::atomic<bool> zerosClaimed{false};
    // The fatal-signal handler's zeros went out: the farewell that follows
    // them is a guardian's to say...
    std::atomic<bool> zerosWritten{false};
    // ...once: taken by whichever says it.
    std::atomic<bool> farewellClaimed{false};
};

// What goes between the program and a guardian, single bytes: the
// guardian's "ready" once it watches and its answer to each of the
// program's pings; the program's "dismissed".
constexpr char kGuardianReady = 'R';
constexpr char kGuardianPing = 'P';
constexpr char kGuardianAnswer = 'A';
constexpr char kGuardianDismissed = 'D';
// Named where other programs read it too (a port's holders).
using rendezvous::kGuardianProgram;

// The memory one device shares with its guardians, for as long as it is
// open. Not thread-safe; shared() may be used from any thread.
class GuardianMemory {
public:
    GuardianMemory() = default;
    ~GuardianMemory() { release(true); }
    GuardianMemory(const GuardianMemory &) = delete;
    GuardianMemory &operator=(const GuardianMemory &) = delete;

    // False, with `why` set, when there is none to be had.
    bool create(std::string &why);
    GuardianShared *shared() const { return shared_; }
    int descriptor() const { return fd_; }
    // `unmap`: false while a fatal-signal handler may still use it.
    void release(bool unmap);

private:
    GuardianShared *shared_ = nullptr;
    int fd_ = -1;
};

// Where the transfer loop learns that a guardian has news: descriptor() is
// readable when any guardian started with it has. Not thread-safe.
class GuardianWatch {
public:
    GuardianWatch() = default;
    ~GuardianWatch();
    GuardianWatch(const GuardianWatch &) = delete;
    GuardianWatch &operator=(const GuardianWatch &) = delete;

    // False, with `why` set, when the system gives none.
    bool create(std::string &why);
    int descriptor() const { return fd_; }
    // Called before the guardians' news is read: where the system's signal
    // stays set until reset (Windows' event), news that comes later sets it
    // again. Nothing to do where it tells the state itself (Linux).
    void rearm();

private:
    int fd_ = -1;
};

// The library's handle on one guardian process. Not thread-safe: the
// transfer loop owns it.
class Guardian {
public:
    using Clock = std::chrono::steady_clock;

    Guardian() = default;
    ~Guardian() { dismiss(); }
    Guardian(const Guardian &) = delete;
    Guardian &operator=(const Guardian &) = delete;

    // Starts the guardian for the open port `portFd` with the memory
    // `memoryFd`; it is watched by `watchFd` (a GuardianWatch's descriptor,
    // -1 for none) while it runs. False, with `why` set, when it could not be
    // started (the program beside the library missing, say).
    bool start(int portFd, int memoryFd, int watchFd, std::string &why);
    bool running() const { return pid_ > 0; }
    // Still starting, where a program ended now could take it along or end
    // before it watches (Windows: its launcher, in the program's process
    // tree, has not ended, or it has not connected; a process start there
    // takes some hundred milliseconds under Wine). Never on Linux, where it
    // has the port and the program's pidfd from its exec on.
    bool starting() const;
    // The guardian's process id.
    long pid() const { return pid_; }
    // Readable when the guardian has news: it is ready, it answered, or it
    // has ended.
    int watchFd() const { return socket_; }
    enum class News { None, Ready, Ended };
    // Reads the news without waiting. Ended: the guardian is gone (reaped;
    // `how` says how it ended) and nothing of it guards the port any more.
    News check(std::string &how);
    // The heartbeat: asks the guardian to answer, unless a question is still
    // open; when it was asked.
    void ping(Clock::time_point now);
    bool asked() const { return askedAt_ != Clock::time_point{}; }
    Clock::time_point askedAt() const { return askedAt_; }
    // Tells the guardian to end without writing (the memory says dismissed)
    // and waits until it has, bounded: one that does not end is killed. The
    // port may be closed afterwards.
    void dismiss();
    // Tells it without waiting; reap() then waits.
    void tellDismissed();
    void reap();
    // Ends one that does not answer (a stopped process); `how` for the trace.
    void kill(std::string &how);

private:
    // Out of the watch set first: a child forked without exec may keep the
    // socket alive, and its end of file would wake the loop for ever.
    void closeSocket();

    int socket_ = -1;
    int watchFd_ = -1;
    long pid_ = -1;
    Clock::time_point askedAt_{};
    // What else the system keeps for a running guardian (Windows: its pipe,
    // the operations pending on it, its process); none on Linux. Owned by
    // the system's file, which frees it once the guardian has ended.
    struct System;
    System *system_ = nullptr;
};

// Where the guardian program is: beside the code that holds this (the
// library, or kavrik-txprobe in the build tree), else in the installed
// library's folder.
std::string guardianPath();

} // namespace ftlib
