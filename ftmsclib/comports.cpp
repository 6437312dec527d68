// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/comports.h"

#include <algorithm>
#include <cctype>

namespace ftlib {

namespace {

std::string upper(std::string s)
{
    for (char &c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string trimmed(const std::string &s)
{
    const auto blank = [](char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)); };
    const auto first = std::find_if_not(s.begin(), s.end(), blank);
    const auto last = std::find_if_not(s.rbegin(), s.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

// The paired device's address in a Bluetooth port's instance id: the 12 hex
// digits before the last '_' of its last part
// ("…\7&1A2B3C4D&0&0016A4F0E1D2_C00000000"); empty where there are none.
std::string bluetoothAddress(const std::string &instanceId)
{
    const std::string last = instanceId.substr(instanceId.find_last_of('\\') + 1);
    const std::size_t end = last.find_last_of('_');
    if (end == std::string::npos || end < 12)
        return {};
    const std::string address = last.substr(end - 12, 12);
    const bool hex = std::all_of(address.begin(), address.end(),
                                 [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    const std::size_t start = end - 12;
    if (!hex || (start > 0 && last[start - 1] != '&'))
        return {};
    return address;
}

} // namespace

std::string comPortName(const std::string &name)
{
    std::string port = trimmed(name);
    if (port.rfind("\\\\.\\", 0) == 0)
        port.erase(0, 4);
    return upper(port);
}

std::optional<PortEntry> comPortEntry(const std::string &instanceId, const std::string &portName,
                                      const std::string &description)
{
    PortEntry port;
    port.path = comPortName(portName);
    if (port.path.empty() || port.path.rfind("LPT", 0) == 0)
        return std::nullopt;
    // Device ids are case-insensitive; drivers write them either way.
    const std::string id = upper(instanceId);
    if (id.rfind("BTHENUM\\", 0) == 0) {
        const std::string address = bluetoothAddress(id);
        if (address.empty() || address == "000000000000")
            return std::nullopt;
        port.kind = PortKind::Bluetooth;
        port.description = "Bluetooth";
        return port;
    }
    const std::string tx = "USB\\VID_221D&PID_1000";
    if (id.rfind(tx, 0) == 0 && (id.size() == tx.size() || id[tx.size()] == '\\' || id[tx.size()] == '&')) {
        port.kind = PortKind::TxUsb;
        port.description = "ROBO TX Controller";
        return port;
    }
    port.kind = PortKind::OtherSerial;
    port.description = trimmed(description);
    if (port.description.empty())
        port.description = "serial port";
    return port;
}

} // namespace ftlib
