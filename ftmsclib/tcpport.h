// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "ftmsclib/transport.h"

// A TCP connection to a ROBOTICS TXT, non-blocking, without Nagle's delay
// (each request leaves in one write); every wait is bounded by the caller's
// timeout.
namespace ftlib {

// Reset: the other end reset the connection as it was made.
enum class ConnectError { None, Unresolved, Refused, Reset, Unreachable, NoAnswer, Failed };

// What the resolver's code of an Unresolved connect says, for the trace.
std::string unresolvedText(int sysError);

// Not thread-safe: one thread does the I/O at a time.
class TcpPort : public StreamTransport {
public:
    TcpPort() = default;
    TcpPort(const TcpPort &) = delete;
    TcpPort &operator=(const TcpPort &) = delete;
    ~TcpPort() override { close(); }

    // Resolves `host` (a name waits at most until `deadline`) and connects to
    // its first address that answers before `deadline`. On failure
    // `sysError` holds errno (or the resolver's code for Unresolved).
    ConnectError connect(const std::string &host, std::uint16_t port, Clock::time_point deadline, int &sysError);
    void close() override;
    void abandon() override { fd_ = -1; }
    int descriptor() const override { return fd_; }

    bool writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout) override;
    ReadResult read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) override;
    ReadResult peek(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) override;
    void expect(std::size_t bytes) override;
    void shutdown() override;
    // A closed or reset connection counts as input too (HungUp).
    Wake wait(Clock::time_point deadline, int wakeFd, int watchFd = -1) override;
    int lastError() const override { return lastError_; }

private:
    ReadResult receive(std::uint8_t *buffer, std::size_t capacity, std::size_t &got, int flags);

    int fd_ = -1;
    int lastError_ = 0;
    std::size_t lowWater_ = 1;
};

} // namespace ftlib
