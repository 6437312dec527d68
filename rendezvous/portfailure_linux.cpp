// SPDX-License-Identifier: GPL-3.0-or-later
// How Linux names Bluetooth serial ports: /dev/rfcommN, bound to a paired
// device by rfcomm(1).
#include "rendezvous/portfailure.h"

namespace rendezvous {

namespace {

std::string fileName(const std::string &path)
{
    return path.substr(path.find_last_of('/') + 1);
}

constexpr const char *kBluetoothPrefix = "rfcomm";

} // namespace

bool bluetoothPort(const std::string &path, const std::string &canonicalPath)
{
    return fileName(path).rfind(kBluetoothPrefix, 0) == 0
        || (!canonicalPath.empty() && fileName(canonicalPath).rfind(kBluetoothPrefix, 0) == 0);
}

std::string bluetoothPortName(int number)
{
    return kBluetoothPrefix + std::to_string(number);
}

const char *bluetoothBindCommand()
{
    return "rfcomm bind";
}

} // namespace rendezvous
