// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

#include "ftmsclib/portscan.h"

// The system's part of the port search (portscan_linux.cpp: sysfs): which
// serial ports there are and what each is. Naming, fitting, ordering, the
// TXTs and the simulators are shared (portscan.cpp). Any thread.
namespace ftlib {

// Every serial port a controller may be attached to, in any order: a ROBO
// TX on USB as TxUsb "ROBO TX Controller", a Bluetooth serial port as
// Bluetooth "Bluetooth", any other as OtherSerial with what the device calls
// itself ("serial port" when it says nothing), not yet fitted to an entry.
std::vector<PortEntry> systemSerialPorts();

// The device `path` leads to, through any symlinks; `path` itself where it
// leads nowhere.
std::string canonicalPortPath(const std::string &path);

// Whether `path` (leading to `canonicalPath`, empty when not known) is a
// Bluetooth serial port, whose link needs the radio's time: by its name
// where the system names them so, else by the device behind it.
bool bluetoothSerialPort(const std::string &path, const std::string &canonicalPath);

} // namespace ftlib
