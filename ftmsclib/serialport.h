#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <termios.h>

// A serial device (USB CDC-ACM, RFCOMM or a pseudo-terminal) in raw mode with
// non-blocking I/O; every wait is bounded by the caller's timeout.
namespace ftlib {

enum class PortError { None, NotFound, AccessDenied, NotATerminal, Failed };
enum class ReadResult { Data, Nothing, Closed };

// Not thread-safe: one thread does the I/O at a time.
class SerialPort {
public:
    SerialPort() = default;
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;
    ~SerialPort() { close(); }

    // Opens the device raw at 38400 8N1 without flow control and discards
    // pending input. On failure `sysError` holds errno.
    PortError open(const std::string &path, int &sysError);
    // Restores the settings found at open and closes.
    void close();
    // Forgets the descriptor without closing it (while the process dies of a
    // signal whose handler may still write to it).
    void abandon()
    {
        fd_ = -1;
        haveOldSettings_ = false;
    }
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Writes everything or fails: false on error, hang-up or when the device
    // does not take the bytes within `timeout`.
    bool writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout);
    // Reads what is there without waiting. Closed means the device is gone
    // (end of file, EIO after a hang-up, or another error).
    ReadResult read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got);
    // Waits up to `timeout` for input; false on timeout. Hang-ups count as
    // readable, so the following read reports them.
    bool waitReadable(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    bool haveOldSettings_ = false;
    termios oldSettings_{};
};

} // namespace ftlib
