// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ftmsclib/transport.h"

// A serial device (USB CDC-ACM, Bluetooth or a pseudo-terminal) in raw mode with
// non-blocking I/O; every wait is bounded by the caller's timeout. The
// system's part (termios, poll, the locks) is in serialport_posix.cpp.
namespace ftlib {

// NoAnswer: the port opens by calling a device that did not answer (a
// Bluetooth serial port on Windows).
enum class PortError { None, NotFound, AccessDenied, NotATerminal, Busy, NoAnswer, Failed };

// Not thread-safe: one thread does the I/O at a time.
class SerialPort : public Transport {
public:
    SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;
    ~SerialPort() override;

    // Opens the device for this process alone: an advisory lock (flock) that
    // cooperating programs respect, and TIOCEXCL, which makes the kernel
    // refuse further opens by anyone but root. Then raw at 38400 8N1 without
    // flow control, pending input discarded. Busy when another open file
    // holds the lock or the port is exclusive (EBUSY). On failure `sysError`
    // holds the system's error number (errno).
    PortError open(const std::string &path, int &sysError);
    // Gives up exclusivity, restores the settings found at open and closes.
    void close() override;
    // Forgets the descriptor without closing it (while the process dies of a
    // signal whose handler may still write to it).
    void abandon() override;
    int descriptor() const override { return fd_; }

    bool writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout) override;
    ReadResult read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) override;
    // Hang-ups count as input too (HungUp), so the following read reports
    // them.
    Wake wait(Clock::time_point deadline, int wakeFd, int watchFd = -1) override;
    int lastError() const override { return lastError_; }

private:
    // What open() found and changed, to be put back at close: the system's.
    struct Found;

    int fd_ = -1;
    int lastError_ = 0;
    std::unique_ptr<Found> found_;
};

} // namespace ftlib
