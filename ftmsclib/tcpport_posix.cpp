// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/tcpport.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ftmsclib/lookup.h"
#include "ftmsclib/transport_posix.h"

namespace ftlib {

namespace {

using Clock = Transport::Clock;

ConnectError connectOne(int fd, const sockaddr_storage &address, socklen_t length, Clock::time_point deadline,
                        int &sysError)
{
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 && errno != EINPROGRESS) {
        sysError = errno;
    } else {
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, remainingMs(deadline));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            sysError = ETIMEDOUT;
            return ConnectError::NoAnswer;
        }
        socklen_t size = sizeof sysError;
        if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &sysError, &size) != 0)
            sysError = errno;
    }
    switch (sysError) {
    case 0:
        return ConnectError::None;
    case ECONNREFUSED:
        return ConnectError::Refused;
    case ECONNRESET:
        return ConnectError::Reset;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    // A route that rejects the address ("prohibit", "blackhole") or a
    // firewall of this machine's: no way there either.
    case EACCES:
    case EPERM:
    case EINVAL:
        return ConnectError::Unreachable;
    case ETIMEDOUT:
        return ConnectError::NoAnswer;
    default:
        return ConnectError::Failed;
    }
}

} // namespace

std::string unresolvedText(int sysError)
{
    return sysError == EAI_AGAIN ? "no answer in time" : ::gai_strerror(sysError);
}

ConnectError TcpPort::connect(const std::string &host, std::uint16_t port, Clock::time_point deadline, int &sysError)
{
    close();
    const std::shared_ptr<lookup::Resolution> found = lookup::lookUp(host, port, deadline);
    if (found->code != 0 || found->addresses.empty()) {
        sysError = found->code;
        return ConnectError::Unresolved;
    }
    ConnectError error = ConnectError::Failed;
    for (std::size_t i = 0; i < found->addresses.size() && Clock::now() < deadline; ++i) {
        const int fd = ::socket(found->addresses[i].ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            sysError = errno;
            continue;
        }
        // Every request is one small write that must not wait for the
        // peer's delayed acknowledgement of the one before.
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        error = connectOne(fd, found->addresses[i], found->lengths[i], deadline, sysError);
        if (error == ConnectError::None) {
            fd_ = fd;
            lowWater_ = 1;
            return error;
        }
        ::close(fd);
    }
    if (Clock::now() >= deadline && error == ConnectError::Failed)
        error = ConnectError::NoAnswer;
    return error;
}

void TcpPort::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TcpPort::shutdown()
{
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

bool TcpPort::writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (size > 0) {
        const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lastError_ = errno;
            return false;
        }
        pollfd p{fd_, POLLOUT, 0};
        const int left = remainingMs(deadline);
        if (left == 0 || ::poll(&p, 1, left) == 0) {
            lastError_ = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

ReadResult TcpPort::receive(std::uint8_t *buffer, std::size_t capacity, std::size_t &got, int flags)
{
    got = 0;
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, capacity, flags | MSG_DONTWAIT);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return ReadResult::Data;
        }
        if (n == 0) {
            lastError_ = 0;
            return ReadResult::Closed;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return ReadResult::Nothing;
        lastError_ = errno;
        return ReadResult::Closed;
    }
}

ReadResult TcpPort::read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got)
{
    return receive(buffer, capacity, got, 0);
}

ReadResult TcpPort::peek(std::uint8_t *buffer, std::size_t capacity, std::size_t &got)
{
    return receive(buffer, capacity, got, MSG_PEEK);
}

void TcpPort::expect(std::size_t bytes)
{
    // The kernel then wakes a wait only once the whole answer is there.
    bytes = std::max<std::size_t>(bytes, 1);
    if (bytes == lowWater_ || fd_ < 0)
        return;
    const int value = static_cast<int>(bytes);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value) == 0)
        lowWater_ = bytes;
}

Transport::Wake TcpPort::wait(Clock::time_point deadline, int wakeFd, int watchFd)
{
    return pollPort(fd_, POLLIN | POLLRDHUP, POLLHUP | POLLERR | POLLRDHUP, deadline, wakeFd, watchFd, lastError_);
}

} // namespace ftlib
