// SPDX-License-Identifier: GPL-3.0-or-later
// Where a Bluetooth serial port cannot be told by its name: none is taken
// for one, and there is no command to bind one.
#include "rendezvous/portfailure.h"

namespace rendezvous {

bool bluetoothPort(const std::string &, const std::string &)
{
    return false;
}

std::string bluetoothPortName(int)
{
    return {};
}

const char *bluetoothBindCommand()
{
    return "";
}

} // namespace rendezvous
