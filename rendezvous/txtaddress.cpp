// SPDX-License-Identifier: GPL-3.0-or-later
#include "rendezvous/txtaddress.h"

#include <cstdlib>

namespace rendezvous {

namespace {

bool hostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'
        || c == '_';
}

bool portNumber(const std::string &text, std::uint16_t &port)
{
    if (text.empty() || text.size() > 5 || text[0] == '0')
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// The four numbers of a dotted IPv4 address; false for anything else.
bool ipv4(const std::string &host, unsigned (&parts)[4])
{
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t end = i < 3 ? host.find('.', at) : host.size();
        if (end == std::string::npos || end == at || end - at > 3)
            return false;
        unsigned value = 0;
        for (std::size_t k = at; k < end; ++k) {
            if (host[k] < '0' || host[k] > '9')
                return false;
            value = value * 10 + static_cast<unsigned>(host[k] - '0');
        }
        if (value > 255)
            return false;
        parts[i] = value;
        at = end + 1;
    }
    return true;
}

} // namespace

bool parseTxtAddress(const std::string &name, TxtAddress &address)
{
    const std::string text = name.substr(0, name.find(' '));
    if (text.empty() || text[0] == '/' || (text.size() >= 3 && text.compare(0, 3, "COM") == 0))
        return false;
    TxtAddress parsed;
    std::string rest;
    if (text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        parsed.host = text.substr(1, close - 1);
        for (const char c : parsed.host) {
            if (!(hostCharacter(c) || c == ':' || c == '%'))
                return false;
        }
        rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':')
            return false;
    } else {
        const std::size_t colon = text.find(':');
        parsed.host = text.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : text.substr(colon);
        if (parsed.host.empty() || parsed.host.front() == '.' || parsed.host.front() == '-')
            return false;
        for (const char c : parsed.host) {
            if (!hostCharacter(c))
                return false;
        }
    }
    if (!rest.empty() && !portNumber(rest.substr(1), parsed.port))
        return false;
    address = parsed;
    return true;
}

bool isTxtAddress(const std::string &name)
{
    TxtAddress unused;
    return parseTxtAddress(name, unused);
}

TxtLink txtLink(const std::string &host)
{
    unsigned parts[4];
    if (host == "localhost" || host == "::1")
        return TxtLink::Loopback;
    if (!ipv4(host, parts))
        return TxtLink::Other;
    if (parts[0] == 127)
        return TxtLink::Loopback;
    if (parts[0] == 192 && parts[1] == 168) {
        switch (parts[2]) {
        case 7:
            return TxtLink::Usb;
        case 8:
            return TxtLink::Wlan;
        case 9:
            return TxtLink::Bluetooth;
        default:
            break;
        }
    }
    return TxtLink::Other;
}

const char *txtLinkName(TxtLink link)
{
    switch (link) {
    case TxtLink::Usb:
        return "USB";
    case TxtLink::Wlan:
        return "WLAN";
    case TxtLink::Bluetooth:
        return "Bluetooth";
    case TxtLink::Loopback:
        return "this computer";
    case TxtLink::Other:
        break;
    }
    return "network";
}

} // namespace rendezvous
