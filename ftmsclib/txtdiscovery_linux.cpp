// SPDX-License-Identifier: GPL-3.0-or-later
// The TXT search's view of a Linux machine: its IPv4 addresses from the
// kernel, and the probes over non-blocking sockets in one poll() loop.
#include "ftmsclib/txtprobe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ftmsclib/txtdiscovery.h"
#include "protocol/txt.h"

namespace ftlib {

namespace {

namespace txt = protocol::txt;
using Clock = std::chrono::steady_clock;

std::uint32_t addressOf(const sockaddr &address)
{
    return ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr);
}

} // namespace

// The kernel's list of IPv4 addresses, read with one ioctl (getifaddrs
// reads every link and address of both families, some ten times as long):
// a search on a machine without a TXT's network costs what it did.
std::vector<HostAddress> hostAddresses(bool (*worthAsking)(std::uint32_t address))
{
    std::vector<HostAddress> addresses;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return addresses;
    ifreq requests[128];
    ifconf conf{};
    conf.ifc_len = sizeof requests;
    conf.ifc_req = requests;
    const int count = ::ioctl(s, SIOCGIFCONF, &conf) == 0 ? conf.ifc_len / static_cast<int>(sizeof(ifreq)) : 0;
    for (int k = 0; k < count; ++k) {
        if (requests[k].ifr_addr.sa_family != AF_INET)
            continue;
        HostAddress host;
        host.address = addressOf(requests[k].ifr_addr);
        if (worthAsking(host.address)) {
            ifreq flags = requests[k], mask = requests[k];
            host.linkUp = ::ioctl(s, SIOCGIFFLAGS, &flags) == 0 && (flags.ifr_flags & IFF_UP)
                && !(flags.ifr_flags & IFF_LOOPBACK) && ::ioctl(s, SIOCGIFNETMASK, &mask) == 0;
            if (host.linkUp)
                host.netmask = addressOf(mask.ifr_netmask);
        }
        addresses.push_back(host);
    }
    ::close(s);
    return addresses;
}

namespace {

int msUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kTxtProbeLimit.count()));
}

// One TXT's connect and status query, as far as they got.
struct Probe {
    enum class Step { Connecting, Asking, Done };
    TxtProbe &result;
    int fd = -1;
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
    p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (p.fd < 0)
        return finish(p, "no socket", errno);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(p.result.network.local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(p.result.network.txt);
    to.sin_port = htons(txt::kDefaultPort);
    // From the host's own address on that network, so that the answer
    // comes back over the same link.
    if (::bind(p.fd, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0)
        return finish(p, "the host's address went away", errno);
    const int on = 1;
    ::setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(p.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS)
        return finish(p, "no connection", errno);
    p.step = Probe::Step::Connecting;
}

void ask(Probe &p)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error != 0)
        return finish(p, "no connection", error);
    const std::vector<std::uint8_t> query = txt::queryStatus();
    ssize_t n;
    do {
        n = ::send(p.fd, query.data(), query.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(query.size()))
        return finish(p, "the status query did not go out", n < 0 ? errno : 0);
    p.step = Probe::Step::Asking;
}

void take(Probe &p)
{
    ssize_t n;
    do {
        n = ::recv(p.fd, p.reply + p.got, sizeof p.reply - p.got, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0)
        return finish(p, n == 0 ? "closed without an answer" : "the connection failed", n == 0 ? 0 : errno);
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

// Connects to every TXT and asks its status, all in one poll loop, until
// each has answered or failed, or the deadline passed.
//
// Connect and answer share one deadline rather than splitting it: each is a
// single round trip on the same link (the TXT answers the status query at
// once; only exchanges are paced), so a TXT that connects late answers late
// too, and a fixed split would only turn away one that still had time. On
// USB both take a millisecond or two, over Bluetooth PAN tens of
// milliseconds each. 250 ms keep a search within 300 ms of its time without
// TXTs, the interfaces and the rest of it included, on a slow machine too.

void probeTxts(std::vector<TxtProbe> &asked)
{
    const Clock::time_point deadline = Clock::now() + kTxtProbeLimit;
    std::vector<Probe> probes;
    probes.reserve(asked.size());
    for (TxtProbe &result : asked)
        probes.push_back(Probe{result});
    for (Probe &p : probes)
        start(p);
    std::vector<pollfd> fds;
    std::vector<Probe *> polled;
    for (;;) {
        fds.clear();
        polled.clear();
        for (Probe &p : probes) {
            if (p.step == Probe::Step::Done)
                continue;
            fds.push_back(pollfd{p.fd, static_cast<short>(p.step == Probe::Step::Connecting ? POLLOUT : POLLIN), 0});
            polled.push_back(&p);
        }
        const int wait = msUntil(deadline);
        if (fds.empty() || wait == 0)
            break;
        const int ready = ::poll(fds.data(), fds.size(), wait);
        if (ready < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; ready > 0 && i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            if (polled[i]->step == Probe::Step::Connecting)
                ask(*polled[i]);
            else
                take(*polled[i]);
        }
    }
    for (Probe &p : probes) {
        if (p.fd >= 0)
            ::close(p.fd);
        p.fd = -1;
    }
}

} // namespace ftlib
