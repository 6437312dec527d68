// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>

// Where a ROBOTICS TXT is reached: the address that takes a serial port's
// place in the port box and the library's open ("192.168.7.2",
// "192.168.7.2:65000", "txt.local", "[fe80::1]:65000"), and what kind of link
// it is by its network. No Qt.
namespace rendezvous {

constexpr std::uint16_t kTxtPort = 65000;

struct TxtAddress {
    std::string host; // without brackets
    std::uint16_t port = kTxtPort;
};

// True when `name` names a TXT rather than a serial port: no path (a serial
// port's name begins with '/' on Linux, "COM" on Windows), a host of
// letters, digits, '.', '-' and '_' or an IPv6 address in brackets, and
// optionally ':' and a port from 1 to 65535. Text after a first blank is
// not part of it.
bool parseTxtAddress(const std::string &name, TxtAddress &address);
bool isTxtAddress(const std::string &name);

// How the host reaches a TXT at an IPv4 address: the TXT's own networks
// (USB 192.168.7.x, its WLAN access point 192.168.8.x, Bluetooth PAN
// 192.168.9.x), this machine itself, or some other network.
enum class TxtLink { Usb, Wlan, Bluetooth, Loopback, Other };
TxtLink txtLink(const std::string &host);
// "USB", "WLAN", "Bluetooth", ... for port lists and reports.
const char *txtLinkName(TxtLink link);

} // namespace rendezvous
