// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <vector>

// Finds ROBOTICS TXTs on the networks a TXT makes with its host: USB
// (192.168.7.x), its WLAN access point (192.168.8.x), Bluetooth PAN
// (192.168.9.x), on each of which the TXT is 192.168.X.2. Only the networks
// this machine has an address on are asked; a 192.168.X.0 network may be
// somebody's home network, so without such an address nothing is sent at all.
// No names are looked up: everything is numeric.
namespace ftlib {

// How long a search's probes may take in all, the connect and the status
// query together (see txtdiscovery.cpp for why one shared deadline).
constexpr std::chrono::milliseconds kTxtProbeLimit{250};
// A probe's verdict serves the searches that start within this time after
// it: the program asks for the count again before each entry it reads.
constexpr std::chrono::milliseconds kTxtProbeReuse{1000};

// The TXTs found, as dotted addresses ("192.168.7.2", port 65000 implied),
// in the order of their addresses (USB, WLAN, Bluetooth). A network counts
// when an interface that is up has an IPv4 address in it other than .2, with
// a netmask that holds .2 (so .2 is reached on that link, never through a
// router). Each TXT not in `openNames` is asked in parallel, from the host's
// address on its network, on port 65000: connect and QueryStatus within
// kTxtProbeLimit; one that is refused, reset, silent or answers anything but
// a status reply is left out. A TXT among `openNames` (the names of the
// devices this process has open; anything but a numeric address at port
// 65000 is ignored) is listed without being asked: it serves one client at a
// time, and a probe would wait behind the program's own connection.
// Returns within kTxtProbeLimit plus the reading of the interfaces; no
// descriptor outlives the call. Any thread; the reuse is shared.
// KAVRIK_FTLIB_TXT_SEARCH=0 turns the search off (tests that search on the
// machine's own network, which may be a 192.168.X.0 of somebody's).
std::vector<std::string> findTxts(const std::vector<std::string> &openNames);

} // namespace ftlib
