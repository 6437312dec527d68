// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/txtdiscovery.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ftmsclib/trace.h"
#include "protocol/txt.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

namespace {

namespace txt = protocol::txt;
using Clock = std::chrono::steady_clock;

// One TXT network the host is on, IPv4 addresses in host order.
struct TxtNetwork {
    std::uint32_t local = 0;
    std::uint32_t txt = 0;
};

// What a probe found, kept for the searches right after it.
struct Verdict {
    TxtNetwork network;
    bool answered = false;
    Clock::time_point at;
};

std::string dotted(std::uint32_t address)
{
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// Whether `local` lies on one of the TXT's networks, with the TXT's .2 on
// this very link: with a netmask that leaves .2 outside (a /32, say) the
// probe would go through a router.
bool onTxtNetwork(std::uint32_t local, std::uint32_t mask)
{
    const std::uint32_t txtAddress = (local & 0xFFFFFF00u) | 2u;
    const std::uint32_t net = local >> 8;
    const bool txtNet = net == 0xC0A807u || net == 0xC0A808u || net == 0xC0A809u;
    return txtNet && local != txtAddress && (local & mask) == (txtAddress & mask);
}

std::uint32_t addressOf(const sockaddr &address)
{
    return ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr);
}

// The kernel's list of IPv4 addresses, read with one ioctl (getifaddrs
// reads every link and address of both families, some ten times as long):
// a search on a machine without a TXT's network costs what it did.
std::vector<TxtNetwork> txtNetworks()
{
    std::vector<TxtNetwork> networks;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return networks;
    ifreq requests[128];
    ifconf conf{};
    conf.ifc_len = sizeof requests;
    conf.ifc_req = requests;
    std::vector<std::uint32_t> own;
    const int count = ::ioctl(s, SIOCGIFCONF, &conf) == 0 ? conf.ifc_len / static_cast<int>(sizeof(ifreq)) : 0;
    for (int k = 0; k < count; ++k) {
        if (requests[k].ifr_addr.sa_family != AF_INET)
            continue;
        const std::uint32_t local = addressOf(requests[k].ifr_addr);
        own.push_back(local);
        // Only candidates cost more: their link's state and netmask.
        if (!onTxtNetwork(local, 0))
            continue;
        ifreq flags = requests[k], mask = requests[k];
        // A link that is down has no route of its own: the packets would
        // take the default route, out to some other network.
        if (::ioctl(s, SIOCGIFFLAGS, &flags) != 0 || !(flags.ifr_flags & IFF_UP) || (flags.ifr_flags & IFF_LOOPBACK)
            || ::ioctl(s, SIOCGIFNETMASK, &mask) != 0 || !onTxtNetwork(local, addressOf(mask.ifr_netmask)))
            continue;
        const std::uint32_t txtAddress = (local & 0xFFFFFF00u) | 2u;
        if (std::none_of(networks.begin(), networks.end(), [&](const TxtNetwork &n) { return n.txt == txtAddress; }))
            networks.push_back(TxtNetwork{local, txtAddress});
    }
    ::close(s);
    // The TXT's address may be this machine's own on another interface
    // (the program running on a TXT): that is not a TXT to find here.
    networks.erase(std::remove_if(networks.begin(), networks.end(),
                                  [&](const TxtNetwork &n) { return std::count(own.begin(), own.end(), n.txt) > 0; }),
                   networks.end());
    std::sort(networks.begin(), networks.end(), [](const TxtNetwork &a, const TxtNetwork &b) { return a.txt < b.txt; });
    return networks;
}

bool isOpen(const TxtNetwork &network, const std::vector<std::string> &openNames)
{
    for (const std::string &name : openNames) {
        rendezvous::TxtAddress address;
        in_addr a{};
        if (rendezvous::parseTxtAddress(name, address) && address.port == txt::kDefaultPort
            && ::inet_pton(AF_INET, address.host.c_str(), &a) == 1 && ntohl(a.s_addr) == network.txt)
            return true;
    }
    return false;
}

int msUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kTxtProbeLimit.count()));
}

// One TXT's connect and status query, as far as they got.
struct Probe {
    enum class Step { Connecting, Asking, Done };
    TxtNetwork network;
    std::size_t index = 0;
    int fd = -1;
    Step step = Step::Done;
    std::uint8_t reply[txt::kStatusReplySize] = {};
    std::size_t got = 0;
    bool answered = false;
    std::string name;
    const char *outcome = "no answer in time";
    int error = 0;
};

void finish(Probe &p, const char *outcome, int error = 0)
{
    p.step = Probe::Step::Done;
    p.outcome = outcome;
    p.error = error;
}

void start(Probe &p)
{
    p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (p.fd < 0)
        return finish(p, "no socket", errno);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(p.network.local);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(p.network.txt);
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
    p.answered = txt::readStatusReply(p.reply, p.got, status);
    p.name = status.name;
    finish(p, p.answered ? "a TXT" : "answers, but not as a TXT");
}

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
void probe(std::vector<Probe> &probes)
{
    const Clock::time_point deadline = Clock::now() + kTxtProbeLimit;
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

std::mutex &reuseMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<Verdict> &verdicts()
{
    static std::vector<Verdict> kept;
    return kept;
}

bool sameNetwork(const TxtNetwork &a, const TxtNetwork &b)
{
    return a.local == b.local && a.txt == b.txt;
}

} // namespace

std::vector<std::string> findTxts(const std::vector<std::string> &openNames)
{
    const char *search = std::getenv("KAVRIK_FTLIB_TXT_SEARCH");
    if (search && std::strcmp(search, "0") == 0)
        return {};
    const std::vector<TxtNetwork> networks = txtNetworks();
    if (networks.empty())
        return {};
    std::vector<bool> listed(networks.size(), false);
    std::vector<Probe> probes;
    {
        std::lock_guard<std::mutex> lock(reuseMutex());
        const Clock::time_point now = Clock::now();
        std::vector<Verdict> &kept = verdicts();
        kept.erase(std::remove_if(kept.begin(), kept.end(), [&](const Verdict &v) { return now - v.at > kTxtProbeReuse; }),
                   kept.end());
        for (std::size_t i = 0; i < networks.size(); ++i) {
            const auto known = std::find_if(kept.begin(), kept.end(),
                                            [&](const Verdict &v) { return sameNetwork(v.network, networks[i]); });
            if (isOpen(networks[i], openNames))
                listed[i] = true;
            else if (known != kept.end())
                listed[i] = known->answered;
            else {
                probes.emplace_back();
                probes.back().network = networks[i];
                probes.back().index = i;
            }
        }
    }
    if (!probes.empty()) {
        probe(probes);
        std::lock_guard<std::mutex> lock(reuseMutex());
        const Clock::time_point done = Clock::now();
        std::vector<Verdict> &kept = verdicts();
        for (const Probe &p : probes) {
            listed[p.index] = p.answered;
            const std::string address = dotted(p.network.txt);
            if (p.answered)
                trace(address, "port search: a TXT named \"%s\"", p.name.c_str());
            else if (p.error != 0)
                traceError(address, p.error, "port search: %s", p.outcome);
            else
                trace(address, "port search: %s", p.outcome);
            kept.erase(std::remove_if(kept.begin(), kept.end(),
                                      [&](const Verdict &v) { return sameNetwork(v.network, p.network); }),
                       kept.end());
            kept.push_back(Verdict{p.network, p.answered, done});
        }
    }
    std::vector<std::string> found;
    for (std::size_t i = 0; i < networks.size(); ++i) {
        if (listed[i])
            found.push_back(dotted(networks[i].txt));
    }
    return found;
}

} // namespace ftlib
