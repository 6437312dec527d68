// SPDX-License-Identifier: GPL-3.0-or-later
// The last words' system calls: write, read, poll and clock_gettime, each
// async-signal-safe.
#include "ftmsclib/lastwords.h"

#include <cerrno>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ftlib {

long long monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool writePreparedFrame(int fd, const std::uint8_t *data, std::size_t size)
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

bool readExactly(int fd, std::uint8_t *out, std::size_t size, long long deadline)
{
    // The transfer loop's low-water mark (a whole answer) stays on the
    // socket this shares: a wait for the rest of an answer read in part
    // would never end before the deadline. Each byte counts here. (A
    // serial port has no such option.)
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
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

} // namespace ftlib
