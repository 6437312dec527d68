// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <poll.h>

#include "ftmsclib/transport.h"

// The wait the POSIX transports share (serial port and TCP): poll() on the
// port and the descriptors that wake the loop.
namespace ftlib {

// Waits for `events` on `fd`, `wakeFd` or `watchFd` (either -1 for none);
// `hangUps` among the port's events make it HungUp. `lastError` gets errno
// when the wait fails.
Transport::Wake pollPort(int fd, short events, short hangUps, Transport::Clock::time_point deadline, int wakeFd,
                         int watchFd, int &lastError);

} // namespace ftlib
