// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/wakesignal.h"

#include <cerrno>
#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

namespace ftlib {

WakeSignal::~WakeSignal()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool WakeSignal::create(int &sysError)
{
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sysError = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

void WakeSignal::raise()
{
    const std::uint64_t one = 1;
    // Non-blocking; a full counter already means "wake up".
    ssize_t n;
    do {
        n = ::write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void WakeSignal::drain()
{
    std::uint64_t value = 0;
    ssize_t n;
    do {
        n = ::read(fd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
}

} // namespace ftlib
