// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/tracefile.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "ftmsclib/trace.h"

namespace ftlib {

int openTraceFile(const std::string &path, int &sysError)
{
    // Non-blocking: a FIFO without a reader, or a device that waits for
    // its line, must hold up neither an open nor the program's exit.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    sysError = fd < 0 ? errno : 0;
    return fd;
}

void closeTraceFile(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// Whole lines only: each goes out in one write(), so lines of several
// threads or processes sharing the file stay apart. Where nothing takes the
// line right now (a FIFO nobody reads, a stalled terminal, a full pipe
// behind stderr), it is dropped: the trace never holds the library up.
void writeTraceLine(int file, const std::string &line)
{
    const int fd = file >= 0 ? file : STDERR_FILENO;
    const char *data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT))
            return;
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

std::string systemErrorText(int sysError)
{
    return std::strerror(sysError);
}

long long traceClockUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

} // namespace ftlib
