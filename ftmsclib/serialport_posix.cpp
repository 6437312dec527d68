// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/serialport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "ftmsclib/transport_posix.h"

namespace ftlib {

struct SerialPort::Found {
    bool haveOldSettings = false;
    bool exclusive = false;
    termios oldSettings{};
};

namespace {

// The simulator takes the lock of its own pty for an instant to see whether
// a host is still there; a lock held by a real user stays held.
bool lockExclusive(int fd, int &sysError)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        sysError = errno;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        ::poll(nullptr, 0, 5);
    }
    return false;
}

// Raw 38400 8N1 without flow control. Raw mode matters for real bytes of
// the protocol: 0x03 is the interrupt character, 0x0D would become 0x0A, and
// 0x11/0x13 would be taken as XON/XOFF.
void makeRaw(termios &settings)
{
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // VMIN 1 with O_NONBLOCK makes an empty read say EAGAIN; with VMIN 0 it
    // would return 0, which could not be told from a hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B38400);
    ::cfsetospeed(&settings, B38400);
}

} // namespace

SerialPort::SerialPort()
    : found_(std::make_unique<Found>())
{
}

SerialPort::~SerialPort()
{
    close();
}

void SerialPort::abandon()
{
    fd_ = -1;
    found_->haveOldSettings = false;
    found_->exclusive = false;
}

PortError SerialPort::open(const std::string &path, int &sysError)
{
    close();
    sysError = 0;
    lastError_ = 0;
    // O_NONBLOCK also keeps open() from waiting for carrier on real lines.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        sysError = errno;
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO || errno == ENOTDIR)
            return PortError::NotFound;
        if (errno == EACCES || errno == EPERM)
            return PortError::AccessDenied;
        if (errno == EBUSY)
            return PortError::Busy;
        return PortError::Failed;
    }
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        sysError = errno;
        ::close(fd);
        return PortError::NotATerminal;
    }
    // The lock comes before anything changes: the loser of two openers
    // leaves the winner's exclusivity and settings alone.
    if (!lockExclusive(fd, sysError)) {
        ::close(fd);
        return sysError == EWOULDBLOCK ? PortError::Busy : PortError::Failed;
    }
    // Root ignores it, and some drivers may refuse it; the lock still holds.
    found_->exclusive = ::ioctl(fd, TIOCEXCL) == 0;
    found_->oldSettings = settings;
    makeRaw(settings);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        sysError = errno;
        if (found_->exclusive)
            ::ioctl(fd, TIOCNXCL);
        found_->exclusive = false;
        ::close(fd);
        return PortError::Failed;
    }
    found_->haveOldSettings = true;
    ::tcflush(fd, TCIFLUSH);
    fd_ = fd;
    return PortError::None;
}

void SerialPort::close()
{
    if (fd_ < 0)
        return;
    // A pty stays exclusive after its opener is gone while its other side is
    // open (the simulator's): clear it, or the next open fails with EBUSY.
    if (found_->exclusive)
        ::ioctl(fd_, TIOCNXCL);
    found_->exclusive = false;
    if (found_->haveOldSettings)
        ::tcsetattr(fd_, TCSANOW, &found_->oldSettings);
    found_->haveOldSettings = false;
    ::close(fd_);
    fd_ = -1;
}

bool SerialPort::writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout)
{
    if (fd_ < 0) {
        lastError_ = EBADF;
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            lastError_ = errno;
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        int r;
        do {
            r = ::poll(&p, 1, remainingMs(deadline));
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            lastError_ = errno;
            return false;
        }
        if (r == 0) {
            lastError_ = ETIMEDOUT;
            return false;
        }
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            lastError_ = EIO;
            return false;
        }
    }
    return true;
}

ReadResult SerialPort::read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got)
{
    got = 0;
    if (fd_ < 0) {
        lastError_ = EBADF;
        return ReadResult::Closed;
    }
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, capacity);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return ReadResult::Data;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return ReadResult::Nothing;
        // End of file or EIO: the device was unplugged or the pty hung up.
        lastError_ = n < 0 ? errno : 0;
        return ReadResult::Closed;
    }
}

Transport::Wake SerialPort::wait(Clock::time_point deadline, int wakeFd, int watchFd)
{
    if (fd_ < 0)
        return Wake::HungUp;
    return pollPort(fd_, POLLIN, POLLHUP | POLLERR | POLLNVAL, deadline, wakeFd, watchFd, lastError_);
}

} // namespace ftlib
