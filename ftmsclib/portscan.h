#pragma once

#include <string>
#include <vector>

// Finds the serial ports a controller may be attached to.
namespace ftlib {

enum class PortKind { TxUsb, Bluetooth, Simulator, OtherSerial };

struct PortEntry {
    std::string path;
    std::string description;
    PortKind kind = PortKind::OtherSerial;
};

// selectMode 0: every ttyACM*, ttyUSB*, rfcomm* and running simulator;
// 1: ROBO TX controllers on USB (ttyACM with USB ids 221d:1000);
// 2: Bluetooth (rfcomm*). Order: TX on USB, Bluetooth, simulators, other
// serial ports; within a group by path, numbers compared as numbers, so an
// unchanged set of ports always gives the same indices.
// The sysfs root is /sys unless KAVRIK_FTLIB_SYSFS names another (tests).
std::vector<PortEntry> scanPorts(int selectMode);

// "a2" < "a10".
bool naturalLess(const std::string &a, const std::string &b);

} // namespace ftlib
