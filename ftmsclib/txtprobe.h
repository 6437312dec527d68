// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The system's part of the TXT search (txtdiscovery_linux.cpp): this
// machine's IPv4 addresses, and the probes that ask TXTs for their status.
// The rule for which networks count, and the reuse of verdicts, are shared
// (txtdiscovery.cpp). Any thread.
namespace ftlib {

// IPv4 addresses in host order.
struct HostAddress {
    std::uint32_t address = 0;
    // Only for the addresses `worthAsking` accepted (the rest stay false and
    // 0): the link is up and not a loopback, and its netmask.
    bool linkUp = false;
    std::uint32_t netmask = 0;
};
// Every IPv4 address of this machine's interfaces; what more a link says is
// asked only where `worthAsking` holds (it costs).
std::vector<HostAddress> hostAddresses(bool (*worthAsking)(std::uint32_t address));

// One TXT network the host is on.
struct TxtNetwork {
    std::uint32_t local = 0;
    std::uint32_t txt = 0;
};

// One TXT to ask, and what came of it.
struct TxtProbe {
    TxtNetwork network;
    // The caller's, untouched.
    std::size_t index = 0;
    bool answered = false;
    // The TXT's name, when it answered.
    std::string name;
    const char *outcome = "no answer in time";
    // The system's error number where one explains the outcome, else 0.
    int error = 0;
};
// Asks every TXT at once, from the host's own address on its network, on
// port 65000: connect and QueryStatus within kTxtProbeLimit in all. No
// descriptor outlives the call.
void probeTxts(std::vector<TxtProbe> &probes);

} // namespace ftlib
