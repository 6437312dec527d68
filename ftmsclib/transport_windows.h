// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftmsclib/handle_windows.h"
#include "ftmsclib/transport.h"

// The wait the Windows transports share (COM port and TCP): the port's own
// event together with the handles that wake the loop.
namespace ftlib {

enum class Signalled { Port, Woken, Timeout, Failed };

// Waits until `port` (an event; nullptr for none), `wakeFd` or `watchFd`
// (waitable handles, -1 for none) is signalled, or `deadline` passes. The
// port comes first when several are. Nothing is reset: the owners do that.
// `lastError` gets the system's error code when the wait fails.
Signalled waitForPort(HANDLE port, Transport::Clock::time_point deadline, int wakeFd, int watchFd, int &lastError);

} // namespace ftlib
