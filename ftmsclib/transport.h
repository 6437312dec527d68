// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// What a device talks through: the serial port, or a stand-in that a test or
// a fuzzer puts in its place. Time passes as the transport says, so a
// stand-in can run the whole conversation without waiting for it.
namespace ftlib {

enum class ReadResult { Data, Nothing, Closed };

class Transport {
public:
    using Clock = std::chrono::steady_clock;
    // What ended a wait.
    enum class Wake { Input, HungUp, Woken, Timeout, Failed };

    virtual ~Transport() = default;

    virtual Clock::time_point now() const { return Clock::now(); }
    // Writes everything or fails: false on error, hang-up or when the device
    // does not take the bytes within `timeout`.
    virtual bool writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout) = 0;
    // Reads what is there without waiting. Closed means the device is gone.
    virtual ReadResult read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) = 0;
    // Waits until there is input (Input), the device hung up (HungUp; input
    // may still be there to read), `wakeFd` or `watchFd` became readable
    // (Woken; -1 for none), or `deadline` passed (Timeout). Failed: the wait
    // itself failed.
    virtual Wake wait(Clock::time_point deadline, int wakeFd, int watchFd = -1) = 0;
    // errno of the last failure: ETIMEDOUT when the device did not take the
    // bytes in time, EIO for a hang-up, 0 for an end of file.
    virtual int lastError() const = 0;
    // The descriptor that the fatal-signal handler and the guardian write
    // their zeros to; -1 when there is none.
    virtual int descriptor() const = 0;
    // Gives the device up. abandon(): forgets it without closing (a dying
    // process whose signal handler may still write to it).
    virtual void close() = 0;
    virtual void abandon() = 0;
};

// A byte stream whose answers are taken whole: a reply stays where the
// guardians can read it until all of it is there (see guardian.h).
class StreamTransport : public Transport {
public:
    // Looks at what is there without taking it.
    virtual ReadResult peek(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) = 0;
    // wait() reports input only once this many bytes are there (or the
    // peer has gone).
    virtual void expect(std::size_t bytes) = 0;
    // Ends the conversation for the peer as well, whoever else holds the
    // descriptor (the guardians do).
    virtual void shutdown() = 0;
};

// For the transports: milliseconds left until `deadline`, for a wait (0
// when it has passed, at most a minute).
int remainingMs(Transport::Clock::time_point deadline);

} // namespace ftlib
