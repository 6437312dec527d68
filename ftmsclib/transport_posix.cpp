// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/transport_posix.h"

#include <cerrno>

namespace ftlib {

Transport::Wake pollPort(int fd, short events, short hangUps, Transport::Clock::time_point deadline, int wakeFd,
                         int watchFd, int &lastError)
{
    // poll() skips entries with a negative descriptor.
    pollfd fds[3] = {{fd, events, 0}, {wakeFd, POLLIN, 0}, {watchFd, POLLIN, 0}};
    int r;
    do {
        r = ::poll(fds, 3, remainingMs(deadline));
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        lastError = errno;
        return Transport::Wake::Failed;
    }
    if (r == 0)
        return Transport::Wake::Timeout;
    if (fds[0].revents & hangUps)
        return Transport::Wake::HungUp;
    if (fds[0].revents)
        return Transport::Wake::Input;
    return Transport::Wake::Woken;
}

} // namespace ftlib
