// SPDX-License-Identifier: GPL-3.0-or-later
// Where the simulator does not run: no folder to meet in, no simulators.
#include "rendezvous/simregistry.h"

namespace rendezvous {

std::string simulatorDirectory()
{
    return {};
}

bool privateDirectory(const std::string &, std::string &reason)
{
    reason = "no simulators on this system";
    return false;
}

std::string announceSimulator(const std::string &, std::string &error)
{
    error = "no simulators on this system";
    return {};
}

void withdrawSimulator(const std::string &)
{
}

std::vector<std::string> runningSimulators()
{
    return {};
}

std::vector<std::string> runningTxtSimulators()
{
    return {};
}

} // namespace rendezvous
