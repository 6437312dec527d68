// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/txtdiscovery.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ftmsclib/trace.h"
#include "ftmsclib/txtprobe.h"
#include "protocol/txt.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

namespace {

namespace txt = protocol::txt;
using Clock = std::chrono::steady_clock;

// What a probe found, kept for the searches right after it.
struct Verdict {
    TxtNetwork network;
    bool answered = false;
    Clock::time_point at;
};

std::string dotted(std::uint32_t address)
{
    char text[16] = {};
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFFu, (address >> 8) & 0xFFu,
                  address & 0xFFu);
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

// Only candidates cost more: their link's state and netmask.
bool candidate(std::uint32_t local)
{
    return onTxtNetwork(local, 0);
}

std::vector<TxtNetwork> txtNetworks()
{
    std::vector<TxtNetwork> networks;
    std::vector<std::uint32_t> own;
    for (const HostAddress &host : hostAddresses(candidate)) {
        own.push_back(host.address);
        // A link that is down has no route of its own: the packets would
        // take the default route, out to some other network.
        if (!host.linkUp || !onTxtNetwork(host.address, host.netmask))
            continue;
        const std::uint32_t txtAddress = (host.address & 0xFFFFFF00u) | 2u;
        if (std::none_of(networks.begin(), networks.end(), [&](const TxtNetwork &n) { return n.txt == txtAddress; }))
            networks.push_back(TxtNetwork{host.address, txtAddress});
    }
    // The TXT's address may be this machine's own on another interface
    // (the program running on a TXT): that is not a TXT to find here.
    networks.erase(std::remove_if(networks.begin(), networks.end(),
                                  [&](const TxtNetwork &n) { return std::count(own.begin(), own.end(), n.txt) > 0; }),
                   networks.end());
    std::sort(networks.begin(), networks.end(), [](const TxtNetwork &a, const TxtNetwork &b) { return a.txt < b.txt; });
    return networks;
}

// An open name is this TXT only as its strict dotted form: numbers without
// leading zeros, as dotted() writes them.
bool isOpen(const TxtNetwork &network, const std::vector<std::string> &openNames)
{
    for (const std::string &name : openNames) {
        rendezvous::TxtAddress address;
        if (rendezvous::parseTxtAddress(name, address) && address.port == txt::kDefaultPort
            && address.host == dotted(network.txt))
            return true;
    }
    return false;
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
    std::vector<TxtProbe> probes;
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
        probeTxts(probes);
        std::lock_guard<std::mutex> lock(reuseMutex());
        const Clock::time_point done = Clock::now();
        std::vector<Verdict> &kept = verdicts();
        for (const TxtProbe &p : probes) {
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
