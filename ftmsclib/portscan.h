// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Finds the serial ports a controller may be attached to.
namespace ftlib {

enum class PortKind { TxUsb, Txt, Bluetooth, Simulator, OtherSerial };

struct PortEntry {
    std::string path;
    std::string description;
    PortKind kind = PortKind::OtherSerial;
};

// Longest "<path> <description>" entry: the program reads entries into 256
// bytes, and an entry that did not fit would end its list there.
constexpr std::size_t kMaxPortEntry = 255;

// selectMode 0: every ttyACM*, ttyUSB*, Bluetooth serial port, ROBOTICS TXT
// on one of its own networks ("192.168.7.2 ROBOTICS TXT (USB)", see
// findTxts) and running simulator (a TXT simulator as "127.0.0.1:PORT
// ROBOTICS TXT simulator"); 1: ROBO TX controllers on USB (ttyACM with USB
// ids 221d:1000); 2: Bluetooth serial ports. Order: TX on USB, TXT,
// Bluetooth, simulators, other serial ports; within a group by path, numbers
// compared as numbers, so an unchanged set of ports always gives the same
// indices. A description that would make the entry longer than kMaxPortEntry
// is cut (at a character, ending in "..."); control characters in it become
// '?'. `openNames`: the names of the devices this process has open, whose
// TXTs are listed without being asked. Mode 0 may take up to kTxtProbeLimit
// longer where the host is on a TXT's network; elsewhere it sends nothing.
// On Linux the sysfs root is /sys unless KAVRIK_FTLIB_SYSFS names another
// (tests).
std::vector<PortEntry> scanPorts(int selectMode, const std::vector<std::string> &openNames = {});

// What sysfs says about the USB device behind a tty (for kavrik-txprobe's
// report); empty strings where it says nothing.
struct UsbFacts {
    std::string vendorId, productId, manufacturer, product, serial, version, speed, busPort;
    std::string interfaceClass, interfaceSubClass, interfaceProtocol, interfaceNumber, driver;
};
// `ttyName` as in /sys/class/tty ("ttyACM0"); false when it is not on USB.
bool usbFacts(const std::string &ttyName, UsbFacts &facts);

// "a2" < "a10".
bool naturalLess(const std::string &a, const std::string &b);

} // namespace ftlib
