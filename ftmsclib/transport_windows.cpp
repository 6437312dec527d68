// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/transport_windows.h"

namespace ftlib {

Signalled waitForPort(HANDLE port, Transport::Clock::time_point deadline, int wakeFd, int watchFd, int &lastError)
{
    HANDLE handles[3];
    DWORD count = 0;
    if (port)
        handles[count++] = port;
    const DWORD firstWake = count;
    if (wakeFd != -1)
        handles[count++] = handleOf(wakeFd);
    if (watchFd != -1)
        handles[count++] = handleOf(watchFd);
    const DWORD ms = static_cast<DWORD>(remainingMs(deadline));
    if (count == 0) {
        ::Sleep(ms);
        return Signalled::Timeout;
    }
    // Lowest index first: input that is there wins over a wake-up, as the
    // POSIX wait reports it.
    const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, ms);
    if (r == WAIT_TIMEOUT)
        return Signalled::Timeout;
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count)
        return r - WAIT_OBJECT_0 < firstWake ? Signalled::Port : Signalled::Woken;
    // An abandoned mutex is nothing we wait on; treat it as a failure too.
    lastError = r == WAIT_FAILED ? static_cast<int>(::GetLastError()) : ERROR_INVALID_HANDLE;
    return Signalled::Failed;
}

} // namespace ftlib
