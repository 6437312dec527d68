// SPDX-License-Identifier: GPL-3.0-or-later
// A TCP connection to a TXT over Winsock: non-blocking, each wait on an
// event that the socket's FD_READ and FD_CLOSE signal, beside the loop's
// wake-up and the guardians' watch.
#include "ftmsclib/tcpport.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ftmsclib/handle_windows.h"
#include "ftmsclib/lookup.h"
#include "ftmsclib/transport_windows.h"
#include "ftmsclib/winsock_windows.h"

namespace ftlib {

namespace {

using Clock = Transport::Clock;

ConnectError connectOne(SOCKET s, const sockaddr_storage &address, int length, Clock::time_point deadline,
                        int &sysError)
{
    sysError = 0;
    if (::connect(s, reinterpret_cast<const sockaddr *>(&address), length) != 0
        && ::WSAGetLastError() != WSAEWOULDBLOCK) {
        sysError = ::WSAGetLastError();
    } else {
        // A refused connect shows in the exception set, not the writable
        // one.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        const int ms = remainingMs(deadline);
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        const int ready = ::select(0, nullptr, &writable, &failed, &limit);
        if (ready == 0) {
            sysError = WSAETIMEDOUT;
            return ConnectError::NoAnswer;
        }
        int size = sizeof sysError;
        if (ready < 0)
            sysError = ::WSAGetLastError();
        else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&sysError), &size) != 0)
            sysError = ::WSAGetLastError();
        else if (sysError == 0 && FD_ISSET(s, &failed))
            sysError = WSAECONNREFUSED;
    }
    switch (sysError) {
    case 0:
        return ConnectError::None;
    case WSAECONNREFUSED:
        return ConnectError::Refused;
    case WSAECONNRESET:
        return ConnectError::Reset;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEHOSTDOWN:
        return ConnectError::Unreachable;
    case WSAETIMEDOUT:
        return ConnectError::NoAnswer;
    default:
        return ConnectError::Failed;
    }
}

bool wouldBlock(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

} // namespace

std::string unresolvedText(int sysError)
{
    if (sysError == EAI_AGAIN)
        return "no answer in time";
    // gai_strerror is not thread-safe on Windows: its text comes from the
    // system, in its language, into a buffer of our own.
    wchar_t text[256] = {};
    const DWORD size = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(sysError), 0, text, 255, nullptr);
    if (size == 0)
        return "resolver error " + std::to_string(sysError);
    char out[768] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), out, sizeof out - 1, nullptr, nullptr);
    std::string line(out);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '.'))
        line.pop_back();
    return line;
}

ConnectError TcpPort::connect(const std::string &host, std::uint16_t port, Clock::time_point deadline, int &sysError)
{
    close();
    if (!startWinsock(sysError))
        return ConnectError::Failed;
    const std::shared_ptr<lookup::Resolution> found = lookup::lookUp(host, port, deadline);
    if (found->code != 0 || found->addresses.empty()) {
        sysError = found->code;
        return ConnectError::Unresolved;
    }
    ConnectError error = ConnectError::Failed;
    for (std::size_t i = 0; i < found->addresses.size() && Clock::now() < deadline; ++i) {
        // Not inheritable: only the guardians get it, duplicated for them.
        const SOCKET s = ::WSASocketW(found->addresses[i].ss_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) {
            sysError = ::WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        // Every request is one small write that must not wait for the
        // peer's delayed acknowledgement of the one before.
        const BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
        error = connectOne(s, found->addresses[i], found->lengths[i], deadline, sysError);
        if (error == ConnectError::None) {
            fd_ = descriptorOf(s);
            lowWater_ = 1;
            return error;
        }
        ::closesocket(s);
    }
    if (Clock::now() >= deadline && error == ConnectError::Failed)
        error = ConnectError::NoAnswer;
    return error;
}

void TcpPort::close()
{
    if (fd_ != -1)
        ::closesocket(socketOf(fd_));
    fd_ = -1;
}

void TcpPort::shutdown()
{
    if (fd_ != -1)
        ::shutdown(socketOf(fd_), SD_BOTH);
}

bool TcpPort::writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout)
{
    if (fd_ == -1) {
        lastError_ = WSAENOTSOCK;
        return false;
    }
    const SOCKET s = socketOf(fd_);
    const auto deadline = Clock::now() + timeout;
    while (size > 0) {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1u << 20));
        const int n = ::send(s, reinterpret_cast<const char *>(data), chunk, 0);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (n < 0 && !wouldBlock(error)) {
            lastError_ = error;
            return false;
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        const int ms = remainingMs(deadline);
        timeval limit{ms / 1000, (ms % 1000) * 1000};
        if (ms == 0 || ::select(0, nullptr, &writable, nullptr, &limit) == 0) {
            lastError_ = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

ReadResult TcpPort::receive(std::uint8_t *buffer, std::size_t capacity, std::size_t &got, int flags)
{
    got = 0;
    if (fd_ == -1) {
        lastError_ = WSAENOTSOCK;
        return ReadResult::Closed;
    }
    const int wanted = static_cast<int>(std::min<std::size_t>(capacity, 1u << 20));
    const int n = ::recv(socketOf(fd_), reinterpret_cast<char *>(buffer), wanted, flags);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return ReadResult::Data;
    }
    if (n == 0) {
        lastError_ = 0;
        return ReadResult::Closed;
    }
    const int error = ::WSAGetLastError();
    if (wouldBlock(error))
        return ReadResult::Nothing;
    // A message larger than a peek's buffer is there all the same.
    if (error == WSAEMSGSIZE) {
        got = static_cast<std::size_t>(wanted);
        return ReadResult::Data;
    }
    lastError_ = error;
    return ReadResult::Closed;
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
    // Winsock has no low-water mark: wait() counts the bytes itself.
    lowWater_ = std::max<std::size_t>(bytes, 1);
}

Transport::Wake TcpPort::wait(Clock::time_point deadline, int wakeFd, int watchFd)
{
    if (fd_ == -1)
        return Wake::HungUp;
    const SOCKET s = socketOf(fd_);
    const HANDLE event = ::WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        lastError_ = ::WSAGetLastError();
        return Wake::Failed;
    }
    // Always given back: an event selection left on the socket would keep
    // it non-blocking for nobody and signal an event that is gone.
    struct Selection {
        SOCKET s;
        HANDLE event;
        ~Selection()
        {
            ::WSAEventSelect(s, nullptr, 0);
            ::WSACloseEvent(event);
        }
    } selection{s, event};
    if (::WSAEventSelect(s, event, FD_READ | FD_CLOSE) != 0) {
        lastError_ = ::WSAGetLastError();
        return Wake::Failed;
    }
    bool partial = false;
    for (;;) {
        // What is there already counts: FD_READ is recorded again only after
        // a recv, so it does not say that more came.
        u_long there = 0;
        if (::ioctlsocket(s, FIONREAD, &there) != 0) {
            lastError_ = ::WSAGetLastError();
            return Wake::HungUp;
        }
        if (there >= lowWater_)
            return Wake::Input;
        // Part of an answer is there: the rest follows within moments, and
        // only FD_CLOSE would signal it, so the count is looked at again
        // every millisecond (a peek would re-arm FD_READ, and with bytes
        // there it would signal at once, again and again).
        partial = partial || there > 0;
        const auto until = partial ? std::min(deadline, Clock::now() + std::chrono::milliseconds(1)) : deadline;
        const Signalled signalled = waitForPort(event, until, wakeFd, watchFd, lastError_);
        if (signalled == Signalled::Woken)
            return Wake::Woken;
        if (signalled == Signalled::Failed)
            return Wake::Failed;
        if (signalled == Signalled::Timeout) {
            if (Clock::now() >= deadline)
                return Wake::Timeout;
            continue;
        }
        WSANETWORKEVENTS news{};
        if (::WSAEnumNetworkEvents(s, event, &news) != 0) {
            lastError_ = ::WSAGetLastError();
            return Wake::HungUp;
        }
        if (news.lNetworkEvents & FD_CLOSE)
            return Wake::HungUp;
    }
}

} // namespace ftlib
