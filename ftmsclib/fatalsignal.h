// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Between the table of running transfers (emergencystop.cpp) and the
// system's handling of fatal signals (emergencystop_linux.cpp). Everything
// here is async-signal-safe: the handler calls it.
namespace ftlib {

// The handler's work: from now on the process is dying, and the zeros of
// every entry this process armed go out (once, see EmergencyStop::arm).
void stopOutputsDying();

// The system's: this process's id (a child forked without exec has its
// own; a device tells by it whether it was opened here), and a pause of
// about 200 microseconds.
long currentProcessId();
void pauseBriefly();

} // namespace ftlib
