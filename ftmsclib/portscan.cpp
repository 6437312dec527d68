// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/portscan.h"

#include <algorithm>
#include <cctype>

#include "ftmsclib/systemports.h"
#include "ftmsclib/txtdiscovery.h"
#include "rendezvous/simregistry.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

namespace {

int rank(PortKind kind)
{
    return static_cast<int>(kind);
}

// Fits the description into the entry; the system's strings come from the
// device and may be of any length (up to 126 UTF-16 units in USB) and content.
std::string fittedDescription(const std::string &path, std::string text)
{
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    const std::size_t room = kMaxPortEntry > path.size() + 1 ? kMaxPortEntry - path.size() - 1 : 0;
    if (text.size() <= room)
        return text;
    const std::string ellipsis = "...";
    std::size_t cut = room > ellipsis.size() ? room - ellipsis.size() : 0;
    // Not inside a UTF-8 sequence: back to the byte that starts it.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + ellipsis.substr(0, room - cut);
}

} // namespace

bool naturalLess(const std::string &a, const std::string &b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            const std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            const std::size_t za = na.find_first_not_of('0'), zb = nb.find_first_not_of('0');
            const std::string ta = za == std::string::npos ? "" : na.substr(za);
            const std::string tb = zb == std::string::npos ? "" : nb.substr(zb);
            if (ta.size() != tb.size())
                return ta.size() < tb.size();
            if (ta != tb)
                return ta < tb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<PortEntry> scanPorts(int selectMode, const std::vector<std::string> &openNames)
{
    std::vector<PortEntry> ports = systemSerialPorts();
    for (PortEntry &port : ports) {
        if (port.kind == PortKind::OtherSerial)
            port.description = fittedDescription(port.path, port.description);
    }
    if (selectMode == 0) {
        for (const std::string &address : findTxts(openNames)) {
            const std::string link = rendezvous::txtLinkName(rendezvous::txtLink(address));
            ports.push_back(PortEntry{address, "ROBOTICS TXT (" + link + ")", PortKind::Txt});
        }
        for (const std::string &path : rendezvous::runningSimulators())
            ports.push_back(PortEntry{path, "ROBO TX simulator", PortKind::Simulator});
        for (const std::string &address : rendezvous::runningTxtSimulators())
            ports.push_back(PortEntry{address, "ROBOTICS TXT simulator", PortKind::Simulator});
    }
    // Paths are the kernel's short names; only a long simulator path could
    // fill an entry on its own.
    ports.erase(std::remove_if(ports.begin(), ports.end(),
                               [](const PortEntry &p) { return p.path.size() + 1 + p.description.size() > kMaxPortEntry; }),
                ports.end());
    ports.erase(std::remove_if(ports.begin(), ports.end(),
                               [selectMode](const PortEntry &p) {
                                   return (selectMode == 1 && p.kind != PortKind::TxUsb)
                                       || (selectMode == 2 && p.kind != PortKind::Bluetooth);
                               }),
                ports.end());
    std::sort(ports.begin(), ports.end(), [](const PortEntry &a, const PortEntry &b) {
        if (a.kind != b.kind)
            return rank(a.kind) < rank(b.kind);
        return naturalLess(a.path, b.path);
    });
    return ports;
}

} // namespace ftlib
