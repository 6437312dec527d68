// SPDX-License-Identifier: GPL-3.0-or-later
// The TXT search's view of a Windows machine: its IPv4 addresses from the
// IP Helper, and the probes over non-blocking Winsock sockets in one
// select() loop.
#include "ftmsclib/txtprobe.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "ftmsclib/txtdiscovery.h"
#include "ftmsclib/winsock_windows.h"
#include "protocol/txt.h"

namespace ftlib {

namespace {

namespace txt = protocol::txt;
using Clock = std::chrono::steady_clock;

std::uint32_t prefixMask(unsigned length)
{
    return length == 0 ? 0 : length >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - length)) - 1);
}

} // namespace

std::vector<HostAddress> hostAddresses(bool (*worthAsking)(std::uint32_t address))
{
    std::vector<HostAddress> addresses;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER
        | GAA_FLAG_SKIP_FRIENDLY_NAME;
    // The list's size changes as adapters come and go: asked again when it
    // grew between the two calls.
    std::vector<unsigned char> buffer(16 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    ULONG r = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && r == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(std::max<std::size_t>(buffer.size(), size));
        size = static_cast<ULONG>(buffer.size());
        r = ::GetAdaptersAddresses(AF_INET, flags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
    }
    if (r != NO_ERROR)
        return addresses;
    for (auto *adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()); adapter; adapter = adapter->Next) {
        for (IP_ADAPTER_UNICAST_ADDRESS *a = adapter->FirstUnicastAddress; a; a = a->Next) {
            if (!a->Address.lpSockaddr || a->Address.lpSockaddr->sa_family != AF_INET)
                continue;
            HostAddress host;
            host.address = ntohl(reinterpret_cast<const sockaddr_in *>(a->Address.lpSockaddr)->sin_addr.s_addr);
            if (worthAsking(host.address)) {
                host.linkUp = adapter->OperStatus == IfOperStatusUp
                    && adapter->IfType != IF_TYPE_SOFTWARE_LOOPBACK;
                if (host.linkUp)
                    host.netmask = prefixMask(a->OnLinkPrefixLength);
            }
            addresses.push_back(host);
        }
    }
    return addresses;
}

namespace {

int msUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kTxtProbeLimit.count()));
}

struct Probe {
    enum class Step { Connecting, Asking, Done };
    TxtProbe &result;
    SOCKET s = INVALID_SOCKET;
    Step step = Step::Done;
    std::uint8_t reply[txt::kStatusReplySize] = {};
    std::size_t got = 0;
};

void finish(Probe &p, const char *outcome, int error = 0)
{
    p.step = Probe::Step::Done;
    p.result.outcome = outcome;
    p.result.error = error;
}

void start(Probe &p)
{
    p.s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (p.s == INVALID_SOCKET)
        return finish(p, "no socket", ::WSAGetLastError());
    u_long nonBlocking = 1;
    ::ioctlsocket(p.s, FIONBIO, &nonBlocking);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(p.result.network.local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(p.result.network.txt);
    to.sin_port = htons(txt::kDefaultPort);
    // From the host's own address on that network, so that the answer
    // comes back over the same link.
    if (::bind(p.s, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0)
        return finish(p, "the host's address went away", ::WSAGetLastError());
    const BOOL on = TRUE;
    ::setsockopt(p.s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    if (::connect(p.s, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0
        && ::WSAGetLastError() != WSAEWOULDBLOCK)
        return finish(p, "no connection", ::WSAGetLastError());
    p.step = Probe::Step::Connecting;
}

void ask(Probe &p, bool refused)
{
    int error = 0;
    int size = sizeof error;
    if (::getsockopt(p.s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) != 0)
        error = ::WSAGetLastError();
    if (error == 0 && refused)
        error = WSAECONNREFUSED;
    if (error != 0)
        return finish(p, "no connection", error);
    const std::vector<std::uint8_t> query = txt::queryStatus();
    const int n = ::send(p.s, reinterpret_cast<const char *>(query.data()), static_cast<int>(query.size()), 0);
    if (n != static_cast<int>(query.size()))
        return finish(p, "the status query did not go out", n < 0 ? ::WSAGetLastError() : 0);
    p.step = Probe::Step::Asking;
}

void take(Probe &p)
{
    const int n = ::recv(p.s, reinterpret_cast<char *>(p.reply + p.got), static_cast<int>(sizeof p.reply - p.got), 0);
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK)
        return;
    if (n <= 0)
        return finish(p, n == 0 ? "closed without an answer" : "the connection failed",
                      n == 0 ? 0 : ::WSAGetLastError());
    p.got += static_cast<std::size_t>(n);
    if (p.got >= txt::kIdSize && txt::packetId(p.reply) != txt::kQueryStatusReply)
        return finish(p, "answers, but not as a TXT");
    if (p.got < sizeof p.reply)
        return;
    txt::Status status;
    p.result.answered = txt::readStatusReply(p.reply, p.got, status);
    p.result.name = status.name;
    finish(p, p.result.answered ? "a TXT" : "answers, but not as a TXT");
}

} // namespace

// As on Linux (txtdiscovery_linux.cpp): every TXT at once, connect and
// answer within one shared deadline. A refused connect shows in select()'s
// exception set on Windows, not as a writable socket.
void probeTxts(std::vector<TxtProbe> &asked)
{
    int sysError = 0;
    if (!startWinsock(sysError)) {
        for (TxtProbe &result : asked) {
            result.outcome = "no socket";
            result.error = sysError;
        }
        return;
    }
    const Clock::time_point deadline = Clock::now() + kTxtProbeLimit;
    std::vector<Probe> probes;
    probes.reserve(asked.size());
    for (TxtProbe &result : asked)
        probes.push_back(Probe{result});
    for (Probe &p : probes)
        start(p);
    for (;;) {
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        unsigned count = 0;
        for (Probe &p : probes) {
            if (p.step == Probe::Step::Done || count == FD_SETSIZE)
                continue;
            if (p.step == Probe::Step::Connecting) {
                FD_SET(p.s, &writable);
                FD_SET(p.s, &failed);
            } else {
                FD_SET(p.s, &readable);
            }
            ++count;
        }
        const int wait = msUntil(deadline);
        if (count == 0 || wait == 0)
            break;
        timeval limit{wait / 1000, (wait % 1000) * 1000};
        if (::select(0, &readable, &writable, &failed, &limit) < 0)
            break;
        for (Probe &p : probes) {
            if (p.step == Probe::Step::Connecting && (FD_ISSET(p.s, &writable) || FD_ISSET(p.s, &failed)))
                ask(p, FD_ISSET(p.s, &failed) != 0);
            else if (p.step == Probe::Step::Asking && FD_ISSET(p.s, &readable))
                take(p);
        }
    }
    for (Probe &p : probes) {
        if (p.s != INVALID_SOCKET)
            ::closesocket(p.s);
        p.s = INVALID_SOCKET;
    }
}

} // namespace ftlib
