// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

#include "ftmsclib/portscan.h"

// What Windows' device data about a COM port means, apart from reading it
// (portscan_windows.cpp), so that it is checked on every system. Any thread.
namespace ftlib {

// `name` as Windows' own name of the port: without a leading "\\.\",
// trimmed, ASCII letters upper-cased ("com5" → "COM5").
std::string comPortName(const std::string &name);

// The entry for a device of the Ports class or with the COM port interface:
// `instanceId` as SetupAPI gives it ("USB\VID_221D&PID_1000\5&2B1F0A9E&0&2"),
// `portName` from the device's registry key, `description` what the device
// calls itself (translated, so only shown, never matched). A ROBO TX on USB
// is TxUsb "ROBO TX Controller"; a Bluetooth port that dials out to a paired
// device (the device's address in its instance id) is Bluetooth "Bluetooth";
// any other is OtherSerial with `description` ("serial port" when empty).
// Left out (nullopt): no port name, a printer port, and a Bluetooth port
// without a device's address (the incoming one, which only waits).
std::optional<PortEntry> comPortEntry(const std::string &instanceId, const std::string &portName,
                                      const std::string &description);

} // namespace ftlib
