// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/tcpserver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace txsim {

using Clock = std::chrono::steady_clock;

TcpServer::TcpServer(TxtEngine &engine)
    : engine_(engine)
{
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TcpServer::~TcpServer()
{
    if (client_ >= 0)
        ::close(client_);
    for (const int fd : i2cClients_)
        ::close(fd);
    if (i2cListen_ >= 0)
        ::close(i2cListen_);
    if (listen_ >= 0)
        ::close(listen_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool TcpServer::parseAddress(const std::string &text, std::string &host, std::uint16_t &port, std::string &error)
{
    const std::size_t colon = text.rfind(':');
    const std::string digits = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    in_addr ip{};
    if (colon == std::string::npos || ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &ip) != 1) {
        error = "takes HOST:PORT with a numeric IPv4 host (not \"" + text + "\")";
        return false;
    }
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos
        || std::stol(digits) > 65535) {
        error = "takes a port from 0 to 65535 (not \"" + digits + "\")";
        return false;
    }
    host = text.substr(0, colon);
    port = static_cast<std::uint16_t>(std::stol(digits));
    return true;
}

namespace {

// A listening socket on `host`:`port`, -1 with errno set.
int listenOn(const std::string &host, std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
    const int one = 1;
    // A restarted simulator gets its port back while old connections linger.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 4) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::uint16_t boundPort(int fd)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    return ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) == 0 ? ntohs(sa.sin_port) : 0;
}

} // namespace

bool TcpServer::bindPorts(std::uint16_t port)
{
    listen_ = listenOn(host_, port);
    if (listen_ < 0)
        return false;
    const std::uint16_t bound = boundPort(listen_);
    // The last two ports have no neighbour to offer.
    if (bound == 0 || bound > 65533)
        return bound != 0;
    i2cListen_ = listenOn(host_, static_cast<std::uint16_t>(bound + 2));
    if (i2cListen_ >= 0)
        return true;
    const int error = errno;
    ::close(listen_);
    listen_ = -1;
    errno = error;
    return false;
}

bool TcpServer::open(const std::string &address, std::string &error)
{
    std::uint16_t port = 0;
    if (!parseAddress(address, host_, port, error))
        return false;
    if (wakeFd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    // A free port picked by the system may have a taken neighbour: another.
    bool bound = bindPorts(port);
    for (int attempt = 0; !bound && port == 0 && errno == EADDRINUSE && attempt < 50; ++attempt)
        bound = bindPorts(port);
    if (!bound) {
        error = address + ": " + std::strerror(errno);
        return false;
    }
    port_ = boundPort(listen_);
    address_ = host_ + ":" + std::to_string(port_);
    return true;
}

std::string TcpServer::localAddress() const
{
    if (host_ != "0.0.0.0")
        return address_;
    return "127.0.0.1" + address_.substr(address_.rfind(':'));
}

void TcpServer::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

void TcpServer::requestStop()
{
    stop_ = true;
    wake();
}

void TcpServer::setMute(bool mute)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    mute_ = mute;
}

void TcpServer::setSplit(std::chrono::milliseconds pause)
{
    splitMs_ = pause.count();
    wake();
}

void TcpServer::closeConnection()
{
    endRequested_ = 1;
    wake();
}

void TcpServer::resetConnection()
{
    endRequested_ = 2;
    wake();
}

void TcpServer::setTeardown(std::chrono::milliseconds time, bool reset)
{
    teardownReset_ = reset;
    teardownMs_ = time.count();
}

void TcpServer::endTeardown()
{
    listen_ = listenOn(host_, port_);
}

void TcpServer::endClient(const std::string &reason, bool reset)
{
    const int fd = client_;
    if (fd < 0)
        return;
    if (reset) {
        // No FIN: a zero linger time makes close() send a reset.
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    } else {
        // Unread bytes would turn the close into a reset as well.
        std::uint8_t sink[4096];
        while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        ::shutdown(fd, SHUT_WR);
    }
    ::close(fd);
    client_ = -1;
    queue_.clear();
    if (const long long teardown = teardownMs_) {
        turnAwayUntil_ = Clock::now() + std::chrono::milliseconds(teardown);
        if (!teardownReset_ && listen_ >= 0) {
            ::close(listen_);
            listen_ = -1;
        }
    }
    if (onConnection)
        onConnection("closed", reason);
}

void TcpServer::accept()
{
    const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    if (client_ >= 0) {
        // One host at a time, as far as anything is known of the TXT.
        ::close(fd);
        if (onConnection)
            onConnection("refused", "another host is connected");
        return;
    }
    if (Clock::now() < turnAwayUntil_) {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd);
        if (onConnection)
            onConnection("refused", "tearing down the last connection");
        return;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    engine_.connect();
    client_ = fd;
    if (onConnection)
        onConnection("open", "host");
}

void TcpServer::acceptI2c()
{
    const int fd = ::accept4(i2cListen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    i2cClients_.push_back(fd);
    if (onConnection)
        onConnection("i2c open", "host");
}

bool TcpServer::drainI2c(int fd)
{
    std::uint8_t sink[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n > 0)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        const std::string reason = n == 0 ? "host" : errno == ECONNRESET ? "host reset" : std::strerror(errno);
        ::close(fd);
        if (onConnection)
            onConnection("i2c closed", reason);
        return false;
    }
}

void TcpServer::readClient(std::vector<TxtReply> &replies)
{
    std::uint8_t buffer[4096];
    const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
    if (n == 0) {
        endClient("host", false);
        return;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        const int error = errno;
        endClient(error == ECONNRESET ? "host reset" : std::strerror(error), false);
        return;
    }
    replies.clear();
    if (!engine_.receive(buffer, static_cast<std::size_t>(n), Clock::now(), replies)) {
        endClient("violation", false);
        return;
    }
    std::lock_guard<std::mutex> lock(faultMutex_);
    if (!mute_)
        queue_.insert(queue_.end(), replies.begin(), replies.end());
}

void TcpServer::flush()
{
    const auto now = Clock::now();
    while (client_ >= 0 && !queue_.empty() && queue_.front().due <= now) {
        std::vector<std::uint8_t> &bytes = queue_.front().bytes;
        const long long split = splitMs_;
        const ssize_t n = ::send(client_, bytes.data(), split > 0 ? 1 : bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                endClient(errno == ECONNRESET ? "host reset" : std::strerror(errno), false);
            return; // EAGAIN: wait for POLLOUT
        }
        bytes.erase(bytes.begin(), bytes.begin() + n);
        if (bytes.empty()) {
            queue_.pop_front();
        } else if (split > 0) {
            // The rest of it later, a byte at a time.
            queue_.front().due = now + std::chrono::milliseconds(split);
            return;
        }
    }
}

void TcpServer::run(int extraFd, const std::function<bool()> &onExtra)
{
    std::vector<TxtReply> replies;
    while (!stop_) {
        if (const int end = endRequested_.exchange(0))
            endClient(end == 2 ? "reset" : "simulator", end == 2);
        const auto now = Clock::now();
        if (listen_ < 0 && now >= turnAwayUntil_)
            endTeardown();
        engine_.tick(now);
        // What is due goes out before the next request is read, so a request
        // finds its predecessor unanswered only when it really was.
        flush();
        int timeout = 50;
        if (!queue_.empty()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(queue_.front().due - now).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, timeout));
        }
        if (listen_ < 0) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(turnAwayUntil_ - now).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, timeout));
        }
        std::vector<pollfd> fds{{listen_, POLLIN, 0}, {client_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {extraFd, POLLIN, 0},
                                {i2cListen_, POLLIN, 0}};
        for (const int fd : i2cClients_)
            fds.push_back({fd, POLLIN, 0});
        if (!queue_.empty() && queue_.front().due <= now)
            fds[1].events |= POLLOUT;
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[2].revents & POLLIN) {
            std::uint64_t value;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &value, sizeof value);
        }
        // The host's hang-up first: a host that closes and connects again
        // at once (a TXT's restart after StopOnline) finds the place free,
        // however late this loop wakes.
        if (fds[1].fd >= 0 && fds[1].fd == client_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readClient(replies);
        if (fds[0].revents & POLLIN)
            accept();
        for (std::size_t i = 5; i < fds.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && !drainI2c(fds[i].fd))
                i2cClients_.erase(std::find(i2cClients_.begin(), i2cClients_.end(), fds[i].fd));
        }
        if (fds[4].revents & POLLIN)
            acceptI2c();
        flush();
        if (extraFd >= 0 && (fds[3].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!onExtra())
                break;
        }
    }
}

} // namespace txsim
