// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ftmsclib/transport.h"

// The TCP port's look-up of a TXT's address, the same on every system:
// getaddrinfo as the system's sockets offer it. Included by the system's
// TCP port after the system's socket headers (tcpport_posix.cpp,
// tcpport_windows.cpp), which declare what it uses.
namespace ftlib {

namespace lookup {

using Clock = Transport::Clock;

struct Resolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int code = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<int> lengths;
};

inline void resolve(const std::string &host, std::uint16_t port, int flags, Resolution &out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const int code = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    std::lock_guard<std::mutex> lock(out.mutex);
    out.code = code;
    for (addrinfo *a = list; code == 0 && a; a = a->ai_next) {
        sockaddr_storage address{};
        std::copy_n(reinterpret_cast<const char *>(a->ai_addr), a->ai_addrlen, reinterpret_cast<char *>(&address));
        out.addresses.push_back(address);
        out.lengths.push_back(static_cast<int>(a->ai_addrlen));
    }
    if (list)
        ::freeaddrinfo(list);
    out.finished = true;
    out.done.notify_all();
}

// A number needs no resolver; a name is looked up on a thread of its own,
// which may outlive the wait (a resolver that hangs must not hold the open).
inline std::shared_ptr<Resolution> lookUp(const std::string &host, std::uint16_t port, Clock::time_point deadline)
{
    auto result = std::make_shared<Resolution>();
    resolve(host, port, AI_NUMERICHOST, *result);
    if (result->code == 0)
        return result;
    result = std::make_shared<Resolution>();
    try {
        std::thread([result, host, port] { resolve(host, port, 0, *result); }).detach();
    } catch (...) {
        result->code = EAI_AGAIN;
        return result;
    }
    std::unique_lock<std::mutex> lock(result->mutex);
    if (!result->done.wait_until(lock, deadline, [&] { return result->finished; })) {
        auto late = std::make_shared<Resolution>();
        late->code = EAI_AGAIN;
        return late;
    }
    return result;
}

} // namespace lookup

} // namespace ftlib
