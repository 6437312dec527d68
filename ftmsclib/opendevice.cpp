// SPDX-License-Identifier: GPL-3.0-or-later
// Which session a name opens.
#include "ftmsclib/device.h"

#include "ftmsclib/trace.h"
#include "ftmsclib/txsession.h"
#include "ftmsclib/txtsession.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

std::unique_ptr<Device> Device::open(const std::string &name, const std::string &canonicalName,
                                     std::uint32_t &status, bool guarded)
{
    // Before the settings, which trace the variables they ignore.
    loadTraceSettings();
    if (rendezvous::isTxtAddress(name))
        return TxtSession::open(name, status, guarded);
    return TxSession::open(name, canonicalName, status, guarded);
}

} // namespace ftlib
