// SPDX-License-Identifier: GPL-3.0-or-later
// The serial ports as Linux shows them in sysfs: the ttys and the USB
// devices behind them.
#include "ftmsclib/systemports.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>

#include <dirent.h>
#include <unistd.h>

#include "rendezvous/portfailure.h"

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

} // namespace

std::vector<PortEntry> systemSerialPorts()
{
    std::vector<PortEntry> ports;
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
                    port.description = text.empty() ? "serial port" : text;
                }
            }
            ports.push_back(port);
        }
        ::closedir(d);
    }
    return ports;
}

std::string canonicalPortPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? resolved : path;
}

bool bluetoothSerialPort(const std::string &path, const std::string &canonicalPath)
{
    return rendezvous::bluetoothPort(path, canonicalPath);
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
