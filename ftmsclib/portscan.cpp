// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/portscan.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>

#include <dirent.h>
#include <unistd.h>

#include "ftmsclib/txtdiscovery.h"
#include "rendezvous/portfailure.h"
#include "rendezvous/simregistry.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

namespace {

std::string sysfsRoot()
{
    const char *root = std::getenv("KAVRIK_FTLIB_SYSFS");
    return root && *root ? root : "/sys";
}

bool startsWith(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

std::string readLine(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

// Walks up from the tty's device to the USB device that carries the ids.
std::string usbDeviceDir(const std::string &ttyDir)
{
    char resolved[PATH_MAX];
    if (!::realpath((ttyDir + "/device").c_str(), resolved))
        return {};
    std::string dir = resolved;
    for (int level = 0; level < 4 && !dir.empty(); ++level) {
        if (::access((dir + "/idVendor").c_str(), R_OK) == 0)
            return dir;
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    return {};
}

int rank(PortKind kind)
{
    return static_cast<int>(kind);
}

// Fits the description into the entry; sysfs strings come from the device
// and may be of any length (up to 126 UTF-16 units in USB) and content.
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

namespace {

// The serial ports sysfs shows.
void addSerialPorts(std::vector<PortEntry> &ports)
{
    const std::string classDir = sysfsRoot() + "/class/tty";
    if (DIR *d = ::opendir(classDir.c_str())) {
        while (const dirent *entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            const bool acm = startsWith(name, "ttyACM");
            const bool usbSerial = startsWith(name, "ttyUSB");
            const bool bluetooth = rendezvous::bluetoothPort(name);
            if (!acm && !usbSerial && !bluetooth)
                continue;
            PortEntry port;
            port.path = "/dev/" + name;
            if (bluetooth) {
                port.kind = PortKind::Bluetooth;
                port.description = "Bluetooth";
            } else {
                const std::string usb = usbDeviceDir(classDir + "/" + name);
                const std::string vendor = usb.empty() ? "" : readLine(usb + "/idVendor");
                const std::string product = usb.empty() ? "" : readLine(usb + "/idProduct");
                if (acm && vendor == "221d" && product == "1000") {
                    port.kind = PortKind::TxUsb;
                    port.description = "ROBO TX Controller";
                } else {
                    port.kind = PortKind::OtherSerial;
                    const std::string text = usb.empty() ? "" : readLine(usb + "/product");
                    port.description = fittedDescription(port.path, text.empty() ? "serial port" : text);
                }
            }
            ports.push_back(port);
        }
        ::closedir(d);
    }
}

} // namespace

std::vector<PortEntry> scanPorts(int selectMode, const std::vector<std::string> &openNames)
{
    std::vector<PortEntry> ports;
    addSerialPorts(ports);
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

bool usbFacts(const std::string &ttyName, UsbFacts &facts)
{
    facts = UsbFacts{};
    const std::string ttyDir = sysfsRoot() + "/class/tty/" + ttyName;
    const std::string usb = usbDeviceDir(ttyDir);
    if (usb.empty())
        return false;
    facts.vendorId = readLine(usb + "/idVendor");
    facts.productId = readLine(usb + "/idProduct");
    facts.manufacturer = readLine(usb + "/manufacturer");
    facts.product = readLine(usb + "/product");
    facts.serial = readLine(usb + "/serial");
    facts.version = readLine(usb + "/bcdDevice");
    facts.speed = readLine(usb + "/speed");
    facts.busPort = usb.substr(usb.find_last_of('/') + 1);
    // The interface is the tty's "device"; the driver is a link beside it.
    char resolved[PATH_MAX];
    if (::realpath((ttyDir + "/device").c_str(), resolved)) {
        const std::string interface = resolved;
        facts.interfaceClass = readLine(interface + "/bInterfaceClass");
        facts.interfaceSubClass = readLine(interface + "/bInterfaceSubClass");
        facts.interfaceProtocol = readLine(interface + "/bInterfaceProtocol");
        facts.interfaceNumber = readLine(interface + "/bInterfaceNumber");
        char driver[PATH_MAX];
        const ssize_t n = ::readlink((interface + "/driver").c_str(), driver, sizeof driver - 1);
        if (n > 0) {
            const std::string link(driver, static_cast<std::size_t>(n));
            facts.driver = link.substr(link.find_last_of('/') + 1);
        }
    }
    return true;
}

} // namespace ftlib
