// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include <poll.h>
#include <unistd.h>

// The last bytes a process writes to a controller as it ends, or after the
// program ended: async-signal-safe calls only (write, read, poll,
// clock_gettime), for the fatal-signal handler and the guardian alike.
namespace ftlib {

// The size of the answer to a request: `fixed` bytes, or `header` bytes and
// then as many more as the little-endian 32-bit number at `lengthAt` says.
struct AnswerShape {
    std::uint32_t fixed = 0;
    std::uint32_t header = 0;
    std::uint32_t lengthAt = 0;
};

inline long long monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Writes everything; a port that does not take the bytes within about 50 ms
// is given up.
inline bool writePreparedFrame(int fd, const std::uint8_t *data, std::size_t size)
{
    int waits = 0;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && waits++ < 5) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            return false;
        }
    }
    return true;
}

// Reads `size` bytes into `out` (or drops them with a null `out`) before
// `deadline` (monotonicMs); false when they do not all come in time or the
// peer has gone.
inline bool readExactly(int fd, std::uint8_t *out, std::size_t size, long long deadline)
{
    std::uint8_t sink[64];
    while (size > 0) {
        std::uint8_t *into = out ? out : sink;
        const std::size_t want = out ? size : (size < sizeof sink ? size : sizeof sink);
        const ssize_t n = ::read(fd, into, want);
        if (n > 0) {
            if (out)
                out += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
        const long long left = deadline - monotonicMs();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

// Reads one whole answer of `shape` within `waitMs`: a request that follows
// it may then go out without overtaking it.
inline bool readAnswer(int fd, const AnswerShape &shape, int waitMs)
{
    const long long deadline = monotonicMs() + waitMs;
    if (shape.fixed > 0)
        return readExactly(fd, nullptr, shape.fixed, deadline);
    std::uint8_t header[64];
    if (shape.header == 0 || shape.header > sizeof header || shape.lengthAt + 4 > shape.header
        || !readExactly(fd, header, shape.header, deadline))
        return false;
    const std::uint8_t *at = header + shape.lengthAt;
    const std::uint32_t length = at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    // More than any answer holds: not an answer of this shape.
    if (length > 65536)
        return false;
    return readExactly(fd, nullptr, length, deadline);
}

} // namespace ftlib
